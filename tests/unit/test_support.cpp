#include "test_support.h"

#include <apr_general.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "config/kvr_config.h"
#include "util/kvr_text.h"

namespace {
struct AprInit {
  AprInit() { apr_initialize(); }
  ~AprInit() { apr_terminate(); }
} gAprInit;
}  // namespace

void PoolTest::SetUp() {
  apr_pool_create(&pool, nullptr);
}
void PoolTest::TearDown() {
  apr_pool_destroy(pool);
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/rizu-unit-XXXXXX";
  const char *d = mkdtemp(tmpl);
  if (!d) std::abort();
  path_ = std::string(d) + "/";
}

TempDir::~TempDir() {
  nftw(
      path_.c_str(),
      [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::write(const std::string &rel, const std::string &bytes) const {
  const std::string full = path_ + rel;
  const auto slash = full.rfind('/');
  std::string dir = full.substr(0, slash);
  for (size_t i = path_.size(); i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0777);
  }
  writeFile(full, bytes);
  return full;
}

std::string TempDir::read(const std::string &rel) const {
  return readFile(path_ + rel);
}

bool TempDir::exists(const std::string &rel) const {
  struct stat st;
  return lstat((path_ + rel).c_str(), &st) == 0;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ConfigDir::ConfigDir() {
  mkdir((path() + "config").c_str(), 0777);
}

void resetModuleState(const std::string &configDir, const std::string &logDir) {
  kvrResetConfigState();
  std::snprintf(strIsapiPath, sizeof strIsapiPath, "%s", configDir.c_str());
  std::snprintf(strIsapiLogPath, sizeof strIsapiLogPath, "%s", logDir.c_str());
}

static std::string convert(const char *to, const char *from, const std::string &in) {
  std::string out(in.size() * 4 + 16, '\0');
  KvrConverter c(to, from);
  c.convert(in.data(), in.size(), &out[0], out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
}

std::string toGbk(const std::string &utf8) {
  return convert("GBK", "UTF-8", utf8);
}
std::string toUtf8(const std::string &gbk) {
  return convert("UTF-8", "GBK", gbk);
}

std::vector<KvrSimdLevel> kvrTestSimdLevels() {
  std::vector<KvrSimdLevel> levels;
  for (int l = kKvrSimdScalar; l <= kvrSimdLevelOffered(); ++l)
    levels.push_back(static_cast<KvrSimdLevel>(l));
  return levels;
}

namespace {

template <class Entry>
void fillTable(Entry *t, const std::vector<std::string> &words) {
  for (size_t i = 0; i < words.size(); ++i) {
    t[i].used = 1;
    t[i].no = static_cast<int>(i);
    t[i].usertype = 2;
    std::snprintf(t[i].gbk, sizeof t[i].gbk, "%s", words[i].c_str());
  }
}

}  // namespace

void kvrTestLoadGetTables(const std::vector<std::string> &b, const std::vector<std::string> &c) {
  kvrResetConfigState();
  fillTable(arrGetKeyWord.b, b);
  fillTable(arrGetKeyWord.c, c);
  kvrBuildKeywordForms();
}

void kvrTestLoadPostTables(const std::vector<std::string> t[4]) {
  kvrResetConfigState();
  fillTable(arrPostKeyWord.c, t[0]);
  fillTable(arrPostKeyWord.cex, t[1]);
  fillTable(arrPostKeyWord.b, t[2]);
  fillTable(arrPostKeyWord.bex, t[3]);
  kvrBuildKeywordForms();
}
