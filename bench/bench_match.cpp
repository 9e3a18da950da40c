// rizu-bench match: the keyword automaton against Hyperscan on the same
// generated keywords (3000 GBK keywords and their UTF-8 forms) and 16 MiB of
// Chinese HTML, in GBK and in UTF-8, scanned in 8000-byte and 64 KiB chunks.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench_data.h"
#include "config/kvr_config.h"
#include "match/kvr_match.h"
#include "util/kvr_text.h"

#ifdef RIZU_HAVE_HYPERSCAN
#include <hs/hs.h>
#endif

namespace {

struct Lists {
  char l1[100][64], l2[100][64], l3[100][64];
};

std::string toUtf8(const std::string &gbk) {
  std::string out(gbk.size() * 2 + 16, '\0');
  KvrConverter c("UTF-8", "GBK");
  c.convert(gbk.data(), gbk.size(), &out[0], out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
}

// Best of a few runs, in MB/s.
template <class F>
double throughput(const std::string &text, size_t chunk, F scan) {
  double best = 1e30;
  for (int rep = 0; rep < 3; ++rep) {
    const double t = bench::nowMs();
    for (size_t at = 0; at < text.size(); at += chunk)
      scan(reinterpret_cast<const unsigned char *>(text.data()) + at,
           std::min(chunk, text.size() - at));
    best = std::min(best, bench::nowMs() - t);
  }
  return static_cast<double>(text.size()) / 1e6 / (best / 1e3);
}

double oursScan(ACSM_STRUCT *a, const std::string &text, size_t chunk) {
  static Lists lists;
  return throughput(text, chunk, [&](const unsigned char *p, size_t n) {
    std::memset(&lists, 0, sizeof lists);  // as the response check does before each search
    int state = 0, charset = 0;
    acsmSearchEx(a, p, static_cast<int>(n), &state, &charset, lists.l1, lists.l2, lists.l3,
                 nullptr);
  });
}

using MatchSet = std::vector<std::pair<size_t, int>>;  // (end offset, pattern id)

MatchSet oursMatches(ACSM_STRUCT *a, const std::string &text, size_t chunk) {
  struct Ctx {
    MatchSet *out;
    size_t base;
  };
  MatchSet out;
  for (size_t at = 0; at < text.size(); at += chunk) {
    Ctx ctx{&out, at};
    acsmForEachMatch(
        a, reinterpret_cast<const unsigned char *>(text.data()) + at,
        static_cast<int>(std::min(chunk, text.size() - at)),
        [](void *c, const ACSM_PATTERN *p, int end) {
          auto *x = static_cast<Ctx *>(c);
          x->out->emplace_back(x->base + static_cast<size_t>(end) + 1,
                               p->nKeyWordIndex * 2 + (p->nKeyWordCharType - 1));
        },
        &ctx);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

int benchMatch(int /*argc*/, char ** /*argv*/) {
  const std::vector<std::string> kws = bench::keywords(3000, 42);
  kvrResetConfigState();
  for (size_t i = 0; i < kws.size(); ++i) {
    structGetKeyWord &e = arrGetKeyWord.b[i];
    e.used = 1;
    e.no = static_cast<int>(i);
    e.usertype = 2;
    std::memcpy(e.gbk, kws[i].data(), kws[i].size());
  }
  getkeyb_gb2utf8();
  const double tb = bench::nowMs();
  kvrKeyWord2AC();
  const double buildMs = bench::nowMs() - tb;
  ACSM_STRUCT *a = acsm_vazidez_getkeyb;
  size_t patternBytes = 0;
  for (size_t i = 0; i < kws.size(); ++i)
    patternBytes += static_cast<size_t>(arrGetKeyWord.b[i].gbklen + arrGetKeyWord.b[i].utf8len);

  // Chinese HTML with a keyword in about every 2 KB, so that both matchers
  // have matches to report and to agree on.
  const std::string gbk = bench::chinesePageWith(16u << 20, 7, kws, 2048);
  const std::string utf8 = toUtf8(gbk);

  std::printf("gbk_text_bytes: %zu\n", gbk.size());
  std::printf("utf8_text_bytes: %zu\n", utf8.size());
  std::printf("patterns: %d\n", acsmPatternCount(a));
  std::printf("pattern_bytes: %zu\n", patternBytes);
  std::printf("states: %d\n", a->acsmNumStates + 1);
  std::printf("byte_classes: %d\n", acsmClassCount(a));
  std::printf("build_ms: %.2f\n", buildMs);
  std::printf("automaton_bytes: %zu\n", acsmTableBytes(a));
  std::printf("full_table_bytes: %zu\n", acsmFullTableBytes(a));
  std::printf("memory_ratio: %.3f\n",
              static_cast<double>(acsmTableBytes(a)) / static_cast<double>(acsmFullTableBytes(a)));

  // Share of the GBK-form matches in GBK text that start on a second byte.
  {
    std::vector<bool> start(gbk.size() + 1, false);
    for (size_t i = 0; i < gbk.size();) {
      start[i] = true;
      i +=
          (static_cast<unsigned char>(gbk[i]) >= 0x81 && static_cast<unsigned char>(gbk[i]) <= 0xFE)
              ? 2
              : 1;
    }
    size_t raw = 0, dropped = 0;
    for (const auto &m : oursMatches(a, gbk, 8000)) {
      if (m.second % 2 != 0) continue;  // UTF-8 forms
      ++raw;
      const size_t len = static_cast<size_t>(arrGetKeyWord.b[m.second / 2].gbklen);
      if (!start[m.first - len]) ++dropped;
    }
    std::printf("gbk_matches: %zu\n", raw);
    std::printf("gbk_false_start_rate: %.4f\n",
                raw ? static_cast<double>(dropped) / static_cast<double>(raw) : 0.0);
  }

  double ours[2][2];  // [encoding][chunk]
  const size_t chunks[2] = {8000, 64 * 1024};
  const std::string *texts[2] = {&gbk, &utf8};
  for (int e = 0; e < 2; ++e)
    for (int c = 0; c < 2; ++c) ours[e][c] = oursScan(a, *texts[e], chunks[c]);
  std::printf("ours_gbk_8000_mb_per_s: %.0f\n", ours[0][0]);
  std::printf("ours_gbk_64k_mb_per_s: %.0f\n", ours[0][1]);
  std::printf("ours_utf8_8000_mb_per_s: %.0f\n", ours[1][0]);
  std::printf("ours_utf8_64k_mb_per_s: %.0f\n", ours[1][1]);
  const double oursGbk = std::min(ours[0][0], ours[0][1]);
  const double oursUtf8 = std::min(ours[1][0], ours[1][1]);
  std::printf("ours_gbk_mb_per_s: %.0f\n", oursGbk);
  std::printf("ours_utf8_mb_per_s: %.0f\n", oursUtf8);

#ifdef RIZU_HAVE_HYPERSCAN
  std::vector<const char *> lits;
  std::vector<size_t> lens;
  std::vector<unsigned> ids, flags;
  std::vector<std::string> forms;
  forms.reserve(kws.size() * 2);
  for (size_t i = 0; i < kws.size(); ++i) {
    forms.emplace_back(arrGetKeyWord.b[i].gbk);
    forms.emplace_back(arrGetKeyWord.b[i].utf8);
  }
  // Every form as a literal: each byte escaped.
  std::vector<std::string> exprs;
  for (const std::string &f : forms) {
    std::string e;
    char hex[8];
    for (unsigned char c : f) {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      e += hex;
    }
    exprs.push_back(e);
  }
  for (size_t i = 0; i < forms.size(); ++i) {
    if (forms[i].empty()) continue;  // a form that did not convert is no pattern
    lits.push_back(exprs[i].c_str());
    lens.push_back(forms[i].size());
    ids.push_back(static_cast<unsigned>(i));
    flags.push_back(0);
  }
  hs_database_t *db = nullptr;
  hs_compile_error_t *err = nullptr;
  if (hs_compile_multi(lits.data(), flags.data(), ids.data(), static_cast<unsigned>(lits.size()),
                       HS_MODE_BLOCK, nullptr, &db, &err) != HS_SUCCESS) {
    std::fprintf(stderr, "hyperscan: %s\n", err ? err->message : "compile failed");
    return 1;
  }
  hs_scratch_t *scratch = nullptr;
  hs_alloc_scratch(db, &scratch);
  auto hsScan = [&](const std::string &text, size_t chunk) {
    return throughput(text, chunk, [&](const unsigned char *p, size_t n) {
      hs_scan(
          db, reinterpret_cast<const char *>(p), static_cast<unsigned>(n), 0, scratch,
          [](unsigned, unsigned long long, unsigned long long, unsigned, void *) { return 0; },
          nullptr);
    });
  };
  double hs[2][2];
  for (int e = 0; e < 2; ++e)
    for (int c = 0; c < 2; ++c) hs[e][c] = hsScan(*texts[e], chunks[c]);
  const double hsGbk = std::max(hs[0][0], hs[0][1]);
  const double hsUtf8 = std::max(hs[1][0], hs[1][1]);
  std::printf("hyperscan_gbk_8000_mb_per_s: %.0f\n", hs[0][0]);
  std::printf("hyperscan_gbk_64k_mb_per_s: %.0f\n", hs[0][1]);
  std::printf("hyperscan_utf8_8000_mb_per_s: %.0f\n", hs[1][0]);
  std::printf("hyperscan_utf8_64k_mb_per_s: %.0f\n", hs[1][1]);
  std::printf("hyperscan_gbk_mb_per_s: %.0f\n", hsGbk);
  std::printf("hyperscan_utf8_mb_per_s: %.0f\n", hsUtf8);
  std::printf("ratio_vs_hyperscan: %.3f\n", std::min(oursGbk / hsGbk, oursUtf8 / hsUtf8));

  // Both must find the same matches (every pattern at every end offset).
  bool same = true;
  for (int e = 0; e < 2; ++e) {
    const std::string sample = texts[e]->substr(0, 4u << 20);
    MatchSet theirs;
    for (size_t at = 0; at < sample.size(); at += 8000) {
      struct Ctx {
        MatchSet *out;
        size_t base;
      } ctx{&theirs, at};
      hs_scan(
          db, sample.data() + at, static_cast<unsigned>(std::min<size_t>(8000, sample.size() - at)),
          0, scratch,
          [](unsigned id, unsigned long long, unsigned long long to, unsigned, void *c) {
            auto *x = static_cast<Ctx *>(c);
            x->out->emplace_back(x->base + to, static_cast<int>(id));
            return 0;
          },
          &ctx);
    }
    std::sort(theirs.begin(), theirs.end());
    const MatchSet mine = oursMatches(a, sample, 8000);
    std::printf("%s_matches_compared: %zu\n", e ? "utf8" : "gbk", mine.size());
    same = same && mine == theirs;
  }
  std::printf("same_matches: %s\n", same ? "yes" : "NO");
  hs_free_scratch(scratch);
  hs_free_database(db);
  return same ? 0 : 1;
#else
  std::printf("hyperscan: not built (install libhyperscan-dev and reconfigure)\n");
  return 0;
#endif
}
