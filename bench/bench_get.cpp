// rizu-bench get: the response keyword check's work on one bucket (its
// searches of both tables, the filtered text and resolution when something
// is found) over pages that hold no keyword, with full tables on both
// automata; and the same with the filtered text always built, as the check
// is defined.
#include <apr_pools.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_data.h"
#include "config/kvr_config.h"
#include "match/kvr_match.h"
#include "match/kvr_prefilter.h"
#include "screen/kvr_get_scan.h"
#include "util/kvr_cpu.h"
#include "util/kvr_text.h"

namespace {

void fillTable(structGetKeyWord *t, const std::vector<std::string> &words) {
  for (size_t i = 0; i < words.size(); ++i) {
    t[i].used = 1;
    t[i].no = static_cast<int>(i);
    t[i].usertype = 2;
    std::memcpy(t[i].gbk, words[i].data(), words[i].size());
  }
}

double exactMbPerS(apr_pool_t *pool, const std::string &page, size_t bucket) {
  double best = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    const double t = bench::nowMs();
    for (size_t at = 0; at < page.size(); at += bucket) {
      KvrGetHit hit;
      kvrGetScan(kvrFilterText(pool, page.data() + at, std::min(bucket, page.size() - at)), false,
                 true, &hit);
      apr_pool_clear(pool);
    }
    best = std::min(best, bench::nowMs() - t);
  }
  return static_cast<double>(page.size()) / 1e6 / (best / 1e3);
}

double scanMbPerS(apr_pool_t *pool, const std::string &page, size_t bucket, int *hits) {
  double best = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    *hits = 0;
    const double t = bench::nowMs();
    for (size_t at = 0; at < page.size(); at += bucket) {
      const size_t n = std::min(bucket, page.size() - at);
      KvrGetHit hit;
      KvrFilteredText ft;
      if (kvrGetCheck(pool, page.data() + at, n, 0, false, true, &hit, &ft)) ++*hits;
      apr_pool_clear(pool);
    }
    best = std::min(best, bench::nowMs() - t);
  }
  return static_cast<double>(page.size()) / 1e6 / (best / 1e3);
}

// The two stages of a clean bucket alone: the filtered text, and the
// prefilter over it.
void stages(const std::string &page, size_t bucket, const char *name) {
  std::vector<char> text(bucket + 64);
  double compact = 1e30, filter = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    double t = bench::nowMs(), inFilter = 0;
    for (size_t at = 0; at < page.size(); at += bucket) {
      const size_t n = std::min(bucket, page.size() - at);
      const size_t len = kvrFilterTextBytes(page.data() + at, n, text.data());
      const double t1 = bench::nowMs();
      if (kvrGetKeyPrefilter()->any(reinterpret_cast<const unsigned char *>(text.data()), len, 3))
        std::printf("unexpected candidate\n");
      inFilter += bench::nowMs() - t1;
    }
    compact = std::min(compact, bench::nowMs() - t - inFilter);
    filter = std::min(filter, inFilter);
  }
  const double mb = static_cast<double>(page.size()) / 1e6;
  std::printf("%s_filtered_text_mb_per_s: %.0f\n", name, mb / (compact / 1e3));
  std::printf("%s_prefilter_mb_per_s: %.0f\n", name, mb / (filter / 1e3));
}

void loadTables(const std::vector<std::string> &record, const std::vector<std::string> &block) {
  kvrResetConfigState();
  fillTable(arrGetKeyWord.b, record);
  fillTable(arrGetKeyWord.c, block);
  nVazidezChkGetKeyWord = nVazidezBlockGetKeyWord = 1;
  getkeyb_gb2utf8();
  getkeyc_gb2utf8();
  kvrKeyWord2AC();
}

// The patterns the check searches for: both forms of every word of both
// tables.
std::vector<std::string> forms(const std::vector<std::string> &record,
                               const std::vector<std::string> &block) {
  std::vector<std::string> out;
  for (const auto *t : {&record, &block})
    for (const std::string &w : *t) {
      out.push_back(w);
      out.push_back(bench::toUtf8(w));
    }
  return out;
}

// One data set: pages of 16 and 256 KiB in GBK and UTF-8, and the words of
// the two tables for clean pages and for pages that hold words.
struct DataSet {
  const char *name;
  std::vector<std::string> pages[2][2];      // [utf8][256 KiB]
  std::vector<std::string> wordPages[2][2];  // pages that hold words of `held`
  std::vector<std::string> record, block;    // absent from every page
  std::vector<std::string> held;             // words that occur, as the record table
};

struct Cell {
  double mbPerS = 0, hsMbPerS = 0;
  size_t passedOn = 0, hits = 0, pages = 0;
  size_t differ = 0;  // pages where the check and its defined sequence disagree
};

// The response check on every page, as one response of one piece each,
// against Hyperscan over the same pages and patterns, in turns; the fastest
// of 7 rounds each (on a machine shared with other work, the round least
// disturbed).
Cell measure(apr_pool_t *pool, const std::vector<std::string> &pages, bench::Literals &hs) {
  Cell cell;
  cell.pages = pages.size();
  size_t bytes = 0;
  for (const auto &p : pages) bytes += p.size();
  std::vector<double> ours, theirs;
  KvrScratch scratch;
  apr_pool_t *sub;
  apr_pool_create(&sub, pool);
  for (int rep = 0; rep < 7; ++rep) {
    size_t passedOn = 0, hits = 0;
    double t = bench::nowMs();
    for (const auto &p : pages) {
      KvrGetHit hit;
      KvrFilteredText ft;
      scratch = KvrScratch();
      if (kvrGetCheck(sub, p.data(), p.size(), 0, false, true, &hit, &ft, &scratch)) ++hits;
      if (ft.text) ++passedOn;
      apr_pool_clear(sub);
    }
    ours.push_back(bench::nowMs() - t);
    t = bench::nowMs();
    for (const auto &p : pages) hs.scan(p.data(), p.size());
    theirs.push_back(bench::nowMs() - t);
    cell.passedOn = passedOn;
    cell.hits = hits;
  }
  // The same results as the sequence the check is defined by: the filtered
  // text always built, then both searches.
  for (const auto &p : pages) {
    KvrGetHit fast, defined;
    KvrFilteredText ft;
    kvrGetCheck(sub, p.data(), p.size(), 0, false, true, &fast, &ft);
    kvrGetScan(kvrFilterText(sub, p.data(), p.size()), false, true, &defined);
    if (fast.table != defined.table || fast.index != defined.index || fast.words != defined.words ||
        fast.charset != defined.charset || std::strcmp(fast.key1, defined.key1) != 0 ||
        std::strcmp(fast.key2, defined.key2) != 0 || std::strcmp(fast.key3, defined.key3) != 0)
      ++cell.differ;
    apr_pool_clear(sub);
  }
  apr_pool_destroy(sub);
  const double mb = static_cast<double>(bytes) / 1e6;
  cell.mbPerS = mb / (*std::min_element(ours.begin(), ours.end()) / 1e3);
  cell.hsMbPerS = mb / (*std::min_element(theirs.begin(), theirs.end()) / 1e3);
  return cell;
}

// The first look's stages over whole clean pages: the filtered text as it
// reads it (without boundaries) alone, and the rest of the check (the
// prefilter, and boundaries read again where a GBK form turns up) as the
// check's time less that; the fastest of 7 rounds each.
void pageStages(apr_pool_t *pool, const std::vector<std::string> &pages, const std::string &name) {
  std::vector<char> text(256 * 1024 + 64);
  std::vector<double> filter, check;
  size_t bytes = 0;
  for (const auto &p : pages) bytes += p.size();
  KvrScratch scratch;
  for (int rep = 0; rep < 7; ++rep) {
    double t = bench::nowMs();
    for (const auto &p : pages) {
      if (text.size() < p.size() + 64) text.resize(p.size() + 64);
      kvrFilterTextBytes(p.data(), p.size(), text.data());
    }
    filter.push_back(bench::nowMs() - t);
    t = bench::nowMs();
    for (const auto &p : pages) {
      KvrGetHit hit;
      KvrFilteredText ft;
      scratch = KvrScratch();
      kvrGetCheck(pool, p.data(), p.size(), 0, false, true, &hit, &ft, &scratch);
      apr_pool_clear(pool);
    }
    check.push_back(bench::nowMs() - t);
  }
  const double mb = static_cast<double>(bytes) / 1e6;
  const double f = *std::min_element(filter.begin(), filter.end());
  const double c = *std::min_element(check.begin(), check.end());
  std::printf("%s_filtered_text_mb_per_s: %.0f\n", name.c_str(), mb / (f / 1e3));
  std::printf("%s_prefilter_mb_per_s: %.0f\n", name.c_str(), c > f ? mb / ((c - f) / 1e3) : 0.0);
}

// Where a page that holds words spends its time: the filtered text with
// its boundaries, the block table's prefilter over it (which finds nothing)
// and the walk of the record table; the fastest of 7 rounds.
void wordStages(apr_pool_t *pool, const std::vector<std::string> &pages, const std::string &name) {
  std::vector<double> filter, walk, block;
  size_t bytes = 0;
  for (const auto &p : pages) bytes += p.size();
  for (int rep = 0; rep < 7; ++rep) {
    double inWalk = 0, inBlock = 0;
    const double t = bench::nowMs();
    for (const auto &p : pages) {
      const KvrFilteredText ft = kvrFilterText(pool, p.data(), p.size());
      const double t0 = bench::nowMs();
      kvrBlockKeyPrefilter()->any(reinterpret_cast<const unsigned char *>(ft.text), ft.len, 2,
                                  ft.starts);
      const double t1 = bench::nowMs();
      inBlock += t1 - t0;
      char lists[3][100][64];
      for (auto &list : lists)
        for (auto &slot : list) slot[0] = '\0';
      int state = 0, charset = 0;
      // With room for held-back matches from the pool, as the check gives.
      const AcsmSpill spill = kvrPoolSpill(pool);
      acsmSearchSpill(acsm_vazidez_getkeyb, reinterpret_cast<const unsigned char *>(ft.text),
                      static_cast<int>(ft.len), &state, &charset, lists[0], lists[1], lists[2],
                      ft.starts, &spill, ft.utf8);
      inWalk += bench::nowMs() - t1;
      apr_pool_clear(pool);
    }
    filter.push_back(bench::nowMs() - t - inWalk - inBlock);
    walk.push_back(inWalk);
    block.push_back(inBlock);
  }
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("%s_filtered_text_mb_per_s: %.0f\n", name.c_str(),
              mb / (*std::min_element(filter.begin(), filter.end()) / 1e3));
  std::printf("%s_record_walk_mb_per_s: %.0f\n", name.c_str(),
              mb / (*std::min_element(walk.begin(), walk.end()) / 1e3));
  std::printf("%s_block_prefilter_mb_per_s: %.0f\n", name.c_str(),
              mb / (*std::min_element(block.begin(), block.end()) / 1e3));
}

bool gDiffer = false;  // some page's results were not the defined ones

void printCell(const char *set, const char *what, const Cell &c, bool passShare) {
  std::printf("%s_%s_mb_per_s: %.0f\n", set, what, c.mbPerS);
  std::printf("%s_%s_hyperscan_mb_per_s: %.0f\n", set, what, c.hsMbPerS);
  std::printf("%s_%s_vs_hyperscan: %.2f\n", set, what, c.hsMbPerS > 0 ? c.mbPerS / c.hsMbPerS : 0);
  if (passShare)
    std::printf("%s_%s_passed_on: %.3f\n", set, what,
                c.pages ? static_cast<double>(c.passedOn) / static_cast<double>(c.pages) : 0);
  std::printf("%s_%s_same_as_defined: %s\n", set, what, c.differ ? "NO" : "yes");
  if (c.differ) gDiffer = true;
  std::printf("%s_%s_pages_with_hits: %.3f\n", set, what,
              c.pages ? static_cast<double>(c.hits) / static_cast<double>(c.pages) : 0);
}

// Every figure of a data set: clean pages with both tables full of words
// that do not occur, then pages that hold words of the record table.
void runSet(apr_pool_t *pool, const DataSet &d) {
  static const char *kCells[2][2] = {{"gbk_16k", "gbk_256k"}, {"utf8_16k", "utf8_256k"}};
  loadTables(d.record, d.block);
  {
    bench::Literals hs(forms(d.record, d.block));
    for (int u = 0; u < 2; ++u)
      for (int big = 0; big < 2; ++big)
        printCell(d.name, (std::string("clean_") + kCells[u][big]).c_str(),
                  measure(pool, d.pages[u][big], hs), true);
    apr_pool_t *sub;
    apr_pool_create(&sub, pool);
    for (int u = 0; u < 2; ++u)
      pageStages(sub, d.pages[u][1], std::string(d.name) + "_clean_" + kCells[u][1]);
    apr_pool_destroy(sub);
  }
  loadTables(d.held, d.block);
  bench::Literals hs(forms(d.held, d.block));
  for (int u = 0; u < 2; ++u)
    for (int big = 0; big < 2; ++big)
      printCell(d.name, (std::string("words_") + kCells[u][big]).c_str(),
                measure(pool, d.wordPages[u][big], hs), false);
  apr_pool_t *sub;
  apr_pool_create(&sub, pool);
  for (int u = 0; u < 2; ++u)
    wordStages(sub, d.wordPages[u][0], std::string(d.name) + "_words_" + kCells[u][0]);
  apr_pool_destroy(sub);
}

// A GBK page in UTF-8, cut to `size` bytes before a character.
std::string utf8Page(const std::string &gbk, size_t size) {
  std::string utf8 = bench::toUtf8(gbk);
  utf8.resize(size, ' ');
  size_t end = size;
  while (end > 0 && (static_cast<unsigned char>(utf8[end - 1]) & 0xC0) == 0x80) --end;
  if (end > 0 && static_cast<unsigned char>(utf8[end - 1]) >= 0xC0) --end;
  std::fill(utf8.begin() + static_cast<long>(end), utf8.end(), ' ');
  return utf8;
}

// Blanks the UTF-8 characters where a GBK form of `words` occurs in a
// UTF-8 page: the checks look for both forms in every text.
void breakGbkForms(std::string *utf8, const std::vector<std::string> &words) {
  for (const auto &k : words)
    for (auto at = utf8->find(k); at != std::string::npos; at = utf8->find(k, at + 1)) {
      size_t c = at + 1;
      while (c > 0 && (static_cast<unsigned char>((*utf8)[c]) & 0xC0) == 0x80) --c;
      do (*utf8)[c++] = ' ';
      while (c < utf8->size() && (static_cast<unsigned char>((*utf8)[c]) & 0xC0) == 0x80);
    }
}

// Generated pages and words, in the shapes of the real corpus.
DataSet generated() {
  DataSet d;
  d.name = "gen";
  d.record = bench::keywords(3000, 11);
  d.block = bench::keywords(3000, 12);
  std::vector<std::string> all(d.record);
  all.insert(all.end(), d.block.begin(), d.block.end());
  d.held = bench::keywords(3000, 13);
  for (int big = 0; big < 2; ++big) {
    const size_t size = big ? 256 * 1024 : 16 * 1024;
    const int count = big ? 16 : 128;
    for (int i = 0; i < count; ++i) {
      std::string gbk = bench::chinesePage(size, 1000 + i + 7919 * big, all);
      // The page with words of the held table, about one a kilobyte.
      std::string with = bench::chinesePageWith(size, 2000 + i + 7919 * big, d.held, 1024);
      for (const auto &k : all)
        for (size_t at = with.find(k); at != std::string::npos; at = with.find(k, at + 1))
          with[at + 1] = ' ';
      d.pages[0][big].push_back(gbk);
      d.pages[1][big].push_back(utf8Page(gbk, size));
      breakGbkForms(&d.pages[1][big].back(), all);
      d.wordPages[0][big].push_back(with);
      d.wordPages[1][big].push_back(utf8Page(with, size));
    }
  }
  return d;
}

DataSet real(const std::string &dir) {
  DataSet d;
  d.name = "real";
  d.block = bench::corpusWords(dir, "absent-1.txt");
  d.record = bench::corpusWords(dir, "absent-2.txt");
  d.held = bench::corpusWords(dir, "common.txt");
  d.pages[0][0] = bench::corpusItems(dir, "gbk-16k.pages", 16 * 1024);
  d.pages[0][1] = bench::corpusItems(dir, "gbk-256k.pages", 256 * 1024);
  d.pages[1][0] = bench::corpusItems(dir, "utf8-16k.pages", 16 * 1024);
  d.pages[1][1] = bench::corpusItems(dir, "utf8-256k.pages", 256 * 1024);
  for (int u = 0; u < 2; ++u)
    for (int big = 0; big < 2; ++big) d.wordPages[u][big] = d.pages[u][big];
  return d;
}

}  // namespace

int benchGet(int argc, char **argv) {
  const std::string dir = bench::corpusDir(argc, argv);
  // --real-only: the real corpus alone, for a profiler.
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--real-only") == 0 && !dir.empty()) {
      apr_pool_t *pool;
      apr_pool_create(&pool, nullptr);
      for (int rep = 0; rep < 4; ++rep) runSet(pool, real(dir));
      apr_pool_destroy(pool);
      return gDiffer ? 1 : 0;
    }
  // --clean-gbk-256k: the check of the real clean 256 KiB GBK pages alone,
  // over and over, for a profiler.
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--clean-gbk-256k") == 0 && !dir.empty()) {
      apr_pool_t *pool;
      apr_pool_create(&pool, nullptr);
      const DataSet d = real(dir);
      loadTables(d.record, d.block);
      KvrScratch scratch;
      std::vector<double> rounds;
      for (int rep = 0; rep < 40; ++rep) {
        const double t = bench::nowMs();
        for (const auto &p : d.pages[0][1]) {
          KvrGetHit hit;
          KvrFilteredText ft;
          kvrGetCheck(pool, p.data(), p.size(), 0, false, true, &hit, &ft, &scratch);
          apr_pool_clear(pool);
        }
        rounds.push_back(bench::nowMs() - t);
      }
      const double mb = static_cast<double>(d.pages[0][1].size()) * 0.262144;
      std::printf("real_clean_gbk_256k_mb_per_s: %.0f\n",
                  mb / (*std::min_element(rounds.begin(), rounds.end()) / 1e3));
      apr_pool_destroy(pool);
      return 0;
    }
  kvrResetConfigState();
  const std::vector<std::string> record = bench::keywords(3000, 11);
  const std::vector<std::string> block = bench::keywords(3000, 12);
  fillTable(arrGetKeyWord.b, record);
  fillTable(arrGetKeyWord.c, block);
  nVazidezChkGetKeyWord = nVazidezBlockGetKeyWord = 1;
  getkeyb_gb2utf8();
  getkeyc_gb2utf8();
  kvrKeyWord2AC();

  std::vector<std::string> all(record);
  all.insert(all.end(), block.begin(), block.end());
  const std::string gbk = bench::chinesePage(8u << 20, 21, all);
  const std::string utf8 = bench::toUtf8(gbk);

  apr_pool_t *pool;
  apr_pool_create(&pool, nullptr);
  int gbkHits = 0, utf8Hits = 0;
  const double g = scanMbPerS(pool, gbk, 8000, &gbkHits);
  const double u = scanMbPerS(pool, utf8, 8000, &utf8Hits);
  std::printf("simd_level: %d\n", static_cast<int>(kvrSimdLevel()));
  std::printf("get_gbk_mb_per_s: %.0f\n", g);
  std::printf("get_utf8_mb_per_s: %.0f\n", u);
  std::printf("get_hits: %d\n", gbkHits + utf8Hits);
  // A static page comes as one bucket of the whole file.
  int bigHits = 0;
  std::printf("get_gbk_256k_mb_per_s: %.0f\n", scanMbPerS(pool, gbk, 256 * 1024, &bigHits));
  std::printf("get_utf8_256k_mb_per_s: %.0f\n", scanMbPerS(pool, utf8, 256 * 1024, &bigHits));
  stages(gbk, 256 * 1024, "gbk_256k");
  stages(utf8, 256 * 1024, "utf8_256k");
  std::printf("prefilter_bytes: %zu\n", kvrGetKeyPrefilter()->bytes());
  std::printf("prefilter_keys: %zu\n", kvrGetKeyPrefilter()->keys());
  // The same with fewer vector instructions, as on older processors.
  for (int level = kvrSimdLevelOffered() - 1; level >= 0; --level) {
    const KvrSimdLevel before = kvrForceSimdLevel(static_cast<KvrSimdLevel>(level));
    std::printf("simd%d_get_gbk_256k_mb_per_s: %.0f\n", level,
                scanMbPerS(pool, gbk, 256 * 1024, &bigHits));
    stages(gbk, 256 * 1024, ("simd" + std::to_string(level) + "_gbk_256k").c_str());
    kvrForceSimdLevel(before);
  }
  std::printf("filtered_first_gbk_mb_per_s: %.0f\n", exactMbPerS(pool, gbk, 8000));
  std::printf("filtered_first_utf8_mb_per_s: %.0f\n", exactMbPerS(pool, utf8, 8000));
  std::printf("automaton_bytes_block: %zu\n", acsmTableBytes(acsm_vazidez_getkeyc));
  std::printf("automaton_bytes_record: %zu\n", acsmTableBytes(acsm_vazidez_getkeyb));

  // Whole pages, generated and real, side by side with Hyperscan.
  runSet(pool, generated());
  if (dir.empty())
    std::printf("real: no corpus (make one with bench/corpus, then --corpus DIR)\n");
  else
    runSet(pool, real(dir));
  apr_pool_destroy(pool);
  return gDiffer ? 1 : 0;
}
