#include "match/kvr_prefilter.h"

#include <algorithm>
#include <cstring>

#include "util/kvr_cpu.h"
#include "util/kvr_simd.h"
#include "util/kvr_text.h"

namespace {

inline uint32_t load32(const unsigned char *p) {
  uint32_t x;
  std::memcpy(&x, p, 4);
  return x;
}

// Bytes a filtered text holds only as the second byte of a GBK character:
// those the filter drops, and upper-case letters (it lower-cases them).
bool neverFiltered(unsigned char b) {
  return kvrFilterDrops(b) || (b >= 'A' && b <= 'Z');
}

// A pattern as the first look sees it: the first look filters the text
// byte by byte, so the pattern is read the same way (a GBK second byte
// that is punctuation dropped, one that is a capital lower-cased). Where
// the pattern occurs in a filtered text, its reading occurs in the first
// look's. False when it cannot occur at all: a byte of neverFiltered that
// no byte 0x81..0xFE opens (a GBK pattern begins a character; a UTF-8 one
// may begin anywhere).
bool firstLookForm(const std::string &bytes, bool utf8, std::string *out) {
  out->clear();
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (!neverFiltered(b)) {
      *out += static_cast<char>(b);
      continue;
    }
    const unsigned char before = i ? static_cast<unsigned char>(bytes[i - 1]) : utf8 ? 0x81 : 0;
    if (before < 0x81 || before > 0xFE) return false;
    if (!kvrFilterDrops(b)) *out += static_cast<char>(b + ('a' - 'A'));
  }
  return true;
}

inline uint32_t bloomBits(uint32_t x, uint32_t mul) {
  const uint32_t h = x * mul;
  return (1u << (h >> 27)) | (1u << ((h >> 22) & 31)) | (1u << ((h >> 17) & 31));
}

// Positions are taken in pairs, an even one and the odd one after it: both
// their four bytes hold the three bytes from the odd position on, which
// choose the word of the filter, so that one load serves two positions.
// The bits within it come from all four bytes, with one hash for the even
// position and another for the odd one.
inline uint32_t sharedBytes(uint32_t x, bool odd) {
  return odd ? x & 0xFFFFFF : x >> 8;
}

// Hashes of the bytes at a key for the quick test: its four, and its four
// and the two after.
constexpr uint64_t kNearHash = 0x9E3779B97F4A7C15ull, kFarHash = 0xC2B2AE3D27D4EB4Full;
inline uint64_t nearHash(uint32_t four) {
  return four * kNearHash;
}
constexpr uint64_t kMidHash = 0xD6E8FEB86659FD93ull;
inline uint64_t midHash(uint32_t four, uint32_t one) {
  return (four | static_cast<uint64_t>(one) << 32) * kMidHash;
}
inline uint64_t farHash(uint32_t four, uint32_t two) {
  return (four | static_cast<uint64_t>(two) << 32) * kFarHash;
}
inline bool testBit(const std::vector<uint64_t> &bits, uint64_t h, int shift) {
  const uint64_t b = h >> shift;
  return (bits[b >> 6] >> (b & 63)) & 1;
}
inline void setBit(std::vector<uint64_t> &bits, uint64_t h, int shift) {
  const uint64_t b = h >> shift;
  bits[b >> 6] |= uint64_t{1} << (b & 63);
}
inline uint32_t load16(const unsigned char *p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8;
}

int shiftFor(size_t slots) {
  int bits = 0;
  while ((size_t{1} << bits) < slots) ++bits;
  return 32 - bits;
}

}  // namespace

void KvrPrefilter::add(const unsigned char *bytes, size_t n, unsigned group, bool utf8) {
  patterns_.push_back({std::string(reinterpret_cast<const char *>(bytes), n), group, utf8, 0});
}

namespace {

// Where in a pattern of n bytes its key of k bytes stands: the window with
// the most UTF-8 continuation bytes (the earliest of equals) in a UTF-8
// pattern. In any other, one byte in when the pattern is longer than the
// key: the first two characters of a longer Chinese word are often a common
// word of their own, which real text holds every hundred bytes or so, while
// the bytes from a character's second byte to the third character's first
// byte turn up about ten times less often. Patterns no longer than the key
// begin with it.
size_t keyAt(const std::string &bytes, bool utf8, size_t k) {
  if (!utf8) return bytes.size() > k ? 1 : 0;
  size_t best = 0;
  int bestCount = -1;
  for (size_t at = 0; at + k <= bytes.size(); ++at) {
    int count = 0;
    for (size_t j = at; j < at + k; ++j)
      count += (static_cast<unsigned char>(bytes[j]) & 0xC0) == 0x80;
    if (count > bestCount) {
      best = at;
      bestCount = count;
    }
  }
  return best;
}

}  // namespace

void KvrPrefilter::index(std::vector<Pattern> &pats, size_t keyLen, std::vector<Slot> *slots,
                         int *shift, std::vector<Entry> *entries, std::string *pool) {
  auto keyOf = [keyLen](const Pattern &p) {
    uint32_t k = 0;
    std::memcpy(&k, p.bytes.data() + p.at, keyLen);
    return k;
  };
  std::sort(pats.begin(), pats.end(), [&](const Pattern &a, const Pattern &b) {
    const uint32_t ka = keyOf(a), kb = keyOf(b);
    return ka != kb ? ka < kb : a.bytes < b.bytes;
  });
  size_t distinct = 0;
  for (size_t i = 0; i < pats.size(); ++i)
    if (i == 0 || keyOf(pats[i]) != keyOf(pats[i - 1])) ++distinct;
  // Half full at most, so that a probe rarely goes past its first slot.
  size_t size = 16;
  while (size < distinct * 2) size *= 2;
  slots->assign(size, Slot{0, 0, 0});
  *shift = shiftFor(size);
  entries->clear();
  entries->reserve(pats.size());
  for (size_t i = 0; i < pats.size();) {
    const uint32_t key = keyOf(pats[i]);
    const uint32_t begin = static_cast<uint32_t>(entries->size());
    for (; i < pats.size() && keyOf(pats[i]) == key; ++i) {
      entries->push_back({static_cast<uint32_t>(pool->size()),
                          static_cast<uint8_t>(pats[i].bytes.size()),
                          static_cast<uint8_t>(pats[i].group), static_cast<uint8_t>(pats[i].at),
                          static_cast<uint8_t>(pats[i].utf8 ? 0 : 1)});
      *pool += pats[i].bytes;
    }
    size_t s = (key * kSlotHash) >> *shift;
    while ((*slots)[s].end) s = (s + 1) & (size - 1);
    (*slots)[s] = {key, begin, static_cast<uint32_t>(entries->size())};
  }
}

bool KvrPrefilter::compile() {
  std::vector<Pattern> longs, shorts;
  bool unsuited = false;
  groups_ = 0;
  // A pattern that its first-look reading changes is kept as it is too:
  // the look at character boundaries reads the filtered text itself, where
  // a GBK character's second byte is what it is.
  std::vector<Pattern> all;
  for (Pattern &p : patterns_) {
    std::string form;
    if (p.bytes.empty() || !firstLookForm(p.bytes, p.utf8, &form)) continue;
    if (form != p.bytes) all.push_back(p);
    p.bytes = std::move(form);
    all.push_back(std::move(p));
  }
  for (Pattern &p : all) {
    // One byte (or none) would pass every position; over 255 (keyword
    // forms are far shorter) would not fit an entry.
    if (p.bytes.size() <= 1 || p.bytes.size() > 255) unsuited = true;
    groups_ |= p.group;
    const bool isLong = p.bytes.size() >= 4;
    p.at = keyAt(p.bytes, p.utf8, isLong ? 4 : 2);
    (isLong ? longs : shorts).push_back(std::move(p));
  }
  patterns_.clear();
  patterns_.shrink_to_fit();
  usable_ = !unsuited;
  if (!usable_) return false;

  pool_.clear();
  index(longs, 4, &longSlots_, &longShift_, &longEntries_, &pool_);
  index(shorts, 2, &shortSlots_, &shortShift_, &shortEntries_, &pool_);
  longKeys_ = 0;
  for (const Slot &s : longSlots_) longKeys_ += s.end != 0;

  // About 128 filter bits a key, each key setting three bits in each of two
  // words: on Chinese text with 12000 keys, a position whose four bytes are
  // no key passes about once in 1000 times (measured).
  size_t words = 1024;
  while (words < longKeys_ * 4 && words < (size_t{1} << 16)) words *= 2;
  bloom_.assign(words, 0);
  bloomShift_ = shiftFor(words);
  for (const Pattern &p : longs) {
    const uint32_t x = load32(reinterpret_cast<const unsigned char *>(p.bytes.data() + p.at));
    // The key may stand at an even or an odd position of a text.
    bloom_[(sharedBytes(x, false) * kIndexHash) >> bloomShift_] |= bloomBits(x, kBitsHash);
    bloom_[(sharedBytes(x, true) * kIndexHash) >> bloomShift_] |= bloomBits(x, kOddBitsHash);
  }
  // The quick test's bits: about 16 a pattern, so that it passes about one
  // key hit in twenty that no pattern holds.
  size_t nearCount = 0, midCount = 0, farCount = 0;
  for (const Pattern &p : longs) {
    const size_t from = p.bytes.size() - p.at;  // bytes from the key on
    (from >= 6 ? farCount : from == 5 ? midCount : nearCount) += 1;
  }
  auto sized = [](size_t count, std::vector<uint64_t> *bits, int *shift) {
    size_t size = 4096;
    while (size < count * 16 && size < (size_t{1} << 24)) size *= 2;
    bits->assign(size / 64, 0);
    *shift = shiftFor(size) + 32;  // of a 64-bit hash
  };
  sized(nearCount, &near_, &nearShift_);
  sized(midCount, &mid_, &midShift_);
  sized(farCount, &far_, &farShift_);
  for (const Pattern &p : longs) {
    const unsigned char *k = reinterpret_cast<const unsigned char *>(p.bytes.data() + p.at);
    const size_t from = p.bytes.size() - p.at;
    if (from >= 6)
      setBit(far_, farHash(load32(k), load16(k + 4)), farShift_);
    else if (from == 5)
      setBit(mid_, midHash(load32(k), k[4]), midShift_);
    else
      setBit(near_, nearHash(load32(k)), nearShift_);
  }
  hasShort_ = !shorts.empty();
  pairs_.assign(hasShort_ ? 65536 / 32 : 0, 0);
  for (const Pattern &p : shorts) {
    const uint32_t k = static_cast<unsigned char>(p.bytes[p.at]) |
                       static_cast<uint32_t>(static_cast<unsigned char>(p.bytes[p.at + 1])) << 8;
    pairs_[k >> 5] |= 1u << (k & 31);
  }
  return true;
}

size_t KvrPrefilter::bytes() const {
  return bloom_.size() * 4 + pairs_.size() * 4 + (near_.size() + mid_.size() + far_.size()) * 8 +
         (longSlots_.size() + shortSlots_.size()) * sizeof(Slot) +
         (longEntries_.size() + shortEntries_.size()) * sizeof(Entry) + pool_.size();
}

int KvrPrefilter::lookup(const std::vector<Slot> &slots, const std::vector<Entry> &entries,
                         int shift, uint32_t key, const unsigned char *text, size_t n, size_t q,
                         unsigned groups, const Starts *starts) const {
  const size_t mask = slots.size() - 1;
  for (size_t s = (key * kSlotHash) >> shift; slots[s].end; s = (s + 1) & mask) {
    if (slots[s].key != key) continue;
    for (uint32_t e = slots[s].begin; e < slots[s].end; ++e) {
      // The key found at q stands at en.at in the pattern.
      const Entry &en = entries[e];
      if (!(en.group & groups) || q < en.at) continue;
      const size_t p = q - en.at;
      if (en.len > n - p || std::memcmp(text + p, pool_.data() + en.offset, en.len) != 0) continue;
      // A GBK form counts only where a character begins (asked last: the
      // answer may cost more than the comparison).
      if (starts && en.gbk && !starts->at(p)) continue;
      return en.gbk ? kGbkForm : kFreeForm;
    }
    return 0;
  }
  return 0;
}

bool KvrPrefilter::quick(const unsigned char *text, size_t n, size_t q) const {
  const uint32_t four = load32(text + q);
  return testBit(near_, nearHash(four), nearShift_) ||
         (n - q >= 5 && testBit(mid_, midHash(four, text[q + 4]), midShift_)) ||
         (n - q >= 6 && testBit(far_, farHash(four, load16(text + q + 4)), farShift_));
}

int KvrPrefilter::verifyLong(const unsigned char *text, size_t n, size_t p, unsigned groups,
                             const Starts *starts) const {
  return n - p < 4 || !quick(text, n, p) ? 0
                                         : lookup(longSlots_, longEntries_, longShift_,
                                                  load32(text + p), text, n, p, groups, starts);
}

int KvrPrefilter::verifyShort(const unsigned char *text, size_t n, size_t p, unsigned groups,
                              const Starts *starts) const {
  if (!hasShort_ || n - p < 2) return 0;
  const uint32_t k = text[p] | static_cast<uint32_t>(text[p + 1]) << 8;
  if (!((pairs_[k >> 5] >> (k & 31)) & 1)) return 0;
  return lookup(shortSlots_, shortEntries_, shortShift_, k, text, n, p, groups, starts);
}

int KvrPrefilter::verifyPairs(const unsigned char *text, size_t n, size_t base, unsigned evenHits,
                              unsigned oddHits, unsigned groups, const Starts *starts) const {
  // Lane j stands for positions base + 4j and base + 4j + 1.
  for (unsigned m = evenHits; m; m &= m - 1) {
    const size_t p = base + 4 * static_cast<size_t>(__builtin_ctz(m));
    if (const int k = verifyLong(text, n, p, groups, starts)) return k;
    if (const int k = verifyShort(text, n, p, groups, starts)) return k;
  }
  for (unsigned m = oddHits; m; m &= m - 1) {
    const size_t p = base + 1 + 4 * static_cast<size_t>(__builtin_ctz(m));
    if (const int k = verifyLong(text, n, p, groups, starts)) return k;
    if (const int k = verifyShort(text, n, p, groups, starts)) return k;
  }
  return 0;
}

int KvrPrefilter::scanScalar(const unsigned char *text, size_t n, size_t from, unsigned groups,
                             const Starts *starts) const {
  const uint32_t *bloom = bloom_.data();
  for (size_t p = from; p + 4 <= n; ++p) {
    const uint32_t x = load32(text + p);
    const bool odd = p & 1;
    const uint32_t want = bloomBits(x, odd ? kOddBitsHash : kBitsHash);
    if ((bloom[(sharedBytes(x, odd) * kIndexHash) >> bloomShift_] & want) == want)
      if (const int k = verifyLong(text, n, p, groups, starts)) return k;
    if (hasShort_)
      if (const int k = verifyShort(text, n, p, groups, starts)) return k;
  }
  // The last three positions hold no four-byte pattern.
  if (hasShort_)
    for (size_t p = n >= 3 ? std::max(from, n - 3) : from; p + 2 <= n; ++p)
      if (const int k = verifyShort(text, n, p, groups, starts)) return k;
  return 0;
}

#ifdef __x86_64__
namespace {

// Sixteen (eight) pairs of positions at once: the words of the Bloom filter
// are gathered, and the pair bitmap likewise when there are short patterns.
// The four loads of a round, one byte apart, cover 64 (32) positions.
__attribute__((target("avx512f,avx512bw"))) inline __m512i bits512(__m512i x, __m512i mul) {
  const __m512i one = _mm512_set1_epi32(1), low5 = _mm512_set1_epi32(31);
  const __m512i h = _mm512_mullo_epi32(x, mul);
  const __m512i a = _mm512_sllv_epi32(one, _mm512_srli_epi32(h, 27));
  const __m512i b = _mm512_sllv_epi32(one, _mm512_and_si512(_mm512_srli_epi32(h, 22), low5));
  const __m512i c = _mm512_sllv_epi32(one, _mm512_and_si512(_mm512_srli_epi32(h, 17), low5));
  return _mm512_ternarylogic_epi32(a, b, c, 0xFE);  // a | b | c
}

__attribute__((target("avx512f,avx512bw"))) inline __mmask16 shortHits512(const int *pairs,
                                                                          __m512i x) {
  const __m512i low5 = _mm512_set1_epi32(31), one = _mm512_set1_epi32(1);
  const __m512i pair = _mm512_and_si512(x, _mm512_set1_epi32(0xFFFF));
  const __m512i pw = _mm512_i32gather_epi32(_mm512_srli_epi32(pair, 5), pairs, 4);
  return _mm512_test_epi32_mask(_mm512_srlv_epi32(pw, _mm512_and_si512(pair, low5)), one);
}

__attribute__((target("avx512f,avx512bw"))) int scanAvx512(const KvrPrefilter &f,
                                                           const unsigned char *text, size_t n,
                                                           unsigned groups,
                                                           const KvrPrefilter::Starts *starts) {
  const __m512i indexHash = _mm512_set1_epi32(static_cast<int>(KvrPrefilter::kIndexHash));
  const __m512i evenHash = _mm512_set1_epi32(static_cast<int>(KvrPrefilter::kBitsHash));
  const __m512i oddHash = _mm512_set1_epi32(static_cast<int>(KvrPrefilter::kOddBitsHash));
  const __m512i low24 = _mm512_set1_epi32(0xFFFFFF);
  const __m128i shift = _mm_cvtsi32_si128(f.bloomShift());
  const int *bloom = reinterpret_cast<const int *>(f.bloom());
  const int *pairs = reinterpret_cast<const int *>(f.pairs());
  size_t i = 0;
  for (; n >= 67 && i <= n - 67; i += 64) {
    for (int o = 0; o < 4; o += 2) {
      const __m512i even = _mm512_loadu_si512(text + i + o);
      const __m512i odd = _mm512_loadu_si512(text + i + o + 1);
      const __m512i word = _mm512_i32gather_epi32(
          _mm512_srl_epi32(_mm512_mullo_epi32(_mm512_and_si512(odd, low24), indexHash), shift),
          bloom, 4);
      const __m512i missEven = _mm512_andnot_si512(word, bits512(even, evenHash));
      const __m512i missOdd = _mm512_andnot_si512(word, bits512(odd, oddHash));
      unsigned evenHit = _mm512_testn_epi32_mask(missEven, missEven);
      unsigned oddHit = _mm512_testn_epi32_mask(missOdd, missOdd);
      if (pairs) {
        evenHit |= shortHits512(pairs, even);
        oddHit |= shortHits512(pairs, odd);
      }
      if (__builtin_expect((evenHit | oddHit) != 0, 0))
        if (const int k = f.verifyPairs(text, n, i + o, evenHit, oddHit, groups, starts)) return k;
    }
  }
  return f.scanScalar(text, n, i, groups, starts);
}

__attribute__((target("avx2"))) inline __m256i bits256(__m256i x, __m256i mul) {
  const __m256i one = _mm256_set1_epi32(1), low5 = _mm256_set1_epi32(31);
  const __m256i h = _mm256_mullo_epi32(x, mul);
  const __m256i a = _mm256_sllv_epi32(one, _mm256_srli_epi32(h, 27));
  const __m256i b = _mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(h, 22), low5));
  const __m256i c = _mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(h, 17), low5));
  return _mm256_or_si256(a, _mm256_or_si256(b, c));
}

__attribute__((target("avx2"))) inline unsigned shortHits256(const int *pairs, __m256i x) {
  const __m256i low5 = _mm256_set1_epi32(31), one = _mm256_set1_epi32(1);
  const __m256i pair = _mm256_and_si256(x, _mm256_set1_epi32(0xFFFF));
  const __m256i pw = _mm256_i32gather_epi32(pairs, _mm256_srli_epi32(pair, 5), 4);
  const __m256i bit = _mm256_and_si256(_mm256_srlv_epi32(pw, _mm256_and_si256(pair, low5)), one);
  return static_cast<unsigned>(
      _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(bit, one))));
}

// Lanes where no bit is missing.
__attribute__((target("avx2"))) inline unsigned hits(__m256i miss) {
  return static_cast<unsigned>(
      _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(miss, _mm256_setzero_si256()))));
}

__attribute__((target("avx2"))) int scanAvx2(const KvrPrefilter &f, const unsigned char *text,
                                             size_t n, unsigned groups,
                                             const KvrPrefilter::Starts *starts) {
  const __m256i indexHash = _mm256_set1_epi32(static_cast<int>(KvrPrefilter::kIndexHash));
  const __m256i evenHash = _mm256_set1_epi32(static_cast<int>(KvrPrefilter::kBitsHash));
  const __m256i oddHash = _mm256_set1_epi32(static_cast<int>(KvrPrefilter::kOddBitsHash));
  const __m256i low24 = _mm256_set1_epi32(0xFFFFFF);
  const __m128i shift = _mm_cvtsi32_si128(f.bloomShift());
  const int *bloom = reinterpret_cast<const int *>(f.bloom());
  const int *pairs = reinterpret_cast<const int *>(f.pairs());
  size_t i = 0;
  for (; n >= 35 && i <= n - 35; i += 32) {
    for (int o = 0; o < 4; o += 2) {
      const __m256i even = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(text + i + o));
      const __m256i odd = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(text + i + o + 1));
      const __m256i word = _mm256_i32gather_epi32(
          bloom,
          _mm256_srl_epi32(_mm256_mullo_epi32(_mm256_and_si256(odd, low24), indexHash), shift), 4);
      unsigned evenHit = hits(_mm256_andnot_si256(word, bits256(even, evenHash)));
      unsigned oddHit = hits(_mm256_andnot_si256(word, bits256(odd, oddHash)));
      if (pairs) {
        evenHit |= shortHits256(pairs, even);
        oddHit |= shortHits256(pairs, odd);
      }
      if (__builtin_expect((evenHit | oddHit) != 0, 0))
        if (const int k = f.verifyPairs(text, n, i + o, evenHit, oddHit, groups, starts)) return k;
    }
  }
  return f.scanScalar(text, n, i, groups, starts);
}

}  // namespace
#endif

int KvrPrefilter::find(const unsigned char *text, size_t n, unsigned groups,
                       const uint64_t *starts) const {
  Starts bits;
  bits.bits = starts;
  return find(text, n, groups, bits);
}

int KvrPrefilter::find(const unsigned char *text, size_t n, unsigned groups,
                       const Starts &boundaries) const {
  const Starts *starts = boundaries.bits || boundaries.begins ? &boundaries : nullptr;
  // Without a pattern of these groups that can occur, nothing is read.
  if (!usable_ || !(groups & groups_)) return 0;
#ifdef __x86_64__
  switch (kvrSimdLevel()) {
    case kKvrSimdAvx512:
      return scanAvx512(*this, text, n, groups, starts);
    case kKvrSimdAvx2:
      return scanAvx2(*this, text, n, groups, starts);
    default:
      break;
  }
#endif
  return scanScalar(text, n, 0, groups, starts);
}
