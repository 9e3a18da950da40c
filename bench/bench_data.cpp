#include "bench_data.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

namespace bench {

std::string randomHanzi(std::mt19937_64 &rng) {
  std::string s(2, '\0');
  s[0] = static_cast<char>(0xB0 + rng() % (0xF7 - 0xB0 + 1));
  s[1] = static_cast<char>(0xA1 + rng() % (0xFE - 0xA1 + 1));
  return s;
}

std::vector<std::string> keywords(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::set<std::string> seen;
  std::vector<std::string> out;
  while (out.size() < n) {
    std::string k;
    const int chars = 2 + static_cast<int>(rng() % 5);
    for (int i = 0; i < chars; ++i) k += randomHanzi(rng);
    if (seen.insert(k).second) out.push_back(k);
  }
  return out;
}

std::string chinesePage(size_t bytes, uint64_t seed, const std::vector<std::string> &avoid) {
  std::mt19937_64 rng(seed);
  std::string page = "<html><head><title>page</title></head><body>\n";
  while (page.size() < bytes) {
    page += "<p>";
    const int n = 20 + static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      page += randomHanzi(rng);
      if (rng() % 9 == 0) page += "\xa3\xac";  // a full-width comma
      if (rng() % 13 == 0) page += " abc 123 ";
    }
    page += "</p>\n";
  }
  page.resize(bytes);
  // Break up any keyword the random text happens to spell, so that "no
  // keyword" really holds.
  for (const auto &k : avoid) {
    for (size_t at = page.find(k); at != std::string::npos; at = page.find(k, at + 1))
      page[at + 1] = ' ';
  }
  return page;
}

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/rizu-bench-XXXXXX";
  path = std::string(mkdtemp(tmpl)) + "/";
}

ScratchDir::~ScratchDir() {
  nftw(
      path.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

void ScratchDir::write(const std::string &rel, const std::string &bytes) const {
  const std::string full = path + rel;
  const auto slash = full.rfind('/');
  mkdir(full.substr(0, slash).c_str(), 0777);
  std::ofstream out(full, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

double nowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace bench
