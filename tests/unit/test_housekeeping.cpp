// Pruning of old event logs, and the status page.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>

#include "config/kvr_config.h"
#include "test_support.h"
#include "util/kvr_text.h"

using std::string;

class HousekeepingTest : public PoolTest {
 protected:
  TempDir logs;
  void SetUp() override {
    PoolTest::SetUp();
    resetModuleState("/nonexistent/", logs.path());
  }
  // A file whose last change lies `age` seconds back.
  void aged(const string &rel, double age) {
    string p = logs.write(rel, "x");
    struct timeval tv[2];
    struct timeval now;
    gettimeofday(&now, nullptr);
    const long long us = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_usec -
                         static_cast<long long>(age * 1e6);
    tv[0].tv_sec = tv[1].tv_sec = us / 1000000;
    tv[0].tv_usec = tv[1].tv_usec = us % 1000000;
    utimes(p.c_str(), tv);
  }
  void prune(int days) {
    kvrVazidezAutoDelLogFile(pool, (char *)"keyword_20", (char *)".txt", days);
    kvrVazidezAutoDelLogFile(pool, (char *)"keylog_20", (char *)".html", days);
  }
};

constexpr double kDay = 86400;

TEST_F(HousekeepingTest, DeletesOnlyLogsOlderThanTheLimit) {
  aged("keyword_2024-01-01-10.txt", 3 * kDay + 1);
  aged("keyword_2024-01-05-10.txt", 3 * kDay - 60);
  aged("keylog_2024-01-01-10.html", 10 * kDay);
  aged("keyword_2024-01-01-10.txt.bak", 10 * kDay);
  aged("Keyword_2024-01-01-10.txt", 10 * kDay);
  aged("other_2024.txt", 10 * kDay);
  aged("rizururuzarida_config.html", 10 * kDay);
  prune(3);
  EXPECT_FALSE(logs.exists("keyword_2024-01-01-10.txt"));
  EXPECT_TRUE(logs.exists("keyword_2024-01-05-10.txt"));
  EXPECT_FALSE(logs.exists("keylog_2024-01-01-10.html"));
  EXPECT_TRUE(logs.exists("keyword_2024-01-01-10.txt.bak"));
  EXPECT_TRUE(logs.exists("Keyword_2024-01-01-10.txt"));
  EXPECT_TRUE(logs.exists("other_2024.txt"));
  EXPECT_TRUE(logs.exists("rizururuzarida_config.html"));
}

TEST_F(HousekeepingTest, SearchesSubdirectoriesWithThePrefixAndKeepsThem) {
  aged("keylog_2023/keylog_2023-05-05-05.html", 5 * kDay);
  aged("keylog_2023/deeper.html", 5 * kDay);  // its name lacks the prefix
  aged("archive/keylog_2023-05-05-05.html", 5 * kDay);
  prune(1);
  EXPECT_FALSE(logs.exists("keylog_2023/keylog_2023-05-05-05.html"));
  EXPECT_TRUE(logs.exists("keylog_2023"));
  EXPECT_TRUE(logs.exists("keylog_2023/deeper.html"));
  EXPECT_TRUE(logs.exists("archive/keylog_2023-05-05-05.html"));
}

TEST_F(HousekeepingTest, LinksAreNeverFollowed) {
  aged("keyword_2020-01-01-01.txt", 5 * kDay);
  TempDir elsewhere;
  aged("keyword_2020-01-01-01.txt", 0);
  string outside = elsewhere.write("keyword_2020-02-02-02.txt", "keep");
  struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
  utimes(outside.c_str(), old);
  // A loop back to the log directory, a link to a directory elsewhere and
  // a link to an old file elsewhere.
  ASSERT_EQ(0, symlink(logs.path().c_str(), (logs.path() + "keyword_20loop").c_str()));
  ASSERT_EQ(0, symlink(elsewhere.path().c_str(), (logs.path() + "keyword_20away").c_str()));
  ASSERT_EQ(0, symlink(outside.c_str(), (logs.path() + "keyword_2020-03-03-03.txt").c_str()));
  prune(1);
  EXPECT_TRUE(logs.exists("keyword_2020-01-01-01.txt"));  // fresh again, see aged(…, 0)
  EXPECT_TRUE(logs.exists("keyword_20loop"));
  EXPECT_TRUE(logs.exists("keyword_2020-03-03-03.txt"));
  EXPECT_EQ("keep", readFile(outside));
}

TEST_F(HousekeepingTest, FileListArguments) {
  apr_array_header_t *files = apr_array_make(pool, 10, 261);
  char dir[256];
  std::snprintf(dir, sizeof dir, "%s", logs.path().c_str());
  aged("keyword_2020-01-01-01.txt", 0);
  EXPECT_EQ(1, kvrGetFileList(pool, dir, (char *)".txt", (char *)"keyword_20", files));
  ASSERT_EQ(1, files->nelts);
  EXPECT_EQ(logs.path() + "keyword_2020-01-01-01.txt", string(files->elts));
  EXPECT_EQ(0, kvrGetFileList(pool, dir, (char *)".tx", (char *)"keyword_20", files));
  EXPECT_EQ(0, kvrGetFileList(pool, dir, (char *)".txtxt", (char *)"keyword_20", files));
  EXPECT_EQ(0, kvrGetFileList(pool, dir, nullptr, (char *)"keyword_20", files));
  EXPECT_EQ(0, kvrGetFileList(pool, (char *)"/a", (char *)".txt", (char *)"k", files));
  string longDir(256, 'd');
  EXPECT_EQ(0, kvrGetFileList(pool, &longDir[0], (char *)".txt", (char *)"k", files));
  EXPECT_EQ(0,
            kvrGetFileList(pool, (char *)"/nonexistent/dir/", (char *)".txt", (char *)"k", files));
  // No trailing slash: the separator is added.
  string noSlash = logs.path().substr(0, logs.path().size() - 1);
  EXPECT_EQ(1, kvrGetFileList(pool, &noSlash[0], (char *)".txt", (char *)"keyword_20", files));
  EXPECT_EQ(2, files->nelts);
}

TEST_F(HousekeepingTest, MissingLogDirectoryDeletesNothing) {
  resetModuleState("/nonexistent/", "/nonexistent/logs/");
  EXPECT_EQ(0, kvrVazidezAutoDelLogFile(pool, (char *)"keyword_20", (char *)".txt", 1));
}

class StatusPageTest : public PoolTest {};

// The page of a small configuration, against a page composed by hand
// (tests/data/status_small.html: UTF-8, one line per CR LF, "{UTF8:…}"
// where the page holds UTF-8 bytes).
TEST_F(StatusPageTest, SmallConfigurationByteForByte) {
  ConfigDir cfg;
  TempDir logs;
  cfg.ini(
      "gcliip=1\nchkgetkeyword=1\nblockgetkeyword=1\nwriteutf8keyword=1\npostsize=-5\n"
      "postip=2\nblocksql=1\nblocksqlcookies=0\nblockurl=1\n");
  cfg.file("gcliip.txt", "127.0.0.1\n10.0.0.*\n");
  cfg.file("scriptname.txt", ".php\n");
  cfg.file("getkeyb.txt", "中文\nabc\n");
  cfg.file("postip.txt", "1.2.3.4\n");
  cfg.file("blocksql.txt", "union\nselect\n");
  cfg.file("blocksqlscript.txt", ".asp\n");
  cfg.file("blockurl.txt", "www.bad.com\n");
  ASSERT_EQ(1, kvrLoadConfiguration(pool, cfg.path().c_str(), logs.path().c_str(), true));

  string expected = readFile(string(RIZU_TEST_DATA) + "/status_small.html");
  string crlf;
  for (char c : expected) crlf += c == '\n' ? string("\r\n") : string(1, c);
  const string open = "{UTF8:", close = "}";
  string gbk;
  for (size_t at = 0;;) {
    size_t o = crlf.find(open, at);
    if (o == string::npos) {
      gbk += toGbk(crlf.substr(at));
      break;
    }
    size_t c = crlf.find(close, o);
    gbk += toGbk(crlf.substr(at, o - at)) + crlf.substr(o + open.size(), c - o - open.size());
    at = c + 1;
  }
  const string page = logs.read("rizururuzarida_config.html");
  EXPECT_EQ(gbk, page);
  struct stat st;
  ASSERT_EQ(0, stat((logs.path() + "rizururuzarida_config.html").c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777);
}

TEST_F(StatusPageTest, EverythingOffShowsTheKeysAndEmptySlashListsLeaveTheFrame) {
  ConfigDir cfg;
  TempDir logs;
  ASSERT_EQ(1, kvrLoadConfiguration(pool, cfg.path().c_str(), logs.path().c_str(), true));
  const string page = logs.read("rizururuzarida_config.html");  // GBK, as the literals
  EXPECT_NE(string::npos, page.find("设置 gcliip = 1&nbsp;<br><br>"));
  EXPECT_NE(string::npos,
            page.find("GET / POST关键字处理脚本：</td>\r\n\t\t<td><br>&nbsp;<br><br></td>"));
  EXPECT_NE(string::npos, page.find("设置 chkgetkeyword = 1&nbsp;</td>"));
  EXPECT_NE(string::npos, page.find("设置 postsize = 限制大小&nbsp;"));
  EXPECT_NE(string::npos,
            page.find("设置 blockip = 1 或 "
                      "2&nbsp;<br><br></td>\r\n\t\t</tr>\r\n</table>\r\n</body></html>\r\n"));
}

TEST_F(StatusPageTest, SqlRowShowsTheListsInForceAndBothCharsetLines) {
  ConfigDir cfg;
  TempDir logs;
  cfg.ini(
      "blocksql=1\nblocksqldnurl=1\nchkpostkeyword=1\nwriteutf8keyword=1\nwritebig5keyword=1\n");
  // First entries of 2 bytes: the lists are in force, and the row says so.
  cfg.file("blocksqldnurl.txt", "ab\nexample.com\n");
  cfg.file("blocksql.txt", "or\nunion\n");
  cfg.file("postkeyb.txt", "词\n");
  ASSERT_EQ(1, kvrLoadConfiguration(pool, cfg.path().c_str(), logs.path().c_str(), true));
  string page = logs.read("rizururuzarida_config.html");  // GBK, as the literals
  EXPECT_NE(string::npos,
            page.find("SQL域名URL白名单：<br><br>\r\nab<br>\r\nexample.com<br>\r\n<br><br>\r\n"
                      "SQL处理语句：<br><br>\r\nor<br>\r\nunion<br>\r\n&nbsp;"));
  // The POST tables have no BIG5 forms: their BIG5 line holds only separators.
  EXPECT_NE(string::npos,
            page.find("<hr noshade color=\"#C0C0C0\" size=\"1\">\r\n / <br>\r\n&nbsp;</td>"));

  // Empty lists: neither is in force.
  cfg.file("blocksqldnurl.txt", "");
  cfg.file("blocksql.txt", "");
  ASSERT_EQ(1, kvrLoadConfiguration(pool, cfg.path().c_str(), logs.path().c_str(), true));
  page = logs.read("rizururuzarida_config.html");
  EXPECT_NE(string::npos, page.find("SQL域名URL白名单未启用，检查所有域名！"));
  EXPECT_NE(string::npos, page.find("未设置SQL语句，或读取配置文件时发生错误！"));
}

TEST_F(StatusPageTest, UnwritableLogDirectoryGivesZero) {
  resetModuleState("/nonexistent/", "/nonexistent/logs/");
  EXPECT_EQ(0, kvrWriteConfigLog(pool));
}
