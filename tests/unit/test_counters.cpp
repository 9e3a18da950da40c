// The server-wide counters: shared by processes, exact under concurrent adds,
// kept over a new configuration pass, and shown as mod_status lines.
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/kvr_config.h"
#include "log/kvr_log.h"
#include "module/kvr_counters.h"
#include "test_support.h"

using std::string;

namespace {

// The "Key: value" lines as a map; every line must have that form.
std::map<string, string> autoLines(const string &text) {
  std::map<string, string> out;
  std::istringstream in(text);
  string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(": ");
    EXPECT_NE(string::npos, colon) << line;
    if (colon == string::npos) continue;
    EXPECT_EQ(0u, out.count(line.substr(0, colon))) << "key twice: " << line;
    out[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return out;
}

class CountersTest : public PoolTest {
 protected:
  apr_pool_t *process = nullptr;
  void SetUp() override {
    PoolTest::SetUp();
    apr_pool_create(&process, nullptr);
    ASSERT_TRUE(kvrCountersAttach(process));
  }
  void TearDown() override {
    kvrCountersDetach();
    apr_pool_destroy(process);
    PoolTest::TearDown();
  }
};

}  // namespace

TEST(CountersOffTest, NothingIsCountedOrShownWithoutTheBlock) {
  kvrCountersDetach();
  kvrCount(kvrRequestsScreened);
  kvrCountersNoteLoad(1, apr_time_now());
  EXPECT_EQ(0u, kvrCounterValue(kvrRequestsScreened));
  EXPECT_EQ("", kvrCountersText(false));
  EXPECT_EQ("", kvrCountersText(true));
}

// Children forked after the attach add to the parent's counters; threads in
// each add at the same time; nothing is lost.
TEST_F(CountersTest, ForkedChildrenAndThreadsAddExactly) {
  constexpr int kProcs = 4, kThreads = 4, kAdds = 20000;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([] {
          for (int i = 0; i < kAdds; ++i) {
            kvrCount(kvrRequestsScreened);
            kvrCount(kvrResponseBytesExamined, 1000);
          }
        });
      for (auto &t : threads) t.join();
      _exit(0);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const uint64_t n = uint64_t{kProcs} * kThreads * kAdds;
  EXPECT_EQ(n, kvrCounterValue(kvrRequestsScreened));
  EXPECT_EQ(n * 1000, kvrCounterValue(kvrResponseBytesExamined));
  EXPECT_EQ(0u, kvrCounterValue(kvrRequestsExempt));
}

// A new configuration pass (a graceful restart) attaches again through the
// same process pool and finds the counts; another process pool starts at 0.
TEST_F(CountersTest, AGracefulRestartKeepsTheCounts) {
  kvrCount(kvrRefusedSql, 3);
  kvrCountersDetach();
  ASSERT_TRUE(kvrCountersAttach(process));
  EXPECT_EQ(3u, kvrCounterValue(kvrRefusedSql));
  apr_pool_t *other;
  apr_pool_create(&other, nullptr);
  ASSERT_TRUE(kvrCountersAttach(other));
  EXPECT_EQ(0u, kvrCounterValue(kvrRefusedSql));
  kvrCountersDetach();
  apr_pool_destroy(other);
  ASSERT_TRUE(kvrCountersAttach(process));
}

TEST_F(CountersTest, AutoFormHasEveryCounterOnceAndTheNewestGeneration) {
  EXPECT_EQ(string(""), autoLines(kvrCountersText(false))["RizuConfigGeneration"]);
  kvrCount(kvrGetBlocks, 2);
  kvrCount(kvrBodyBytesExamined, 12345678901ull);
  kvrCountersNoteLoad(3, apr_time_from_sec(1000));
  kvrCountersNoteLoad(3, apr_time_from_sec(1002));
  kvrCountersNoteLoad(4, apr_time_from_sec(2000));
  auto lines = autoLines(kvrCountersText(false));
  EXPECT_EQ(static_cast<size_t>(kvrCounterCount) + 9, lines.size());
  EXPECT_EQ("2", lines["RizuGetBlocks"]);
  EXPECT_EQ("12345678901", lines["RizuBodyBytesExamined"]);
  EXPECT_EQ("0", lines["RizuRequestsScreened"]);
  EXPECT_EQ("4", lines["RizuConfigGeneration"]);
  EXPECT_EQ("1", lines["RizuConfigLoads"]);
  EXPECT_EQ("2000", lines["RizuConfigLoadTime"]);
  for (const char *k : {"RizuConfigGetRecordKeywords", "RizuConfigGetBlockKeywords",
                        "RizuConfigPostRecordKeywords", "RizuConfigPostRecordVerbatimKeywords",
                        "RizuConfigPostBlockKeywords", "RizuConfigPostBlockVerbatimKeywords"})
    EXPECT_EQ(1u, lines.count(k)) << k;

  // The table shows every generation remembered, newest first.
  const string html = kvrCountersText(true);
  const size_t g4 = html.find("<tr><td>4</td><td>1</td>");
  const size_t g3 = html.find("<tr><td>3</td><td>2</td>");
  ASSERT_NE(string::npos, g4) << html;
  ASSERT_NE(string::npos, g3) << html;
  EXPECT_LT(g4, g3);
  EXPECT_NE(string::npos, html.find("<td>GET keyword blocks</td><td>2</td>"));
}

TEST_F(CountersTest, TableSizesAreThoseOfTheLoadedConfiguration) {
  ConfigDir cfg;
  TempDir logs;
  cfg.ini("[main]\nChkGetKeyWord=1\nBlockGetKeyWord=1\nChkPostKeyWord=1\nBlockPostKeyWord=1\n");
  cfg.file("getkeyb.txt", "记录一\n记录二\n");
  cfg.file("getkeyc.txt", "禁词一\n");
  cfg.file("postkeyc.txt", "甲甲\n乙乙\n丙丙\n");
  cfg.file("postkeycex.txt", "丁丁\n");
  resetModuleState(cfg.path(), logs.path());
  ASSERT_EQ(1, kvrLoadConfiguration(pool, cfg.path().c_str(), logs.path().c_str(), true));
  kvrCountersNoteLoad(7, apr_time_now());
  auto lines = autoLines(kvrCountersText(false));
  EXPECT_EQ("7", lines["RizuConfigGeneration"]);
  EXPECT_EQ("2", lines["RizuConfigGetRecordKeywords"]);
  EXPECT_EQ("1", lines["RizuConfigGetBlockKeywords"]);
  EXPECT_EQ("0", lines["RizuConfigPostRecordKeywords"]);
  EXPECT_EQ("3", lines["RizuConfigPostBlockKeywords"]);
  EXPECT_EQ("1", lines["RizuConfigPostBlockVerbatimKeywords"]);
}

// Four generations are remembered: a fifth takes the oldest slot, and a
// child of a generation older than all of them is not shown.
TEST_F(CountersTest, OldGenerationsMakeRoom) {
  for (int g = 1; g <= 5; ++g) kvrCountersNoteLoad(g, apr_time_from_sec(g));
  kvrCountersNoteLoad(0, apr_time_from_sec(99));
  const string html = kvrCountersText(true);
  for (int g = 2; g <= 5; ++g)
    EXPECT_NE(string::npos, html.find("<tr><td>" + std::to_string(g) + "</td><td>1</td>")) << g;
  EXPECT_EQ(string::npos, html.find("<tr><td>1</td>"));
  EXPECT_EQ(string::npos, html.find("<tr><td>0</td>"));
  EXPECT_EQ("5", autoLines(kvrCountersText(false))["RizuConfigGeneration"]);
}

// Keyword events count by direction and action, and an event that a log
// could not take counts as not written.
TEST_F(CountersTest, KeywordEventsAndLostRecords) {
  TempDir logs;
  conn_rec c{};
  c.client_ip = const_cast<char *>("1.2.3.4");
  c.local_ip = const_cast<char *>("5.6.7.8");
  request_rec r{};
  r.pool = pool;
  r.connection = &c;
  r.method = "GET";
  r.hostname = "host";
  r.uri = const_cast<char *>("/p.html");
  resetModuleState("/nonexistent/", logs.path());
  kvrWriteKeywordEvent(&r, 1, "拦截", "词", "GET", "ctx");
  kvrWriteKeywordEvent(&r, 1, "记录", "词", "GET", "ctx");
  kvrWriteKeywordEvent(&r, 1, "记录", "词", "GET", "ctx");
  kvrWriteKeywordEvent(&r, 1, "拦截", "词", "POST", "ctx");
  kvrWriteKeywordEvent(&r, 2, "记录", "词", "POST", "ctx");
  kvrWriteIcpLog(&r, "拦截", "URL", "host/p");
  EXPECT_EQ(0u, kvrCounterValue(kvrEventsNotWritten));
  resetModuleState("/nonexistent/", "/nonexistent/logs/");
  kvrWriteKeywordEvent(&r, 1, "记录", "词", "POST", "ctx");
  kvrWriteIcpLog(&r, "记录", "URL", "host/p");
  EXPECT_EQ(1u, kvrCounterValue(kvrGetBlocks));
  EXPECT_EQ(2u, kvrCounterValue(kvrGetRecords));
  EXPECT_EQ(1u, kvrCounterValue(kvrPostBlocks));
  EXPECT_EQ(2u, kvrCounterValue(kvrPostRecords));
  EXPECT_EQ(2u, kvrCounterValue(kvrEventsNotWritten));
}
