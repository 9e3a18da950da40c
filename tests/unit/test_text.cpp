#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "util/kvr_cpu.h"
#include "util/kvr_text.h"

using std::string;

class TextTest : public PoolTest {};

TEST_F(TextTest, RepStrReplacesEachOccurrenceOnceEvenWhenTheReplacementHoldsTheSearch) {
  char out[64];
  char in[] = "a{!dn!}b{!dn!}";
  EXPECT_EQ(2, kvrRepStr(pool, in, (char *)"{!dn!}", (char *)"x{!dn!}y", out, sizeof out));
  EXPECT_STREQ("ax{!dn!}ybx{!dn!}y", out);
}

TEST_F(TextTest, RepStrWithoutPlaceholderCopiesAndReturnsZero) {
  char out[64];
  char in[] = "plain page";
  EXPECT_EQ(0, kvrRepStr(pool, in, (char *)"{!dn!}", (char *)"h", out, sizeof out));
  EXPECT_STREQ("plain page", out);
}

TEST_F(TextTest, RepStrCutsAtBufferAndRefusesBadInputWithoutTouchingOutput) {
  char out[8];
  char in[] = "{!dn!}{!dn!}";
  EXPECT_EQ(2, kvrRepStr(pool, in, (char *)"{!dn!}", (char *)"abcd", out, sizeof out));
  EXPECT_STREQ("abcdabc", out);

  char keep[8] = "keep";
  EXPECT_EQ(0, kvrRepStr(pool, in, (char *)"", (char *)"x", keep, sizeof keep));
  EXPECT_EQ(0, kvrRepStr(pool, in, (char *)"a", (char *)"", keep, sizeof keep));
  EXPECT_EQ(0, kvrRepStr(pool, nullptr, (char *)"a", (char *)"b", keep, sizeof keep));
  EXPECT_EQ(0, kvrRepStr(pool, in, (char *)"a", (char *)"b", keep, 2));
  EXPECT_STREQ("keep", keep);
}

TEST_F(TextTest, StrReplaceBuildsPoolStringAndRefusesEmptyReplacement) {
  char *r = kvr_str_replace(pool, (char *)"{!getkey!}", (char *)"KEY",
                            (char *)"<b>{!getkey!}</b>{!getkey!}", 32768);
  ASSERT_NE(nullptr, r);
  EXPECT_STREQ("<b>KEY</b>KEY", r);
  EXPECT_EQ(nullptr, kvr_str_replace(pool, (char *)"{!getkey!}", (char *)"", (char *)"page", 100));
  EXPECT_EQ(nullptr, kvr_str_replace(pool, (char *)"{!getkey!}", (char *)"k", (char *)"", 100));
  char *none = kvr_str_replace(pool, (char *)"x", (char *)"y", (char *)"abc", 100);
  EXPECT_STREQ("abc", none);
  char *cut = kvr_str_replace(pool, (char *)"b", (char *)"XYZ", (char *)"abbb", 6);
  EXPECT_STREQ("aXYZX", cut);
}

TEST_F(TextTest, RemoveStrDropsWholePlaceholdersOnly) {
  char s[] = "a{!url!}b{!getkey!}c{!postkey!}d{!getkey e{!x!} {!";
  EXPECT_EQ(1, kvr_remove_str(s));
  EXPECT_STREQ("abcd{!getkey e{!x!} {!", s);
  char empty[] = "";
  EXPECT_EQ(0, kvr_remove_str(empty));
  EXPECT_EQ(0, kvr_remove_str(nullptr));
}

TEST_F(TextTest, RemoveStrCopesWithStringsBeyondItsUsualBuffer) {
  string big(40000, 'x');
  big += "{!url!}end";
  EXPECT_EQ(1, kvr_remove_str(&big[0]));
  EXPECT_EQ(string(40000, 'x') + "end", string(big.c_str()));
}

TEST_F(TextTest, GetRightChar) {
  char out[32];
  EXPECT_EQ(1, kvrGetRightChar("/index.php", 4, out));
  EXPECT_STREQ(".php", out);
  EXPECT_EQ(1, kvrGetRightChar("ab", 3, out));
  EXPECT_STREQ("ab", out);
  EXPECT_EQ(0, kvrGetRightChar("abc", 32, out));
  EXPECT_EQ(0, kvrGetRightChar("abc", 0, out));
  EXPECT_EQ(0, kvrGetRightChar("", 3, out));
  EXPECT_EQ(0, kvrGetRightChar(nullptr, 3, out));
}

TEST_F(TextTest, RepNullChar) {
  char buf[] = {'a', 0, 'b', 0, 0};
  EXPECT_EQ(1, kvrRepNULLChar(buf, 4));
  EXPECT_EQ(string("a b "), string(buf, 4));
  EXPECT_EQ(0, buf[4]);
  EXPECT_EQ(1, kvrRepNULLChar(buf, 0));
  EXPECT_EQ(1, kvrRepNULLChar(buf, -3));
  EXPECT_EQ(0, kvrRepNULLChar(nullptr, 3));
}

TEST_F(TextTest, IsUtf8) {
  EXPECT_EQ(0, kvrIsUtf8("ab", 2));
  EXPECT_EQ(1, kvrIsUtf8("abc", 3));
  EXPECT_EQ(0, kvrIsUtf8(nullptr, 5));
  EXPECT_EQ(1, kvrIsUtf8("a\xe4\xb8", 3));  // cut off at the end
  EXPECT_EQ(1, kvrIsUtf8("ab\xc3", 3));     // two-byte lead is the last byte
  EXPECT_EQ(1, kvrIsUtf8(u8"中文字", std::strlen(u8"中文字")));
  EXPECT_EQ(0, kvrIsUtf8("ab\xf0\x9f\x98\x80", 6));          // four-byte forms are not UTF-8 here
  EXPECT_EQ(0, kvrIsUtf8("中文字", std::strlen("中文字")));  // GBK (the literal is compiled as GBK)
  EXPECT_EQ(0, kvrIsUtf8("a\x80xyz", 5));
  EXPECT_EQ(1, kvrIsUtf8("\xc0\x80xx", 4));  // over-long forms pass
}

TEST_F(TextTest, TextIsUtf8IsTheSameWithEveryInstructionSet) {
  // Long texts go 32 bytes at a time where the processor can; the plain
  // reading is the reference. Pieces of every kind of character and fault,
  // cut at every offset at both ends.
  const string pieces[] = {"a",
                           "Z ",
                           "\xc3\xa9",
                           "\xe4\xb8\xad",
                           "\xf0\x9f\x98\x80",
                           "\xe0\xa0\x80",
                           "\xed\x9f\xbf",
                           "\xf4\x8f\xbf\xbf",
                           "\xc0\x80",
                           "\xc1\xbf",
                           "\xe0\x9f\xbf",
                           "\xed\xa0\x80",
                           "\xf0\x8f\xbf\xbf",
                           "\xf4\x90\x80\x80",
                           "\xf5\x80\x80\x80",
                           "\xff",
                           "\x80",
                           "\xbf\xbf",
                           "\xe4\xb8",
                           "\xc3",
                           "\xf0\x9f",
                           "\xd6\xd0",
                           "\xb0\xa1"};
  std::mt19937 rng(31);
  const std::vector<KvrSimdLevel> levels = kvrTestSimdLevels();
  auto agree = [&](const string &t, const string &label) {
    bool want;
    {
      KvrSimdGuard plain(kKvrSimdScalar);
      want = kvrTextIsUtf8(reinterpret_cast<const unsigned char *>(t.data()), t.size());
    }
    for (const KvrSimdLevel level : levels) {
      KvrSimdGuard guard(level);
      ASSERT_EQ(want, kvrTextIsUtf8(reinterpret_cast<const unsigned char *>(t.data()), t.size()))
          << label << " level " << level;
    }
  };
  for (int round = 0; round < 400; ++round) {
    // Mostly good characters, a fault now and then.
    const size_t good = round % 4 ? 7 : 23;
    string t;
    const int n = 20 + static_cast<int>(rng() % (round % 10 ? 120 : 600));
    for (int i = 0; i < n; ++i) t += pieces[rng() % 50 ? rng() % good : 7 + rng() % 16];
    for (size_t cut = 0; cut < 5 && cut < t.size(); ++cut) {
      agree(t.substr(cut), "round " + std::to_string(round) + " from " + std::to_string(cut));
      agree(t.substr(0, t.size() - cut),
            "round " + std::to_string(round) + " cut " + std::to_string(cut));
      ASSERT_FALSE(HasFailure());
    }
  }
  // Long texts the answer of which is plain.
  string chinese;
  for (int i = 0; i < 300; ++i) chinese += "\xe4\xb8\xad" + string(i % 7 == 0 ? "ab " : "");
  const auto is = [](const string &t) {
    return kvrTextIsUtf8(reinterpret_cast<const unsigned char *>(t.data()), t.size());
  };
  EXPECT_TRUE(is(chinese));
  EXPECT_TRUE(is(chinese.substr(1, chinese.size() - 2)));  // cut inside characters
  EXPECT_FALSE(is(string(500, 'a')));
  string faulty = chinese;
  faulty[600] = '\xff';
  EXPECT_FALSE(is(faulty));
  EXPECT_FALSE(is(chinese + "\xed\xa0\x80" + chinese));
}

TEST_F(TextTest, CovertConvertsAndKeepsWhatConvertedBeforeABadByte) {
  char out[32];
  char in[] = "中文";  // GBK bytes
  EXPECT_EQ(1, kvr_covert((char *)"UTF-8", (char *)"GBK", in, std::strlen(in), out, sizeof out));
  EXPECT_STREQ(u8"中文", out);

  char bad[] = "中\xff\xff文";
  EXPECT_EQ(1, kvr_covert((char *)"UTF-8", (char *)"GBK", bad, std::strlen(bad), out, sizeof out));
  EXPECT_STREQ(u8"中", out);

  char keep[8] = "keep";
  EXPECT_EQ(0, kvr_covert((char *)"NO-SUCH-CHARSET", (char *)"GBK", in, std::strlen(in), keep,
                          sizeof keep));
  EXPECT_STREQ("keep", keep);
}

TEST_F(TextTest, CovertStopsWhenOutputIsFull) {
  char out[5];
  char in[] = "中文字";
  EXPECT_EQ(1, kvr_covert((char *)"UTF-8", (char *)"GBK", in, std::strlen(in), out, sizeof out));
  EXPECT_EQ(string(u8"中"), string(out, 3));  // one whole character fits, the next does not
  EXPECT_EQ(0, out[3]);
}
