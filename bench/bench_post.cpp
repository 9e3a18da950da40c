// rizu-bench post: the POST check's work on one 48 KiB bucket (raw and
// filtered texts, block and record sweeps) with four full tables and with
// four small ones, against one automaton pass over the same bytes.
#include <apr_pools.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_data.h"
#include "config/kvr_config.h"
#include "screen/kvr_post_scan.h"
#include "match/kvr_match.h"

namespace {

void fill(structPostKeyWord *t, const std::vector<std::string> &words, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    t[i].used = 1;
    t[i].no = static_cast<int>(i);
    t[i].usertype = 2;
    std::memcpy(t[i].gbk, words[i].data(), words[i].size());
  }
}

std::vector<std::string> gAll;

void load(size_t n) {
  kvrResetConfigState();
  nVazidezChkPostKeyWord = nVazidezBlockPostKeyWord = 1;
  structPostKeyWord *tables[4] = {arrPostKeyWord.b, arrPostKeyWord.c, arrPostKeyWord.bex,
                                  arrPostKeyWord.cex};
  gAll.clear();
  for (int k = 0; k < 4; ++k) {
    const auto words = bench::keywords(3000, 300 + k);
    fill(tables[k], words, n);
    gAll.insert(gAll.end(), words.begin(), words.end());
  }
  postkeyb_gb2utf8();
  postkeyc_gb2utf8();
  postkeybex_gb2utf8();
  postkeycex_gb2utf8();
  kvrPostKeyWordIndex();
}

template <class F>
double bestUs(int reps, F f) {
  double best = 1e30;
  for (int i = 0; i < reps; ++i) {
    const double t = bench::nowMs();
    f();
    best = std::min(best, (bench::nowMs() - t) * 1000);
  }
  return best;
}

double checkUs(apr_pool_t *pool, const std::string &body) {
  return bestUs(200, [&] {
    const KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), false);
    KvrPostHit hits[8];
    int n = 0;
    kvrPostSweep(pool, pt, true, true, hits, &n);
    apr_pool_clear(pool);
  });
}

}  // namespace

int benchPost(int /*argc*/, char ** /*argv*/) {
  apr_pool_t *pool;
  apr_pool_create(&pool, nullptr);
  load(3000);
  const std::string body = bench::chinesePage(48 * 1024, 77, gAll);

  const double full = checkUs(pool, body);
  std::printf("post_index_bytes: %zu\n", kvrPostIndexBytes());
  // One pass of the check's own matcher over the body: its raw-text side.
  const KvrPostText once = kvrPostPrepare(pool, body.data(), body.size(), false);
  apr_pool_t *scratch;
  apr_pool_create(&scratch, pool);
  const double ownPass = bestUs(200, [&] {
    kvrPostMatcherPass(scratch, 1, once.raw, once.rawLen, once.rawStarts);
    apr_pool_clear(scratch);
  });

  // The sweep the check is defined by: every entry's words searched one by
  // one, over the same texts (fewer rounds: it is slow).
  const double plain = bestUs(3, [&] {
    KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), false);
    kvrPostEnsureFiltered(pool, &pt);
    int hits = 0;
    for (int slot : {kPostC, kPostCex, kPostB, kPostBex})
      for (int pass = 1; pass <= 2; ++pass)
        for (int i = 0; i < 3000; ++i) {
          const bool filtered = slot == kPostC || slot == kPostB;
          hits += kvrPostEntryHitsPlain(slot, i, pass, filtered ? pt.filtered.text : pt.raw,
                                        filtered ? pt.filtered.len : pt.rawLen,
                                        filtered ? pt.filtered.starts : pt.rawStarts);
        }
    apr_pool_clear(pool);
    if (hits < 0) std::printf("impossible\n");
  });

  // One pass of a keyword automaton of one full table over the body.
  for (int i = 0; i < 3000; ++i) {
    structGetKeyWord &e = arrGetKeyWord.c[i];
    e.used = 1;
    e.usertype = 2;
    std::snprintf(e.gbk, sizeof e.gbk, "%s", gAll[i].c_str());
  }
  getkeyc_gb2utf8();
  kvrKeyWord2AC();
  static char lists[3][100][64];
  const double onePass = bestUs(200, [&] {
    int state = 0, charset = 0;
    lists[0][0][0] = lists[1][0][0] = lists[2][0][0] = 0;
    acsmSearchEx(acsm_vazidez_getkeyc, reinterpret_cast<const unsigned char *>(body.data()),
                 static_cast<int>(body.size()), &state, &charset, lists[0], lists[1], lists[2],
                 nullptr);
  });

  load(30);
  const double small = checkUs(pool, body);

  std::printf("body_bytes: %zu\n", body.size());
  std::printf("post_full_us: %.1f\n", full);
  std::printf("post_small_us: %.1f\n", small);
  std::printf("post_table_scaling: %.2f\n", full / small);
  // Two yardsticks for one pass over the body: the check's own matcher, and
  // the response check's full table (faster, but too large to keep for the
  // four POST tables in every child).
  std::printf("one_pass_us: %.1f\n", ownPass);
  std::printf("post_vs_one_pass: %.2f\n", full / ownPass);
  std::printf("dfa_pass_us: %.1f\n", onePass);
  std::printf("post_vs_dfa_pass: %.2f\n", full / onePass);
  std::printf("plain_sweep_us: %.0f\n", plain);
  std::printf("speedup_vs_plain_sweep: %.0f\n", plain / full);
  apr_pool_clear(pool);
  apr_pool_destroy(pool);
  return 0;
}
