// Lists, templates, keyword files and their UTF-8 forms.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "config/kvr_config.h"
#include "test_support.h"

using std::string;

class ConfigFilesTest : public PoolTest {
 protected:
  ConfigDir dir;
  void SetUp() override {
    PoolTest::SetUp();
    resetModuleState(dir.path(), dir.path());
  }
  int readList(const string &content, size_t code, size_t slots, size_t width) {
    string path = dir.write("config/list.txt", content);
    return kvrReadConfigFile(pool, &path[0], code, slots, width - 1);
  }
  int readGet(const string &content, size_t code = 1021) {
    string path = dir.write("config/kw.txt", content);
    return kvrVazidezReadGetKeyFile(pool, &path[0], code, 3000, 31);
  }
  int readPost(const string &content, size_t code) {
    string path = dir.write("config/kw.txt", content);
    return kvrVazidezReadPostKeyFile(pool, &path[0], code, 3000, 31);
  }
};

// What a list file makes of its lines, in the table its code names.
TEST_F(ConfigFilesTest, ListLines) {
  using Slot = std::function<const char *(int)>;
  const Slot url = [](int i) { return arrBlockUrl[i]; };
  const Slot dn = [](int i) { return arrBeianHeiDn[i]; };
  const Slot ip = [](int i) { return arrBlockIp[i]; };
  const Slot script = [](int i) { return arrVazidezScriptName[i]; };
  struct Case {
    string content;
    size_t code, slots, width;
    Slot slot;
    std::vector<string> entries;
  } cases[] = {
      // Only ';' starts a comment.
      {"; comment\n\na\nAB\nx y\n#x\n", 5030, kUrlSlots, kUrlWidth, url, {"ab", "xy", "#x"}},
      // GBK bytes and duplicates are kept; 門 has a second byte among the
      // ASCII capitals, and is not lower-cased.
      {"中文.COM\n中文.com\n", 3020, kDnSlots, kDnWidth, dn, {"中文.com", "中文.com"}},
      {"門戶.COM\n", 3020, kDnSlots, kDnWidth, dn, {"門戶.com"}},
      // A long line is one line: its head of 999 bytes is too long for the
      // slot; its tail is no entry.
      {string(999, 'a') + string(201, 'b') + "\nnext\n", 5030, kUrlSlots, kUrlWidth, url, {"next"}},
      {"entry\n", 4242, 100, 256, url, {}},  // an unknown code fills no table
      // The caller's limits never exceed the table: 200 bytes do not fit
      // the script names' 16-byte slots.
      {string(200, 'x') + "\nok\n", 1030, 100000, 100000, script, {"ok"}},
      {";only\n", 1070, kIpSlots, kIpWidth, ip, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.content.substr(0, 40));
    resetModuleState(dir.path(), dir.path());
    EXPECT_EQ(1, readList(c.content, c.code, c.slots, c.width));
    for (size_t i = 0; i < c.entries.size(); ++i) EXPECT_EQ(c.entries[i], c.slot(i)) << i;
    EXPECT_STREQ("", c.slot(c.entries.size()));
  }
  char missing[] = "/nonexistent/list.txt";
  EXPECT_EQ(0, kvrReadConfigFile(pool, missing, 5030, 100, 255));
}

TEST_F(ConfigFilesTest, GbkSecondBytesAreNotLowerCased) {
  // 門, 镕 and 總結 have second bytes among the ASCII capitals: lower-cased
  // they would be 閠, 閒 and 總統. A capital after them is still lower-cased.
  EXPECT_EQ(1, readGet("門\n朱镕基\n總結X\n閠\nAB門CD\n"));
  const auto &t = arrGetKeyWord.b;
  EXPECT_STREQ("門", t[0].gbk);
  EXPECT_STREQ("朱镕基", t[1].gbk);
  EXPECT_STREQ("總結x", t[2].gbk);
  EXPECT_STREQ("閠", t[3].gbk);  // another character, not a duplicate of 門
  EXPECT_STREQ("ab門cd", t[4].gbk);
  getkeyb_gb2utf8();
  EXPECT_STREQ(u8"門", t[0].utf8);
  EXPECT_STREQ(u8"朱镕基", t[1].utf8);
  EXPECT_EQ(1, readPost("總結\n", 1012));
  EXPECT_STREQ("總結", arrPostKeyWord.c[0].gbk);
}

TEST_F(ConfigFilesTest, IpListWidthAndCapacity) {
  string content = "123.123.123.12\n" + string("123.123.123.123\n") + "1234567890123456\n";
  for (int i = 0; i < 600; ++i)
    content += "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\n";
  EXPECT_EQ(1, readList(content, 1070, kIpSlots, kIpWidth));
  EXPECT_STREQ("123.123.123.12", arrBlockIp[0]);
  EXPECT_STREQ("123.123.123.123", arrBlockIp[1]);  // 15 bytes: kept
  EXPECT_STREQ("10.0.0.0", arrBlockIp[2]);         // 16 bytes were dropped, the next line read
  EXPECT_STREQ("10.0.1.241", arrBlockIp[499]);     // 500 entries, no empty slot after them
}

TEST_F(ConfigFilesTest, TemplateReading) {
  string path = dir.write("config/t.txt", string(10000, 'p'));
  char buf[8192];
  std::memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(1, kvrReadTxtFile(pool, &path[0], buf, sizeof buf));
  EXPECT_EQ(string(8191, 'p'), string(buf));

  path = dir.write("config/t.txt", string("<p>\r\nab\0cd", 11));
  EXPECT_EQ(1, kvrReadTxtFile(pool, &path[0], buf, sizeof buf));
  EXPECT_STREQ("<p>\r\nab", buf);  // a NUL byte ends the page text

  char keep[16] = "keep";
  char missing[] = "/nonexistent/t.txt";
  EXPECT_EQ(0, kvrReadTxtFile(pool, missing, keep, sizeof keep));
  EXPECT_STREQ("keep", keep);

  path = dir.path() + "config";  // a directory is not read
  EXPECT_EQ(0, kvrReadTxtFile(pool, &path[0], keep, sizeof keep));
  EXPECT_STREQ("keep", keep);
}

TEST_F(ConfigFilesTest, KeywordDuplicatesIgnoreCaseAndKeepFirstOrder) {
  EXPECT_EQ(1, readGet("ABC\nabc\nxyz\nFoo Bar\n;comment\nx\n"));
  const auto &t = arrGetKeyWord.b;
  EXPECT_STREQ("abc", t[0].gbk);
  EXPECT_EQ(0, t[0].no);
  EXPECT_STREQ("xyz", t[1].gbk);
  EXPECT_EQ(1, t[1].no);
  EXPECT_STREQ("foobar", t[2].gbk);
  EXPECT_EQ(1, t[2].used);
  EXPECT_EQ(2, t[2].usertype);
  EXPECT_EQ(0, t[2].chkurl);
  EXPECT_EQ(0, t[3].used);
}

TEST_F(ConfigFilesTest, KeywordLengthLimits) {
  readGet(string(31, 'k') + "\n" + string(32, 'm') + "\n中\nz\n");
  EXPECT_EQ(string(31, 'k'), arrGetKeyWord.b[0].gbk);
  EXPECT_STREQ("中", arrGetKeyWord.b[1].gbk);  // one GBK character of 2 bytes is a keyword
  EXPECT_EQ(0, arrGetKeyWord.b[2].used);
}

TEST_F(ConfigFilesTest, KeywordTableCapacity) {
  string content;
  for (int i = 0; i < 3100; ++i) content += "w" + std::to_string(i) + "\n";
  readGet(content, 1022);
  EXPECT_STREQ("w2999", arrGetKeyWord.c[2999].gbk);
  EXPECT_EQ(2999, arrGetKeyWord.c[2999].no);
  EXPECT_EQ(0, arrGetKeyWord.b[0].used);  // the other table stays empty
}

TEST_F(ConfigFilesTest, KeywordRepeatsDoNotUseUpTheTable) {
  string content;
  for (int i = 0; i < 3100; ++i) {
    content += "k" + std::to_string(i) + "\n";
    content += "K" + std::to_string(i / 2) + "\n";  // repeats of earlier keywords, in capitals
  }
  readPost(content, 9011);
  const auto &t = arrPostKeyWord.bex;
  for (int i = 0; i < 3000; ++i) ASSERT_STREQ(("k" + std::to_string(i)).c_str(), t[i].gbk) << i;
}

TEST_F(ConfigFilesTest, KeywordsOfSeveralWordsAreStoredAsWritten) {
  readPost("a,b,c\na,b,c,d\n,x\n", 1012);
  EXPECT_STREQ("a,b,c", arrPostKeyWord.c[0].gbk);
  EXPECT_STREQ("a,b,c,d", arrPostKeyWord.c[1].gbk);
  EXPECT_STREQ(",x", arrPostKeyWord.c[2].gbk);
  EXPECT_EQ(0, arrPostKeyWord.c[0].num);
}

TEST_F(ConfigFilesTest, KeywordReaderRefusals) {
  char missing[] = "/nonexistent/kw.txt";
  EXPECT_EQ(0, kvrVazidezReadGetKeyFile(pool, missing, 1021, 3000, 31));
  EXPECT_EQ(1, readGet("word\n", 9999));
  EXPECT_EQ(0, arrGetKeyWord.b[0].used);
  EXPECT_EQ(1, readPost("word\n", 1021));  // a GET code means nothing to the POST reader
  EXPECT_EQ(0, arrPostKeyWord.b[0].used);
}

TEST_F(ConfigFilesTest, EmptyAndCommentOnlyFilesGiveEmptyTables) {
  EXPECT_EQ(1, readGet(""));
  EXPECT_EQ(1, readGet("; one\n;two\n  ; three\n"));
  EXPECT_EQ(0, arrGetKeyWord.b[0].used);
}

TEST_F(ConfigFilesTest, TenMegabyteFileLoads) {
  string big;
  big.reserve(10 << 20);
  for (int i = 0; big.size() < (10u << 20); ++i) big += "关键字" + std::to_string(i % 4000) + "\n";
  readGet(big);
  EXPECT_EQ(1, arrGetKeyWord.b[2999].used);
}

TEST_F(ConfigFilesTest, LoaderFillsEachTableFromItsFile) {
  dir.ini("ChkPostKeyWord=1\nBlockPostKeyWord=1\n");
  dir.file("postkeyb.txt", "b1\n");
  dir.file("postkeyc.txt", "c1\n");
  dir.file("postkeycex.txt", "cex1\n");
  kvrReadVazidezConfig(pool);
  EXPECT_STREQ("b1", arrPostKeyWord.b[0].gbk);
  EXPECT_EQ(0, arrPostKeyWord.bex[0].used);  // postkeybex.txt is missing
  EXPECT_STREQ("c1", arrPostKeyWord.c[0].gbk);
  EXPECT_STREQ("cex1", arrPostKeyWord.cex[0].gbk);
}

TEST_F(ConfigFilesTest, Utf8Forms) {
  readGet("abc\n中文\n" + string("中\xff\xfe文") + "\n");
  for (int i = 0; i < 5; ++i) arrGetKeyWord.b[3 + i].gbk[0] = 'q';  // junk behind the end
  getkeyb_gb2utf8();
  const auto &t = arrGetKeyWord.b;
  EXPECT_STREQ("abc", t[0].utf8);
  EXPECT_EQ(3, t[0].gbklen);
  EXPECT_EQ(3, t[0].utf8len);
  EXPECT_STREQ(u8"中文", t[1].utf8);
  EXPECT_EQ(4, t[1].gbklen);
  EXPECT_EQ(6, t[1].utf8len);
  EXPECT_STREQ(u8"中", t[2].utf8);  // the conversion stops at the bad bytes
  EXPECT_EQ(0, t[3].utf8len);       // slots after the table's end are not touched
  EXPECT_STREQ("", t[0].big5);
  getkeyb_gb2big5();  // switched off in this configuration
  EXPECT_STREQ("", t[1].big5);
  EXPECT_EQ(0, t[1].big5len);
}

TEST_F(ConfigFilesTest, Utf8FormOfLongestKeywordFits) {
  readPost("一二三四五六七八九十一二三四五\n", 1011);  // 15 characters, 30 bytes
  postkeyb_gb2utf8();
  EXPECT_EQ(45, arrPostKeyWord.b[0].utf8len);
  EXPECT_STREQ(u8"一二三四五六七八九十一二三四五", arrPostKeyWord.b[0].utf8);
}
