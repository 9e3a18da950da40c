#include "filters/kvr_get_scan.h"

#include <apr_strings.h>

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "config/kvr_config.h"
#include "match/kvr_match.h"

namespace {

// Per byte: kept (lower-cased) or dropped, an ampersand, or a GBK lead byte.
enum : uint8_t { kKeep = 1, kAmp = 2, kLead = 4 };

struct ByteTable {
  uint8_t flags[256];
  uint8_t lower[256];
  constexpr ByteTable() : flags(), lower() {
    for (int b = 0; b < 256; ++b) {
      const bool punct = (b >= 0x21 && b <= 0x2F) || (b >= 0x3A && b <= 0x40) ||
                         (b >= 0x5B && b <= 0x60) || (b >= 0x7B && b <= 0x7E);
      const bool blank = b == 0x00 || b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20;
      flags[b] = static_cast<uint8_t>((b == '&'           ? kAmp
                                       : (punct || blank) ? 0
                                                          : kKeep) |
                                      (b >= 0x81 && b <= 0xFE ? kLead : 0));
      lower[b] = static_cast<uint8_t>(b >= 'A' && b <= 'Z' ? b + 32 : b);
    }
  }
};
constexpr ByteTable kBytes;

}  // namespace

KvrFilteredText kvrFilterText(apr_pool_t *pool, const char *data, size_t n) {
  KvrFilteredText ft;
  ft.text = static_cast<char *>(apr_palloc(pool, n + 1));
  const size_t words = n / 64 + 1;
  ft.starts = static_cast<uint64_t *>(apr_palloc(pool, words * sizeof(uint64_t)));
  // One flag byte per kept byte first (cheaper to write than bits), packed
  // into the bitmap afterwards.
  unsigned char *flag = static_cast<unsigned char *>(apr_palloc(pool, words * 64));
  const unsigned char *in = reinterpret_cast<const unsigned char *>(data);
  char *out = ft.text;
  size_t w = 0;
  uint32_t trail = 0;  // the byte at hand is the second byte of a character
  // Without branches but for the rare ampersand: each byte is stored, and
  // the write position advanced only when it is kept.
  for (size_t i = 0; i < n; ++i) {
    const unsigned char b = in[i];
    const uint32_t f = kBytes.flags[b];
    const uint32_t start = trail ^ 1u;
    trail = start & (f >> 2);
    if (__builtin_expect(f & kAmp, 0)) {
      if (n - i > 5 && std::memcmp(in + i + 1, "nbsp;", 5) == 0) i += 5;
      continue;
    }
    out[w] = static_cast<char>(kBytes.lower[b]);
    flag[w] = static_cast<unsigned char>(start);
    w += f & kKeep;
  }
  out[w] = '\0';
  ft.len = w;
  std::memset(flag + w, 0, words * 64 - w);
  for (size_t k = 0; k < words; ++k) {
    const unsigned char *q = flag + k * 64;
#ifdef __SSE2__
    uint64_t bits = 0;
    for (int j = 0; j < 4; ++j) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q + 16 * j));
      const uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(_mm_slli_epi16(v, 7)));
      bits |= static_cast<uint64_t>(m) << (16 * j);
    }
    ft.starts[k] = bits;
#else
    uint64_t bits = 0;
    for (int j = 0; j < 64; ++j) bits |= static_cast<uint64_t>(q[j] & 1) << j;
    ft.starts[k] = bits;
#endif
  }
  return ft;
}

namespace {

using Resolver = int (*)(int, char[][64], char *, char *, char *);

// Searches one automaton and resolves against its table: the one-word
// entries first, then two, then three words.
bool searchTable(ACSM_STRUCT *acsm, const KvrFilteredText &ft, const Resolver resolve[3], int table,
                 KvrGetHit *hit) {
  if (!acsm || acsm->numPatterns < 1) return false;
  // Empty lists: a slot is empty when its first byte is NUL, which is all the
  // search and the resolution look at.
  char lists[3][100][64];
  for (auto &list : lists)
    for (auto &slot : list) slot[0] = '\0';
  int state = 0, charset = 0;
  const int found =
      acsmSearchEx(acsm, reinterpret_cast<const unsigned char *>(ft.text), static_cast<int>(ft.len),
                   &state, &charset, lists[0], lists[1], lists[2], ft.starts);
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

int kvrGetScan(const KvrFilteredText &ft, bool exempt, bool script, KvrGetHit *hit) {
  std::memset(hit, 0, sizeof *hit);
  if (nVazidezBlockGetKeyWord == 1) {
    if (exempt) return 0;  // an exempt request is not searched at all
    if (script && searchTable(acsm_vazidez_getkeyc, ft, kBlock, 2, hit)) return 2;
  }
  if (!exempt && nVazidezChkGetKeyWord == 1 && script &&
      searchTable(acsm_vazidez_getkeyb, ft, kRecord, 1, hit))
    return 1;
  return 0;
}
