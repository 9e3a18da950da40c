// How configuration files are taken: byte-order marks, line ends, long
// lines, files saved as UTF-8, special files, and what the readers tell.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/kvr_config.h"
#include "config/kvr_file.h"
#include "test_support.h"

using std::string;

namespace {

struct Told {
  string file;
  int line;
  KvrFileIssue issue;
};
std::vector<Told> gTold;

void collect(void *, const char *file, int line, KvrFileIssue issue, const char *what) {
  EXPECT_NE(nullptr, what);
  gTold.push_back({file, line, issue});
}

const string kBom = "\xEF\xBB\xBF";

}  // namespace

class ConfigTextTest : public PoolTest {
 protected:
  ConfigDir dir;
  void SetUp() override {
    PoolTest::SetUp();
    resetModuleState(dir.path(), dir.path());
    gTold.clear();
    kvrFileNotice = collect;
  }
  void TearDown() override {
    kvrFileNotice = nullptr;
    kvrLineNotice = nullptr;
    PoolTest::TearDown();
  }
  string ini(const string &text, const char *key) {
    dir.ini(text);
    string path = dir.path() + "rizururuzarida.ini";
    char value[256];
    kvrReadIniStr(pool, &path[0], const_cast<char *>(key), value, sizeof value);
    return value;
  }
  // The entries a list of URL width makes of the text.
  std::vector<string> list(const string &text) {
    std::memset(arrBlockUrl, 0, sizeof arrBlockUrl);
    string path = dir.write("config/blockurl.txt", text);
    kvrReadConfigFile(pool, &path[0], 5030, kUrlSlots, kUrlWidth - 1);
    std::vector<string> out;
    for (int i = 0; i < kUrlSlots && arrBlockUrl[i][0]; ++i) out.push_back(arrBlockUrl[i]);
    return out;
  }
  std::vector<string> keywords(const string &text) {
    std::memset(arrGetKeyWord.c, 0, sizeof arrGetKeyWord.c);
    string path = dir.write("config/getkeyc.txt", text);
    kvrVazidezReadGetKeyFile(pool, &path[0], 1022, kKeyTableSlots, 31);
    std::vector<string> out;
    for (int i = 0; i < kKeyTableSlots && arrGetKeyWord.c[i].used == 1; ++i)
      out.push_back(arrGetKeyWord.c[i].gbk);
    return out;
  }
  std::vector<KvrFileIssue> issues() const {
    std::vector<KvrFileIssue> out;
    for (const Told &t : gTold) out.push_back(t.issue);
    return out;
  }
};

using Entries = std::vector<string>;

TEST_F(ConfigTextTest, ByteOrderMarkIsPassedOver) {
  EXPECT_EQ("1", ini(kBom + "ChkGetKeyWord=1\n", "chkgetkeyword"));
  EXPECT_EQ((Entries{"first", "second"}), list(kBom + "first\nsecond\n"));
  EXPECT_EQ((Entries{"词一", "词二"}), keywords(kBom + "词一\r\n词二\r\n"));
  // Only at the very start of the file.
  EXPECT_EQ((Entries{"aa", kBom + "b"}), list("aa\n" + kBom + "b\n"));
}

TEST_F(ConfigTextTest, CrAloneEndsALine) {
  EXPECT_EQ("0", ini("disgzip=0\rblockip=2\r", "disgzip"));
  EXPECT_EQ("2", ini("disgzip=0\rblockip=2\r", "blockip"));
  EXPECT_EQ((Entries{"甲乙", "丙丁", "戊己"}), keywords("甲乙\r丙丁\r\n戊己"));
  EXPECT_EQ((Entries{"ab", "cd", "ef", "gh"}), list("ab\r\ncd\ref\n\rgh\r\r"));
}

TEST_F(ConfigTextTest, LineNumbersCountEveryKindOfLineEnd) {
  static std::vector<int> stored;
  stored.clear();
  kvrLineNotice = [](const char *, int line, KvrLineFate fate, const char *, int) {
    if (fate == kLineStored) stored.push_back(line);
  };
  list(kBom + "aa\r\nbb\rcc\ndd\r\n\r\nee");
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 6}), stored);
}

TEST_F(ConfigTextTest, ALongLineIsOneLineAndKeepsOnlyItsHead) {
  // The tail of a keyword line of 100 KB is no keyword.
  EXPECT_EQ((Entries{"next"}), keywords(string(100000, 'x') + "abcd\nnext\n"));
  // A comment stays a comment however long, in every kind of file.
  EXPECT_EQ((Entries{"next"}), list(";" + string(2000, 'c') + "www.tail.com\nnext\n"));
  EXPECT_EQ((Entries{}), keywords(";" + string(5000, ' ') + "tail\n"));
  EXPECT_EQ("", ini(";" + string(1200, 'c') + "\rkey=1\n" + ";x" + string(1000, ' ') + "key=2\n",
                    "other"));
  EXPECT_EQ("1", ini(";" + string(1200, 'c') + "\rkey=1\n", "key"));
  // Blanks count toward the 999 bytes: the head here is blanks and "ab".
  EXPECT_EQ((Entries{"ab"}), list(string(997, ' ') + "abcd\n"));
}

TEST_F(ConfigTextTest, WhatIsTold) {
  list(kBom + "a1\n" + string(1500, 'z') + "\n;" + string(1500, 'c') + "\nb2\rc3\n");
  ASSERT_EQ(3u, gTold.size());
  const string path = dir.path() + "config/blockurl.txt";
  EXPECT_EQ(path, gTold[0].file);
  EXPECT_EQ(1, gTold[0].line);
  EXPECT_EQ(kIssueByteOrderMark, gTold[0].issue);
  EXPECT_EQ(2, gTold[1].line);  // the long comment of line 3 is not told
  EXPECT_EQ(kIssueLongLine, gTold[1].issue);
  EXPECT_EQ(4, gTold[2].line);
  EXPECT_EQ(kIssueCrLineEnds, gTold[2].issue);  // once per file
  EXPECT_FALSE(kvrFileIssueLogged(kIssueByteOrderMark));
  EXPECT_FALSE(kvrFileIssueLogged(kIssueCrLineEnds));
  for (KvrFileIssue i : {kIssueUtf8File, kIssueNotGbkLine, kIssueLongLine, kIssueUnreadable,
                         kIssueNotRegular, kIssueTooLarge})
    EXPECT_TRUE(kvrFileIssueLogged(i));
  gTold.clear();
  list("plain\r\nlines\n");
  keywords("");
  ini("a=1\n", "a");
  EXPECT_TRUE(gTold.empty());
}

// Only regular files are read: a device, a FIFO or a directory in the
// place of a configuration file is refused at once (and told), as if it
// were missing; a link to a regular file is read.
TEST_F(ConfigTextTest, OnlyRegularFilesAreRead) {
  const string cfg = dir.path() + "config/";
  dir.write("elsewhere/words.txt", "linked\n");
  ASSERT_EQ(0, symlink("/dev/zero", (cfg + "getkeyc.txt").c_str()));
  ASSERT_EQ(0, mkfifo((cfg + "getkeyb.txt").c_str(), 0644));
  ASSERT_EQ(0, mkdir((cfg + "blockurl.txt").c_str(), 0755));
  ASSERT_EQ(0,
            symlink((dir.path() + "elsewhere/words.txt").c_str(), (cfg + "postkeyc.txt").c_str()));
  ASSERT_EQ(0, symlink("/dev/null", (cfg + "getshow.txt").c_str()));
  ASSERT_EQ(0, symlink("/dev/zero", (dir.path() + "rizururuzarida.ini").c_str()));

  string path = cfg + "getkeyc.txt";
  EXPECT_EQ(0, kvrVazidezReadGetKeyFile(pool, &path[0], 1022, kKeyTableSlots, 31));
  path = cfg + "getkeyb.txt";
  EXPECT_EQ(0, kvrVazidezReadGetKeyFile(pool, &path[0], 1021, kKeyTableSlots, 31));
  EXPECT_EQ(0, kvrVazidezReadGetKeyFile(pool, &path[0], 4242, kKeyTableSlots, 31));
  path = cfg + "blockurl.txt";
  EXPECT_EQ(0, kvrReadConfigFile(pool, &path[0], 5030, kUrlSlots, kUrlWidth - 1));
  path = cfg + "postkeyc.txt";
  EXPECT_EQ(1, kvrVazidezReadPostKeyFile(pool, &path[0], 1012, kKeyTableSlots, 31));
  EXPECT_STREQ("linked", arrPostKeyWord.c[0].gbk);
  char page[16] = "keep";
  path = cfg + "getshow.txt";
  EXPECT_EQ(0, kvrReadTxtFile(pool, &path[0], page, sizeof page));
  EXPECT_STREQ("keep", page);
  path = dir.path() + "rizururuzarida.ini";
  char value[16];
  EXPECT_EQ(0, kvrReadIniStr(pool, &path[0], (char *)"key", value, sizeof value));
  EXPECT_EQ((std::vector<KvrFileIssue>(6, kIssueNotRegular)), issues());

  // The whole load goes through with them in place.
  gTold.clear();
  unlink(path.c_str());
  dir.ini("ChkGetKeyWord=1\nBlockGetKeyWord=1\nblockurl=1\nBlockPostKeyWord=1\n");
  resetModuleState(dir.path(), dir.path());
  kvrReadVazidezConfig(pool);
  EXPECT_EQ(1, nVazidezBlockGetKeyWord);
  EXPECT_EQ(0, arrGetKeyWord.c[0].used);
  EXPECT_STREQ("linked", arrPostKeyWord.c[0].gbk);
  // getkeyb, getkeyc, getshow, blockurl
  EXPECT_EQ((std::vector<KvrFileIssue>(4, kIssueNotRegular)), issues());
}

// A missing file is silent; a file the reader may not open is told.
TEST_F(ConfigTextTest, MissingIsSilentAndUnreadableIsTold) {
  dir.ini("ChkGetKeyWord=1\nblockip=1\n");
  resetModuleState(dir.path(), dir.path());
  kvrReadVazidezConfig(pool);
  EXPECT_TRUE(gTold.empty());
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file; the server's children test this";
  const string path = dir.write("config/getkeyb.txt", "word\n");
  chmod(path.c_str(), 0);
  kvrReadVazidezConfig(pool);
  ASSERT_EQ(1u, gTold.size());
  EXPECT_EQ(kIssueUnreadable, gTold[0].issue);
  EXPECT_EQ(path, gTold[0].file);
}

// At most 64 MiB of a file are read, up to the last line end within them.
TEST_F(ConfigTextTest, At64MiBTheReadStops) {
  const string path = dir.write("config/getkeyc.txt", "first\nsecond");
  ASSERT_EQ(0, truncate(path.c_str(), off_t(64) << 20));
  {
    FILE *f = std::fopen(path.c_str(), "ab");
    std::fputs("\nbeyond\n", f);
    std::fclose(f);
  }
  string p = path;
  EXPECT_EQ(1, kvrVazidezReadGetKeyFile(pool, &p[0], 1022, kKeyTableSlots, 31));
  EXPECT_STREQ("first", arrGetKeyWord.c[0].gbk);
  EXPECT_EQ(0, arrGetKeyWord.c[1].used);  // "second..." runs into the cut
  EXPECT_EQ((std::vector<KvrFileIssue>{kIssueTooLarge}), issues());
}

// A keyword or list file saved as UTF-8 gives the tables that the same file
// saved as GBK gives; GBK files, and files that are valid GBK as they stand,
// are read as GBK.
TEST_F(ConfigTextTest, FilesSavedAsUtf8AreReadAsUtf8) {
  const string words = "关键字\n禁词,Ab\n; 注释\n中文.COM\n";
  const Entries asGbk = keywords(words);
  ASSERT_EQ((Entries{"关键字", "禁词,ab", "中文.com"}), asGbk);
  EXPECT_TRUE(gTold.empty());
  EXPECT_EQ(asGbk, keywords(toUtf8(words)));
  EXPECT_EQ(asGbk, list(toUtf8(words)));
  EXPECT_EQ((std::vector<KvrFileIssue>{kIssueUtf8File, kIssueUtf8File}), issues());
  EXPECT_EQ(1, gTold[0].line);
  // The UTF-8 form of the table is what a GBK file gives too.
  keywords(toUtf8(words));
  getkeyc_gb2utf8();
  EXPECT_STREQ(u8"关键字", arrGetKeyWord.c[0].utf8);

  // A character GBK does not have drops its line, which is told (but for
  // a comment, which loses nothing).
  gTold.clear();
  EXPECT_EQ((Entries{"ascii", "关键字", "后面"}),
            keywords(toUtf8("ascii\n关键字\n") + "\xF0\x9F\x98\x80\n" + toUtf8("后面\n") +
                     " ; \xF0\x9F\x98\x80\n"));
  EXPECT_EQ((std::vector<KvrFileIssue>{kIssueUtf8File, kIssueNotGbkLine}), issues());
  EXPECT_EQ(2, gTold[0].line);  // the first line beyond ASCII
  EXPECT_EQ(3, gTold[1].line);

  // "禁词" in UTF-8 is valid GBK too: without a mark it is GBK as the
  // readers always took it; the byte-order mark says UTF-8.
  gTold.clear();
  EXPECT_EQ((Entries{toUtf8("禁词")}), keywords(toUtf8("禁词\n")));
  EXPECT_TRUE(gTold.empty());
  EXPECT_EQ((Entries{"禁词"}), keywords(kBom + toUtf8("禁词\n")));
  // Bytes that are neither: GBK, as before.
  EXPECT_EQ((Entries{"中\xff\xfe文"}), keywords("中\xff\xfe文\n"));
}
