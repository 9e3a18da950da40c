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
  // Row 0xD7 ends at 0xF9: the few codes after it are unassigned.
  do {
    s[0] = static_cast<char>(0xB0 + rng() % (0xF7 - 0xB0 + 1));
    s[1] = static_cast<char>(0xA1 + rng() % (0xFE - 0xA1 + 1));
  } while (static_cast<unsigned char>(s[0]) == 0xD7 && static_cast<unsigned char>(s[1]) > 0xF9);
  return s;
}

std::vector<std::string> keywords(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::set<std::string> seen;
  std::vector<std::string> out;
  while (out.size() < n) {
    std::string k;
    const int chars = 2 + static_cast<int>(rng() % 4);
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

std::string chinesePageWith(size_t bytes, uint64_t seed, const std::vector<std::string> &words,
                            size_t every) {
  std::mt19937_64 rng(seed ^ 0x5bd1e995);
  const std::string base = chinesePage(bytes, seed);
  std::string page;
  page.reserve(bytes + bytes / every * 16);
  size_t at = 0;
  while (at < base.size()) {
    size_t take = every / 2 + rng() % every;
    if (at + take > base.size()) take = base.size() - at;
    // Cut only between characters, so the page stays well-formed GBK.
    size_t end = at;
    while (end < at + take)
      end += static_cast<unsigned char>(base[end]) >= 0x81 && end + 1 < base.size() ? 2 : 1;
    page.append(base, at, end - at);
    at = end;
    if (!words.empty()) page += words[rng() % words.size()];
  }
  page.resize(bytes);
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
