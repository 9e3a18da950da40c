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
  struct Case {
    const char *key;
    int count;
    vector<string> words;
  } cases[] = {
      {"abc", 1, {"abc", "", ""}},
      {"a,b,c", 3, {"a", "b", "c"}},
      {"a,b,c,d", 4, {"a", "b", "c"}},
      {"a,,b", 2, {"a", ",b", ""}},
      {"a,", 2, {"a", "", ""}},
      {",a", 0, {}},
      {"", 1, {}},
  };
  for (const Case &c : cases) {
    int n;
    const vector<string> words = split(c.key, &n);
    EXPECT_EQ(c.count, n) << c.key;
    if (!c.words.empty()) {
      EXPECT_EQ(c.words, words) << c.key;
    }
  }
  char w[3][256] = {};
  EXPECT_EQ(0, kvrSplitKeyWord(nullptr, w));
}

TEST(KeyAutomataTest, PatternsAndWordCounts) {
  kvrTestLoadGetTables({"abc", "中文,字", "a,b,c,d", ",x", "end,"}, {});
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

// Which entry of the block table a page resolves to: one-word entries
// first, then two, then three; in table order within each.
TEST(KeyAutomataTest, Resolution) {
  const vector<string> order = {"zz,yy", "xx", "yy,zz", "ww"}, cn = {"关键词", "中国,人民"},
                       three = {"aa,bb,cc", "dd,"};
  struct Case {
    vector<string> table;
    string page;
    int charset;  // 0: not checked
    int index, words;
    vector<string> keys;  // the first ones filled in; "" not checked
  } cases[] = {
      {order, "yy ww zz xx", 0, 1, 1, {"xx"}},       // xx (1) before ww (3)
      {order, "yy then zz", 0, 0, 2, {"zz", "yy"}},  // zz,yy stands before yy,zz
      {order, "only yy here", 0, -1, 0, {}},
      // A shorter keyword inside a longer one no longer hides it.
      {{"abcde", "cde,zzz"}, "xxabcdexx", 0, 0, 1, {"abcde"}},
      // UTF-8 pages resolve by the UTF-8 forms.
      {cn, u8"这是关键词的网页", 2, 0, 1, {u8"关键词"}},
      {cn, u8"人民……中国", 2, 1, 2, {}},
      {cn, "中国人民", 1, 1, 2, {"中国"}},
      {three, "cc aa bb", 0, 0, 3, {"", "", "cc"}},
      // Its empty last word meets an empty slot as soon as dd is found.
      {three, "dd", 0, 1, 2, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.page);
    kvrTestLoadGetTables({}, c.table);
    Found f = searchC(c.page);
    if (c.charset) {
      EXPECT_EQ(c.charset, f.charset);
    }
    string keys[3];
    int words;
    EXPECT_EQ(c.index, resolveC(f, keys, &words));
    if (c.index >= 0) {
      EXPECT_EQ(c.words, words);
    }
    for (size_t i = 0; i < c.keys.size(); ++i) {
      if (!c.keys[i].empty()) {
        EXPECT_EQ(c.keys[i], keys[i]) << i;
      }
    }
  }
}

TEST(KeyAutomataTest, LongUtf8FormIsFoundButNotResolvedAsUtf8) {
  // 11 characters: 22 GBK bytes, 33 UTF-8 bytes; the filed word is cut to 31.
  kvrTestLoadGetTables({}, {"一二三四五六七八九十百"});
  Found f = searchC(u8"一二三四五六七八九十百");
  EXPECT_EQ(1, f.matches);
  string keys[3];
  int words;
  EXPECT_EQ(-1, resolveC(f, keys, &words));
}

TEST(KeyAutomataTest, BadCharsetTypeEndsTheWalk) {
  kvrTestLoadGetTables({}, {"ab"});
  Found f = searchC("ab");
  char k1[64] = {}, k2[64] = {}, k3[64] = {};
  EXPECT_EQ(-1, nVazidezGetBlockKeyIndex1(7, f.l1, k1, k2, k3));
  EXPECT_EQ(-1, nVazidezGetBlockKeyIndex1(3, f.l1, k1, k2, k3));  // no entry has a BIG5 form here
}
