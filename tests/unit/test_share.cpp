// The parent's load and a child's adoption of it: adopted tables are
// exactly those of the child's own load, and any change to a file the load
// read makes the child load its own.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "config/kvr_config.h"
#include "config/kvr_share.h"
#include "match/kvr_match.h"
#include "test_support.h"

namespace {

// Everything a request can see of a load.
struct Loaded {
  std::string page, get, post, lists;
  int patternsB = -1, patternsC = -1;
  bool operator==(const Loaded &o) const {
    return page == o.page && get == o.get && post == o.post && lists == o.lists &&
           patternsB == o.patternsB && patternsC == o.patternsC;
  }
};

Loaded current() {
  Loaded l;
  std::string buf(1 << 20, '\0');
  l.page.assign(buf.data(), kvrBuildConfigPage(&buf[0], buf.size()));
  l.get.assign(reinterpret_cast<const char *>(&arrGetKeyWord), sizeof arrGetKeyWord);
  l.post.assign(reinterpret_cast<const char *>(&arrPostKeyWord), sizeof arrPostKeyWord);
  l.lists.assign(reinterpret_cast<const char *>(arrVazidezGetDna), sizeof arrVazidezGetDna);
  l.lists.append(strVazidezGetShow, sizeof strVazidezGetShow);
  l.lists.append(reinterpret_cast<const char *>(arrBlockIp), sizeof arrBlockIp);
  l.lists += std::to_string(nVazidezChkGetKeyWord) + "," + std::to_string(nVazidezBlockGetKeyWord) +
             "," + std::to_string(nBlockIp) + "," + std::to_string(nDisGZip);
  l.patternsB = acsm_vazidez_getkeyb ? acsmPatternCount(acsm_vazidez_getkeyb) : -1;
  l.patternsC = acsm_vazidez_getkeyc ? acsmPatternCount(acsm_vazidez_getkeyc) : -1;
  return l;
}

class ShareTest : public PoolTest {
 protected:
  void SetUp() override {
    PoolTest::SetUp();
    writeFiles();
  }
  void writeFiles() {
    for (const char *stale : {"getdna.txt", "postkeyb.txt"})
      std::remove((cfg.path() + "config/" + stale).c_str());
    chmod((cfg.path() + "config/getkeyb.txt").c_str(), 0644);
    cfg.ini("ChkGetKeyWord=1\nBlockGetKeyWord=1\nblockip=1\n");
    cfg.file("getkeyb.txt", "alpha\nbeta,gamma\n");
    cfg.file("getkeyc.txt", "delta\n");
    cfg.file("blockip.txt", "10.0.0.1\n");
    cfg.file("getshow.txt", "<html>blocked</html>");
    // A file changed in the clock tick the load looks at it cannot be told
    // unchanged later; the files of a real server are older than that.
    usleep(20000);
  }
  void TearDown() override {
    kvrReleaseShared();
    PoolTest::TearDown();
  }
  int shared() { return kvrLoadShared(pool, cfg.path().c_str(), logs.path().c_str()); }
  // What a load of its own makes of the files as they are now.
  Loaded ownLoad() {
    EXPECT_EQ(1, kvrLoadConfiguration(pool, cfg.path().c_str(), logs.path().c_str(), true));
    return current();
  }
  ConfigDir cfg;
  TempDir logs;
};

TEST_F(ShareTest, ParentLoadWritesNoFile) {
  ASSERT_EQ(1, shared());
  EXPECT_FALSE(logs.exists("rizururuzarida_config.html"));
  EXPECT_TRUE(kvrSharedFilesCurrent());
  // The INI file, the files its switches name (present or not) and the
  // script-name list that is always read.
  EXPECT_GE(kvrSharedFileCount(), 6u);
}

struct Change {
  const char *what;
  std::function<void(const ConfigDir &)> apply;
  bool adopted;
};

TEST_F(ShareTest, ChildAdoptsOnlyWhatItsOwnLoadWouldMake) {
  const Change changes[] = {
      {"nothing", [](const ConfigDir &) {}, true},
      {"a file the load does not read", [](const ConfigDir &c) { c.file("postkeyb.txt", "x1\n"); },
       true},
      {"keyword file rewritten",
       [](const ConfigDir &c) { c.file("getkeyc.txt", "delta\nepsilon\n"); }, false},
      {"keyword file rewritten with the same length",
       [](const ConfigDir &c) { c.file("getkeyc.txt", "omega\n"); }, false},
      {"INI switch turned off", [](const ConfigDir &c) { c.ini("ChkGetKeyWord=1\n"); }, false},
      {"absent file created", [](const ConfigDir &c) { c.file("getdna.txt", "www.example.com\n"); },
       false},
      {"file removed",
       [](const ConfigDir &c) { std::remove((c.path() + "config/blockip.txt").c_str()); }, false},
      {"file replaced by rename",
       [](const ConfigDir &c) {
         c.file("new.txt", "10.0.0.2\n");
         std::rename((c.path() + "config/new.txt").c_str(),
                     (c.path() + "config/blockip.txt").c_str());
       },
       false},
      {"mode changed",
       [](const ConfigDir &c) { chmod((c.path() + "config/getkeyb.txt").c_str(), 0600); }, false},
  };
  for (const Change &c : changes) {
    SCOPED_TRACE(c.what);
    writeFiles();
    ASSERT_EQ(1, shared());
    c.apply(cfg);
    bool adopted = !c.adopted;
    ASSERT_EQ(1, kvrAdoptOrLoad(pool, &adopted));
    EXPECT_EQ(c.adopted, adopted);
    EXPECT_TRUE(logs.exists("rizururuzarida_config.html"));
    const Loaded got = current();
    EXPECT_TRUE(got == ownLoad());
    std::remove((logs.path() + "rizururuzarida_config.html").c_str());
  }
}

TEST_F(ShareTest, WithoutParentLoadOrAfterReleaseTheChildLoadsItsOwn) {
  bool adopted = true;
  ASSERT_EQ(1, kvrAdoptOrLoad(pool, &adopted));
  EXPECT_FALSE(adopted);

  ASSERT_EQ(1, shared());
  kvrReleaseShared();
  EXPECT_EQ(nullptr, acsm_vazidez_getkeyb);
  EXPECT_FALSE(kvrSharedFilesCurrent());
  ASSERT_EQ(1, kvrAdoptOrLoad(pool, &adopted));
  EXPECT_FALSE(adopted);
  EXPECT_NE(nullptr, acsm_vazidez_getkeyb);
}

TEST_F(ShareTest, OwnLoadEndsTheSharing) {
  ASSERT_EQ(1, shared());
  cfg.file("getkeyc.txt", "delta\nepsilon\n");
  bool adopted = true;
  ASSERT_EQ(1, kvrAdoptOrLoad(pool, &adopted));
  EXPECT_FALSE(adopted);
  // Put back as it was: the tables are this process's own now, and a later
  // load (the fallback) must not take them for the parent's.
  EXPECT_FALSE(kvrSharedFilesCurrent());
}

}  // namespace
