#include "screen/kvr_get_scan.h"

#include <apr_strings.h>

#include <algorithm>
#include <cstring>

#include "config/kvr_config.h"
#include "match/kvr_match.h"
#include "match/kvr_prefilter.h"
#include "util/kvr_bigbuf.h"
#include "util/kvr_cpu.h"
#include "util/kvr_gbk_bits.h"
#include "util/kvr_simd.h"
#include "util/kvr_text.h"

namespace {

// Per byte: kept (lower-cased) or dropped, an ampersand, or a GBK lead byte.
enum : uint8_t { kKeep = 1, kAmp = 2, kLead = 4 };

struct ByteTable {
  uint8_t flags[256];
  uint8_t lower[256];
  uint8_t rawLower[256];  // as lower, and a zero byte becomes a space
  constexpr ByteTable() : flags(), lower(), rawLower() {
    for (int b = 0; b < 256; ++b) {
      const unsigned char u = static_cast<unsigned char>(b);
      flags[b] = static_cast<uint8_t>((b == '&'            ? kAmp
                                       : kvrFilterDrops(u) ? 0
                                                           : kKeep) |
                                      (b >= 0x81 && b <= 0xFE ? kLead : 0));
      lower[b] = static_cast<uint8_t>(b >= 'A' && b <= 'Z' ? b + 32 : b);
      rawLower[b] = b == 0 ? ' ' : lower[b];
    }
  }
};
constexpr ByteTable kBytes;

#ifdef __SSE2__
// Whether sixteen bytes are all letters, digits or bytes from 0x80 up (all
// kept); gives them as loaded and lower-cased, and which are upper case.
inline bool allKept16(const unsigned char *p, __m128i *v, __m128i *lowered, __m128i *upperOut) {
  *v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  const __m128i x = *v;
  auto within = [&](char lo, char hi) {
    return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(lo - 1))),
                         _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(hi + 1))));
  };
  const __m128i upper = within('A', 'Z');
  const __m128i keep = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(x, _mm_setzero_si128()), upper),
                                    _mm_or_si128(within('a', 'z'), within('0', '9')));
  if (_mm_movemask_epi8(keep) != 0xFFFF) return false;
  *lowered = _mm_add_epi8(x, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
  *upperOut = upper;
  return true;
}
#endif

}  // namespace

int kvrGbkTrailAfter(const char *data, size_t n, int trail) {
  // After any byte that opens no character the next byte starts one; in a
  // run of bytes that do, starts and second bytes alternate.
  size_t run = 0;
  while (run < n) {
    const unsigned char b = static_cast<unsigned char>(data[n - 1 - run]);
    if (b < 0x81 || b > 0xFE) break;
    ++run;
  }
  if (run == n) return (trail ^ static_cast<int>(n & 1)) & 1;
  return static_cast<int>(run & 1);
}

namespace {

// Bit i set when byte i is 0x81..0xFE (opens a character where one starts).
inline uint64_t leadMask(const unsigned char *p, size_t m) {
  uint64_t mask = 0;
  size_t j = 0;
#ifdef __SSE2__
  for (; j + 16 <= m; j += 16) {
    const __m128i v = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + j)),
                                    _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i lead = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_setzero_si128()),
                                       _mm_cmplt_epi8(v, _mm_set1_epi8(0x7F)));
    mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(lead))) << j;
  }
#endif
  for (; j < m; ++j)
    mask |= static_cast<uint64_t>(static_cast<unsigned char>(p[j] - 0x81) < 0x7E) << j;
  return mask;
}

}  // namespace

namespace {

// Bit j set when byte j of up to 64 is in [lo, hi].
inline uint64_t rangeMask(const unsigned char *p, size_t m, unsigned char lo, unsigned char hi) {
  uint64_t mask = 0;
  size_t j = 0;
#ifdef __SSE2__
  const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i low = _mm_set1_epi8(static_cast<char>((lo ^ 0x80) - 1));
  const __m128i high = _mm_set1_epi8(static_cast<char>((hi ^ 0x80) + 1));
  for (; j + 16 <= m; j += 16) {
    const __m128i v =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + j)), bias);
    const __m128i in = _mm_and_si128(_mm_cmpgt_epi8(v, low), _mm_cmplt_epi8(v, high));
    mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(in))) << j;
  }
#endif
  for (; j < m; ++j) mask |= static_cast<uint64_t>(p[j] >= lo && p[j] <= hi) << j;
  return mask;
}

}  // namespace

bool kvrGbkFoldSpoils(const unsigned char *p, size_t n, const uint64_t *starts) {
  for (size_t base = 0, k = 0; base < n; base += 64, ++k) {
    const size_t m = n - base < 64 ? n - base : 64;
    // Second bytes 0x40..0x7E but lower-case letters, which are the same
    // either way.
    const uint64_t second =
        (rangeMask(p + base, m, 0x40, 0x7E) & ~rangeMask(p + base, m, 'a', 'z')) & ~starts[k];
    if (second) return !kvrTextIsUtf8(p, n);
  }
  return false;
}

void kvrGbkLowerAtStarts(char *text, size_t n, const uint64_t *starts) {
  unsigned char *p = reinterpret_cast<unsigned char *>(text);
  for (size_t base = 0, k = 0; base < n; base += 64, ++k) {
    const size_t m = n - base < 64 ? n - base : 64;
    for (uint64_t upper = rangeMask(p + base, m, 'A', 'Z') & starts[k]; upper; upper &= upper - 1)
      p[base + static_cast<size_t>(__builtin_ctzll(upper))] += 'a' - 'A';
  }
}

int kvrGbkStarts(const unsigned char *p, size_t n, int trail, uint64_t *starts) {
  uint64_t carry = trail ? 1 : 0;
  size_t k = 0;
  for (size_t base = 0; base < n; base += 64, ++k) {
    const size_t m = n - base < 64 ? n - base : 64;
    const uint64_t valid = m == 64 ? ~uint64_t{0} : (uint64_t{1} << m) - 1;
    const uint64_t second =
        kvrGbkSecondBytes(leadMask(p + base, m), valid, uint64_t{1} << (m - 1), &carry);
    starts[k] = ~second & valid;
  }
  starts[k] = 0;
  return static_cast<int>(carry);
}

namespace {

// The filtered text of n bytes into out (room for n + 16 bytes); with
// kBounds each kept byte's boundary flag into flag (a byte each, cheaper to
// write than a bit), with kRaw the raw copy into rawOut. Returns its length.
// kGbk (with kBounds) reads the text as GBK: the second byte of a character
// is part of it, never lower-cased or dropped as if it were ASCII.
template <bool kRaw, bool kBounds, bool kGbk = false>
size_t filterCore(const unsigned char *in, size_t n, int startTrail, char *out, unsigned char *flag,
                  char *rawOut) {
  static_assert(kBounds || !kGbk, "the GBK reading needs the boundaries");
  uint64_t trail = startTrail ? 1 : 0;  // the byte at hand is the second byte of a character
  size_t w = 0;
  for (size_t i = 0; i < n;) {
#ifdef __SSE2__
    // Sixteen bytes that are all letters, digits or bytes from 0x80 up are
    // all kept: stored lower-cased at once.
    __m128i v, lowered, upper;
    if (n - i >= 16 && allKept16(in + i, &v, &lowered, &upper)) {
      if (kBounds) {
        // Their boundaries, and those as sixteen flag bytes.
        const __m128i x = _mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80)));
        const __m128i lead = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_setzero_si128()),
                                           _mm_cmplt_epi8(x, _mm_set1_epi8(0x7F)));
        const uint64_t leadBits = static_cast<uint32_t>(_mm_movemask_epi8(lead));
        const uint64_t bits = ~kvrGbkSecondBytes(leadBits, 0xFFFF, 0x8000, &trail) & 0xFFFF;
        const __m128i spread =
            _mm_set_epi64x(static_cast<long long>((bits >> 8) * 0x0101010101010101ull),
                           static_cast<long long>((bits & 0xFF) * 0x0101010101010101ull));
        const __m128i pick = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
        const __m128i set = _mm_cmpeq_epi8(_mm_and_si128(spread, pick), pick);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(flag + w),
                         _mm_and_si128(set, _mm_set1_epi8(1)));
        // Only the letters that begin a character are lower-cased.
        if (kGbk)
          lowered = _mm_add_epi8(v, _mm_and_si128(_mm_and_si128(upper, set), _mm_set1_epi8(0x20)));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out + w), lowered);
      if (kRaw) _mm_storeu_si128(reinterpret_cast<__m128i *>(rawOut + i), lowered);
      w += 16;
      i += 16;
      continue;
    }
#endif
    // Otherwise byte by byte, up to the end of these sixteen.
    const size_t stop = n - i >= 16 ? i + 16 : n;
    for (; i < stop; ++i) {
      const unsigned char b = in[i];
      const uint32_t f = kBytes.flags[b];
      if (__builtin_expect(f & kAmp, 0)) {
        trail = 0;  // '&' opens no character, and the entity is ASCII
        if (kRaw) rawOut[i] = '&';
        if (n - i > 5 && std::memcmp(in + i + 1, "nbsp;", 5) == 0) {
          if (kRaw) std::memcpy(rawOut + i + 1, "nbsp;", 5);
          i += 5;
        }
        continue;
      }
      // Without branches: each byte is stored, and the write position
      // advanced only when it is kept.
      uint32_t second = 0;  // a second byte that ASCII rules would change
      if (kBounds) {
        const uint64_t start = trail ^ 1u;
        trail = start & (f >> 2);
        flag[w] = static_cast<unsigned char>(start);
        if (kGbk) second = static_cast<uint32_t>(start ^ 1u) & (b - 0x40u < 0x3Fu);
      }
      out[w] = static_cast<char>(second ? b : kBytes.lower[b]);
      w += (f & kKeep) | second;
      // The raw copy may be the input itself: the lookahead above reads
      // bytes not yet written.
      if (kRaw) rawOut[i] = static_cast<char>(second ? b : kBytes.rawLower[b]);
    }
  }
  return w;
}

template <bool kRaw>
KvrFilteredText filterText(apr_pool_t *pool, const char *data, size_t n, int startTrail,
                           char *rawOut) {
  KvrFilteredText ft;
  ft.text = static_cast<char *>(apr_palloc(pool, n + 16));
  const size_t words = n / 64 + 1;
  ft.starts = static_cast<uint64_t *>(apr_palloc(pool, words * sizeof(uint64_t)));
  // The flags are packed into bits at the end.
  unsigned char *flag = static_cast<unsigned char *>(apr_palloc(pool, words * 64 + 16));
  const unsigned char *in = reinterpret_cast<const unsigned char *>(data);
  ft.utf8 = kvrTextIsUtf8(in, n);
  const size_t w = ft.utf8 ? filterCore<kRaw, true, false>(in, n, startTrail, ft.text, flag, rawOut)
                           : filterCore<kRaw, true, true>(in, n, startTrail, ft.text, flag, rawOut);
  ft.text[w] = '\0';
  ft.len = w;
  std::memset(flag + w, 0, words * 64 - w);
  for (size_t k = 0; k < words; ++k) {
    const unsigned char *q = flag + k * 64;
    uint64_t bits = 0;
#ifdef __SSE2__
    for (int j = 0; j < 4; ++j) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q + 16 * j));
      const uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(_mm_slli_epi16(v, 7)));
      bits |= static_cast<uint64_t>(m) << (16 * j);
    }
#else
    for (int j = 0; j < 64; ++j) bits |= static_cast<uint64_t>(q[j] & 1) << j;
#endif
    ft.starts[k] = bits;
  }
  return ft;
}

}  // namespace

namespace {

#ifdef __x86_64__
// 64 bytes at a time: the dropped bytes are looked up in a 128-byte table
// (bytes from 0x80 up are all kept), the kept ones lower-cased and packed
// with one compress.
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi2"))) size_t filterBytesAvx512(
    const unsigned char *in, size_t n, char *out) {
  alignas(64) static const struct Drop {
    unsigned char d[128];
    constexpr Drop() : d() {
      for (int b = 0; b < 128; ++b) d[b] = !(kBytes.flags[b] & kKeep);
    }
  } kDrop;
  const __m512i dropLo = _mm512_load_si512(kDrop.d), dropHi = _mm512_load_si512(kDrop.d + 64);
  const __m512i amp = _mm512_set1_epi8('&'), a = _mm512_set1_epi8('A');
  const __m512i alphabet = _mm512_set1_epi8(25), caseBit = _mm512_set1_epi8(0x20);
  size_t w = 0;
  uint64_t carried = 0;  // entity bytes that run into the next 64
  for (size_t i = 0; i < n; i += 64) {
    const size_t m = n - i < 64 ? n - i : 64;
    const __mmask64 valid = m == 64 ? ~__mmask64{0} : (__mmask64{1} << m) - 1;
    const __m512i v = _mm512_maskz_loadu_epi8(valid, in + i);
    const __mmask64 dropped =
        _mm512_test_epi8_mask(_mm512_permutex2var_epi8(dropLo, v, dropHi), _mm512_set1_epi8(1));
    __mmask64 keep = (_mm512_movepi8_mask(v) | ~dropped) & valid & ~carried;
    carried = 0;
    for (uint64_t ands = _mm512_cmpeq_epi8_mask(v, amp) & valid; ands; ands &= ands - 1) {
      // '&' is dropped already (it is punctuation); "nbsp;" after it goes too.
      const size_t j = static_cast<size_t>(__builtin_ctzll(ands));
      if (n - (i + j) > 5 && std::memcmp(in + i + j + 1, "nbsp;", 5) == 0) {
        const unsigned __int128 span = static_cast<unsigned __int128>(0x1F) << (j + 1);
        keep &= ~static_cast<uint64_t>(span);
        carried |= static_cast<uint64_t>(span >> 64);
      }
    }
    const __mmask64 upper = _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, a), alphabet);
    const __m512i lowered = _mm512_mask_add_epi8(v, upper, v, caseBit);
    _mm512_storeu_si512(out + w, _mm512_maskz_compress_epi8(keep, lowered));
    w += static_cast<size_t>(__builtin_popcountll(keep));
  }
  return w;
}

// The dropped bytes below 0x80 as two nibble tables: for each low nibble the
// high nibbles (0 to 7) whose byte is dropped, and for each high nibble its
// bit (none from 8 up: those bytes are all kept).
struct NibbleDrop {
  alignas(16) unsigned char byLow[16];
  alignas(16) unsigned char highBit[16];
  constexpr NibbleDrop() : byLow(), highBit() {
    for (int b = 0; b < 128; ++b)
      if (!(kBytes.flags[b] & kKeep)) byLow[b & 15] |= static_cast<unsigned char>(1 << (b >> 4));
    for (int h = 0; h < 8; ++h) highBit[h] = static_cast<unsigned char>(1 << h);
  }
};
constexpr NibbleDrop kNibbleDrop;

// Bit i set when byte i of 32 is 0x81..0xFE (opens a character where one
// starts).
__attribute__((target("avx2"), always_inline)) inline uint32_t leadMask32(const unsigned char *p) {
  const __m256i x = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)),
                                     _mm256_set1_epi8(static_cast<char>(0x80)));
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(
      _mm256_cmpgt_epi8(x, _mm256_setzero_si256()), _mm256_cmpgt_epi8(_mm256_set1_epi8(0x7F), x))));
}

// The second bytes of 64 (`valid`, the top one `top`), as secondBytes.
__attribute__((target("avx2"), always_inline)) inline uint64_t seconds64(const unsigned char *p,
                                                                         uint64_t valid,
                                                                         uint64_t top,
                                                                         uint64_t *trail) {
  const uint64_t leads = leadMask32(p) | static_cast<uint64_t>(leadMask32(p + 32)) << 32;
  return kvrGbkSecondBytes(leads & valid, valid, top, trail);
}

// The bytes of group g (eight) of v that mask m keeps, packed at the low end.
__attribute__((target("avx2"), always_inline)) inline __m128i packGroup(__m256i v, int g,
                                                                        unsigned m) {
  const __m128i half = g < 2 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1);
  const __m128i group = g % 2 ? _mm_srli_si128(half, 8) : half;
  return _mm_shuffle_epi8(group,
                          _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kKvrPack.from[m])));
}

// Bytes all ones where the bit of `bits` is set, zero elsewhere.
__attribute__((target("avx2"), always_inline)) inline __m256i byteMask(uint32_t bits) {
  const __m256i spread =
      _mm256_set_epi64x(static_cast<long long>(((bits >> 24) & 0xFF) * 0x0101010101010101ull),
                        static_cast<long long>(((bits >> 16) & 0xFF) * 0x0101010101010101ull),
                        static_cast<long long>(((bits >> 8) & 0xFF) * 0x0101010101010101ull),
                        static_cast<long long>((bits & 0xFF) * 0x0101010101010101ull));
  const __m256i pick = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
  return _mm256_cmpeq_epi8(_mm256_and_si256(spread, pick), pick);
}

// Bit array writing: up to 32 bits (nothing above them set) at bit `pos`, where
// the bits of the word at pos from pos up are clear; leaves those of the
// word after the new end clear too.
inline void putBits(uint64_t *words, size_t pos, uint64_t bits) {
  const unsigned off = pos & 63;
  const size_t k = pos >> 6;
  words[k] |= bits << off;
  // Without a branch (whether the bits run over is as good as random): the
  // next word gets what runs over, nothing when none does.
  words[k + 1] = (bits >> 1) >> (63 - off);
}

// Where the boundaries of a block go: the bit array and the position of the
// block's first kept byte in it, and the character phase carried over.
struct BoundsOut {
  uint64_t *starts;
  size_t pos;
  uint64_t trail;
  bool extract;  // the bit extract instruction is fast here
};

// One block of 32 bytes (`valid` of them real) for filterBytesAvx2; returns
// the bytes written. `carried` holds entity bytes that run into the next
// block, and receives those of this one. With `bounds`, each kept byte's
// boundary is written too: `second` marks the block's bytes that are second
// bytes of a character.
template <bool kBounds, bool kGbk = false>
__attribute__((target("avx2,bmi2,popcnt"), always_inline)) inline size_t filterBlockAvx2(
    const unsigned char *block, const unsigned char *in, size_t at, size_t n, uint32_t valid,
    uint32_t *carried, char *out, BoundsOut *bounds = nullptr, uint32_t second = 0) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block));
  const __m256i byLow = _mm256_broadcastsi128_si256(
      _mm_load_si128(reinterpret_cast<const __m128i *>(kNibbleDrop.byLow)));
  const __m256i highBit = _mm256_broadcastsi128_si256(
      _mm_load_si128(reinterpret_cast<const __m128i *>(kNibbleDrop.highBit)));
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  const __m256i lows = _mm256_shuffle_epi8(byLow, _mm256_and_si256(v, low4));
  const __m256i highs =
      _mm256_shuffle_epi8(highBit, _mm256_and_si256(_mm256_srli_epi16(v, 4), low4));
  const __m256i dropped = _mm256_cmpeq_epi8(_mm256_and_si256(lows, highs), _mm256_setzero_si256());
  // A byte is kept when its nibbles name no dropped byte.
  uint32_t keep = static_cast<uint32_t>(_mm256_movemask_epi8(dropped)) & valid & ~*carried;
  *carried = 0;
  const uint32_t ands =
      static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('&'))));
  for (uint32_t a = ands & valid; a; a &= a - 1) {
    const size_t j = static_cast<size_t>(__builtin_ctz(a));
    if (n - (at + j) > 5 && std::memcmp(in + at + j + 1, "nbsp;", 5) == 0) {
      const uint64_t span = uint64_t{0x1F} << (j + 1);
      keep &= ~static_cast<uint32_t>(span);
      *carried |= static_cast<uint32_t>(span >> 32);
    }
  }
  __m256i upper = _mm256_sub_epi8(v, _mm256_set1_epi8('A'));
  upper = _mm256_cmpeq_epi8(_mm256_min_epu8(upper, _mm256_set1_epi8(25)), upper);
  if (kGbk) {
    // Read as GBK, a second byte 0x40..0x7E belongs to its character: kept
    // as it is. (No such byte lies in an "&nbsp;": the byte after '&'
    // always begins a character.)
    const __m256i t = _mm256_sub_epi8(v, _mm256_set1_epi8(0x40));
    const uint32_t inRange = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(t, _mm256_set1_epi8(0x3E)), t)));
    keep |= second & inRange & valid;
    upper = _mm256_and_si256(upper, byteMask(~second));
  }
  if (kBounds) {
    // The boundaries of the kept bytes, packed as the bytes are: with the
    // bit extract instruction where it is fast; otherwise flag bytes of 0
    // or 1 shuffled as the bytes are, eight of them gathered into eight
    // bits by one multiplication.
    const uint32_t startBits = ~second & valid;
    if (keep == 0xFFFFFFFFu) {
      putBits(bounds->starts, bounds->pos, startBits);
      bounds->pos += 32;
    } else if (bounds->extract) {
      putBits(bounds->starts, bounds->pos, _pext_u32(startBits, keep));
      bounds->pos += static_cast<size_t>(__builtin_popcount(keep));
    } else {
      const __m256i flags = _mm256_and_si256(byteMask(startBits), _mm256_set1_epi8(1));
      uint32_t bits = 0;
      unsigned k = 0;
      for (int g = 0; g < 4; ++g) {
        const unsigned m = (keep >> (8 * g)) & 0xFF;
        const uint64_t x = static_cast<uint64_t>(_mm_cvtsi128_si64(packGroup(flags, g, m)));
        bits |= static_cast<uint32_t>((x * 0x0102040810204080ull) >> 56) << k;
        k += static_cast<unsigned>(__builtin_popcount(m));
      }
      putBits(bounds->starts, bounds->pos, bits);
      bounds->pos += k;
    }
  }
  const __m256i lowered = _mm256_add_epi8(v, _mm256_and_si256(upper, _mm256_set1_epi8(0x20)));
  if (keep == 0xFFFFFFFFu) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), lowered);
    return 32;
  }
  size_t w = 0;
  for (int g = 0; g < 4; ++g) {
    const unsigned m = (keep >> (8 * g)) & 0xFF;
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out + w), packGroup(lowered, g, m));
    w += static_cast<size_t>(__builtin_popcount(m));
  }
  return w;
}

// 32 bytes at a time: the dropped bytes found with two nibble lookups, the
// kept ones lower-cased and packed eight at a time.
template <bool kBounds, bool kGbk = false>
__attribute__((target("avx2,bmi2,popcnt"))) size_t filterBytesAvx2(const unsigned char *in,
                                                                   size_t n, char *out,
                                                                   BoundsOut *bounds = nullptr) {
  size_t w = 0, i = 0;
  uint32_t carried = 0;
  // Kept in registers: the stores of the text may alias anything.
  BoundsOut local = bounds ? *bounds : BoundsOut{nullptr, 0, 0, false};
  for (; n - i >= 64; i += 64) {
    const uint64_t second =
        kBounds ? seconds64(in + i, ~uint64_t{0}, uint64_t{1} << 63, &local.trail) : 0;
    w += filterBlockAvx2<kBounds, kGbk>(in + i, in, i, n, ~0u, &carried, out + w, &local,
                                        static_cast<uint32_t>(second));
    w += filterBlockAvx2<kBounds, kGbk>(in + i + 32, in, i + 32, n, ~0u, &carried, out + w, &local,
                                        static_cast<uint32_t>(second >> 32));
  }
  if (i < n) {
    alignas(32) unsigned char tail[64] = {};
    const size_t m = n - i;
    std::memcpy(tail, in + i, m);
    const uint64_t valid = m == 64 ? ~uint64_t{0} : (uint64_t{1} << m) - 1;
    const uint64_t second =
        kBounds ? seconds64(tail, valid, uint64_t{1} << (m - 1), &local.trail) : 0;
    for (size_t half = 0; half < m; half += 32)
      w += filterBlockAvx2<kBounds, kGbk>(tail + half, in, i + half, n,
                                          static_cast<uint32_t>(valid >> half), &carried, out + w,
                                          &local, static_cast<uint32_t>(second >> half));
  }
  if (bounds) *bounds = local;
  return w;
}
#endif

}  // namespace

size_t kvrFilterTextBytes(const char *data, size_t n, char *out) {
  const unsigned char *in = reinterpret_cast<const unsigned char *>(data);
#ifdef __x86_64__
  if (kvrSimdLevel() >= kKvrSimdAvx512) return filterBytesAvx512(in, n, out);
  if (kvrSimdLevel() >= kKvrSimdAvx2) return filterBytesAvx2<false>(in, n, out);
#endif
  return filterCore<false, false>(in, n, 0, out, nullptr, nullptr);
}

size_t kvrFilterTextBytesBounds(const char *data, size_t n, int *trail, char *out, uint64_t *starts,
                                size_t at) {
  const unsigned char *in = reinterpret_cast<const unsigned char *>(data);
  starts[at >> 6] &= (uint64_t{1} << (at & 63)) - 1;
#ifdef __x86_64__
  if (kvrSimdLevel() >= kKvrSimdAvx2) {
    BoundsOut bounds{starts, at, *trail ? 1u : 0u, kvrUseBitExtract()};
    const size_t w = filterBytesAvx2<true>(in, n, out + at, &bounds);
    *trail = static_cast<int>(bounds.trail);
    return w;
  }
#endif
  // Byte by byte: a byte opens a character unless the one before did.
  uint64_t t = *trail ? 1 : 0;
  size_t w = at;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char b = in[i];
    const uint32_t f = kBytes.flags[b];
    const uint64_t start = t ^ 1u;
    t = start & (f >> 2);
    if (f & kAmp) {
      if (n - i > 5 && std::memcmp(in + i + 1, "nbsp;", 5) == 0) i += 5;
      continue;
    }
    if (!(f & kKeep)) continue;
    if (!(w & 63)) starts[w >> 6] = 0;
    starts[w >> 6] |= start << (w & 63);
    out[w++] = static_cast<char>(kBytes.lower[b]);
  }
  *trail = static_cast<int>(t);
  return w - at;
}

KvrFilteredText kvrFilterText(apr_pool_t *pool, const char *data, size_t n, int trail) {
#ifdef __x86_64__
  if (kvrSimdLevel() >= kKvrSimdAvx2) {
    const unsigned char *in = reinterpret_cast<const unsigned char *>(data);
    KvrFilteredText ft;
    ft.text = static_cast<char *>(apr_palloc(pool, n + 64));
    const size_t words = n / 64 + 2;
    ft.starts = static_cast<uint64_t *>(apr_palloc(pool, words * sizeof(uint64_t)));
    ft.starts[0] = 0;
    ft.utf8 = kvrTextIsUtf8(in, n);
    BoundsOut bounds{ft.starts, 0, trail ? 1u : 0u, kvrUseBitExtract()};
    const size_t w = ft.utf8 ? filterBytesAvx2<true, false>(in, n, ft.text, &bounds)
                             : filterBytesAvx2<true, true>(in, n, ft.text, &bounds);
    ft.text[w] = '\0';
    ft.len = w;
    // Nothing set past the end.
    ft.starts[w >> 6] &= (uint64_t{1} << (w & 63)) - 1;
    for (size_t k = (w >> 6) + 1; k < words; ++k) ft.starts[k] = 0;
    return ft;
  }
#endif
  return filterText<false>(pool, data, n, trail, nullptr);
}

KvrFilteredText kvrFilterTextAndRaw(apr_pool_t *pool, const char *data, size_t n, int trail,
                                    char *raw) {
  return filterText<true>(pool, data, n, trail, raw);
}

AcsmSpill kvrPoolSpill(apr_pool_t *pool) {
  return {[](void *p, size_t bytes) { return kvrBigAlloc(static_cast<apr_pool_t *>(p), bytes); },
          [](void *p, void *room) { kvrBigFree(static_cast<apr_pool_t *>(p), room); }, pool};
}

namespace {

using Resolver = int (*)(int, char[][64], char *, char *, char *);

// A search's three lists, empty: a slot is empty when its first byte is NUL,
// which is all the search and the resolution look at.
struct EmptyLists {
  char lists[3][100][64];
  EmptyLists() {
    for (auto &list : lists)
      for (auto &slot : list) slot[0] = '\0';
  }
};

// Searches one automaton and resolves against its table: the one-word
// entries first, then two, then three words.
// With a pool, a long text's held-back matches may take room from it (see
// acsmSearchSpill); the results are the same either way.
bool searchTable(ACSM_STRUCT *acsm, const KvrFilteredText &ft, const Resolver resolve[3], int table,
                 KvrGetHit *hit, apr_pool_t *pool = nullptr) {
  if (!acsm || acsm->numPatterns < 1) return false;
  EmptyLists empty;
  auto &lists = empty.lists;
  int state = 0, charset = 0;
  const AcsmSpill spill = kvrPoolSpill(pool);
  const int found = acsmSearchSpill(acsm, reinterpret_cast<const unsigned char *>(ft.text),
                                    static_cast<int>(ft.len), &state, &charset, lists[0], lists[1],
                                    lists[2], ft.starts, pool ? &spill : nullptr, ft.utf8);
  if (found < 1) return false;
  for (int words = 1; words <= 3; ++words) {
    if (!lists[words - 1][0][0]) continue;
    std::memset(hit->key1, 0, sizeof hit->key1);
    std::memset(hit->key2, 0, sizeof hit->key2);
    std::memset(hit->key3, 0, sizeof hit->key3);
    const int index =
        resolve[words - 1](charset, lists[words - 1], hit->key1, hit->key2, hit->key3);
    if (index >= 0) {
      hit->table = table;
      hit->index = index;
      hit->words = words;
      hit->charset = charset;
      return true;
    }
  }
  return false;
}

constexpr Resolver kBlock[3] = {nVazidezGetBlockKeyIndex1, nVazidezGetBlockKeyIndex2,
                                nVazidezGetBlockKeyIndex3};
constexpr Resolver kRecord[3] = {nVazidezGetChkKeyIndex1, nVazidezGetChkKeyIndex2,
                                 nVazidezGetChkKeyIndex3};

}  // namespace

int kvrGetScan(const KvrFilteredText &ft, bool exempt, bool script, KvrGetHit *hit, bool record) {
  std::memset(hit, 0, sizeof *hit);
  if (nVazidezBlockGetKeyWord == 1) {
    if (exempt) return 0;  // an exempt request is not searched at all
    if (script && searchTable(acsm_vazidez_getkeyc, ft, kBlock, 2, hit)) return 2;
  }
  if (record && !exempt && nVazidezChkGetKeyWord == 1 && script &&
      searchTable(acsm_vazidez_getkeyb, ft, kRecord, 1, hit))
    return 1;
  return 0;
}

namespace {

// Does the folded search of one table find anything?
bool foldedFinds(ACSM_STRUCT *acsm, const char *data, size_t n, const uint64_t *starts) {
  if (!acsm || acsm->numPatterns < 1) return false;
  EmptyLists empty;
  auto &lists = empty.lists;
  int state = 0, charset = 0;
  return acsmSearchFolded(acsm, reinterpret_cast<const unsigned char *>(data), static_cast<int>(n),
                          &state, &charset, lists[0], lists[1], lists[2], starts) != 0;
}

}  // namespace

namespace {

// Pieces of the first look, and what each keeps of the one before: a
// pattern of the prefilter is at most 255 bytes. On long real Chinese pages,
// where a piece is now and then read again with boundaries (PieceStarts),
// pieces of 32 KiB measured a little faster than pieces of 64 KiB, and
// smaller ones slower.
constexpr size_t kFirstLookPiece = 32768, kFirstLookCarry = 255;
// The first piece is short: a text that holds a keyword mostly holds one
// early, and is then not filtered twice in full.
constexpr size_t kFirstLookOpening = 4096;

}  // namespace

namespace {

// The first look's room: the text of a piece and what it keeps of the one
// before, whole vectors stored past it; then the boundary bits.
size_t firstLookText(size_t n) {
  return ((n < kFirstLookPiece ? n : kFirstLookPiece) + kFirstLookCarry + 64 + 7) & ~size_t{7};
}

// Where the first look may cut n bytes at or before `at`: never inside an
// "&nbsp;" (its halves would keep letters that the whole drops).
size_t cutBefore(const char *data, size_t n, size_t at) {
  if (at == 0 || at >= n) return at;
  for (size_t k = at >= 5 ? at - 5 : 0; k < at; ++k)
    if (data[k] == '&' && std::memcmp(data + k + 1, "nbsp;", std::min<size_t>(5, n - k - 1)) == 0)
      return k;
  return at;
}

// Moves `count` bits from bit `from` to bit 0 (from > 0); the words read past
// the bits must exist.
void moveBitsDown(uint64_t *words, size_t from, size_t count) {
  const unsigned off = from & 63;
  for (size_t k = 0; k * 64 < count; ++k) {
    const size_t src = (from >> 6) + k;
    words[k] = off ? words[src] >> off | words[src + 1] << (64 - off) : words[src];
  }
}

}  // namespace

namespace {

// The room of the first look's own text and boundaries.
size_t lookRoom(size_t n) {
  const size_t text = firstLookText(n);
  return text + ((text - 64) / 64 + 3) * sizeof(uint64_t);
}

// Where the characters of a piece begin, for the first look without
// boundaries: in real Chinese GBK text the bytes of some two-character word
// turn up across three characters every hundred kilobytes or so, and a GBK form
// counts only where a character begins. Asked of an occurrence found, the
// piece is read again with its boundaries as far as that occurrence (and no
// further than asked so far: a later question about the same piece goes on
// from there), a few kilobytes at a time into room of that size; only the
// boundaries are kept. A byte the piece's text keeps from before the piece
// has no answer here: it is taken as a beginning, and `unsure` set.
constexpr size_t kAgainStep = 4096;

struct PieceStarts {
  const char *data;  // the whole text, its n bytes, and the phase of its first
  size_t n;
  int trail;
  size_t at, end;  // the piece
  size_t carry;    // bytes at the beginning of its text that come from before it
  char *text;      // room for a step's text and boundaries
  uint64_t *stepStarts;
  uint64_t *starts;  // the boundaries of the piece read again so far
  size_t read, len;  // read again so far: up to data + read, giving len bytes
  int phase;
  bool begun, unsure;
};

// Room for a piece read again, after the first look's: a step's text, whole
// vectors stored past it, and its boundaries; then the piece's boundaries.
constexpr size_t kAgainText = kAgainStep + 64;
constexpr size_t kAgainStepStarts = (kAgainText / 64 + 2) * sizeof(uint64_t);
size_t pieceRoom(size_t n) {
  return kAgainText + kAgainStepStarts +
         ((n < kFirstLookPiece ? n : kFirstLookPiece) / 64 + 2) * sizeof(uint64_t);
}

bool pieceBegins(void *context, size_t i) {
  PieceStarts &s = *static_cast<PieceStarts *>(context);
  if (i < s.carry) {
    s.unsure = true;
    return true;
  }
  i -= s.carry;
  if (!s.begun) {
    s.begun = true;
    s.read = s.at;
    s.len = 0;
    s.phase = kvrGbkTrailAfter(s.data, s.at, s.trail);
    s.starts[0] = 0;
  }
  // Never cut inside an "&nbsp;", so that the text read again is the
  // piece's text.
  while (s.len <= i && s.read < s.end) {
    const size_t stop =
        s.end - s.read > kAgainStep ? cutBefore(s.data, s.n, s.read + kAgainStep) : s.end;
    const size_t got =
        kvrFilterTextBytesBounds(s.data + s.read, stop - s.read, &s.phase, s.text, s.stepStarts, 0);
    // The step's boundaries after the piece's so far (the bits of the word
    // at len from len up are clear).
    const unsigned off = s.len & 63;
    uint64_t *to = s.starts + (s.len >> 6);
    for (size_t k = 0; k * 64 < got; ++k) {
      to[k] |= s.stepStarts[k] << off;
      to[k + 1] = off ? s.stepStarts[k] >> (64 - off) : 0;
    }
    s.len += got;
    s.read = stop;
  }
  return (s.starts[i >> 6] >> (i & 63)) & 1;
}

}  // namespace

size_t kvrFirstLookRoom(size_t n) {
  return lookRoom(n) + pieceRoom(n);
}

int kvrGetCheck(apr_pool_t *pool, const char *data, size_t n, int trail, bool exempt, bool script,
                KvrGetHit *hit, KvrFilteredText *ft, KvrScratch *scratch, bool recordToo) {
  std::memset(hit, 0, sizeof *hit);
  ft->text = nullptr;
  ft->len = 0;
  ft->starts = nullptr;
  const bool block = nVazidezBlockGetKeyWord == 1 && !exempt && script;
  const bool record = recordToo && nVazidezChkGetKeyWord == 1 && !exempt && script;
  if (!block && !record) return 0;
  ACSM_STRUCT *c = block ? acsm_vazidez_getkeyc : nullptr;
  ACSM_STRUCT *b = record ? acsm_vazidez_getkeyb : nullptr;
  const KvrPrefilter *filter = kvrGetKeyPrefilter();
  if (filter && filter->usable()) {
    // Nothing can be found unless a pattern occurs in the filtered text.
    const unsigned groups = (record ? 1u : 0u) | (block ? 2u : 0u);
    if (!filter->holds(groups)) return 0;
    // The first look reads the text byte by byte, with the character
    // boundaries of the bytes as received: in Chinese GBK text a keyword's
    // GBK bytes turn up across two characters all the time, and the search
    // takes a GBK form only where a character begins. It reads a piece at
    // a time, so that its room stays small whatever the text's length: each
    // piece begins with the end of the one before, as long as the longest
    // pattern, and no piece ends inside an "&nbsp;" (its halves would keep
    // letters that the whole drops).
    const size_t room = kvrFirstLookRoom(n);
    char *text;
    // The caller's room when it is large enough; the pool's otherwise, for
    // this check only (the pool may not outlive the caller's room).
    if (scratch && scratch->size >= room)
      text = scratch->data;
    else
      text = static_cast<char *>(apr_palloc(pool, room));
    uint64_t *starts = reinterpret_cast<uint64_t *>(text + firstLookText(n));
    // The look reads the text without boundaries, which costs less, and
    // asks where characters begin only of the GBK forms it finds
    // (PieceStarts). Where that has no answer (a GBK form that begins before
    // the piece), it starts again with boundaries.
    PieceStarts again{};
    again.data = data;
    again.n = n;
    again.trail = trail;
    again.text = text + lookRoom(n);
    again.stepStarts = reinterpret_cast<uint64_t *>(again.text + kAgainText);
    again.starts = again.stepStarts + kAgainStepStarts / sizeof(uint64_t);
    KvrPrefilter::Starts asked;
    asked.begins = pieceBegins;
    asked.context = &again;
    int found = 0, phase = trail;
    bool bounds = false;
    size_t carry = 0;
    for (size_t at = 0; at < n && !found;) {
      const size_t piece = at == 0 ? kFirstLookOpening : kFirstLookPiece;
      const size_t end = cutBefore(data, n, n - at > piece ? at + piece : n);
      const size_t len = carry + (bounds ? kvrFilterTextBytesBounds(data + at, end - at, &phase,
                                                                    text, starts, carry)
                                         : kvrFilterTextBytes(data + at, end - at, text + carry));
      if (bounds) {
        found = filter->find(reinterpret_cast<const unsigned char *>(text), len, groups, starts);
      } else {
        again.at = at;
        again.end = end;
        again.carry = carry;
        again.begun = again.unsure = false;
        found = filter->find(reinterpret_cast<const unsigned char *>(text), len, groups, asked);
      }
      if (found == KvrPrefilter::kGbkForm && !bounds && again.unsure) {
        // This piece again, with boundaries, and the end of the text before
        // it (read again from far enough back) as what it keeps.
        bounds = true;
        found = 0;
        carry = 0;
        phase = trail;
        if (at > 0) {
          for (size_t back = 1024;; back *= 4) {
            if (back > kFirstLookPiece / 2) {
              at = 0;  // blanks and punctuation all along: from the start
              break;
            }
            const size_t from = cutBefore(data, n, at > back ? at - back : 0);
            phase = kvrGbkTrailAfter(data, from, trail);
            const size_t got =
                kvrFilterTextBytesBounds(data + from, at - from, &phase, text, starts, 0);
            if (got >= kFirstLookCarry || from == 0) {
              carry = got < kFirstLookCarry ? got : kFirstLookCarry;
              if (carry < got) {
                std::memmove(text, text + got - carry, carry);
                moveBitsDown(starts, got - carry, carry);
              }
              break;
            }
          }
        }
        continue;
      }
      carry = len < kFirstLookCarry ? len : kFirstLookCarry;
      if (carry && carry < len) {
        std::memmove(text, text + len - carry, carry);
        if (bounds) moveBitsDown(starts, len - carry, carry);
      }
      at = end;
    }
    if (!found) return 0;
    *ft = kvrFilterText(pool, data, n, trail);
    // The searches in their order, each only when a prefilter finds a
    // pattern of its table in the filtered text: a page that holds record
    // words is not walked for block words it lacks.
    const unsigned char *filtered = reinterpret_cast<const unsigned char *>(ft->text);
    const KvrPrefilter *blockFilter = kvrBlockKeyPrefilter();
    const bool blockThere = block && (!blockFilter || !blockFilter->usable() ||
                                      blockFilter->any(filtered, ft->len, 2, ft->starts));
    if (blockThere && searchTable(c, *ft, kBlock, 2, hit, pool)) return 2;
    if (record && (!blockThere || filter->any(filtered, ft->len, 1, ft->starts)) &&
        searchTable(b, *ft, kRecord, 1, hit, pool))
      return 1;
    return 0;
  } else if ((!c || acsmCanFold(c) || c->numPatterns < 1) &&
             (!b || acsmCanFold(b) || b->numPatterns < 1) && !memmem(data, n, "&nbsp;", 6)) {
    uint64_t *starts = static_cast<uint64_t *>(apr_palloc(pool, (n / 64 + 2) * sizeof(uint64_t)));
    const unsigned char *in = reinterpret_cast<const unsigned char *>(data);
    kvrGbkStarts(in, n, trail, starts);
    // The folded reading takes every byte as ASCII: not for a GBK text with
    // second bytes that it would fold or pass over.
    if (!kvrGbkFoldSpoils(in, n, starts) && !foldedFinds(c, data, n, starts) &&
        !foldedFinds(b, data, n, starts))
      return 0;
  }
  *ft = kvrFilterText(pool, data, n, trail);
  return kvrGetScan(*ft, exempt, script, hit, record);
}
