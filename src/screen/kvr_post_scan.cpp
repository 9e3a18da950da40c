#include "screen/kvr_post_scan.h"

#include <apr_lib.h>
#include <apr_strings.h>
#include <httpd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/kvr_config.h"
#include "log/kvr_log.h"
#include "match/kvr_match.h"
#include "match/kvr_occur.h"
#include "util/kvr_cpu.h"
#include "util/kvr_gbk_bits.h"
#include "util/kvr_simd.h"
#include "util/kvr_text.h"

namespace {

constexpr uint32_t kAlways = 0xFFFFFFFFu;  // an empty word: found in every text

structPostKeyWord *tableOf(int slot) {
  switch (slot) {
    case kPostC:
      return arrPostKeyWord.c;
    case kPostCex:
      return arrPostKeyWord.cex;
    case kPostB:
      return arrPostKeyWord.b;
    default:
      return arrPostKeyWord.bex;
  }
}

// What one entry needs to hit in one pass: 0 words = never.
struct EntryWords {
  uint8_t count = 0;
  uint32_t ids[3] = {};
};

// The matcher of one text (filtered or raw), the words of the entries of
// its two tables, and for each word the entries that use it.
struct Side {
  KvrOccurMatcher matcher;
  std::unordered_map<std::string, uint32_t> idOf;   // only while building
  std::vector<std::pair<uint32_t, uint32_t>> uses;  // (id, packed entry), while building
  std::vector<uint32_t> userBegin;                  // id -> users[userBegin[id] ..)
  std::vector<uint32_t> users;                      // packed (slot, pass, entry)

  uint32_t wordId(const char *bytes, bool gbk) {
    std::string key(1, gbk ? 'g' : 'u');
    key += bytes;
    auto it = idOf.find(key);
    if (it != idOf.end()) return it->second;
    const uint32_t id = static_cast<uint32_t>(idOf.size());
    idOf.emplace(std::move(key), id);
    matcher.add(bytes, id, gbk);
    return id;
  }
  void finish() {
    const uint32_t ids = static_cast<uint32_t>(idOf.size());
    userBegin.assign(ids + 1, 0);
    for (const auto &u : uses) userBegin[u.first + 1]++;
    for (uint32_t i = 0; i < ids; ++i) userBegin[i + 1] += userBegin[i];
    users.resize(uses.size());
    std::vector<uint32_t> at(userBegin.begin(), userBegin.end() - 1);
    for (const auto &u : uses) users[at[u.first]++] = u.second;  // stays in table order
    uses = {};
    idOf = {};
    matcher.compile();
  }
};

struct PostIndex {
  Side sides[2];                        // 0: filtered text (c, b); 1: raw text (cex, bex)
  std::vector<EntryWords> words[4][2];  // [slot][pass - 1][entry]
};

std::unique_ptr<PostIndex> gIndex;

int sideOf(int slot) {
  return (slot == kPostC || slot == kPostB) ? 0 : 1;
}

uint32_t pack(int slot, int pass, int entry) {
  return static_cast<uint32_t>(slot) << 30 | static_cast<uint32_t>(pass - 1) << 29 |
         static_cast<uint32_t>(entry);
}

// The words an entry needs in a pass, as its hit rule reads them.
EntryWords wordsOf(const structPostKeyWord &e, int pass, char w[3][256], int *count) {
  const char *form = pass == 1 ? e.gbk : e.utf8;
  EntryWords ew;
  if (std::strchr(e.gbk, ',')) {
    std::memset(w, 0, 3 * 256);
    *count = kvrSplitKeyWord(form, w);
    if (*count == 2 || *count == 3) ew.count = static_cast<uint8_t>(*count);
  } else {
    *count = 1;
    const size_t len = strnlen(form, 255);
    std::memcpy(w[0], form, len);
    w[0][len] = '\0';
    if (*form) ew.count = 1;
  }
  return ew;
}

}  // namespace

void kvrPostKeyWordIndex() {
  auto index = std::make_unique<PostIndex>();
  for (Side &side : index->sides) side.idOf.reserve(4 * kKeyTableSlots * 2);
  for (int slot = 0; slot < 4; ++slot) {
    Side &side = index->sides[sideOf(slot)];
    const structPostKeyWord *t = tableOf(slot);
    for (int pass = 1; pass <= 2; ++pass) {
      auto &list = index->words[slot][pass - 1];
      for (int i = 0; i < kKeyTableSlots && t[i].used == 1; ++i) {
        char w[3][256];
        int count = 0;
        EntryWords ew = t[i].usertype == 2 ? wordsOf(t[i], pass, w, &count) : EntryWords{};
        for (int k = 0; k < ew.count; ++k) {
          if (!w[k][0]) {
            ew.ids[k] = kAlways;
            continue;
          }
          ew.ids[k] = side.wordId(w[k], pass == 1);
          side.uses.emplace_back(ew.ids[k], pack(slot, pass, i));
        }
        list.push_back(ew);
      }
    }
  }
  for (Side &side : index->sides) side.finish();
  gIndex = std::move(index);
}

size_t kvrPostIndexBytes() {
  if (!gIndex) return 0;
  size_t n = 0;
  for (const Side &s : gIndex->sides)
    n += s.matcher.bytes() + s.userBegin.capacity() * 4 + s.users.capacity() * 4;
  for (const auto &slot : gIndex->words)
    for (const auto &pass : slot) n += pass.capacity() * sizeof(EntryWords);
  return n;
}

uint32_t kvrPostMatcherPass(apr_pool_t *pool, int side, const char *text, size_t n,
                            const uint64_t *starts) {
  if (!gIndex) return 0;
  const KvrOccurMatcher &m = gIndex->sides[side].matcher;
  KvrOccurSet set;
  set.bits = static_cast<uint64_t *>(apr_pcalloc(pool, (m.numIds() / 64 + 1) * sizeof(uint64_t)));
  set.ids = static_cast<uint32_t *>(apr_palloc(pool, (m.numIds() + 1) * sizeof(uint32_t)));
  m.scan(reinterpret_cast<const unsigned char *>(text), n, starts, &set);
  return set.count;
}

namespace {

// Whether the text holds "&nbsp;" in any case.
bool holdsEntity(const char *p, size_t n) {
  for (const char *end = p + n; (p = static_cast<const char *>(std::memchr(p, '&', end - p))); ++p)
    if (end - p > 5 && apr_tolower(p[1]) == 'n' && apr_tolower(p[2]) == 'b' &&
        apr_tolower(p[3]) == 's' && apr_tolower(p[4]) == 'p' && p[5] == ';')
      return true;
  return false;
}

}  // namespace

namespace {

// Value of a hexadecimal digit, and whether a byte is one (as the server's
// decoder reads them).
struct HexTable {
  signed char value[256];
  constexpr HexTable() : value() {
    for (int b = 0; b < 256; ++b)
      value[b] = b >= '0' && b <= '9'   ? static_cast<signed char>(b - '0')
                 : b >= 'a' && b <= 'f' ? static_cast<signed char>(b - 'a' + 10)
                 : b >= 'A' && b <= 'F' ? static_cast<signed char>(b - 'A' + 10)
                                        : -1;
  }
};
constexpr HexTable kHex;

size_t decodeFormScalar(const unsigned char *in, size_t n, char *out, int *error) {
  size_t w = 0;
  bool bad = false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = in[i];
    if (c == '%') {
      const int hi = i + 1 < n ? kHex.value[in[i + 1]] : -1;
      const int lo = i + 2 < n ? kHex.value[in[i + 2]] : -1;
      if (hi < 0 || lo < 0) {
        bad = true;
      } else {
        c = static_cast<unsigned char>(hi << 4 | lo);
        bad = bad || c == '\0' || c == '/';
        i += 2;
      }
    }
    out[w++] = static_cast<char>(c ? c : ' ');
  }
  *error = bad ? 1 : 0;
  return w;
}

// Whether "&nbsp;", in any case, begins at `at` (an "&").
inline bool entityAt(const unsigned char *p, size_t n, size_t at) {
  return n - at > 5 && (p[at + 1] | 0x20) == 'n' && (p[at + 2] | 0x20) == 'b' &&
         (p[at + 3] | 0x20) == 's' && (p[at + 4] | 0x20) == 'p' && p[at + 5] == ';';
}

// What the lower-casing saw.
constexpr unsigned kSawHigh = 1, kSawEntity = 2;

// The lower-casing of a text, with what the GBK reading needs to mend it:
// bit i of upper[] is set where byte i was a capital, bit i of second[]
// where it is a byte that a byte-by-byte reading would fold or drop if it
// were the second byte of a character (0x40..0x7E but lower-case letters).
// Zero bytes become spaces. Bit i of starts[] is set where byte i begins
// a character (`trail`: the first byte is the second byte of one), as
// kvrGbkStarts gives them, with a zero word after the last. Returns
// kSawHigh when a byte is 0x80 or above, kSawEntity when the text holds
// "&nbsp;" in any case. out may be in.
unsigned lowerScalar(const unsigned char *in, size_t n, char *out, uint64_t *upper,
                     uint64_t *second, uint64_t *starts, int trail) {
  unsigned high = 0;
  bool entity = false, inChar = trail != 0;
  size_t k = 0;
  for (size_t base = 0; base < n; base += 64, ++k) {
    const size_t m = n - base < 64 ? n - base : 64;
    uint64_t up = 0, sec = 0, begins = 0;
    for (size_t j = 0; j < m; ++j) {
      const unsigned char c = in[base + j];
      begins |= static_cast<uint64_t>(!inChar) << j;
      inChar = !inChar && c >= 0x81 && c <= 0xFE;
      high |= c;
      entity = entity || (c == '&' && entityAt(in, n, base + j));
      const bool isUpper = c >= 'A' && c <= 'Z';
      up |= static_cast<uint64_t>(isUpper) << j;
      sec |= static_cast<uint64_t>(c >= 0x40 && c <= 0x7E && !(c >= 'a' && c <= 'z')) << j;
      out[base + j] = static_cast<char>(isUpper ? c + ('a' - 'A') : c ? c : ' ');
    }
    upper[k] = up;
    second[k] = sec;
    starts[k] = begins;
  }
  starts[k] = 0;
  return ((high & 0x80) ? kSawHigh : 0) | (entity ? kSawEntity : 0);
}

#ifdef __x86_64__

__attribute__((target("avx2"), always_inline)) inline __m256i hexDigits(__m256i v, __m256i *value) {
  const __m256i digit = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
  const __m256i isDigit = _mm256_cmpeq_epi8(_mm256_min_epu8(digit, _mm256_set1_epi8(9)), digit);
  const __m256i letter =
      _mm256_sub_epi8(_mm256_or_si256(v, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
  const __m256i isLetter = _mm256_cmpeq_epi8(_mm256_min_epu8(letter, _mm256_set1_epi8(5)), letter);
  *value = _mm256_add_epi8(_mm256_and_si256(v, _mm256_set1_epi8(0x0F)),
                           _mm256_and_si256(isLetter, _mm256_set1_epi8(9)));
  return _mm256_or_si256(isDigit, isLetter);
}

// One block of 32 input bytes; p may be read 34 bytes far (zeros past the
// text). `valid` marks the bytes of the text, `carried` the digits of an
// escape begun in the block before (and receives those of this one).
// Returns the bytes written (whole vectors are stored).
__attribute__((target("avx2,bmi2,popcnt"), always_inline)) inline size_t decodeBlockAvx2(
    const unsigned char *p, uint32_t valid, uint32_t *carried, uint32_t *bad, char *out) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  const __m256i zero = _mm256_setzero_si256(), space = _mm256_set1_epi8(' ');
  const __m256i pct = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('%'));
  const uint32_t percents = static_cast<uint32_t>(_mm256_movemask_epi8(pct)) & valid;
  if (percents == 0 && *carried == 0) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out),
                        _mm256_blendv_epi8(v, space, _mm256_cmpeq_epi8(v, zero)));
    return static_cast<size_t>(__builtin_popcount(valid));
  }
  __m256i hi, lo;
  const __m256i isHi = hexDigits(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1)), &hi);
  const __m256i isLo = hexDigits(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 2)), &lo);
  // An escape: a percent sign and two digits. Its digits are no percent
  // signs, so escapes never overlap and each is known from its own bytes.
  const __m256i esc = _mm256_and_si256(pct, _mm256_and_si256(isHi, isLo));
  const uint32_t escapes = static_cast<uint32_t>(_mm256_movemask_epi8(esc)) & valid;
  const __m256i decoded = _mm256_or_si256(_mm256_slli_epi16(hi, 4), lo);
  const __m256i badPath =
      _mm256_and_si256(esc, _mm256_or_si256(_mm256_cmpeq_epi8(decoded, zero),
                                            _mm256_cmpeq_epi8(decoded, _mm256_set1_epi8('/'))));
  *bad |= (percents & ~escapes) | (static_cast<uint32_t>(_mm256_movemask_epi8(badPath)) & valid);
  __m256i bytes = _mm256_blendv_epi8(v, decoded, esc);
  bytes = _mm256_blendv_epi8(bytes, space, _mm256_cmpeq_epi8(bytes, zero));
  const uint64_t digits = static_cast<uint64_t>(escapes) << 1 | static_cast<uint64_t>(escapes) << 2;
  const uint32_t keep = ~(static_cast<uint32_t>(digits) | *carried) & valid;
  *carried = static_cast<uint32_t>(digits >> 32);
  if (keep == 0xFFFFFFFFu) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), bytes);
    return 32;
  }
  const __m128i low = _mm256_castsi256_si128(bytes), high = _mm256_extracti128_si256(bytes, 1);
  const __m128i groups[4] = {low, _mm_srli_si128(low, 8), high, _mm_srli_si128(high, 8)};
  size_t w = 0;
#pragma GCC unroll 4
  for (int g = 0; g < 4; ++g) {
    const unsigned m = (keep >> (8 * g)) & 0xFF;
    const __m128i from = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kKvrPack.from[m]));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out + w), _mm_shuffle_epi8(groups[g], from));
    w += static_cast<size_t>(__builtin_popcount(m));
  }
  return w;
}

__attribute__((target("avx2,bmi2,popcnt"))) size_t decodeFormAvx2(const unsigned char *in, size_t n,
                                                                  char *out, int *error) {
  size_t w = 0, i = 0;
  uint32_t carried = 0, bad = 0;
  for (; n - i >= 34; i += 32) w += decodeBlockAvx2(in + i, ~0u, &carried, &bad, out + w);
  if (i < n) {
    // At most 33 bytes left: zeros after them are no digits.
    alignas(32) unsigned char tail[96] = {};
    const size_t left = n - i;
    std::memcpy(tail, in + i, left);
    for (size_t at = 0; at < left; at += 32) {
      const size_t m = left - at < 32 ? left - at : 32;
      const uint32_t valid = m == 32 ? ~0u : (1u << m) - 1;
      w += decodeBlockAvx2(tail + at, valid, &carried, &bad, out + w);
    }
  }
  *error = bad ? 1 : 0;
  return w;
}

__attribute__((target("avx2,bmi2,popcnt"))) unsigned lowerAvx2(const unsigned char *in, size_t n,
                                                               char *out, uint64_t *upper,
                                                               uint64_t *second, uint64_t *starts,
                                                               int trail) {
  const __m256i zero = _mm256_setzero_si256(), space = _mm256_set1_epi8(' ');
  __m256i high = zero;
  bool entity = false;
  uint64_t carry = trail ? 1 : 0;
  size_t k = 0;
  for (size_t base = 0; base < n; base += 64, ++k) {
    const size_t m = n - base < 64 ? n - base : 64;
    alignas(32) unsigned char tail[64];
    const unsigned char *p = in + base;
    if (m < 64) {
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, p, m);
      p = tail;
    }
    uint64_t up = 0, sec = 0, amps = 0, leads = 0;
    for (int h = 0; h < 2; ++h) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32 * h));
      high = _mm256_or_si256(high, v);
      const __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(0x81)));
      leads |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(
                   _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(0x7D)), d))))
               << (32 * h);
      amps |= static_cast<uint64_t>(static_cast<uint32_t>(
                  _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('&')))))
              << (32 * h);
      const __m256i t = _mm256_sub_epi8(v, _mm256_set1_epi8('A'));
      const __m256i isUpper = _mm256_cmpeq_epi8(_mm256_min_epu8(t, _mm256_set1_epi8(25)), t);
      const __m256i s = _mm256_sub_epi8(v, _mm256_set1_epi8(0x40));
      const __m256i inRange = _mm256_cmpeq_epi8(_mm256_min_epu8(s, _mm256_set1_epi8(0x3E)), s);
      const __m256i l = _mm256_sub_epi8(v, _mm256_set1_epi8('a'));
      const __m256i isLower = _mm256_cmpeq_epi8(_mm256_min_epu8(l, _mm256_set1_epi8(25)), l);
      up |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(isUpper))) << (32 * h);
      sec |= static_cast<uint64_t>(
                 static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_andnot_si256(isLower, inRange))))
             << (32 * h);
      __m256i lowered = _mm256_add_epi8(v, _mm256_and_si256(isUpper, _mm256_set1_epi8(0x20)));
      lowered = _mm256_blendv_epi8(lowered, space, _mm256_cmpeq_epi8(v, zero));
      if (m == 64) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + base + 32 * h), lowered);
      } else {
        alignas(32) unsigned char done[32];
        _mm256_store_si256(reinterpret_cast<__m256i *>(done), lowered);
        const size_t from = 32 * h;
        if (m > from) std::memcpy(out + base + from, done, m - from < 32 ? m - from : 32);
      }
    }
    const uint64_t valid = m == 64 ? ~uint64_t{0} : (uint64_t{1} << m) - 1;
    upper[k] = up & valid;
    second[k] = sec & valid;
    starts[k] = ~kvrGbkSecondBytes(leads & valid, valid, uint64_t{1} << (m - 1), &carry) & valid;
    // The bytes after an "&" are read as they are or lower-cased already
    // (when out is in): the test takes either case.
    for (amps &= valid; amps && !entity; amps &= amps - 1)
      entity = entityAt(in, n, base + static_cast<size_t>(__builtin_ctzll(amps)));
  }
  starts[k] = 0;
  return (_mm256_movemask_epi8(high) ? kSawHigh : 0) | (entity ? kSawEntity : 0);
}
#endif

size_t decodeForm(const unsigned char *in, size_t n, char *out, int *error) {
#ifdef __x86_64__
  if (kvrSimdLevel() >= kKvrSimdAvx2) return decodeFormAvx2(in, n, out, error);
#endif
  return decodeFormScalar(in, n, out, error);
}

unsigned lowerText(const unsigned char *in, size_t n, char *out, uint64_t *upper, uint64_t *second,
                   uint64_t *starts, int trail) {
#ifdef __x86_64__
  if (kvrSimdLevel() >= kKvrSimdAvx2) return lowerAvx2(in, n, out, upper, second, starts, trail);
#endif
  return lowerScalar(in, n, out, upper, second, starts, trail);
}

}  // namespace

size_t kvrPostDecodeForm(const char *data, size_t n, char *out, int *error) {
  return decodeForm(reinterpret_cast<const unsigned char *>(data), n, out, error);
}

// The texts in few passes: the copy, the decoding, the zero bytes and the
// lower-casing of every capital in one or two vector passes, which note
// where the capitals were; the GBK reading then gives back their case to
// the capitals that turn out to be second bytes of characters, and the
// text with "&nbsp;" (rare) gets back the case it was sent in before it is
// filtered.
KvrPostText kvrPostPrepare(apr_pool_t *pool, const char *data, size_t n, bool formEncoded,
                           int trail) {
  KvrPostText pt;
  pt.trail = trail;
  pt.raw = static_cast<char *>(apr_palloc(pool, n + 64));
  const size_t words = n / 64 + 1;
  uint64_t *upper = static_cast<uint64_t *>(apr_palloc(pool, 2 * words * sizeof(uint64_t)));
  uint64_t *second = upper + words;
  const unsigned char *from = reinterpret_cast<const unsigned char *>(data);
  pt.rawLen = n;
  if (formEncoded) {
    pt.rawLen = decodeForm(from, n, pt.raw, &pt.decodeError);
    from = reinterpret_cast<const unsigned char *>(pt.raw);
  }
  pt.rawStarts = static_cast<uint64_t *>(apr_palloc(pool, (pt.rawLen / 64 + 2) * sizeof(uint64_t)));
  const unsigned saw = lowerText(from, pt.rawLen, pt.raw, upper, second, pt.rawStarts, trail);
  pt.raw[pt.rawLen] = '\0';
  const unsigned char *raw = reinterpret_cast<const unsigned char *>(pt.raw);
  pt.filtered = KvrFilteredText{nullptr, 0, nullptr};
  pt.utf8 = (saw & kSawHigh) && kvrTextIsUtf8(raw, pt.rawLen);
  pt.foldSpoils = false;
  const size_t filled = (pt.rawLen + 63) / 64;  // words of upper and second
  if (saw & kSawEntity) {
    // The filter drops this entity whole, but only in lower case: made
    // from the text as sent, so that "&NBSP;" keeps its letters.
    for (size_t k = 0; k < filled; ++k)
      for (uint64_t u = upper[k]; u; u &= u - 1)
        pt.raw[64 * k + static_cast<size_t>(__builtin_ctzll(u))] -= 'a' - 'A';
    pt.filtered = kvrFilterTextAndRaw(pool, pt.raw, pt.rawLen, trail, pt.raw);
  } else if (!pt.utf8) {
    uint64_t spoils = 0;
    for (size_t k = 0; k < filled; ++k) {
      // A capital that is the second byte of a character keeps its case.
      for (uint64_t u = upper[k] & ~pt.rawStarts[k]; u; u &= u - 1)
        pt.raw[64 * k + static_cast<size_t>(__builtin_ctzll(u))] -= 'a' - 'A';
      second[k] &= ~pt.rawStarts[k];
      spoils |= second[k];
    }
    pt.foldSpoils = spoils != 0;
    if (spoils) pt.spoils = second;
  }
  return pt;
}

KvrPostText kvrPostPreparePlain(apr_pool_t *pool, const char *data, size_t n, bool formEncoded,
                                int trail) {
  KvrPostText pt;
  pt.decodeError = 0;
  pt.raw = static_cast<char *>(apr_palloc(pool, n + 1));
  pt.rawLen = n;
  pt.trail = trail;
  for (size_t i = 0; i < n; ++i) pt.raw[i] = data[i] ? data[i] : ' ';  // zero bytes as spaces
  pt.raw[n] = '\0';
  if (formEncoded) {
    // The decoded length, counted as the decoder reads escapes: a percent
    // sign with two hexadecimal digits is one byte.
    size_t escapes = 0;
    for (size_t i = 0; i + 2 < n; ++i)
      if (pt.raw[i] == '%' && apr_isxdigit(pt.raw[i + 1]) && apr_isxdigit(pt.raw[i + 2])) {
        ++escapes;
        i += 2;
      }
    pt.decodeError = ap_unescape_url(pt.raw) != OK;
    pt.rawLen = n - 2 * escapes;
    // "%00" decodes to a zero byte, which would end the text before the
    // rest of the body; like a raw zero byte it becomes a space.
    kvrRepNULLChar(pt.raw, static_cast<int>(pt.rawLen));
    pt.raw[pt.rawLen] = '\0';
  }
  pt.filtered = KvrFilteredText{nullptr, 0, nullptr};
  pt.utf8 = kvrTextIsUtf8(reinterpret_cast<const unsigned char *>(pt.raw), pt.rawLen);
  // Lower-casing changes no byte that opens a character: the boundaries
  // are the same before and after.
  const size_t words = pt.rawLen / 64 + 1;
  pt.rawStarts = static_cast<uint64_t *>(apr_palloc(pool, (words + 1) * sizeof(uint64_t)));
  kvrGbkStarts(reinterpret_cast<const unsigned char *>(pt.raw), pt.rawLen, trail, pt.rawStarts);
  if (holdsEntity(pt.raw, pt.rawLen)) {
    // The filter drops this entity whole, but only in lower case: made
    // now, from the text before it is lower-cased, so that "&NBSP;" keeps
    // its letters.
    pt.filtered = kvrFilterTextAndRaw(pool, pt.raw, pt.rawLen, trail, pt.raw);
  } else if (pt.utf8) {
    kvrAsciiLower(pt.raw, pt.rawLen);
  } else {
    kvrGbkLowerAtStarts(pt.raw, pt.rawLen, pt.rawStarts);
  }
  pt.foldSpoils =
      !pt.filtered.text &&
      kvrGbkFoldSpoils(reinterpret_cast<const unsigned char *>(pt.raw), pt.rawLen, pt.rawStarts);
  return pt;
}

void kvrPostEnsureFiltered(apr_pool_t *pool, KvrPostText *text) {
  // Without "&nbsp;" the filtered form of the lower-cased text is that of
  // the text before.
  if (!text->filtered.text)
    text->filtered = kvrFilterText(pool, text->raw, text->rawLen, text->trail);
}

namespace {

bool entryHits(const EntryWords &ew, const KvrOccurSet &set) {
  if (ew.count == 0) return false;
  for (int k = 0; k < ew.count; ++k)
    if (ew.ids[k] != kAlways && !set.has(ew.ids[k])) return false;
  return true;
}

// The entries of one table and pass that use a word found in the text,
// in table order.
std::vector<uint32_t> candidates(const Side &side, const KvrOccurSet &set, int slot, int pass) {
  std::vector<uint32_t> out;
  const uint32_t want = pack(slot, pass, 0);
  for (uint32_t k = 0; k < set.count; ++k) {
    const uint32_t id = set.ids[k];
    for (uint32_t j = side.userBegin[id]; j < side.userBegin[id + 1]; ++j)
      if ((side.users[j] & 0xE0000000u) == want) out.push_back(side.users[j] & 0x1FFFFFFFu);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

namespace {

// A byte that no keyword holds, no filter drops and no lower-casing folds.
constexpr unsigned char kInert = 0xFF;

// The filtered sweep's words over the raw text read as if filtered (no
// "&nbsp;" in it). The second bytes of GBK characters that such a reading
// would fold or drop stand in for a byte read as they are in the filtered
// text: one that no keyword holds either. False, nothing scanned, when the
// reading cannot serve.
bool scanFoldedRaw(apr_pool_t *pool, const KvrOccurMatcher &m, const KvrPostText &text,
                   const uint64_t *starts, KvrOccurSet *set) {
  const unsigned char *raw = reinterpret_cast<const unsigned char *>(text.raw);
  if (text.foldSpoils) {
    if (!text.spoils || m.holdsByte(kInert)) return false;
    unsigned char *copy = static_cast<unsigned char *>(apr_palloc(pool, text.rawLen + 1));
    std::memcpy(copy, raw, text.rawLen + 1);
    for (size_t k = 0; k < (text.rawLen + 63) / 64; ++k)
      for (uint64_t b = text.spoils[k]; b; b &= b - 1) {
        const size_t at = 64 * k + static_cast<size_t>(__builtin_ctzll(b));
        if (m.holdsByte(copy[at])) return false;
        copy[at] = kInert;
      }
    raw = copy;
  }
  return m.scanFolded(raw, text.rawLen, starts, set);
}

}  // namespace

int kvrPostSweep(apr_pool_t *pool, const KvrPostText &text, bool block, bool record,
                 KvrPostHit *hits, int *numHits) {
  *numHits = 0;
  if (!gIndex) return 1;
  KvrOccurSet sets[2];
  const unsigned char *texts[2] = {reinterpret_cast<const unsigned char *>(text.filtered.text),
                                   reinterpret_cast<const unsigned char *>(text.raw)};
  const size_t lens[2] = {text.filtered.len, text.rawLen};
  // GBK forms count only where a character begins, against false starts in
  // the middle of GBK characters; a UTF-8 text has no such starts.
  const uint64_t *starts[2] = {text.utf8 ? nullptr : text.filtered.starts,
                               text.utf8 ? nullptr : text.rawStarts};
  bool scanned[2] = {false, false};
  auto setOf = [&](int slot) -> const KvrOccurSet & {
    const int s = sideOf(slot);
    if (!scanned[s]) {
      const Side &side = gIndex->sides[s];
      const uint32_t ids = side.matcher.numIds();
      sets[s].bits = static_cast<uint64_t *>(apr_pcalloc(pool, (ids / 64 + 1) * sizeof(uint64_t)));
      sets[s].ids = static_cast<uint32_t *>(apr_palloc(pool, (ids + 1) * sizeof(uint32_t)));
      if (s == 1 || texts[0]) {
        side.matcher.scan(texts[s], lens[s], starts[s], &sets[s]);
      } else if (!scanFoldedRaw(pool, side.matcher, text, starts[1], &sets[s])) {
        // A pattern the folded reading cannot serve, or a GBK text it would
        // misread: the filtered text.
        const KvrFilteredText f = kvrFilterText(pool, text.raw, text.rawLen, text.trail);
        side.matcher.scan(reinterpret_cast<const unsigned char *>(f.text), f.len,
                          text.utf8 ? nullptr : f.starts, &sets[s]);
      }
      scanned[s] = true;
    }
    return sets[s];
  };

  if (block) {
    for (int slot : {kPostC, kPostCex}) {
      if (gIndex->words[slot][0].empty()) continue;
      const KvrOccurSet &set = setOf(slot);
      for (int pass = 1; pass <= 2; ++pass) {
        if (pass == 2 && nChkUtf8PostKeyWord != 1) break;
        for (uint32_t e : candidates(gIndex->sides[sideOf(slot)], set, slot, pass)) {
          if (entryHits(gIndex->words[slot][pass - 1][e], set)) {
            hits[0] = {slot, static_cast<int>(e), pass};
            *numHits = 1;
            return 2;
          }
        }
      }
    }
  }
  if (record) {
    for (int slot : {kPostB, kPostBex}) {
      if (gIndex->words[slot][0].empty()) continue;
      const KvrOccurSet &set = setOf(slot);
      apr_size_t count = 0;
      for (int pass = 1; pass <= 2 && count < nChkPostKeyWordNum; ++pass) {
        if (pass == 2 && nChkUtf8PostKeyWord != 1) break;
        for (uint32_t e : candidates(gIndex->sides[sideOf(slot)], set, slot, pass)) {
          if (!entryHits(gIndex->words[slot][pass - 1][e], set)) continue;
          if (*numHits < 8) hits[(*numHits)++] = {slot, static_cast<int>(e), pass};
          if (++count == nChkPostKeyWordNum) break;
        }
      }
      if (slot == kPostB && count == nChkPostKeyWordNum) break;
    }
  }
  return 1;
}

bool kvrPostEntryHitsPlain(int table, int index, int pass, const char *text, size_t len,
                           const uint64_t *starts) {
  const structPostKeyWord &e = tableOf(table)[index];
  if (e.usertype != 2) return false;
  char w[3][256];
  int count = 0;
  const EntryWords ew = wordsOf(e, pass, w, &count);
  if (ew.count == 0) return false;
  const std::string t(text, len);
  for (int k = 0; k < ew.count; ++k) {
    if (!w[k][0]) continue;
    bool found = false;
    for (size_t at = t.find(w[k]); at != std::string::npos && !found; at = t.find(w[k], at + 1))
      found = pass != 1 || !starts || ((starts[at >> 6] >> (at & 63)) & 1);
    if (!found) return false;
  }
  return true;
}
