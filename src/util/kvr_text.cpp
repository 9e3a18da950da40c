#include "util/kvr_text.h"

#include <apr_strings.h>
#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/kvr_cpu.h"
#include "util/kvr_simd.h"

int kvrRepStr(apr_pool_t *p, char *szStrBuffIn, char *szSearch, char *szReplace, char *szStrBuffOut,
              int nStrBuffOutLen) {
  if (!szStrBuffIn || !szSearch || !szReplace || !szStrBuffOut || !*szStrBuffIn || !*szSearch ||
      !*szReplace || nStrBuffOutLen < 3)
    return 0;
  const size_t inLen = std::strlen(szStrBuffIn);
  const size_t sLen = std::strlen(szSearch);
  const size_t rLen = std::strlen(szReplace);

  // Count first, then build the result in one pool string: the same text as
  // rebuilding the string at each replacement, without the quadratic cost.
  int count = 0;
  for (const char *q = std::strstr(szStrBuffIn, szSearch); q; q = std::strstr(q + sLen, szSearch))
    ++count;
  const size_t outLen =
      inLen + static_cast<size_t>(count) * rLen - static_cast<size_t>(count) * sLen;
  char *result = static_cast<char *>(apr_palloc(p, outLen + 1));
  if (!result) return 0;
  char *w = result;
  const char *from = szStrBuffIn;
  for (const char *q = std::strstr(from, szSearch); q; q = std::strstr(from, szSearch)) {
    std::memcpy(w, from, static_cast<size_t>(q - from));
    w += q - from;
    std::memcpy(w, szReplace, rLen);
    w += rLen;
    from = q + sLen;
  }
  const size_t rest = std::strlen(from);
  std::memcpy(w, from, rest);
  w[rest] = '\0';

  std::memset(szStrBuffOut, 0, static_cast<size_t>(nStrBuffOutLen));
  const size_t keep = outLen < static_cast<size_t>(nStrBuffOutLen - 1)
                          ? outLen
                          : static_cast<size_t>(nStrBuffOutLen - 1);
  std::memcpy(szStrBuffOut, result, keep);
  return count;
}

char *kvr_str_replace(apr_pool_t *pool, char *search, char *replace, char *subject,
                      apr_size_t nOutBuffLen) {
  // The buffer is taken before any test; one byte more than asked for when
  // asked for none, so the result is always terminated.
  char *out = static_cast<char *>(apr_pcalloc(pool, nOutBuffLen ? nOutBuffLen : 1));
  if (!out || !search || !replace || !subject || !*search || !*replace || !*subject) return nullptr;
  const size_t cap = nOutBuffLen ? nOutBuffLen - 1 : 0;
  const size_t sLen = std::strlen(search);
  const size_t rLen = std::strlen(replace);
  size_t used = 0;
  auto append = [&](const char *s, size_t n) {
    if (used >= cap) return;
    if (n > cap - used) n = cap - used;
    std::memcpy(out + used, s, n);
    used += n;
  };
  const char *from = subject;
  for (const char *q = std::strstr(from, search); q && used < cap; q = std::strstr(from, search)) {
    append(from, static_cast<size_t>(q - from));
    append(replace, rLen);
    from = q + sLen;
  }
  append(from, std::strlen(from));
  return out;
}

int kvr_remove_str(char *orgstr) {
  if (!orgstr || !*orgstr) return 0;
  const size_t len = std::strlen(orgstr);
  // In place: what is kept never moves to the right, so the bytes still to
  // be read are never overwritten, and no buffer is needed (one from the
  // heap would stay with every thread that once built a block page).
  static constexpr struct {
    char third;
    const char *text;
    size_t len;
  } kHolders[] = {{'p', "{!postkey!}", 11}, {'g', "{!getkey!}", 10}, {'u', "{!url!}", 7}};
  size_t w = 0;
  for (size_t i = 0; i < len;) {
    if (orgstr[i] == '{' && orgstr[i + 1] == '!') {
      bool skipped = false;
      for (const auto &h : kHolders) {
        if (orgstr[i + 2] == h.third) {
          if (std::strncmp(orgstr + i, h.text, h.len) == 0) {
            i += h.len;
            skipped = true;
          }
          break;
        }
      }
      if (skipped) continue;
    }
    orgstr[w++] = orgstr[i++];
  }
  orgstr[w] = '\0';
  return 1;
}

int kvrGetRightChar(const char *s1, int n, char *s2) {
  if (!s1 || !s2 || !*s1 || n < 1 || n > 31) return 0;
  std::memset(s2, 0, 32);
  const size_t len = std::strlen(s1);
  if (static_cast<size_t>(n) > len)
    std::memcpy(s2, s1, len);
  else
    std::memcpy(s2, s1 + len - static_cast<size_t>(n), static_cast<size_t>(n));
  return 1;
}

int kvrRepNULLChar(char *szInBuff, int nBuffLen) {
  if (!szInBuff) return 0;
  for (int i = 0; i < nBuffLen; ++i)
    if (szInBuff[i] == '\0') szInBuff[i] = ' ';
  return 1;
}

int kvrIsUtf8(const char *szBuff, apr_size_t nBuffSize) {
  if (!szBuff || nBuffSize < 3) return 0;
  const unsigned char *s = reinterpret_cast<const unsigned char *>(szBuff);
  const unsigned char *end = s + nBuffSize;
  auto cont = [](unsigned char c) { return c >= 0x80 && c <= 0xBF; };
  while (s < end) {
    const unsigned char c = *s;
    if (c < 0x80) {
      ++s;
    } else if (c <= 0xBF) {
      return 0;
    } else if (c <= 0xDF) {
      if (end - s < 2) return 1;
      if (!cont(s[1])) return 0;
      s += 2;
    } else if (c <= 0xEF) {
      if (end - s < 3) return 1;
      if (!cont(s[1]) || !cont(s[2])) return 0;
      s += 3;
    } else {
      return 0;
    }
  }
  return 1;
}

KvrConverter::KvrConverter(const char *topage, const char *frompage)
    : cd_(reinterpret_cast<void *>(iconv_open(topage, frompage))) {}

KvrConverter::~KvrConverter() {
  if (ok()) iconv_close(reinterpret_cast<iconv_t>(cd_));
}

void KvrConverter::convert(const char *input, size_t ilen, char *output, size_t olen) {
  std::memset(output, 0, olen);
  if (!ok()) return;
  iconv_t cd = reinterpret_cast<iconv_t>(cd_);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // fresh shift state for each text
  char *in = const_cast<char *>(input);
  char *out = output;
  size_t inLeft = ilen, outLeft = olen;
  iconv(cd, &in, &inLeft, &out, &outLeft);
}

void KvrConverter::convertSkipping(const char *input, size_t ilen, char *output, size_t olen) {
  std::memset(output, 0, olen);
  if (!ok()) return;
  iconv_t cd = reinterpret_cast<iconv_t>(cd_);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char *in = const_cast<char *>(input);
  char *out = output;
  size_t inLeft = ilen, outLeft = olen;
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1)) break;
    if (errno != EILSEQ && errno != EINVAL) break;  // the output is full
    ++in;
    --inLeft;
  }
}

int kvr_covert(char *topage, char *frompage, char *input, size_t ilen, char *output, size_t olen) {
  KvrConverter conv(topage, frompage);
  if (!conv.ok()) return 0;
  conv.convert(input, ilen, output, olen);
  return 1;
}

void kvrAsciiLower(char *s, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (s[i] >= 'A' && s[i] <= 'Z') s[i] = static_cast<char>(s[i] + ('a' - 'A'));
}

int kvrGbkAsciiLower(char *s, size_t n, int trail) {
  bool second = trail != 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (second) {
      second = false;
      continue;
    }
    if (b >= 'A' && b <= 'Z')
      s[i] = static_cast<char>(b + ('a' - 'A'));
    else
      second = b >= 0x81 && b <= 0xFE;
  }
  return second ? 1 : 0;
}

namespace {

// Whether the characters from i on (i at the start of one) are UTF-8, as
// kvrTextIsUtf8 tells; `multi` whether one of more than one byte came
// before i.
bool utf8From(const unsigned char *p, size_t n, size_t i, bool multi) {
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      // Runs of ASCII eight bytes at a time.
      uint64_t eight;
      while (i + 8 <= n && (std::memcpy(&eight, p + i, 8), (eight & 0x8080808080808080ull) == 0))
        i += 8;
      if (i < n && p[i] < 0x80) ++i;
      continue;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    for (size_t k = 1; k < len; ++k) {
      if (i + k == n) return multi;  // cut short by the end of the piece
      const unsigned char c = p[i + k];
      if (k == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) return false;
    }
    multi = true;
    i += len;
  }
  return multi;
}

#ifdef __x86_64__
// Whether n bytes are whole UTF-8 characters, 32 at a time: each byte is
// judged with the one, two and three before it, by the classes of their
// halves looked up in three small tables (one bit per kind of fault); *high
// whether any byte is from 0x80 up.
constexpr uint8_t kTooShort = 1 << 0;   // a lead byte not followed by a continuation
constexpr uint8_t kTooLong = 1 << 1;    // a continuation after an ASCII byte
constexpr uint8_t kOverlong3 = 1 << 2;  // e0 80..9f
constexpr uint8_t kTooLarge = 1 << 3;   // above U+10FFFF
constexpr uint8_t kSurrogate = 1 << 4;  // ed a0..bf
constexpr uint8_t kOverlong2 = 1 << 5;  // c0, c1
constexpr uint8_t kTooLarge1000 = 1 << 6;
constexpr uint8_t kOverlong4 = 1 << 6;  // f0 80..8f
constexpr uint8_t kTwoConts = 1 << 7;   // a continuation after a continuation
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

// A table of sixteen bytes in both halves, for a shuffle.
template <typename... Bytes>
__attribute__((target("avx2"), always_inline)) inline __m256i table16(Bytes... b) {
  static_assert(sizeof...(Bytes) == 16, "sixteen entries");
  return _mm256_broadcastsi128_si256(_mm_setr_epi8(static_cast<char>(b)...));
}

// The faults of the 32 bytes of `in`, `prev` the 32 before them.
__attribute__((target("avx2"), always_inline)) inline __m256i utf8Faults(__m256i in, __m256i prev) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  const __m256i joined = _mm256_permute2x128_si256(prev, in, 0x21);
  const __m256i prev1 = _mm256_alignr_epi8(in, joined, 15);
  const __m256i prev2 = _mm256_alignr_epi8(in, joined, 14);
  const __m256i prev3 = _mm256_alignr_epi8(in, joined, 13);
  const __m256i byte1High = _mm256_shuffle_epi8(
      table16(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
              kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
              kTooShort | kOverlong3 | kSurrogate,
              kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
      _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low4));
  constexpr uint8_t kBig = kCarry | kTooLarge | kTooLarge1000;
  const __m256i byte1Low = _mm256_shuffle_epi8(
      table16(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
              kCarry | kTooLarge, kBig, kBig, kBig, kBig, kBig, kBig, kBig, kBig, kBig | kSurrogate,
              kBig, kBig),
      _mm256_and_si256(prev1, low4));
  constexpr uint8_t kCont = kTooLong | kOverlong2 | kTwoConts;
  const __m256i byte2High = _mm256_shuffle_epi8(
      table16(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
              kTooShort, kCont | kOverlong3 | kTooLarge1000 | kOverlong4,
              kCont | kOverlong3 | kTooLarge, kCont | kSurrogate | kTooLarge,
              kCont | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort, kTooShort),
      _mm256_and_si256(_mm256_srli_epi16(in, 4), low4));
  const __m256i special = _mm256_and_si256(_mm256_and_si256(byte1High, byte1Low), byte2High);
  // Bytes that must be the third or fourth of a character: two after a
  // lead of three or more bytes, three after one of four.
  const __m256i must23 =
      _mm256_or_si256(_mm256_subs_epu8(prev2, _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80))),
                      _mm256_subs_epu8(prev3, _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80))));
  return _mm256_xor_si256(_mm256_and_si256(must23, _mm256_set1_epi8(static_cast<char>(0x80))),
                          special);
}

__attribute__((target("avx2"))) bool wholeUtf8Avx2(const unsigned char *p, size_t n, bool *high) {
  __m256i prev = _mm256_setzero_si256(), faults = _mm256_setzero_si256();
  __m256i any = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
    any = _mm256_or_si256(any, in);
    // ASCII after ASCII needs no tables.
    if (_mm256_movemask_epi8(_mm256_or_si256(in, prev)) == 0) {
      prev = in;
      continue;
    }
    faults = utf8Faults(in, prev);
    // Other text (GBK) shows a fault within its first characters.
    if (!_mm256_testz_si256(faults, faults)) return false;
    prev = in;
  }
  if (i < n) {
    alignas(32) unsigned char tail[32] = {};
    std::memcpy(tail, p + i, n - i);
    const __m256i in = _mm256_load_si256(reinterpret_cast<const __m256i *>(tail));
    any = _mm256_or_si256(any, in);
    faults = _mm256_or_si256(faults, utf8Faults(in, prev));
    prev = in;
  }
  // The bytes after the end are ASCII: a character cut short is a fault.
  faults = _mm256_or_si256(faults, utf8Faults(_mm256_setzero_si256(), prev));
  *high = _mm256_movemask_epi8(any) != 0;
  return _mm256_testz_si256(faults, faults);
}
#endif

}  // namespace

bool kvrTextIsUtf8(const unsigned char *p, size_t n) {
  size_t i = 0;
  // The tail of a character begun in the piece before.
  while (i < n && i < 3 && (p[i] & 0xC0) == 0x80) ++i;
#ifdef __x86_64__
  if (n - i >= 64 && kvrSimdLevel() >= kKvrSimdAvx2) {
    // Whole characters up to the last one, which the end of the piece may
    // cut short; that one as before.
    size_t e = n;
    for (size_t k = 1; k <= 4; ++k) {
      const unsigned char b = p[n - k];
      if ((b & 0xC0) == 0x80) continue;
      const size_t len = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      if (len > k) e = n - k;
      break;
    }
    bool high = false;
    if (!wholeUtf8Avx2(p + i, e - i, &high)) return false;
    return utf8From(p, n, e, high);
  }
#endif
  return utf8From(p, n, i, false);
}

size_t kvrStripBlanks(char *line) {
  size_t w = 0;
  for (size_t i = 0; line[i]; ++i) {
    const char c = line[i];
    if (c == '\r' || c == '\n' || c == '\t' || c == ' ') continue;
    line[w++] = c;
  }
  line[w] = '\0';
  return w;
}
