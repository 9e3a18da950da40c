#include "match/kvr_prefilter.h"

#include <algorithm>
#include <cstring>

#ifdef __x86_64__
#include <immintrin.h>
#endif
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 warns inside its own AVX-512 headers (the undefined vector that
// some intrinsics start from).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "util/kvr_cpu.h"

namespace {

inline uint32_t load32(const unsigned char *p) {
  uint32_t x;
  std::memcpy(&x, p, 4);
  return x;
}

// Bytes a filtered text never holds: those the filter drops, and upper-case
// letters (it lower-cases them). A pattern with one of them never occurs.
bool neverFiltered(unsigned char b) {
  return b == 0x00 || b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20 ||
         (b >= 0x21 && b <= 0x2F) || (b >= 0x3A && b <= 0x40) || (b >= 0x5B && b <= 0x60) ||
         (b >= 0x7B && b <= 0x7E) || (b >= 'A' && b <= 'Z');
}

inline uint32_t bloomBits(uint32_t x) {
  const uint32_t h = x * KvrPrefilter::kBitsHash;
  return (1u << (h >> 27)) | (1u << ((h >> 22) & 31)) | (1u << ((h >> 17) & 31));
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
// pattern, the first bytes in any other.
size_t keyAt(const std::string &bytes, bool utf8, size_t k) {
  if (!utf8) return 0;
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
                          static_cast<uint8_t>(pats[i].group), static_cast<uint8_t>(pats[i].at)});
      *pool += pats[i].bytes;
    }
    size_t s = (key * kSlotHash) >> *shift;
    while ((*slots)[s].end) s = (s + 1) & (size - 1);
    (*slots)[s] = {key, begin, static_cast<uint32_t>(entries->size())};
  }
}

bool KvrPrefilter::compile() {
  std::vector<Pattern> longs, shorts;
  bool single = false;
  for (Pattern &p : patterns_) {
    const auto *b = reinterpret_cast<const unsigned char *>(p.bytes.data());
    if (p.bytes.empty() || p.bytes.size() > 255 ||
        std::any_of(b, b + p.bytes.size(), neverFiltered))
      continue;
    if (p.bytes.size() == 1) single = true;
    const bool isLong = p.bytes.size() >= 4;
    p.at = keyAt(p.bytes, p.utf8, isLong ? 4 : 2);
    (isLong ? longs : shorts).push_back(std::move(p));
  }
  patterns_.clear();
  patterns_.shrink_to_fit();
  usable_ = !single;
  if (!usable_) return false;

  pool_.clear();
  index(longs, 4, &longSlots_, &longShift_, &longEntries_, &pool_);
  index(shorts, 2, &shortSlots_, &shortShift_, &shortEntries_, &pool_);
  longKeys_ = 0;
  for (const Slot &s : longSlots_) longKeys_ += s.end != 0;

  // About 64 filter bits a key: with three bits a key, a position whose
  // four bytes begin no pattern passes about once in 1500 to 3000 times.
  size_t words = 1024;
  while (words < longKeys_ * 2 && words < (size_t{1} << 16)) words *= 2;
  bloom_.assign(words, 0);
  bloomShift_ = shiftFor(words);
  for (const Pattern &p : longs) {
    const uint32_t x = load32(reinterpret_cast<const unsigned char *>(p.bytes.data() + p.at));
    bloom_[(x * kIndexHash) >> bloomShift_] |= bloomBits(x);
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
  return bloom_.size() * 4 + pairs_.size() * 4 +
         (longSlots_.size() + shortSlots_.size()) * sizeof(Slot) +
         (longEntries_.size() + shortEntries_.size()) * sizeof(Entry) + pool_.size();
}

bool KvrPrefilter::lookup(const std::vector<Slot> &slots, const std::vector<Entry> &entries,
                          int shift, uint32_t key, const unsigned char *text, size_t n, size_t q,
                          unsigned groups) const {
  const size_t mask = slots.size() - 1;
  for (size_t s = (key * kSlotHash) >> shift; slots[s].end; s = (s + 1) & mask) {
    if (slots[s].key != key) continue;
    for (uint32_t e = slots[s].begin; e < slots[s].end; ++e) {
      // The key found at q stands at en.at in the pattern.
      const Entry &en = entries[e];
      if (!(en.group & groups) || q < en.at) continue;
      const size_t p = q - en.at;
      if (en.len <= n - p && std::memcmp(text + p, pool_.data() + en.offset, en.len) == 0)
        return true;
    }
    return false;
  }
  return false;
}

bool KvrPrefilter::verifyLong(const unsigned char *text, size_t n, size_t p,
                              unsigned groups) const {
  return n - p >= 4 &&
         lookup(longSlots_, longEntries_, longShift_, load32(text + p), text, n, p, groups);
}

bool KvrPrefilter::verifyShort(const unsigned char *text, size_t n, size_t p,
                               unsigned groups) const {
  if (!hasShort_ || n - p < 2) return false;
  const uint32_t k = text[p] | static_cast<uint32_t>(text[p + 1]) << 8;
  return ((pairs_[k >> 5] >> (k & 31)) & 1) &&
         lookup(shortSlots_, shortEntries_, shortShift_, k, text, n, p, groups);
}

bool KvrPrefilter::scanScalar(const unsigned char *text, size_t n, size_t from,
                              unsigned groups) const {
  const uint32_t *bloom = bloom_.data();
  for (size_t p = from; p + 4 <= n; ++p) {
    const uint32_t x = load32(text + p);
    const uint32_t want = bloomBits(x);
    if ((bloom[(x * kIndexHash) >> bloomShift_] & want) == want && verifyLong(text, n, p, groups))
      return true;
    if (hasShort_ && verifyShort(text, n, p, groups)) return true;
  }
  // The last three positions hold no four-byte pattern.
  if (hasShort_)
    for (size_t p = n >= 3 ? std::max(from, n - 3) : from; p + 2 <= n; ++p)
      if (verifyShort(text, n, p, groups)) return true;
  return false;
}

#ifdef __x86_64__
namespace {

// Sixteen (eight) positions at once: the words of the Bloom filter are
// gathered, and the pair bitmap likewise when there are short patterns.
// The four loads of a round, one byte apart, cover 64 (32) positions.
__attribute__((target("avx512f,avx512bw"))) bool scanAvx512(const KvrPrefilter &f,
                                                            const unsigned char *text, size_t n,
                                                            unsigned groups) {
  const __m512i indexHash = _mm512_set1_epi32(static_cast<int>(KvrPrefilter::kIndexHash));
  const __m512i bitsHash = _mm512_set1_epi32(static_cast<int>(KvrPrefilter::kBitsHash));
  const __m128i shift = _mm_cvtsi32_si128(f.bloomShift());
  const __m512i one = _mm512_set1_epi32(1), low5 = _mm512_set1_epi32(31);
  const __m512i low16 = _mm512_set1_epi32(0xFFFF);
  const int *bloom = reinterpret_cast<const int *>(f.bloom());
  const int *pairs = reinterpret_cast<const int *>(f.pairs());
  size_t i = 0;
  for (; n >= 67 && i <= n - 67; i += 64) {
    for (int o = 0; o < 4; ++o) {
      const __m512i x = _mm512_loadu_si512(text + i + o);
      const __m512i word = _mm512_i32gather_epi32(
          _mm512_srl_epi32(_mm512_mullo_epi32(x, indexHash), shift), bloom, 4);
      const __m512i h = _mm512_mullo_epi32(x, bitsHash);
      __m512i want = _mm512_sllv_epi32(one, _mm512_srli_epi32(h, 27));
      want = _mm512_or_si512(
          want, _mm512_sllv_epi32(one, _mm512_and_si512(_mm512_srli_epi32(h, 22), low5)));
      want = _mm512_or_si512(
          want, _mm512_sllv_epi32(one, _mm512_and_si512(_mm512_srli_epi32(h, 17), low5)));
      const __m512i missing = _mm512_andnot_si512(word, want);
      __mmask16 longHit = _mm512_testn_epi32_mask(missing, missing);
      __mmask16 shortHit = 0;
      if (pairs) {
        const __m512i pair = _mm512_and_si512(x, low16);
        const __m512i pw = _mm512_i32gather_epi32(_mm512_srli_epi32(pair, 5), pairs, 4);
        shortHit = _mm512_test_epi32_mask(_mm512_srlv_epi32(pw, _mm512_and_si512(pair, low5)), one);
      }
      for (unsigned m = longHit | shortHit; m; m &= m - 1) {
        const size_t p = i + o + 4 * static_cast<size_t>(__builtin_ctz(m));
        if (f.verifyLong(text, n, p, groups) || f.verifyShort(text, n, p, groups)) return true;
      }
    }
  }
  return f.scanScalar(text, n, i, groups);
}

__attribute__((target("avx2"))) bool scanAvx2(const KvrPrefilter &f, const unsigned char *text,
                                              size_t n, unsigned groups) {
  const __m256i indexHash = _mm256_set1_epi32(static_cast<int>(KvrPrefilter::kIndexHash));
  const __m256i bitsHash = _mm256_set1_epi32(static_cast<int>(KvrPrefilter::kBitsHash));
  const __m128i shift = _mm_cvtsi32_si128(f.bloomShift());
  const __m256i one = _mm256_set1_epi32(1), low5 = _mm256_set1_epi32(31);
  const __m256i low16 = _mm256_set1_epi32(0xFFFF), zero = _mm256_setzero_si256();
  const int *bloom = reinterpret_cast<const int *>(f.bloom());
  const int *pairs = reinterpret_cast<const int *>(f.pairs());
  size_t i = 0;
  for (; n >= 35 && i <= n - 35; i += 32) {
    for (int o = 0; o < 4; ++o) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(text + i + o));
      const __m256i word = _mm256_i32gather_epi32(
          bloom, _mm256_srl_epi32(_mm256_mullo_epi32(x, indexHash), shift), 4);
      const __m256i h = _mm256_mullo_epi32(x, bitsHash);
      __m256i want = _mm256_sllv_epi32(one, _mm256_srli_epi32(h, 27));
      want = _mm256_or_si256(
          want, _mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(h, 22), low5)));
      want = _mm256_or_si256(
          want, _mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(h, 17), low5)));
      const __m256i missing = _mm256_andnot_si256(word, want);
      unsigned m = static_cast<unsigned>(
          _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(missing, zero))));
      if (pairs) {
        const __m256i pair = _mm256_and_si256(x, low16);
        const __m256i pw = _mm256_i32gather_epi32(pairs, _mm256_srli_epi32(pair, 5), 4);
        const __m256i bit =
            _mm256_and_si256(_mm256_srlv_epi32(pw, _mm256_and_si256(pair, low5)), one);
        m |= static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(bit, one))));
      }
      for (; m; m &= m - 1) {
        const size_t p = i + o + 4 * static_cast<size_t>(__builtin_ctz(m));
        if (f.verifyLong(text, n, p, groups) || f.verifyShort(text, n, p, groups)) return true;
      }
    }
  }
  return f.scanScalar(text, n, i, groups);
}

}  // namespace
#endif

bool KvrPrefilter::any(const unsigned char *text, size_t n, unsigned groups) const {
  if (!usable_) return false;
#ifdef __x86_64__
  switch (kvrSimdLevel()) {
    case kKvrSimdAvx512:
      return scanAvx512(*this, text, n, groups);
    case kKvrSimdAvx2:
      return scanAvx2(*this, text, n, groups);
    default:
      break;
  }
#endif
  return scanScalar(text, n, 0, groups);
}
