// Building the GET keyword automata from the keyword tables.
#include <atomic>
#include <cstring>
#include <memory>

#include "config/kvr_config.h"
#include "match/kvr_match.h"
#include "match/kvr_prefilter.h"

ACSM_STRUCT *acsm_vazidez_getkeyb = nullptr;
ACSM_STRUCT *acsm_vazidez_getkeyc = nullptr;

namespace {
// Like the automata, it lives as long as the process: nothing frees it at
// exit while another thread may still be searching.
KvrPrefilter *gPrefilter = nullptr;
KvrPrefilter *gBlockPrefilter = nullptr;
}  // namespace

const KvrPrefilter *kvrGetKeyPrefilter() {
  return gPrefilter;
}

const KvrPrefilter *kvrBlockKeyPrefilter() {
  return gBlockPrefilter;
}

int kvrSplitKeyWord(const char *szKeyWord, char szMultiKeyWord[3][256]) {
  if (!szKeyWord || szKeyWord[0] == ',') return 0;
  int count = 1;
  int w = 0;
  size_t pos = 0;
  auto put = [&](char c) {
    if (pos < 255) szMultiKeyWord[w][pos++] = c;
  };
  for (const char *p = szKeyWord; *p;) {
    if (*p != ',') {
      put(*p++);
      continue;
    }
    if (++count == 4) return 4;
    ++w;
    pos = 0;
    if (!*++p) break;  // a comma at the end: an empty last word
    put(*p++);         // the byte after a comma begins the next word, whatever it is
  }
  return count;
}

namespace {

void addWord(ACSM_STRUCT *acsm, int &serial, char *word, void *id, int num, int index, int charset,
             int usertype) {
  const int n = static_cast<int>(std::strlen(word));
  // An empty word would stand at the head of the start state's match list
  // and hide the keywords that end there; it is never added.
  if (n == 0) return;
  acsmAddPattern(acsm, reinterpret_cast<unsigned char *>(word), n, 0, 0, 0, 0, id, serial++, num,
                 index, word, charset, usertype);
}

void build(ACSM_STRUCT *acsm, structGetKeyWord *table) {
  int serial = 0;
  for (int i = 0; i < kKeyTableSlots && table[i].used == 1; ++i) {
    structGetKeyWord &e = table[i];
    if (e.usertype != 2) continue;
    if (std::strchr(e.gbk, ',')) {
      char words[3][256] = {};
      const int count = kvrSplitKeyWord(e.gbk, words);
      e.num = count;
      if (count == 2 || count == 3)
        for (int k = 0; k < count; ++k)
          addWord(acsm, serial, words[k], e.gbk, count, i, 1, e.usertype);
      char uwords[3][256] = {};
      const int ucount = kvrSplitKeyWord(e.utf8, uwords);
      if (ucount == 2 || ucount == 3)
        for (int k = 0; k < ucount; ++k)
          addWord(acsm, serial, uwords[k], e.utf8, ucount, i, 2, e.usertype);
    } else {
      e.num = 1;
      addWord(acsm, serial, e.gbk, e.gbk, 1, i, 1, e.usertype);
      addWord(acsm, serial, e.utf8, e.utf8, 1, i, 2, e.usertype);
    }
  }
}

}  // namespace

void kvrFreeKeywordAutomata() {
  acsmFree(acsm_vazidez_getkeyb);
  acsmFree(acsm_vazidez_getkeyc);
  acsm_vazidez_getkeyb = acsm_vazidez_getkeyc = nullptr;
  delete gPrefilter;
  gPrefilter = nullptr;
  delete gBlockPrefilter;
  gBlockPrefilter = nullptr;
}

namespace {
std::atomic<unsigned> gTablesBuilt{0};
}  // namespace

unsigned kvrTablesGeneration() {
  return gTablesBuilt.load(std::memory_order_acquire);
}

int kvrKeyWord2AC() {
  gTablesBuilt.fetch_add(1, std::memory_order_acq_rel);
  // A second load in the same process (after a failed one) replaces them.
  acsmFree(acsm_vazidez_getkeyb);
  acsmFree(acsm_vazidez_getkeyc);
  acsm_vazidez_getkeyb = acsmNew(nullptr, nullptr, nullptr);
  acsm_vazidez_getkeyc = acsmNew(nullptr, nullptr, nullptr);
  build(acsm_vazidez_getkeyb, arrGetKeyWord.b);
  build(acsm_vazidez_getkeyc, arrGetKeyWord.c);
  acsmCompile(acsm_vazidez_getkeyb, nullptr, nullptr);
  acsmCompile(acsm_vazidez_getkeyc, nullptr, nullptr);

  // The block table's own filter: a page that holds many record words
  // passes the shared filter at each of them, and would be looked up at
  // each only to learn that no block word is there.
  auto block = std::make_unique<KvrPrefilter>();
  for (const ACSM_PATTERN *p = acsm_vazidez_getkeyc->acsmPatterns; p; p = p->next)
    block->add(p->patrn, static_cast<size_t>(p->n), 2, p->nKeyWordCharType == 2);
  block->compile();
  // One filter for the patterns of both automata: a clean page is passed
  // after one pass whichever tables are searched. It is built after the
  // block table's: built the other way round, the parent of the event MPM
  // kept 5 MiB more of the builds' scratch memory with the large tables
  // (bench/memory), which malloc_trim did not give back.
  auto filter = std::make_unique<KvrPrefilter>();
  for (const ACSM_PATTERN *p = acsm_vazidez_getkeyb->acsmPatterns; p; p = p->next)
    filter->add(p->patrn, static_cast<size_t>(p->n), 1, p->nKeyWordCharType == 2);
  for (const ACSM_PATTERN *p = acsm_vazidez_getkeyc->acsmPatterns; p; p = p->next)
    filter->add(p->patrn, static_cast<size_t>(p->n), 2, p->nKeyWordCharType == 2);
  filter->compile();
  delete gPrefilter;  // a second load in the same process replaces them
  gPrefilter = filter.release();
  delete gBlockPrefilter;
  gBlockPrefilter = block.release();
  return 1;
}
