// rizu-bench load: one whole configuration load of full tables.
#include <apr_pools.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_data.h"
#include "config/kvr_config.h"
#include "util/kvr_text.h"

namespace {

std::string lines(const std::vector<std::string> &v) {
  std::string s;
  for (const auto &x : v) s += x + "\n";
  return s;
}

std::string toUtf8(const std::string &gbk) {
  std::string out(gbk.size() * 2 + 16, '\0');
  KvrConverter("UTF-8", "GBK").convert(gbk.data(), gbk.size(), &out[0], out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
}

// The keywords of every table, to compare loads.
std::string tables() {
  std::string s;
  for (const structGetKeyWord *t : {arrGetKeyWord.b, arrGetKeyWord.c})
    for (int i = 0; i < kKeyTableSlots && t[i].used == 1; ++i) s.append(t[i].gbk).append("\n");
  for (const structPostKeyWord *t :
       {arrPostKeyWord.b, arrPostKeyWord.c, arrPostKeyWord.bex, arrPostKeyWord.cex})
    for (int i = 0; i < kKeyTableSlots && t[i].used == 1; ++i) s.append(t[i].gbk).append("\n");
  return s;
}

std::vector<std::string> numbered(const char *fmt, int n) {
  std::vector<std::string> v;
  char buf[300];
  for (int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, fmt, i / 256, i % 256, i);
    v.emplace_back(buf);
  }
  return v;
}

}  // namespace

int benchLoad(int /*argc*/, char ** /*argv*/) {
  bench::ScratchDir cfg, logs;
  cfg.write("rizururuzarida.ini",
            "ChkGetKeyWord=1\nBlockGetKeyWord=1\nChkPostKeyWord=1\nBlockPostKeyWord=1\n"
            "postip=1\nchkbeianheidn=1\nchkbeianbaidn=1\nblockip=1\ngcliip=1\nblockfilepath=1\n"
            "blocksql=1\nblocksqldnurl=1\nblockurl=1\nwriteutf8keyword=1\n");
  const char *kwFiles[] = {"getkeyb.txt",  "getkeyc.txt",    "postkeyb.txt",
                           "postkeyc.txt", "postkeybex.txt", "postkeycex.txt"};
  for (int i = 0; i < 6; ++i)
    cfg.write(std::string("config/") + kwFiles[i], lines(bench::keywords(3000, 100 + i)));
  cfg.write("config/scriptname.txt", lines(numbered(".s%d%d", 100)));
  cfg.write("config/getdna.txt", lines(numbered("www.get%d-%d.example.com/path/%d", 1000)));
  cfg.write("config/postdna.txt", lines(numbered("www.post%d-%d.example.com/path/%d", 1000)));
  for (const char *f : {"postip.txt", "blockip.txt", "gcliip.txt"})
    cfg.write(std::string("config/") + f, lines(numbered("10.1.%d.%d", 500)));
  for (const char *f : {"beianheidn.txt", "beianbaidn.txt"})
    cfg.write(std::string("config/") + f, lines(numbered("host%d-%d.example.com", 500)));
  for (const char *f : {"keyfilepath.txt", "blocksql.txt", "blocksqldnurl.txt", "blockurl.txt"})
    cfg.write(std::string("config/") + f, lines(numbered("entry%d-%d-%d", 100)));
  cfg.write("config/blocksqlscript.txt", lines(numbered(".q%d%d", 100)));
  for (const char *f : {"getshow.txt", "postshow.txt", "postipshow.txt", "beianheishow.txt",
                        "beianbaishow.txt", "blockipshow.txt"})
    cfg.write(std::string("config/") + f, std::string(8000, 'p'));

  apr_pool_t *pool;
  apr_pool_create(&pool, nullptr);
  auto median = [&] {
    std::vector<double> times;
    for (int i = 0; i < 7; ++i) {
      apr_pool_clear(pool);
      const double t = bench::nowMs();
      kvrLoadConfiguration(pool, cfg.path.c_str(), logs.path.c_str(), true);
      times.push_back(bench::nowMs() - t);
    }
    std::sort(times.begin(), times.end());
    return std::make_pair(times[times.size() / 2], times.front());
  };
  const auto gbk = median();
  std::printf("load_ms: %.2f\n", gbk.first);
  std::printf("load_min_ms: %.2f\n", gbk.second);
  std::printf("keywords_per_table: %d\n", kvrVazidezGetKeybNum());

  // The same keyword files saved as UTF-8: each is checked, then converted
  // line by line.
  const std::string before = tables();
  for (int i = 0; i < 6; ++i)
    cfg.write(std::string("config/") + kwFiles[i], toUtf8(lines(bench::keywords(3000, 100 + i))));
  const auto utf8 = median();
  std::printf("load_utf8_files_ms: %.2f\n", utf8.first);
  std::printf("load_utf8_to_gbk_ratio: %.2f\n", utf8.first / gbk.first);
  std::printf("utf8_files_same_tables: %s\n", tables() == before ? "yes" : "no");
  std::ifstream page(logs.path + "rizururuzarida_config.html", std::ios::binary | std::ios::ate);
  std::printf("status_page_bytes: %lld\n", static_cast<long long>(page.tellg()));
  apr_pool_destroy(pool);
  return 0;
}
