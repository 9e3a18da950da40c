// Splitting keys, building the GET automata from the tables, and resolving
// found words to keyword entries.
#include <cstring>
#include <string>
#include <vector>

#include "config/kvr_config.h"
#include "match/kvr_match.h"
#include "test_support.h"

using std::string;
using std::vector;

namespace {

vector<string> split(const char *key, int *count) {
  char w[3][256] = {};
  *count = kvrSplitKeyWord(key, w);
  return {w[0], w[1], w[2]};
}

void loadTables(const vector<string> &b, const vector<string> &c) {
  kvrTestLoadGetTables(b, c);
}

struct Found {
  char l1[100][64] = {}, l2[100][64] = {}, l3[100][64] = {};
  int charset = 0, matches = 0;
};

Found searchC(const string &text) {
  Found f;
  int state = 0;
  f.matches = acsmSearch(acsm_vazidez_getkeyc, (unsigned char *)text.data(), (int)text.size(),
                         nullptr, &state, &f.charset, f.l1, f.l2, f.l3);
  return f;
}

// The order the response check resolves in: one word, then two, then three.
int resolveC(Found &f, string keys[3], int *words) {
  char k1[64] = {}, k2[64] = {}, k3[64] = {};
  int idx = -1;
  *words = 0;
  if (f.l1[0][0] && (idx = nVazidezGetBlockKeyIndex1(f.charset, f.l1, k1, k2, k3)) >= 0) *words = 1;
  if (idx < 0 && f.l2[0][0] && (idx = nVazidezGetBlockKeyIndex2(f.charset, f.l2, k1, k2, k3)) >= 0)
    *words = 2;
  if (idx < 0 && f.l3[0][0] && (idx = nVazidezGetBlockKeyIndex3(f.charset, f.l3, k1, k2, k3)) >= 0)
    *words = 3;
  keys[0] = k1, keys[1] = k2, keys[2] = k3;
  return idx;
}

}  // namespace

TEST(SplitTest, Words) {
  int n;
  EXPECT_EQ((vector<string>{"abc", "", ""}), split("abc", &n));
  EXPECT_EQ(1, n);
  EXPECT_EQ((vector<string>{"a", "b", "c"}), split("a,b,c", &n));
  EXPECT_EQ(3, n);
  EXPECT_EQ((vector<string>{"a", "b", "c"}), split("a,b,c,d", &n));
  EXPECT_EQ(4, n);
  EXPECT_EQ((vector<string>{"a", ",b", ""}), split("a,,b", &n));
  EXPECT_EQ(2, n);
  EXPECT_EQ((vector<string>{"a", "", ""}), split("a,", &n));
  EXPECT_EQ(2, n);
  split(",a", &n);
  EXPECT_EQ(0, n);
  split("", &n);
  EXPECT_EQ(1, n);
  char w[3][256] = {};
  EXPECT_EQ(0, kvrSplitKeyWord(nullptr, w));
}

TEST(KeyAutomataTest, PatternsAndWordCounts) {
  loadTables({"abc", "中文,字", "a,b,c,d", ",x", "end,"}, {});
  const auto &t = arrGetKeyWord.b;
  EXPECT_EQ(1, t[0].num);
  EXPECT_EQ(2, t[1].num);
  EXPECT_EQ(4, t[2].num);
  EXPECT_EQ(0, t[3].num);
  EXPECT_EQ(2, t[4].num);
  // abc: 2 patterns; 中文,字: 2 GBK + 2 UTF-8; end,: "end" in both forms (no empty words).
  EXPECT_EQ(8, acsmPatternCount(acsm_vazidez_getkeyb));
  EXPECT_EQ(0, acsmPatternCount(acsm_vazidez_getkeyc));
}

TEST(KeyAutomataTest, ResolutionFollowsTableOrderAndWordCount) {
  loadTables({}, {"zz,yy", "xx", "yy,zz", "ww"});
  Found f = searchC("yy ww zz xx");
  string keys[3];
  int words;
  EXPECT_EQ(1, resolveC(f, keys, &words));  // one-word entries first: xx (1) before ww (3)
  EXPECT_EQ(1, words);
  EXPECT_EQ("xx", keys[0]);

  f = searchC("yy then zz");
  EXPECT_EQ(0, resolveC(f, keys, &words));  // zz,yy stands before yy,zz
  EXPECT_EQ(2, words);
  EXPECT_EQ("zz", keys[0]);
  EXPECT_EQ("yy", keys[1]);

  f = searchC("only yy here");
  EXPECT_EQ(-1, resolveC(f, keys, &words));
}

TEST(KeyAutomataTest, ShorterKeywordInsideLongerOneNoLongerHidesIt) {
  loadTables({}, {"abcde", "cde,zzz"});
  Found f = searchC("xxabcdexx");
  string keys[3];
  int words;
  EXPECT_EQ(0, resolveC(f, keys, &words));
  EXPECT_EQ("abcde", keys[0]);
}

TEST(KeyAutomataTest, Utf8PagesResolveByTheirUtf8Forms) {
  loadTables({}, {"关键词", "中国,人民"});
  const string utf8Page = u8"这是关键词的网页";
  Found f = searchC(utf8Page);
  EXPECT_EQ(2, f.charset);
  string keys[3];
  int words;
  EXPECT_EQ(0, resolveC(f, keys, &words));
  EXPECT_EQ(string(u8"关键词"), keys[0]);

  f = searchC(u8"人民……中国");
  EXPECT_EQ(1, resolveC(f, keys, &words));
  EXPECT_EQ(2, words);

  f = searchC("中国人民");  // GBK page
  EXPECT_EQ(1, f.charset);
  EXPECT_EQ(1, resolveC(f, keys, &words));
  EXPECT_EQ("中国", keys[0]);
}

TEST(KeyAutomataTest, ThreeWordsAndEmptyLastWord) {
  loadTables({}, {"aa,bb,cc", "dd,"});
  string keys[3];
  int words;
  Found f = searchC("cc aa bb");
  EXPECT_EQ(0, resolveC(f, keys, &words));
  EXPECT_EQ(3, words);
  EXPECT_EQ("cc", keys[2]);
  // dd, resolves as soon as dd is found: its empty last word meets an empty slot.
  f = searchC("dd");
  EXPECT_EQ(1, resolveC(f, keys, &words));
  EXPECT_EQ(2, words);
}

TEST(KeyAutomataTest, LongUtf8FormIsFoundButNotResolvedAsUtf8) {
  // 11 characters: 22 GBK bytes, 33 UTF-8 bytes; the filed word is cut to 31.
  loadTables({}, {"一二三四五六七八九十百"});
  Found f = searchC(u8"一二三四五六七八九十百");
  EXPECT_EQ(1, f.matches);
  string keys[3];
  int words;
  EXPECT_EQ(-1, resolveC(f, keys, &words));
}

TEST(KeyAutomataTest, BadCharsetTypeEndsTheWalk) {
  loadTables({}, {"ab"});
  Found f = searchC("ab");
  char k1[64] = {}, k2[64] = {}, k3[64] = {};
  EXPECT_EQ(-1, nVazidezGetBlockKeyIndex1(7, f.l1, k1, k2, k3));
  EXPECT_EQ(-1, nVazidezGetBlockKeyIndex1(3, f.l1, k1, k2, k3));  // no entry has a BIG5 form here
}
