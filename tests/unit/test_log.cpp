// Event-log records, byte for byte, and appends from many writers at once.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/kvr_config.h"
#include "log/kvr_log.h"
#include "log/kvr_log_records.h"
#include "test_support.h"

using std::string;

namespace {

const KvrLogTime kTime{1733371200123456LL, 2024, 12, 5, 9, 7, 3};
const string P = "2024-12-05 09:07:03 - ";

KvrLogFields fields() {
  return {"拦截",
          "关键字",
          "坏词",
          "10.0.0.7",
          "",
          "GET",
          "10.0.0.1",
          "www.example.com",
          nullptr,
          "/news/a.php",
          "id=3",
          "",
          "/var/www/news/a.php",
          "",
          ""};
}

std::vector<string> splitLines(const string &s, const string &sep) {
  std::vector<string> out;
  size_t at = 0;
  for (size_t n; (n = s.find(sep, at)) != string::npos; at = n + sep.size())
    out.push_back(s.substr(at, n - at));
  if (at < s.size()) out.push_back(s.substr(at));
  return out;
}

}  // namespace

TEST(LogRecordTest, HtmlRecordByteForByte) {
  const string r = kvrHtmlRecord(kTime, fields(), "上下文内容");
  EXPECT_EQ(P + "---<br>\r\n" + P + "本次拦截关键字：坏词<br>\r\n" + P +
                "上下文：上下文内容<br>\r\n" + P +
                "[已拦截] GET From 10.0.0.7 to 10.0.0.1 <a target='_blank' "
                "href='http://www.example.com/news/a.php?id=3'>http://www.example.com/news/"
                "a.php?id=3</a><br>\r\n" +
                P + "/var/www/news/a.php<br>\r\n",
            r);
}

TEST(LogRecordTest, HtmlAddressPortAndQuery) {
  KvrLogFields f = fields();
  f.serPort = "80";
  f.query = "";
  const string r80 = kvrHtmlRecord(kTime, f, "");
  EXPECT_NE(string::npos, r80.find("href='http://www.example.com/news/a.php'>"));
  f.serPort = "8080";
  f.query = nullptr;
  EXPECT_NE(string::npos,
            kvrHtmlRecord(kTime, f, "").find("'>http://www.example.com:8080/news/a.php</a>"));
  f.dn = nullptr;  // no host name: an address without a host
  EXPECT_NE(string::npos, kvrHtmlRecord(kTime, f, "").find("href='http://:8080/news/a.php'"));
}

TEST(LogRecordTest, ScreeningEventHasFourLinesAndShortContextsAreLeftOut) {
  KvrLogFields f = fields();
  f.klass = "URL";
  const auto lines = splitLines(kvrHtmlRecord(kTime, f, "abc"), "<br>\r\n");
  ASSERT_EQ(4u, lines.size());  // no context line for 3 bytes
  EXPECT_EQ(P + "本次拦截关键字：坏词", lines[1]);
  f.title = "标题";
  EXPECT_NE(string::npos, kvrHtmlRecord(kTime, f, "abcd").find(P + "网页标题：标题<br>\r\n"));
  EXPECT_NE(string::npos, kvrHtmlRecord(kTime, f, "abcd").find(P + "上下文：abcd<br>\r\n"));
}

TEST(LogRecordTest, NothingFromARequestBecomesMarkup) {
  KvrLogFields f = fields();
  f.url = "/x<svg onload=alert(1)>'\".html";
  f.filePath = "/var/www/x<svg onload=alert(1)>'\".html";
  f.reqMet = "G<b>T";
  f.dn = "h'ost";
  f.cliIp = "<i>";
  const string r = kvrHtmlRecord(kTime, f, "<script>alert('x')</script>");
  EXPECT_EQ(string::npos, r.find("<svg"));
  EXPECT_EQ(string::npos, r.find("<script"));
  EXPECT_EQ(string::npos, r.find("<b>"));
  EXPECT_EQ(string::npos, r.find("<i>"));
  EXPECT_NE(string::npos,
            r.find("href='http://h&#39;ost/x&lt;svg onload=alert(1)&gt;&#39;&quot;.html?id=3'"));
  // The only quotes left are the record's own attribute quotes.
  size_t quotes = 0;
  for (char c : r) quotes += c == '\'';
  EXPECT_EQ(4u, quotes);
}

TEST(LogRecordTest, TextRecordByteForByte) {
  const string r = kvrTextRecord(kTime, fields(), "ctx");
  EXPECT_EQ(
      "1733371200123456\t2024-12-05 09:07:03\t拦截\t关键字\t坏词\t10.0.0.7\t\tGET\t10.0.0.1\t"
      "www.example.com\t0\t/news/a.php\tid=3\t\t/var/www/news/a.php\t\t\tctx\t\r\n",
      r);
  KvrLogFields f = fields();
  f.serPort = "80";
  f.query = nullptr;
  f.dn = nullptr;
  EXPECT_EQ(
      "1733371200123456\t2024-12-05 09:07:03\t拦截\t关键字\t坏词\t10.0.0.7\t\tGET\t10.0.0.1\t"
      "\t80\t/news/a.php\t\t\t/var/www/news/a.php\t\t\t\t\r\n",
      kvrTextRecord(kTime, f, ""));
}

// Line ends and tabs from a request or a page never break a record: the
// text record stays one line of eighteen fields, and every line of the HTML
// record begins with its time stamp.
TEST(LogRecordTest, RequestBytesNeverBreakARecordsLines) {
  KvrLogFields f = fields();
  f.url = "/a\r\n1733371200123456\tforged\trecord\n<br>2024-12-05 09:07:03 - forged\n";
  f.description = "词\r\n";
  f.filePath = "/var/www/a\r\nb";
  f.reqMet = "GET\t";
  f.title = "title\nline";
  f.dn = "host\r";
  const string ctx = "line one\r\nline\ttwo";

  const string text = kvrTextRecord(kTime, f, ctx.c_str());
  EXPECT_EQ(text.size() - 2, text.find("\r\n"));
  EXPECT_EQ(string::npos, text.substr(0, text.size() - 2).find_first_of("\r\n"));
  EXPECT_EQ(18u, splitLines(text.substr(0, text.size() - 2), "\t").size());
  EXPECT_NE(string::npos,
            text.find("\t/a  1733371200123456 forged record <br>2024-12-05 09:07:03 - forged \t"));

  const string html = kvrHtmlRecord(kTime, f, ctx.c_str());
  const auto lines = splitLines(html, "\r\n");
  ASSERT_EQ(6u, lines.size());
  for (const string &l : lines) EXPECT_EQ(0u, l.find(P)) << l;
  EXPECT_EQ(string::npos, html.find('\t'));
  EXPECT_NE(string::npos, html.find(P + "上下文：line one  line two<br>"));
  EXPECT_NE(string::npos, html.find(P + "/var/www/a  b<br>"));
}

class LogContextTest : public PoolTest {};

TEST_F(LogContextTest, ConversionByPageCode) {
  const string utf8 = u8"中文内容";
  EXPECT_EQ(string("中文内容"), kvrConvertContext(pool, 2, utf8.c_str()));
  EXPECT_EQ(string("中文内容"), kvrConvertContext(pool, 0, utf8.c_str()));  // looks like UTF-8
  EXPECT_EQ(string("中文内容"), kvrConvertContext(pool, 0, "中文内容"));    // GBK: copied
  EXPECT_EQ(string("中文内容"), kvrConvertContext(pool, 1, "中文内容"));
  EXPECT_EQ(utf8, kvrConvertContext(pool, 10, utf8.c_str()));  // other codes: unchanged
  EXPECT_EQ(string("ab"), kvrConvertContext(pool, 0, "ab"));
  EXPECT_EQ(string(""), kvrConvertContext(pool, 1, nullptr));
  // Windows cut inside characters (and joined parts) lose only the broken
  // characters, not the rest of the context.
  EXPECT_EQ(string("中文内容"),
            kvrConvertContext(pool, 2, (utf8.substr(0, 3) + "\xff" + utf8.substr(3)).c_str()));
  EXPECT_EQ(string("文内"), kvrConvertContext(pool, 2, utf8.substr(1, 8).c_str()));
  EXPECT_EQ(
      string("文内"),
      kvrConvertContext(
          pool, 2,
          (utf8.substr(4, 2) + utf8.substr(3, 3) + utf8.substr(6, 3) + utf8.substr(9, 1)).c_str()));
}

class LogFileTest : public PoolTest {
 protected:
  TempDir logs;
  void SetUp() override {
    PoolTest::SetUp();
    resetModuleState("/nonexistent/", logs.path());
  }
  int write(const char *action, const string &ctx, int page = 1) {
    return kvrWriteTextLog(pool, 0, page, action, "关键字", "词", "1.2.3.4", "", "GET", "5.6.7.8",
                           "host", nullptr, "/p", nullptr, "", "/f", "", "", ctx.c_str()) &
           kvrWriteHtmlLog(pool, 0, page, action, "关键字", "词", "1.2.3.4", "", "GET", "5.6.7.8",
                           "host", nullptr, "/p", nullptr, "", "/f", "", "", ctx.c_str());
  }
};

TEST_F(LogFileTest, HourlyFilesWithModeAndHead) {
  umask(022);
  ASSERT_EQ(1, write("记录", "context text"));
  ASSERT_EQ(1, write("拦截", "more context"));
  const KvrLogTime t = kvrLogTimeNow();
  const string html = kvrLogFileName(t, "keylog_", ".html");
  const string text = kvrLogFileName(t, "keyword_", ".txt");
  char expect[64];
  std::snprintf(expect, sizeof expect, "keylog_%04d-%02d-%02d-%02d.html", t.year, t.month, t.day,
                t.hour);
  EXPECT_EQ(logs.path() + expect, html);
  const string h = readFile(html);
  EXPECT_EQ(0u, h.find(strLogHead));
  EXPECT_EQ(string::npos, h.find(strLogHead, 1));  // the head once
  EXPECT_EQ(2u, splitLines(readFile(text), "\r\n").size());
  struct stat st;
  ASSERT_EQ(0, stat(html.c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777);
  ASSERT_EQ(0, stat(text.c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777);
}

namespace {
apr_time_t gFakeNow;
apr_time_t fakeClock() {
  return gFakeNow;
}
}  // namespace

TEST_F(LogFileTest, ANewPairOfFilesEachHour) {
  gFakeNow = apr_time_now();
  kvrLogClock = fakeClock;
  write("记录", "first hour");
  gFakeNow += apr_time_from_sec(3600);
  write("记录", "second hour");
  kvrLogClock = apr_time_now;
  FILE *ls = popen(("ls " + logs.path()).c_str(), "r");
  char line[256];
  int html = 0, text = 0;
  while (fgets(line, sizeof line, ls)) {
    html += strncmp(line, "keylog_20", 9) == 0;
    text += strncmp(line, "keyword_20", 10) == 0;
  }
  pclose(ls);
  EXPECT_EQ(2, html);
  EXPECT_EQ(2, text);
}

namespace {
int gWrites, gShortOn;
bool beginsWithTimeStamp(const string &l) {
  if (l.size() < 22 || l.compare(19, 3, " - ") != 0) return false;
  for (int i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
    if (l[i] < '0' || l[i] > '9') return false;
  return l[4] == '-' && l[7] == '-' && l[10] == ' ' && l[13] == ':' && l[16] == ':';
}
// Writes half of the gShortOn-th record, as a disk that fills up would.
ssize_t fillingDisk(int fd, const void *buf, size_t n) {
  return ::write(fd, buf, ++gWrites == gShortOn ? n / 2 : n);
}
}  // namespace

// A record is written whole or not at all: after a short write the file is
// cut back to where the record began, and the next record starts a line.
TEST_F(LogFileTest, ARecordThatDoesNotFitIsCutAway) {
  kvrLogWrite = fillingDisk;
  for (int shortOn : {1, 2, 3, 4}) {
    gWrites = 0;
    gShortOn = shortOn;  // writes alternate: text, HTML, text, HTML
    TempDir dirOfItsOwn;
    resetModuleState("/nonexistent/", dirOfItsOwn.path());
    EXPECT_EQ(shortOn > 2, write("记录", "first") == 1);
    EXPECT_EQ(shortOn <= 2, write("记录", "second") == 1);
    EXPECT_EQ(1, write("记录", "third"));
    const KvrLogTime t = kvrLogTimeNow();
    const auto text = splitLines(readFile(kvrLogFileName(t, "keyword_", ".txt")), "\r\n");
    ASSERT_EQ(shortOn % 2 ? 2u : 3u, text.size()) << shortOn;
    for (const string &rec : text) EXPECT_EQ(18u, splitLines(rec, "\t").size()) << rec;
    const string html = readFile(kvrLogFileName(t, "keylog_", ".html"));
    EXPECT_EQ(0u, html.find(strLogHead));  // the head too, when it went with a cut record
    EXPECT_EQ(string::npos, html.find(strLogHead, 1));
    const auto lines = splitLines(html.substr(kvrLogHeadLen), "\r\n");
    EXPECT_EQ(shortOn % 2 ? 15u : 10u, lines.size()) << shortOn;
    for (const string &l : lines) EXPECT_TRUE(beginsWithTimeStamp(l)) << l;
  }
  kvrLogWrite = ::write;
}

// Links in the log directory are replaced or refused, never written
// through, and no mode but that of the module's own files is changed.
TEST_F(LogFileTest, LinksInTheLogDirectoryAreNeverFollowed) {
  TempDir elsewhere;
  const string target = elsewhere.write("target", "precious\n");
  chmod(target.c_str(), 0600);
  const KvrLogTime t = kvrLogTimeNow();
  for (const char *name : {"keyword_", "keylog_"}) {
    const string path = kvrLogFileName(t, name, name[3] == 'w' ? ".txt" : ".html");
    ASSERT_EQ(0, symlink(target.c_str(), path.c_str()));
  }
  ASSERT_EQ(0, symlink(target.c_str(), (logs.path() + "rizururuzarida_config.html").c_str()));
  EXPECT_EQ(0, write("记录", "context"));
  EXPECT_EQ(1, kvrWriteConfigLog(pool));
  EXPECT_EQ("precious\n", readFile(target));
  struct stat st;
  ASSERT_EQ(0, stat(target.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  // The status page took the link's place.
  ASSERT_EQ(0, lstat((logs.path() + "rizururuzarida_config.html").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0666u, st.st_mode & 0777);
  EXPECT_EQ(0u, logs.read("rizururuzarida_config.html").find(strLogHead));
  // A FIFO in a log file's place is refused at once.
  const string fifo = kvrLogFileName(t, "keyword_", ".txt");
  unlink(fifo.c_str());
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
  EXPECT_EQ(0, kvrWriteTextLog(pool, 0, 1, "记录", "关键字", "词", "", "", "", "", "", nullptr, "",
                               nullptr, "", "", "", "", ""));
}

TEST_F(LogFileTest, MissingDirectoryLosesTheRecord) {
  resetModuleState("/nonexistent/", "/nonexistent/logs/");
  EXPECT_EQ(0, write("记录", "x"));
}

// Several processes with several threads each append to the same files at
// once; records larger than a buffered file's buffer are among them.
TEST_F(LogFileTest, ConcurrentWritersNeverTearRecords) {
  constexpr int kProcs = 4, kThreads = 4, kRecords = 600;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([p, t] {
          apr_pool_t *pool;
          apr_pool_create(&pool, nullptr);
          for (int i = 0; i < kRecords; ++i) {
            const string tag =
                std::to_string(p) + "-" + std::to_string(t) + "-" + std::to_string(i);
            const string ctx = tag + string(i % 10 == 0 ? 9000 : 40, 'x') + tag;
            kvrWriteTextLog(pool, 0, 1, "记录", "关键字", tag.c_str(), "1.2.3.4", "", "GET",
                            "5.6.7.8", "h", nullptr, "/p", nullptr, "", "/f", "", "", ctx.c_str());
            kvrWriteHtmlLog(pool, 0, 1, "记录", "关键字", tag.c_str(), "1.2.3.4", "", "GET",
                            "5.6.7.8", "h", nullptr, "/p", nullptr, "", "/f", "", "", ctx.c_str());
            apr_pool_clear(pool);
          }
          apr_pool_destroy(pool);
        });
      }
      for (auto &th : threads) th.join();
      _exit(0);
    }
    kids.push_back(pid);
  }
  for (pid_t k : kids) {
    int status = 0;
    waitpid(k, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // The hour may have turned during the run: read every file.
  string text, html;
  for (const char *pat : {"keyword_", "keylog_"}) {
    FILE *ls = popen(("ls " + logs.path() + pat + "*").c_str(), "r");
    char line[512];
    while (fgets(line, sizeof line, ls)) {
      string name(line);
      name.pop_back();
      (pat[3] == 'w' ? text : html) += readFile(name);
    }
    pclose(ls);
  }
  const auto records = splitLines(text, "\r\n");
  ASSERT_EQ(static_cast<size_t>(kProcs * kThreads * kRecords), records.size());
  std::vector<string> seen;
  for (const string &rec : records) {
    const auto f = splitLines(rec, "\t");
    ASSERT_EQ(18u, f.size()) << rec.substr(0, 80);
    const string &tag = f[4];
    ASSERT_EQ(0u, f[17].find(tag));
    ASSERT_EQ(f[17].size() - tag.size(), f[17].rfind(tag));
    seen.push_back(tag);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen.end(), std::adjacent_find(seen.begin(), seen.end()));
  // HTML: every record's lines in order, none missing.
  size_t htmlRecords = 0;
  for (size_t at = 0; (at = html.find("---<br>\r\n", at)) != string::npos; ++htmlRecords, ++at) {
    const size_t next = html.find("---<br>\r\n", at + 1);
    const string rec = html.substr(at, next == string::npos ? string::npos : next - at);
    const size_t k = rec.find("本次记录关键字：");
    ASSERT_NE(string::npos, k);
    const string tag = rec.substr(k + strlen("本次记录关键字："),
                                  rec.find("<br>", k) - k - strlen("本次记录关键字："));
    ASSERT_NE(string::npos, rec.find("上下文：" + tag));
    ASSERT_NE(string::npos, rec.find(tag + "<br>\r\n"));
    ASSERT_NE(string::npos, rec.find("[已记录] GET From 1.2.3.4 to 5.6.7.8"));
  }
  EXPECT_EQ(static_cast<size_t>(kProcs * kThreads * kRecords), htmlRecords);
}
