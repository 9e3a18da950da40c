// The text around a hit.
#include <cstring>
#include <string>

#include "screen/kvr_context.h"
#include "test_support.h"

using std::string;

class ContextTest : public PoolTest {
 protected:
  string ctx(int words, const char *k0, const char *k1, const char *k2, const char *k3,
             const string &raw, const string &filtered, size_t len = 100) {
    string buf(3 * len + 1, '\0');  // zeroed, as the callers give it
    kvrPageContext(pool, words, k0, k1, k2, k3, raw.data(), raw.size(), filtered.data(),
                   filtered.size(), &buf[0], len);
    return buf.c_str();
  }
  // Text where the byte at position i is a letter derived from i, with the
  // given words put at the given positions.
  static string text(size_t n, std::initializer_list<std::pair<size_t, const char *>> words) {
    string t;
    for (size_t i = 0; i < n; ++i) t += static_cast<char>('a' + i % 23);
    for (auto &w : words) t.replace(w.first, std::strlen(w.second), w.second);
    return t;
  }
};

TEST_F(ContextTest, OneWordWindow) {
  const string t = text(1000, {{500, "KEY"}});
  EXPECT_EQ(t.substr(450, 99), ctx(1, "KEY", "", "", "", t, ""));
  const string near = text(1000, {{10, "KEY"}});
  EXPECT_EQ(near.substr(0, 99), ctx(1, "KEY", "", "", "", near, ""));
}

TEST_F(ContextTest, TabsAndLineBreaksDoNotCount) {
  string t = text(1000, {{500, "KEY"}});
  t[460] = '\n';
  t[461] = '\r';
  t[462] = '\t';
  const string got = ctx(1, "KEY", "", "", "", t, "");
  EXPECT_EQ(99u, got.size());
  EXPECT_EQ(t.substr(450, 10) + t.substr(463, 89), got);
}

TEST_F(ContextTest, FallsBackToTheFilteredText) {
  const string raw = "A PAGE WRITTEN IN CAPITALS WITH K E Y IN IT";
  const string filtered = "apagewrittenincapitalswithkeyinit";
  EXPECT_EQ(filtered.substr(0, 99), ctx(1, "key", "", "", "", raw, filtered));
  EXPECT_EQ("", ctx(1, "absent", "", "", "", raw, filtered));
}

TEST_F(ContextTest, TwoWordsApartAndJoined) {
  const string t = text(1000, {{100, "AAA"}, {400, "BBB"}});
  EXPECT_EQ(t.substr(75, 49) + t.substr(375, 49), ctx(2, "", "AAA", "BBB", "", t, ""));
  EXPECT_EQ(t.substr(75, 49) + t.substr(375, 49), ctx(2, "", "BBB", "AAA", "", t, ""));
  const string j = text(1000, {{100, "AAA"}, {130, "BBB"}});
  EXPECT_EQ(j.substr(75, 54) + j.substr(130, 24), ctx(2, "", "AAA", "BBB", "", j, ""));
}

TEST_F(ContextTest, ThreeWordsInTextOrder) {
  const string t = text(2000, {{300, "W2"}, {900, "W1"}, {1500, "W3"}});
  // h = 16: windows of 31 bytes around word 2, word 1, word 3.
  EXPECT_EQ(t.substr(284, 31) + t.substr(884, 31) + t.substr(1484, 31),
            ctx(3, "", "W1", "W2", "W3", t, ""));
  const string same = text(2000, {{300, "W1W2"}, {900, "W3"}});
  EXPECT_EQ("", ctx(3, "", "W1W2", "W1", "W3", same, ""));  // two words at one position
}

TEST_F(ContextTest, AllWordsMustBeInOneText) {
  const string raw = text(400, {{100, "AAA"}});
  const string filtered = text(400, {{50, "AAA"}, {300, "BBB"}});
  EXPECT_EQ(filtered.substr(25, 49) + filtered.substr(275, 49),
            ctx(2, "", "AAA", "BBB", "", raw, filtered));
  EXPECT_EQ("", ctx(2, "", "AAA", "CCC", "", raw, filtered));
  EXPECT_EQ("", ctx(4, "AAA", "AAA", "AAA", "AAA", raw, filtered));
}

TEST_F(ContextTest, WindowsBeforeTheStartBeginAtZeroWithTheirLength) {
  const string t = text(400, {{5, "AA"}, {10, "BB"}});
  // 10 - 25 wraps: the windows do not meet and both start at 0, 49 bytes each.
  EXPECT_EQ(t.substr(0, 49) + t.substr(0, 49), ctx(2, "", "AA", "BB", "", t, ""));
}

TEST_F(ContextTest, CopiesEndAtTheGivenLengthOrANulByte) {
  const string t = text(1000, {{500, "KEY"}});
  EXPECT_EQ("", ctx(1, "KEY", "", "", "", t.substr(0, 502), ""));
  string withNul = t;
  withNul[480] = '\0';
  EXPECT_EQ("", ctx(1, "KEY", "", "", "", withNul, ""));
}

TEST_F(ContextTest, StrSub) {
  char out[16];
  char in[] = "abcdef";
  EXPECT_EQ(1, kvrStrSub(pool, in, 2, 3, out));
  EXPECT_STREQ("cd", out);
  EXPECT_EQ(1, kvrStrSub(pool, in, 99, 4, out));
  EXPECT_STREQ("abc", out);
  EXPECT_EQ(1, kvrStrSub(pool, in, 0, 1, out));
  EXPECT_STREQ("", out);
  EXPECT_EQ(0, kvrStrSub(pool, nullptr, 0, 4, out));
}
