// Helpers shared by the unit tests.
#pragma once

#include <apr_pools.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/kvr_cpu.h"

// A fresh APR pool per test.
class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  apr_pool_t *pool = nullptr;
};

// A temporary directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }  // with trailing slash
  std::string write(const std::string &rel, const std::string &bytes) const;
  std::string read(const std::string &rel) const;
  bool exists(const std::string &rel) const;

 private:
  std::string path_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &bytes);

// A configuration directory as the loader expects it: the INI file at the
// top, everything else under config/.
class ConfigDir : public TempDir {
 public:
  ConfigDir();
  void ini(const std::string &text) const { write("rizururuzarida.ini", text); }
  void file(const std::string &name, const std::string &text) const {
    write("config/" + name, text);
  }
};

// Empties every table and fills the keyword tables as the keyword reader
// would (record table b, block table c; the POST tables in the order c, cex,
// b, bex), then builds their other forms and matchers as the load does. The
// switches stay as they were reset: off.
void kvrTestLoadGetTables(const std::vector<std::string> &b, const std::vector<std::string> &c);
void kvrTestLoadPostTables(const std::vector<std::string> t[4]);

// Empties every table and points the load at the given directories.
void resetModuleState(const std::string &configDir, const std::string &logDir);

// Converts UTF-8 text to GBK (test literals are compiled as GBK already;
// this serves texts built at run time).
std::string toGbk(const std::string &utf8);
std::string toUtf8(const std::string &gbk);

// Every vector instruction level this processor offers, the plain one first.
std::vector<KvrSimdLevel> kvrTestSimdLevels();
// Uses one level while it lives.
class KvrSimdGuard {
 public:
  explicit KvrSimdGuard(KvrSimdLevel level) : before_(kvrForceSimdLevel(level)) {}
  ~KvrSimdGuard() { kvrForceSimdLevel(before_); }
  KvrSimdGuard(const KvrSimdGuard &) = delete;
  KvrSimdGuard &operator=(const KvrSimdGuard &) = delete;

 private:
  KvrSimdLevel before_;
};
