// rizu-bench post: the POST check's work on one 48 KiB bucket (raw and
// filtered texts, block and record sweeps) with four full tables and with
// four small ones, against one automaton pass over the same bytes.
#include <apr_pools.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_data.h"
#include "config/kvr_config.h"
#include "match/kvr_match.h"
#include "screen/kvr_post_scan.h"

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

void loadLists(const std::vector<std::vector<std::string>> &lists) {
  kvrResetConfigState();
  nVazidezChkPostKeyWord = nVazidezBlockPostKeyWord = 1;
  structPostKeyWord *tables[4] = {arrPostKeyWord.b, arrPostKeyWord.c, arrPostKeyWord.bex,
                                  arrPostKeyWord.cex};
  for (int k = 0; k < 4; ++k) fill(tables[k], lists[k], lists[k].size());
  postkeyb_gb2utf8();
  postkeyc_gb2utf8();
  postkeybex_gb2utf8();
  postkeycex_gb2utf8();
  kvrPostKeyWordIndex();
}

// A GBK text form-encoded: fields of a few hundred characters, every byte
// but letters and digits escaped, cut to `size` bytes before an escape.
std::string formEncode(const std::string &gbk, size_t size) {
  std::string out;
  char esc[4];
  size_t field = 0;
  for (size_t i = 0; i < gbk.size() && out.size() < size;) {
    if (i % 600 == 0) {
      out += field ? "&f" : "f";
      out += std::to_string(++field) + "=";
    }
    const unsigned char c = static_cast<unsigned char>(gbk[i]);
    const size_t len = c >= 0x81 && i + 1 < gbk.size() ? 2 : 1;
    std::string tok;
    for (size_t j = 0; j < len; ++j) {
      const unsigned char b = static_cast<unsigned char>(gbk[i + j]);
      if (b == ' ') {
        tok += '+';
      } else if (std::isalnum(b)) {
        tok += static_cast<char>(b);
      } else {
        std::snprintf(esc, sizeof esc, "%%%02X", b);
        tok += esc;
      }
    }
    if (out.size() + tok.size() > size) break;
    out += tok;
    i += len;
  }
  out.resize(size, '+');
  return out;
}

struct BodySet {
  const char *name;
  std::vector<std::vector<std::string>> lists;  // four tables, no word in any body
  std::vector<std::string> bodies[2][2];        // [form][48 KiB]
};

// The check on every body against one pass of its matcher over the same
// raw text (what the check searches: a form's fields decoded) and against Hyperscan over it with
// every form of every word; the best of 7 rounds, per body.
void measureBodies(apr_pool_t *pool, const BodySet &d) {
  loadLists(d.lists);
  std::vector<std::string> patterns;
  for (const auto &l : d.lists)
    for (const auto &w : l) {
      patterns.push_back(w);
      patterns.push_back(bench::toUtf8(w));
    }
  bench::Literals hs(patterns);
  apr_pool_t *sub, *held;
  apr_pool_create(&sub, pool);
  apr_pool_create(&held, pool);
  static const char *kNames[2][2] = {{"plain_4k", "plain_48k"}, {"form_4k", "form_48k"}};
  for (int form = 0; form < 2; ++form)
    for (int big = 0; big < 2; ++big) {
      const auto &bodies = d.bodies[form][big];
      // Each body's best of seven rounds, every figure of a body taken
      // right after the others: a busy machine slows a round, seldom all.
      double check = 0, pass = 0, theirs = 0, body = 0, prep = 0;
      int blocked = 0;
      for (const auto &b : bodies) {
        double best[5] = {1e30, 1e30, 1e30, 1e30, 1e30};
        auto time = [&](int k, auto f) {
          const double t = bench::nowMs();
          f();
          best[k] = std::min(best[k], bench::nowMs() - t);
          apr_pool_clear(sub);
        };
        int n = 0;
        for (int rep = 0; rep < 7; ++rep) {
          time(0, [&] {
            const KvrPostText pt = kvrPostPrepare(sub, b.data(), b.size(), form != 0);
            KvrPostHit hits[8];
            kvrPostSweep(sub, pt, true, true, hits, &n);
          });
          time(1, [&] { kvrPostPrepare(sub, b.data(), b.size(), form != 0); });
          const KvrPostText pt = kvrPostPrepare(held, b.data(), b.size(), form != 0);
          time(2, [&] { kvrPostMatcherPass(sub, 1, pt.raw, pt.rawLen, pt.rawStarts); });
          time(3, [&] { hs.scan(pt.raw, pt.rawLen); });
          if (form) {
            const KvrPostText asIs = kvrPostPrepare(held, b.data(), b.size(), false);
            time(4, [&] { kvrPostMatcherPass(sub, 1, asIs.raw, asIs.rawLen, asIs.rawStarts); });
          }
        }
        apr_pool_clear(held);
        if (n > 0) ++blocked;
        check += best[0];
        prep += best[1];
        pass += best[2];
        theirs += best[3];
        body += best[4];
      }
      const double per = 1000.0 / static_cast<double>(bodies.size());
      const double c = check * per, p = pass * per, h = theirs * per;
      const std::string key = std::string(d.name) + "_" + kNames[form][big];
      std::printf("%s_post_us: %.1f\n", key.c_str(), c);
      std::printf("%s_one_pass_us: %.1f\n", key.c_str(), p);
      // A pass over the text searched: for a form, the decoded fields; and,
      // as a second yardstick, over the body as it came.
      std::printf("%s_passes: %.2f\n", key.c_str(), c / p);
      // Of which the preparation of the texts (copy, decoding, lower case).
      std::printf("%s_prepare_passes: %.2f\n", key.c_str(), prep * per / p);
      if (form) std::printf("%s_passes_of_body_as_sent: %.2f\n", key.c_str(), c / (body * per));
      std::printf("%s_hyperscan_us: %.1f\n", key.c_str(), h);
      std::printf("%s_vs_hyperscan: %.2f\n", key.c_str(), h / c);
      std::printf("%s_bodies_with_hits: %d\n", key.c_str(), blocked);
    }
  apr_pool_destroy(sub);
  apr_pool_destroy(held);
}

BodySet generatedBodies() {
  BodySet d;
  d.name = "gen";
  std::vector<std::string> all;
  for (int k = 0; k < 4; ++k) {
    d.lists.push_back(bench::keywords(3000, 300 + k));
    all.insert(all.end(), d.lists.back().begin(), d.lists.back().end());
  }
  for (int big = 0; big < 2; ++big) {
    const size_t size = big ? 48 * 1024 : 4096;
    for (int i = 0; i < (big ? 32 : 64); ++i) {
      d.bodies[0][big].push_back(bench::chinesePage(size, 500 + i + 97 * big, all));
      d.bodies[1][big].push_back(
          formEncode(bench::chinesePage(size, 600 + i + 97 * big, all), size));
    }
  }
  return d;
}

BodySet realBodies(const std::string &dir) {
  BodySet d;
  d.name = "real";
  for (const char *name : {"absent-1.txt", "absent-2.txt", "absent-3.txt", "absent-4.txt"})
    d.lists.push_back(bench::corpusWords(dir, name));
  d.bodies[0][0] = bench::corpusItems(dir, "plain-4k.bodies", 4096);
  d.bodies[0][1] = bench::corpusItems(dir, "plain-48k.bodies", 48 * 1024);
  d.bodies[1][0] = bench::corpusItems(dir, "form-4k.bodies", 4096);
  d.bodies[1][1] = bench::corpusItems(dir, "form-48k.bodies", 48 * 1024);
  return d;
}

// Four tables of 3000 keywords of 1 to 15 characters, as the memory
// benchmark's large set: the index's size, and the check on a clean 48 KiB
// body with them.
void largeSet(apr_pool_t *pool) {
  std::mt19937_64 rng(18);
  std::vector<std::vector<std::string>> lists(4);
  std::vector<std::string> all;
  for (auto &l : lists) {
    while (l.size() < 3000) {
      std::string w;
      const int chars = 1 + static_cast<int>(rng() % 15);
      for (int c = 0; c < chars; ++c) {
        unsigned char a, b;
        do {
          a = static_cast<unsigned char>(0xB0 + rng() % (0xF7 - 0xB0 + 1));
          b = static_cast<unsigned char>(0xA1 + rng() % (0xFE - 0xA1 + 1));
        } while (a == 0xD7 && b > 0xF9);
        w += static_cast<char>(a);
        w += static_cast<char>(b);
      }
      if (std::find(l.begin(), l.end(), w) == l.end()) l.push_back(w);
    }
    all.insert(all.end(), l.begin(), l.end());
  }
  loadLists(lists);
  std::printf("post_index_bytes_large: %zu\n", kvrPostIndexBytes());
  const std::string body = bench::chinesePage(48 * 1024, 78, all);
  const double check = checkUs(pool, body);
  const KvrPostText once = kvrPostPrepare(pool, body.data(), body.size(), false);
  const double pass =
      bestUs(200, [&] { kvrPostMatcherPass(pool, 1, once.raw, once.rawLen, once.rawStarts); });
  apr_pool_clear(pool);
  std::printf("post_large_us: %.1f\n", check);
  std::printf("post_large_one_pass_us: %.1f\n", pass);
}

}  // namespace

int benchPost(int argc, char **argv) {
  apr_pool_t *pool;
  apr_pool_create(&pool, nullptr);
  const std::string dir = bench::corpusDir(argc, argv);
  // --real-only: the real bodies alone, for a profiler; --large-only: the
  // large set alone.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--large-only") == 0) {
      largeSet(pool);
      apr_pool_destroy(pool);
      return 0;
    }
    if (std::strcmp(argv[i], "--real-only") == 0 && !dir.empty()) {
      measureBodies(pool, realBodies(dir));
      apr_pool_destroy(pool);
      return 0;
    }
  }
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
  largeSet(pool);

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

  // Clean bodies, generated and real, plain and form-encoded.
  measureBodies(pool, generatedBodies());
  if (dir.empty())
    std::printf("real: no corpus (make one with bench/corpus, then --corpus DIR)\n");
  else
    measureBodies(pool, realBodies(dir));
  apr_pool_clear(pool);
  apr_pool_destroy(pool);
  return 0;
}
