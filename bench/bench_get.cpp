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
#include "screen/kvr_get_scan.h"
#include "match/kvr_match.h"
#include "match/kvr_prefilter.h"
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

std::string toUtf8(const std::string &gbk) {
  std::string out(gbk.size() * 2 + 16, '\0');
  KvrConverter("UTF-8", "GBK").convert(gbk.data(), gbk.size(), &out[0], out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
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

}  // namespace

int benchGet(int /*argc*/, char ** /*argv*/) {
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
  const std::string utf8 = toUtf8(gbk);

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
  apr_pool_destroy(pool);
  return 0;
}
