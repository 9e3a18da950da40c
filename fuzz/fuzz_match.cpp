// Automaton building and search together with resolution: the first lines
// of the input are block keywords, the rest is the page.
#include <cstdlib>
#include <cstring>
#include <string>

#include "screen/kvr_get_scan.h"
#include "fuzz_common.h"
#include "match/kvr_match.h"
#include "match/kvr_prefilter.h"
#include "util/kvr_cpu.h"

namespace {
void count(void *ctx, const ACSM_PATTERN *, int) {
  ++*static_cast<size_t *>(ctx);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::reset();
  const std::string in(reinterpret_cast<const char *>(data), size);
  const size_t cut = in.find("\n\n");
  const std::string keys = cut == std::string::npos ? in : in.substr(0, cut);
  const std::string text = cut == std::string::npos ? std::string() : in.substr(cut + 2);
  int slot = 0;
  size_t at = 0;
  while (at <= keys.size() && slot < 64) {
    size_t nl = keys.find('\n', at);
    if (nl == std::string::npos) nl = keys.size();
    const std::string k = keys.substr(at, nl - at).substr(0, 31);
    at = nl + 1;
    if (k.size() < 2) continue;
    structGetKeyWord &e = (slot % 2 ? arrGetKeyWord.b : arrGetKeyWord.c)[slot / 2];
    e.used = 1;
    e.usertype = 2;
    std::memcpy(e.gbk, k.data(), k.size());
    ++slot;
  }
  getkeyb_gb2utf8();
  getkeyc_gb2utf8();
  kvrKeyWord2AC();
  nVazidezChkGetKeyWord = nVazidezBlockGetKeyWord = 1;
  const KvrFilteredText ft = kvrFilterText(fuzz::pool(), text.data(), text.size(), size & 1);
  KvrGetHit hit;
  const int want = kvrGetScan(ft, false, true, &hit);
  // Both walks of an automaton (as for UTF-8 text and as for other text)
  // give the same count, charset, words and state.
  for (ACSM_STRUCT *a : {acsm_vazidez_getkeyb, acsm_vazidez_getkeyc}) {
    static char walked[2][3][100][64];
    int state[2] = {}, charset[2] = {}, matches[2];
    std::memset(walked, 0, sizeof walked);
    for (int utf8 = 0; utf8 < 2; ++utf8)
      matches[utf8] =
          acsmSearchSpill(a, reinterpret_cast<const unsigned char *>(ft.text),
                          static_cast<int>(ft.len), &state[utf8], &charset[utf8], walked[utf8][0],
                          walked[utf8][1], walked[utf8][2], ft.starts, nullptr, utf8);
    if (matches[0] != matches[1] || state[0] != state[1] || charset[0] != charset[1] ||
        std::memcmp(walked[0], walked[1], sizeof walked[0]) != 0)
      std::abort();
  }
  // The prefilter, over the text filtered byte by byte, passes every text
  // in whose filtered text a pattern occurs, with every instruction set the
  // processor offers.
  size_t found = 0;
  acsmForEachMatch(acsm_vazidez_getkeyb, reinterpret_cast<const unsigned char *>(ft.text),
                   static_cast<int>(ft.len), count, &found);
  acsmForEachMatch(acsm_vazidez_getkeyc, reinterpret_cast<const unsigned char *>(ft.text),
                   static_cast<int>(ft.len), count, &found);
  const KvrPrefilter *filter = kvrGetKeyPrefilter();
  const KvrSimdLevel offered = kvrSimdLevelOffered();
  for (int level = 0; level <= offered; ++level) {
    kvrForceSimdLevel(static_cast<KvrSimdLevel>(level));
    std::string bytes(text.size() + 64, '\0');
    bytes.resize(kvrFilterTextBytes(text.data(), text.size(), &bytes[0]));
    if (filter->usable() && found > 0 &&
        !filter->any(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), 3))
      std::abort();
    // The check with its first look gives the same answer.
    KvrGetHit again;
    KvrFilteredText ft2;
    if (kvrGetCheck(fuzz::pool(), text.data(), text.size(), size & 1, false, true, &again, &ft2) !=
            want ||
        (want &&
         (again.index != hit.index || again.words != hit.words || again.charset != hit.charset)))
      std::abort();
  }
  kvrForceSimdLevel(offered);
  // Unfiltered too, with a carried state, through the plain interface.
  char lists[3][100][64] = {};
  int state = 0, charset = 0;
  acsmSearch(
      acsm_vazidez_getkeyc, reinterpret_cast<unsigned char *>(const_cast<char *>(text.data())),
      static_cast<int>(text.size()), nullptr, &state, &charset, lists[0], lists[1], lists[2]);
  acsmSearch(
      acsm_vazidez_getkeyc, reinterpret_cast<unsigned char *>(const_cast<char *>(text.data())),
      static_cast<int>(text.size()), nullptr, &state, &charset, lists[0], lists[1], lists[2]);
  char k1[64], k2[64], k3[64];
  for (int t = 0; t <= 4; ++t) {
    nVazidezGetBlockKeyIndex1(t, lists[0], k1, k2, k3);
    nVazidezGetBlockKeyIndex2(t, lists[1], k1, k2, k3);
    nVazidezGetBlockKeyIndex3(t, lists[2], k1, k2, k3);
  }
  return 0;
}
