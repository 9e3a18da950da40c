#include "bench_data.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "util/kvr_text.h"

#ifdef RIZU_HAVE_HYPERSCAN
#include <hs/hs.h>
#endif

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
  // The thread's own processor time: on a machine shared with other work,
  // time spent waiting for a processor does not count against either side.
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string corpusDir(int argc, char **argv) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--corpus") return std::string(argv[i + 1]) + "/";
  const char *env = std::getenv("RIZU_BENCH_CORPUS");
  return env && *env ? std::string(env) + "/" : std::string();
}

namespace {
std::string readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s (made by bench/corpus)\n", path.c_str());
    std::exit(1);
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

std::vector<std::string> corpusItems(const std::string &dir, const char *name, size_t size) {
  const std::string all = readAll(dir + name);
  std::vector<std::string> out;
  for (size_t at = 0; at + size <= all.size(); at += size) out.push_back(all.substr(at, size));
  return out;
}

std::vector<std::string> corpusWords(const std::string &dir, const char *name) {
  std::istringstream in(readAll(dir + name));
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

std::string toUtf8(const std::string &gbk) {
  std::string out(gbk.size() * 2 + 16, '\0');
  KvrConverter("UTF-8", "GBK").convert(gbk.data(), gbk.size(), &out[0], out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

#ifdef RIZU_HAVE_HYPERSCAN
Literals::Literals(const std::vector<std::string> &patterns) {
  std::vector<const char *> exprs;
  std::vector<size_t> lens;
  std::vector<unsigned> ids, flags;
  for (const std::string &p : patterns) {
    if (p.empty()) continue;
    exprs.push_back(p.data());
    lens.push_back(p.size());
    ids.push_back(static_cast<unsigned>(ids.size()));
    flags.push_back(0);
  }
  hs_database_t *db = nullptr;
  hs_compile_error_t *err = nullptr;
  if (hs_compile_lit_multi(exprs.data(), flags.data(), ids.data(), lens.data(),
                           static_cast<unsigned>(exprs.size()), HS_MODE_BLOCK, nullptr, &db,
                           &err) != HS_SUCCESS) {
    std::fprintf(stderr, "hyperscan: %s\n", err ? err->message : "compile failed");
    hs_free_compile_error(err);
    return;
  }
  hs_scratch_t *scratch = nullptr;
  hs_alloc_scratch(db, &scratch);
  db_ = db;
  scratch_ = scratch;
}

Literals::~Literals() {
  hs_free_scratch(static_cast<hs_scratch_t *>(scratch_));
  hs_free_database(static_cast<hs_database_t *>(db_));
}

size_t Literals::scan(const char *data, size_t n) {
  size_t matches = 0;
  if (!db_) return 0;
  hs_scan(
      static_cast<hs_database_t *>(db_), data, static_cast<unsigned>(n), 0,
      static_cast<hs_scratch_t *>(scratch_),
      [](unsigned, unsigned long long, unsigned long long, unsigned, void *c) {
        ++*static_cast<size_t *>(c);
        return 0;
      },
      &matches);
  return matches;
}
#else
Literals::Literals(const std::vector<std::string> &) {}
Literals::~Literals() {}
size_t Literals::scan(const char *, size_t) {
  return 0;
}
#endif

}  // namespace bench
