#include <cstdio>
#include <cstring>
#include <string>

#include "config/kvr_config.h"
#include "test_support.h"

using std::string;

class IniTest : public PoolTest {
 protected:
  ConfigDir dir;
  string get(const string &iniText, const char *key, int bufLen = 256) {
    dir.ini(iniText);
    string path = dir.path() + "rizururuzarida.ini";
    char value[1024];
    std::memset(value, 'Z', sizeof value);
    EXPECT_EQ(1, kvrReadIniStr(pool, &path[0], const_cast<char *>(key), value, bufLen));
    return value;
  }
  void load(const string &iniText) {
    dir.ini(iniText);
    resetModuleState(dir.path(), dir.path());
    kvrReadVazidezConfig(pool);
  }
};

TEST_F(IniTest, RepDirFileStrEx) {
  char p[] = "a\\b\\c";
  EXPECT_EQ(1, kvrRepDirFileStrEx(p));
  EXPECT_STREQ("a/b/c", p);
  string longPath(256, '\\');
  EXPECT_EQ(0, kvrRepDirFileStrEx(&longPath[0]));
  EXPECT_EQ(string(256, '\\'), longPath);
  char empty[] = "";
  EXPECT_EQ(0, kvrRepDirFileStrEx(empty));
  EXPECT_EQ(0, kvrRepDirFileStrEx(nullptr));
}

TEST_F(IniTest, LineForms) {
  struct Case {
    const char *what;
    string ini;
    const char *key;
    string value;
    int bufLen;
  } cases[] = {
      {"blanks and key case ignored", "chk get key word = 1\r\n", "ChkGetKeyWord", "1", 256},
      {"tabs and blanks in the value", "\turl len=\t1 2 \n", "URLLEN", "12", 256},
      {"section", "[main]\nkey=7\n", "key", "7", 256},
      {"comment", ";key=7\n", "key", "", 256},
      {"valueless lines passed over", "key=\nkey==\nkey=8\n", "key", "8", 256},
      {"the first line with a value wins", "key=0\nkey=1\n", "key", "0", 256},
      {"value ends at the next =", "key=b=c\n", "key", "b", 256},
      {"leading = signs", "==key===v\n", "key", "v", 256},
      {"no comment after a value", "disgzip=0 ;off\n", "disgzip", "0;off", 256},
      {"too short to hold a value", "ab\n", "ab", "", 256},
      {"other key", "other=1\n", "key", "", 256},
      {"value cut to the buffer", "key=abcdef\n", "key", "abc", 4},
      // Only the first 999 bytes of a line are read, and here they make no
      // setting.
      {"long line", string(995, 'x') + "key=5\n", "key", "", 256},
      {"over 512 bytes without blanks", "key=" + string(600, '1') + "\n", "key", "", 256},
      {"500 bytes", "key=" + string(500, '1') + "\n", "key", string(500, '1'), 1024},
      // The rest of a long line goes with its head.
      {"long comment", ";" + string(998, ' ') + "key=9\n", "key", "", 256},
      {"long blank head", string(999, ' ') + "key=9\n", "key", "", 256},
      {"line after a long one", string(999, ' ') + "key=9\nkey=8\n", "key", "8", 256},
      {"no final newline, CR LF", "a=1\r\nkey=3", "key", "3", 256},
      {"binary bytes", string("\x01\xff\xfe=\x80\n", 6) + "key=4\n", "key", "4", 256},
      {"a NUL byte ends the line's text", string("key\0=5\n", 7), "key", "", 256},
  };
  for (const Case &c : cases) EXPECT_EQ(c.value, get(c.ini, c.key, c.bufLen)) << c.what;
}

TEST_F(IniTest, MissingFileOrDirectoryLeavesBufferEmptyAndReturnsZero) {
  char path[] = "/nonexistent/rizururuzarida.ini";
  char value[16] = "junk";
  EXPECT_EQ(0, kvrReadIniStr(pool, path, (char *)"key", value, sizeof value));
  EXPECT_STREQ("", value);
  EXPECT_EQ(0, kvrReadIniStr(pool, nullptr, (char *)"key", value, sizeof value));
  EXPECT_EQ(0, kvrReadIniStr(pool, path, (char *)"key", value, 0));
  dir.write("iniasdir/x", "");
  string asDir = dir.path() + "iniasdir";
  std::strcpy(value, "junk");
  EXPECT_EQ(0, kvrReadIniStr(pool, &asDir[0], (char *)"key", value, sizeof value));
  EXPECT_STREQ("", value);
}

TEST_F(IniTest, MissingIniGivesIfMissingValues) {
  resetModuleState(dir.path(), dir.path());
  kvrReadVazidezConfig(pool);
  EXPECT_EQ(1, nDisGZip);
  EXPECT_EQ(0u, nUrlLen);  // not the start value 1024
  EXPECT_EQ(0, nPostSize);
  EXPECT_EQ(0, nAutoDelLogFile);
  EXPECT_EQ(0, nVazidezChkGetKeyWord);
  EXPECT_EQ(0, nBlockSqlCookies);
}

TEST_F(IniTest, ValueForms) {
  load(
      "ChkGetKeyWord=1\nBlockGetKeyWord=01\nblockip=2\npostip=3\ndisgzip=0\n"
      "gcliip=yes\nblockurl=1;x\nwriteutf8keyword=1\n");
  EXPECT_EQ(1, nVazidezChkGetKeyWord);
  EXPECT_EQ(0, nVazidezBlockGetKeyWord);
  EXPECT_EQ(2, nBlockIp);
  EXPECT_EQ(0, nPostIp);
  EXPECT_EQ(0, nDisGZip);
  EXPECT_EQ(0, ngCliIp);
  EXPECT_EQ(0, nBlockUrl);
  EXPECT_EQ(1, nWriteUtf8KeyWord);
  load("disgzip=0 ;off\n");
  EXPECT_EQ(1, nDisGZip);
}

TEST_F(IniTest, NumberLimits) {
  load("urllen=9999\npostsize=-20\nautodellogfile=999\n");
  EXPECT_EQ(9999u, nUrlLen);
  EXPECT_EQ(-20, nPostSize);
  EXPECT_EQ(999, nAutoDelLogFile);
  load("urllen=10000\npostsize=12345678901\nautodellogfile=1000\n");
  EXPECT_EQ(0u, nUrlLen);
  EXPECT_EQ(0, nPostSize);
  EXPECT_EQ(0, nAutoDelLogFile);
  load("urllen=-1\nautodellogfile=-5\npostsize=12abc\n");
  EXPECT_EQ(static_cast<apr_size_t>(-1), nUrlLen);  // wraps to a very large limit
  EXPECT_EQ(0, nAutoDelLogFile);
  EXPECT_EQ(12, nPostSize);
  load("urllen=abc\nautodellogfile=0\n");
  EXPECT_EQ(0u, nUrlLen);
  EXPECT_EQ(0, nAutoDelLogFile);
}

TEST_F(IniTest, SqlSubKeysAreReadOnlyWithBlockSql) {
  load("blocksql=0\nblocksqlcookies=1\nblocksqldnurl=1\n");
  EXPECT_EQ(0, nBlockSqlCookies);
  EXPECT_EQ(0, nBlockSqlDnUrl);
  EXPECT_STREQ("", arrBlockSqlScript[0]);
  load("blocksql=1\n");
  EXPECT_EQ(1, nBlockSqlCookies);
  EXPECT_EQ(0, nBlockSqlDnUrl);
  EXPECT_STREQ(".php", arrBlockSqlScript[0]);  // never empty while SQL screening is on
  EXPECT_STREQ("", arrBlockSqlScript[1]);
  load("blocksql=2\nblocksqlcookies=0\n");
  EXPECT_EQ(2, nBlockSql);
  EXPECT_EQ(0, nBlockSqlCookies);
}

TEST_F(IniTest, RepGetKeyWordAloneLoadsExemptionsAndPage) {
  dir.file("getdna.txt", "www.example.com/free\n");
  dir.file("getshow.txt", "<p>{!getkey!}</p>");
  load("RepGetKeyWord=2\n");
  EXPECT_EQ(2, nVazidezRepGetKeyWord);
  EXPECT_STREQ("www.example.com/free", arrVazidezGetDna[0]);
  EXPECT_STREQ("<p>{!getkey!}</p>", strVazidezGetShow);
  load("RepGetKeyWord=3\n");
  EXPECT_STREQ("", arrVazidezGetDna[0]);
}

TEST_F(IniTest, ScriptNamesAreReadWhateverTheIniSays) {
  dir.file("scriptname.txt", ".PHP\n.asp\n");
  load("");
  EXPECT_STREQ(".php", arrVazidezScriptName[0]);
  EXPECT_STREQ(".asp", arrVazidezScriptName[1]);
}

TEST_F(IniTest, SwitchesOffReadNoFiles) {
  dir.file("blockip.txt", "1.2.3.4\n");
  dir.file("blockipshow.txt", "page");
  dir.file("getkeyb.txt", "word\n");
  load("blockip=0\n");
  EXPECT_STREQ("", arrBlockIp[0]);
  EXPECT_STREQ("", strBlockIpShow);
  EXPECT_EQ(0, arrGetKeyWord.b[0].used);
  load("blockip=1\nchkgetkeyword=1\n");
  EXPECT_STREQ("1.2.3.4", arrBlockIp[0]);
  EXPECT_STREQ("page", strBlockIpShow);
  EXPECT_EQ(1, arrGetKeyWord.b[0].used);
}

namespace {
std::string gIniPath;
bool gRewritten;
}  // namespace

// The INI file is replaced while the load runs (here, as soon as the first
// list has been read): the load keeps the settings of the file it began
// with, all of them.
TEST_F(IniTest, OneLoadReadsOneVersionOfTheIni) {
  dir.ini("disgzip=0\nblockip=1\nurllen=100\n");
  dir.file("scriptname.txt", ".php\n");
  gIniPath = dir.path() + "rizururuzarida.ini";
  gRewritten = false;
  kvrLineNotice = [](const char *, int, KvrLineFate, const char *, int) {
    if (gRewritten) return;
    gRewritten = true;
    const std::string next = gIniPath + ".new";
    writeFile(next, "disgzip=1\nblockip=2\nurllen=200\n");
    std::rename(next.c_str(), gIniPath.c_str());
  };
  resetModuleState(dir.path(), dir.path());
  kvrReadVazidezConfig(pool);
  kvrLineNotice = nullptr;
  ASSERT_TRUE(gRewritten);
  EXPECT_EQ(0, nDisGZip);
  EXPECT_EQ(1, nBlockIp);
  EXPECT_EQ(100u, nUrlLen);
}
