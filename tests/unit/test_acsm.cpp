// The automaton against the examples it is specified by, and against a
// brute-force reference on random patterns and texts.
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "match/acsm.h"
#include "test_support.h"

using std::string;
using std::vector;

namespace {

struct Pat {
  string bytes;
  string text;  // szKeyWord
  int charset;
  int num;
};

struct Lists {
  char l1[100][64] = {};
  char l2[100][64] = {};
  char l3[100][64] = {};
  int charset = 0;
  int matches = 0;
  int state = 0;
  vector<string> list(int k) const {
    const char(*l)[64] = k == 1 ? l1 : k == 2 ? l2 : l3;
    vector<string> out;
    for (int i = 0; i < 100 && l[i][0]; ++i) out.emplace_back(l[i]);
    return out;
  }
};

ACSM_STRUCT *build(const vector<Pat> &pats) {
  ACSM_STRUCT *a = acsmNew(nullptr, nullptr, nullptr);
  int serial = 0;
  for (const Pat &p : pats) {
    acsmAddPattern(a, (unsigned char *)p.bytes.data(), (int)p.bytes.size(), 0, 0, 0, 0, nullptr,
                   serial, p.num, serial, (char *)p.text.c_str(), p.charset, 2);
    ++serial;
  }
  acsmCompile(a, nullptr, nullptr);
  return a;
}

// utf8: walked the way the search walks UTF-8 text.
Lists searchAs(ACSM_STRUCT *a, const string &text, const uint64_t *bitmap, const AcsmSpill *spill,
               bool utf8, int state = 0) {
  Lists r;
  r.state = state;
  r.matches = acsmSearchSpill(a, (const unsigned char *)text.data(), (int)text.size(), &r.state,
                              &r.charset, r.l1, r.l2, r.l3, bitmap, spill, utf8);
  return r;
}

void expectLists(const Lists &want, const Lists &got, const string &label);

// Both ways of walking agree in everything, the state reached included.
Lists search(ACSM_STRUCT *a, const string &text, const uint64_t *bitmap = nullptr) {
  const Lists r = searchAs(a, text, bitmap, nullptr, false);
  const Lists u = searchAs(a, text, bitmap, nullptr, true);
  expectLists(r, u, "walked as UTF-8");
  EXPECT_EQ(r.state, u.state);
  return r;
}

// The same text one byte at a time, the state carried: the state a single
// walk reaches, and the matches counted.
Lists searchByteByByte(ACSM_STRUCT *a, const string &text) {
  Lists one;
  for (char c : text)
    one.matches += acsmSearchEx(a, (const unsigned char *)&c, 1, &one.state, &one.charset, one.l1,
                                one.l2, one.l3, nullptr);
  return one;
}

void expectLists(const Lists &want, const Lists &got, const string &label) {
  ASSERT_EQ(want.matches, got.matches) << label;
  ASSERT_EQ(want.charset, got.charset) << label;
  for (int k = 1; k <= 3; ++k) ASSERT_EQ(want.list(k), got.list(k)) << label << " list " << k;
}

// The reference: the match list of every position computed from strings
// alone, by the rule the automaton's lists follow (a state's list is its
// failure state's list reversed, then its own patterns, earliest first;
// states of depth 1 take no copies).
class Reference {
 public:
  explicit Reference(const vector<Pat> &pats) : pats_(pats) {}

  bool isPrefix(const string &u) const {
    for (const Pat &p : pats_)
      if (p.bytes.compare(0, u.size(), u) == 0 && p.bytes.size() >= u.size()) return true;
    return false;
  }
  string failOf(const string &u) const {
    for (size_t k = 1; k <= u.size(); ++k)
      if (isPrefix(u.substr(k))) return u.substr(k);
    return "";
  }
  vector<int> listOf(const string &u) const {
    vector<int> out;
    if (u.size() >= 2) {
      vector<int> f = listOf(failOf(u));
      out.assign(f.rbegin(), f.rend());
    }
    for (size_t k = 0; k < pats_.size(); ++k)
      if (pats_[k].bytes == u) out.push_back(static_cast<int>(k));
    return out;
  }

  Lists search(const string &text, const vector<bool> *boundary) const {
    Lists r;
    int counts[4] = {};
    string state;
    for (size_t i = 0; i < text.size(); ++i) {
      string u = state + text[i];
      while (!isPrefix(u)) u = u.substr(1);
      state = u;
      bool any = false;
      for (int k : listOf(state)) {
        const Pat &p = pats_[k];
        const long start = static_cast<long>(i) - static_cast<long>(p.bytes.size()) + 1;
        if (boundary && p.charset == 1 && !p.bytes.empty() && !(*boundary)[start]) continue;
        any = true;
        if (p.num < 1 || p.num > 3) continue;
        char(*l)[64] = p.num == 1 ? r.l1 : p.num == 2 ? r.l2 : r.l3;
        bool isNew = true;
        for (int s = 0; s < 100; ++s) {
          if (!l[s][0]) {
            std::strcpy(l[s], p.text.substr(0, 31).c_str());
            break;
          }
          if (strcasecmp(l[s], p.text.substr(0, 31).c_str()) == 0) {
            isNew = false;
            break;
          }
        }
        if (isNew && p.charset >= 1 && p.charset <= 3) counts[p.charset]++;
      }
      if (any) r.matches++;
    }
    r.charset = (counts[3] >= counts[2] && counts[3] >= counts[1]) ? 3
                : counts[2] >= counts[1]                           ? 2
                                                                   : 1;
    return r;
  }

 private:
  vector<Pat> pats_;
};

vector<uint64_t> bitmapOf(const vector<bool> &b) {
  vector<uint64_t> m((b.size() + 63) / 64 + 1, 0);
  for (size_t i = 0; i < b.size(); ++i)
    if (b[i]) m[i / 64] |= uint64_t{1} << (i % 64);
  return m;
}

}  // namespace

TEST(AcsmTest, ChosenTextsFileTheirWords) {
  // Each pattern of a match list is filed: "she" ends in the state of she,
  // whose list holds he (from its failure state) before she; a longer word
  // ending where a shorter one does files both. Matching is case-sensitive.
  // A keyword text is cut to 31 bytes but the pattern matches in full. A
  // GBK form counts only where a character begins (D0 CE spans the end of
  // 中 and the start of 文), the UTF-8 form anywhere; without boundaries
  // both count. A form longer than the search keeps the length of beside its
  // entries is judged by the pattern's own length, and each occurrence again.
  struct Case {
    string what;
    vector<Pat> pats;
    string text;
    vector<bool> starts;  // empty: searched without boundaries
    int matches;          // -1: not asserted
    vector<string> l1, l2;
    int charset;  // 0: not asserted
  };
  const string forty(40, 'k');
  const vector<Pat> abcde = {{"abcde", "abcde", 1, 1}, {"cde", "cde", 1, 2}, {"zzz", "zzz", 1, 2}};
  const vector<Pat> zhongwen = {{"\xd0\xce", "x", 1, 1}, {"\xd0\xce", "y", 2, 1}};
  vector<Case> cases = {
      {"he she", {{"he", "he", 1, 1}, {"she", "she", 1, 1}}, "she", {}, 1, {"he", "she"}, {}, 0},
      {"longer word", abcde, "xxabcdexx", {}, -1, {"abcde"}, {"cde"}, 0},
      {"case", {{"abc", "abc", 1, 1}}, "ABC", {}, 0, {}, {}, 0},
      {"39 of 40", {{forty, forty, 1, 1}}, string(39, 'k'), {}, 0, {}, {}, 0},
      {"40", {{forty, forty, 1, 1}}, forty, {}, 1, {string(31, 'k')}, {}, 0},
      {"across characters",
       zhongwen,
       "\xd6\xd0\xce\xc4",
       {true, false, true, false},
       -1,
       {"y"},
       {},
       2},
      {"no boundaries", zhongwen, "\xd6\xd0\xce\xc4", {}, -1, {"x", "y"}, {}, 0},
  };
  for (const size_t len : {size_t{2}, size_t{70000}})
    for (const bool first : {false, true})
      for (const bool second : {false, true}) {
        // "p" + form + "q": the form ends at len and at len + 1.
        vector<bool> starts(len + 3, false);
        starts[1] = first;
        starts[2] = second;
        cases.push_back(
            {"form of " + std::to_string(len) + (first ? " 1" : " 0") + (second ? "1" : "0"),
             {{string(len, 'q'), "w", 1, 1}},
             "p" + string(len, 'q') + "q",
             starts,
             int{first} + int{second},
             first || second ? vector<string>{"w"} : vector<string>{},
             {},
             0});
      }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ACSM_STRUCT *a = build(c.pats);
    const vector<uint64_t> bm = bitmapOf(c.starts);
    const Lists r = search(a, c.text, c.starts.empty() ? nullptr : bm.data());
    if (c.matches >= 0) {
      EXPECT_EQ(c.matches, r.matches);
    }
    EXPECT_EQ(c.l1, r.list(1));
    EXPECT_EQ(c.l2, r.list(2));
    if (c.charset) {
      EXPECT_EQ(c.charset, r.charset);
    }
    acsmFree(a);
  }
}

TEST(AcsmTest, CharsetResultCountsDistinctNewWords) {
  // abc in both forms (same bytes): the GBK form, added first, is filed
  // first and the UTF-8 form is a repeat.
  ACSM_STRUCT *a = build({{"abc", "abc", 1, 1}, {"abc", "abc", 2, 1}});
  Lists r = search(a, "abc abc abc abc abc abc abc abc abc abc");
  EXPECT_EQ(10, r.matches);
  EXPECT_EQ(1, r.charset);
  acsmFree(a);

  // With bc added after abc, each in both forms, the text abc files bc
  // first, from the last-added form: UTF-8.
  a = build({{"abc", "abc", 1, 1}, {"abc", "abc", 2, 1}, {"bc", "bc", 1, 1}, {"bc", "bc", 2, 1}});
  r = search(a, "abc");
  EXPECT_EQ((vector<string>{"bc", "abc"}), r.list(1));
  EXPECT_EQ(2, r.charset);  // bc counted for UTF-8, abc for GBK: a tie goes to the higher code
  acsmFree(a);
}

TEST(AcsmTest, TiesAndEmptyResults) {
  ACSM_STRUCT *a =
      build({{"g1", "g1", 1, 1}, {"g2", "g2", 1, 1}, {"u1", "u1", 2, 1}, {"u2", "u2", 2, 1}});
  EXPECT_EQ(2, search(a, "g1 g2 u1 u2").charset);
  EXPECT_EQ(3, search(a, "nothing here").charset);
  Lists r;
  r.state = 0;
  EXPECT_EQ(0, acsmSearchEx(a, (const unsigned char *)"", 0, &r.state, &r.charset, r.l1, r.l2, r.l3,
                            nullptr));
  EXPECT_EQ(3, r.charset);
  EXPECT_EQ(
      0, acsmSearch(a, (unsigned char *)"g1", 2, nullptr, nullptr, &r.charset, r.l1, r.l2, r.l3));
  acsmFree(a);
}

TEST(AcsmTest, ListsAreChosenByWordCountAndHold100Words) {
  vector<Pat> pats;
  for (int i = 0; i < 101; ++i)
    pats.push_back({"w" + std::to_string(1000 + i), "w" + std::to_string(1000 + i), 2, 3});
  pats.push_back({"two", "two", 1, 2});
  ACSM_STRUCT *a = build(pats);
  string text;
  for (int i = 0; i < 101; ++i) text += "w" + std::to_string(1000 + i) + " ";
  text += "w1100 w1100 two";
  Lists r = search(a, text);
  EXPECT_EQ(100u, r.list(3).size());
  EXPECT_EQ((vector<string>{"two"}), r.list(2));
  // The 101st word is not stored but counts each time: 100 + 3 UTF-8, 1 GBK.
  EXPECT_EQ(2, r.charset);
  acsmFree(a);
}

TEST(AcsmTest, EmptyPatternStandsOnTheStartState) {
  ACSM_STRUCT *a = build({{"", "", 1, 1}, {"ab", "ab", 1, 1}});
  Reference ref({{"", "", 1, 1}, {"ab", "ab", 1, 1}});
  for (const string t : {"ab", "xab", "aab", "zzzz"}) {
    Lists r = search(a, t), e = ref.search(t, nullptr);
    EXPECT_EQ(e.matches, r.matches) << t;
    EXPECT_EQ(e.list(1), r.list(1)) << t;
    EXPECT_EQ(e.charset, r.charset) << t;
  }
  acsmFree(a);
}

TEST(AcsmTest, SizesAndCounts) {
  ACSM_STRUCT *a = build({{"ab", "ab", 1, 1}, {"abc", "abc", 1, 1}, {"x", "x", 1, 1}});
  EXPECT_EQ(3, acsmPatternCount(a));
  EXPECT_EQ(7, a->acsmMaxStates);   // 1 + 2 + 3 + 1
  EXPECT_EQ(4, a->acsmNumStates);   // a, ab, abc, x
  EXPECT_EQ(6, acsmClassCount(a));  // a b c x, the rest, and the column of dropped bytes
  EXPECT_EQ(7u * 1040,
            acsmFullTableBytes(a));  // 256 ints, the failure state, the list head (padded)
  EXPECT_LT(acsmTableBytes(a), acsmFullTableBytes(a));
  acsmFree(a);
}

namespace {
int gFreed = 0;
void countFree(void *) {
  ++gFreed;
}
}  // namespace

TEST(AcsmTest, FreeCallsUserFreeOncePerPattern) {
  gFreed = 0;
  ACSM_STRUCT *a = acsmNew(countFree, nullptr, nullptr);
  int ids[3];
  const char *words[] = {"he", "she", "e"};
  for (int i = 0; i < 3; ++i)
    acsmAddPattern(a, (unsigned char *)words[i], (int)std::strlen(words[i]), 0, 0, 0, 0, &ids[i], i,
                   1, i, (char *)words[i], 1, 2);
  acsmCompile(a, nullptr, nullptr);
  acsmFree(a);
  EXPECT_EQ(3, gFreed);
}

TEST(AcsmTest, DifferentialAgainstReference) {
  std::mt19937 rng(12345);
  const string alphabet = "abc\xd0\xce";
  for (int round = 0; round < 300; ++round) {
    vector<Pat> pats;
    const int np = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < np; ++k) {
      string b;
      const int len = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < len; ++i) b += alphabet[rng() % alphabet.size()];
      // Sometimes the same bytes in the other form, as keywords in both charsets are.
      const int charset = 1 + static_cast<int>(rng() % 2);
      const int num = 1 + static_cast<int>(rng() % 3);
      pats.push_back({b, b, charset, num});
      if (rng() % 3 == 0) pats.push_back({b, b, 3 - charset, num});
    }
    ACSM_STRUCT *a = build(pats);
    Reference ref(pats);
    for (int t = 0; t < 5; ++t) {
      string text;
      const int n = static_cast<int>(rng() % 40);
      for (int i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
      vector<bool> boundary(text.size() + 1);
      for (size_t i = 0; i < text.size(); ++i) boundary[i] = rng() % 3 != 0;
      const vector<uint64_t> bm = bitmapOf(boundary);
      for (bool withBitmap : {false, true}) {
        expectLists(ref.search(text, withBitmap ? &boundary : nullptr),
                    search(a, text, withBitmap ? bm.data() : nullptr),
                    "round " + std::to_string(round) + " text " + text);
        if (HasFatalFailure()) return;
      }
    }
    acsmFree(a);
  }
}

TEST(AcsmTest, DifferentialOnLongTextsWalkedInSegments) {
  // Texts long enough to be walked as several segments side by side, with
  // matches dense enough to overflow the kept events of a segment.
  std::mt19937 rng(99);
  const string alphabet = "ab\xd0\xce";
  int roomTaken = 0;
  for (int round = 0; round < 40; ++round) {
    vector<Pat> pats;
    const int np = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < np; ++k) {
      string b;
      const int len = 1 + static_cast<int>(rng() % (round % 2 ? 3 : 12));
      for (int i = 0; i < len; ++i) b += alphabet[rng() % alphabet.size()];
      pats.push_back({b, b + std::to_string(k), 1 + static_cast<int>(rng() % 2),
                      1 + static_cast<int>(rng() % 3)});
    }
    ACSM_STRUCT *a = build(pats);
    Reference ref(pats);
    string text;
    // A few long enough for a segment to hold more matches than the room
    // a search may take for them.
    const int n = (round % 10 == 0 ? 50000 : 3000) + static_cast<int>(rng() % 3000);
    for (int i = 0; i < n; ++i) text += alphabet[rng() % (round % 3 ? alphabet.size() : 2)];
    vector<bool> boundary(text.size() + 1);
    for (size_t i = 0; i < text.size(); ++i) boundary[i] = rng() % 4 != 0;
    const vector<uint64_t> bm = bitmapOf(boundary);
    Lists e = ref.search(text, &boundary);
    // Without room for held-back matches, with it, and with room refused:
    // the same results, and whatever room was taken is given back.
    struct Room {
      int taken = 0, given = 0;
      bool refuse = false;
    };
    for (int variant = 0; variant < 6; ++variant) {
      Room room;
      room.refuse = variant % 3 == 2;
      const AcsmSpill spill{[](void *c, size_t bytes) -> void * {
                              auto *rm = static_cast<Room *>(c);
                              if (rm->refuse) return nullptr;
                              ++rm->taken;
                              return std::malloc(bytes);
                            },
                            [](void *c, void *p) {
                              ++static_cast<Room *>(c)->given;
                              std::free(p);
                            },
                            &room};
      expectLists(e, searchAs(a, text, bm.data(), variant % 3 ? &spill : nullptr, variant >= 3),
                  "round " + std::to_string(round) + " variant " + std::to_string(variant));
      if (HasFatalFailure()) return;
      ASSERT_EQ(room.taken, room.given);
      ASSERT_LE(room.taken, 1);
      roomTaken += room.taken;
    }
    // The state after the search is the one a single walk reaches.
    ASSERT_EQ(searchByteByByte(a, text).state, search(a, text, bm.data()).state)
        << "round " << round;
    acsmFree(a);
  }
  EXPECT_GT(roomTaken, 0);
}

TEST(AcsmTest, LargeSetsUseWideTablesAndStillAgree) {
  // Enough states that neither 16-bit layout fits.
  std::mt19937 rng(7);
  vector<Pat> pats;
  for (int k = 0; k < 9000; ++k) {
    string b;
    for (int i = 0; i < 12; ++i) b += static_cast<char>('a' + rng() % 26);
    pats.push_back({b, b, 1, 1});
  }
  ACSM_STRUCT *a = build(pats);
  EXPECT_GT(a->acsmNumStates, 65536);
  string text = "zz" + pats[4321].bytes + "q" + pats[17].bytes;
  EXPECT_EQ((vector<string>{pats[4321].bytes, pats[17].bytes}), search(a, text).list(1));
  acsmFree(a);
}

TEST(AcsmTest, FoldedSearchOfARawTextEqualsTheSearchOfItsFilteredForm) {
  // Random keywords (lower case) and raw texts with upper case, blanks,
  // punctuation and GBK bytes: the folded search of the raw text gives the
  // words, charset and count of the search of its filtered text, with
  // boundaries from the raw text.
  std::mt19937 rng(41);
  const string alphabet = "ab\xd6\xd0\xce";
  const string noise[] = {" ", ",", "A", "B", "\t", "\n", "!", "@", "&", string(1, '\0'), "\x40"};
  for (int round = 0; round < 300; ++round) {
    vector<Pat> pats;
    for (int k = 0; k < 1 + static_cast<int>(rng() % 6); ++k) {
      string b;
      for (int i = 0; i < 1 + static_cast<int>(rng() % 4); ++i)
        b += alphabet[rng() % alphabet.size()];
      pats.push_back({b, b, 1 + static_cast<int>(rng() % 2), 1 + static_cast<int>(rng() % 3)});
    }
    ACSM_STRUCT *a = build(pats);
    ASSERT_TRUE(acsmCanFold(a));
    for (int t = 0; t < 4; ++t) {
      string raw;
      const int n = static_cast<int>(rng() % (round % 5 == 0 ? 4000 : 60));
      for (int i = 0; i < n; ++i)
        raw += rng() % 3 ? string(1, alphabet[rng() % alphabet.size()]) : noise[rng() % 11];
      // Boundaries of the raw text, and its filtered form with them.
      vector<bool> start(raw.size());
      for (size_t i = 0, tr = 0; i < raw.size(); ++i) {
        start[i] = !tr;
        tr = !tr && static_cast<unsigned char>(raw[i]) >= 0x81 &&
             static_cast<unsigned char>(raw[i]) <= 0xFE;
      }
      string filtered;
      vector<bool> fstart;
      for (size_t i = 0; i < raw.size(); ++i) {
        const unsigned char c = raw[i];
        const bool drop = c == 0 || c == 9 || c == 10 || c == 13 || c == 32 ||
                          (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) ||
                          (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
        if (drop) continue;
        filtered += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        fstart.push_back(start[i]);
      }
      const vector<uint64_t> rawBm = bitmapOf(start), filtBm = bitmapOf(fstart);
      Lists want = search(a, filtered, filtBm.data());
      Lists got;
      got.matches =
          acsmSearchFolded(a, (const unsigned char *)raw.data(), (int)raw.size(), &got.state,
                           &got.charset, got.l1, got.l2, got.l3, rawBm.data());
      ASSERT_EQ(want.matches, got.matches) << round;
      ASSERT_EQ(want.charset, got.charset) << round;
      for (int k = 1; k <= 3; ++k) ASSERT_EQ(want.list(k), got.list(k)) << round;
    }
    acsmFree(a);
  }
  // A pattern with an upper-case letter cannot be folded.
  ACSM_STRUCT *upper = build({{"aB", "aB", 1, 1}});
  EXPECT_FALSE(acsmCanFold(upper));
  acsmFree(upper);
}

TEST(AcsmTest, DeepStatesWithManyWaysOnOverAWideAlphabet) {
  // States below two bytes deep that go on by many bytes (their own
  // children and their failure states'), over more byte classes than a
  // state's quick test tells apart: every way on must still be taken, and
  // none that is not there. The state carried from byte to byte is that of
  // one walk.
  std::mt19937 rng(2718);
  string alphabet;
  for (int b = 0; b < 80; ++b) alphabet += static_cast<char>(b < 40 ? '0' + b : 0xA0 + b);
  for (int round = 0; round < 30; ++round) {
    vector<Pat> pats;
    const string stem = alphabet.substr(rng() % 70, 3);
    for (int k = 0; k < 40; ++k) {
      string b = (k % 2 ? stem : stem.substr(1)) + alphabet[rng() % alphabet.size()];
      if (k % 3 == 0) b += alphabet[rng() % alphabet.size()];
      pats.push_back({b, b, 1 + static_cast<int>(rng() % 3), 1 + static_cast<int>(rng() % 3)});
    }
    ACSM_STRUCT *a = build(pats);
    Reference ref(pats);
    string text;
    while (text.size() < 600) {
      text += rng() % 2 ? stem : string(1, alphabet[rng() % alphabet.size()]);
      text += alphabet[rng() % alphabet.size()];
    }
    const Lists r = search(a, text);
    const Lists e = ref.search(text, nullptr);
    expectLists(e, r, "round " + std::to_string(round));
    if (HasFatalFailure()) return;
    const Lists one = searchByteByByte(a, text);
    ASSERT_EQ(e.matches, one.matches) << "round " << round;
    ASSERT_EQ(r.state, one.state) << "round " << round;
    acsmFree(a);
  }
}

TEST(AcsmTest, AValueThatIsNoStateStartsFromTheStart) {
  ACSM_STRUCT *a = build({{"abcd", "abcd", 1, 1}, {"bcx", "bcx", 1, 1}});
  for (int bad : {1, 3, 5, 0x7FFFFFFC, -4, 4 * 1000003}) {
    Lists r;
    r.state = bad;
    EXPECT_EQ(1, acsmSearchEx(a, (const unsigned char *)"abcd", 4, &r.state, &r.charset, r.l1, r.l2,
                              r.l3, nullptr))
        << bad;
  }
  acsmFree(a);
}

TEST(AcsmTest, ChineseTextCutAnywhereIsSearchedAsOneByEitherWalk) {
  // Words in both forms, as the keyword automata hold them (a character
  // that is a word alone and ends longer ones, and words of two and three
  // word entries), over UTF-8 and GBK text long enough to be walked as
  // segments. The text is cut at every offset and its halves searched with
  // the state and the lists carried: the same words, count and end state as
  // the whole, walked either way.
  const char *gbk[] = {"中国", "国", "我们", "发展", "经济发展", "人民", "工作", "问题"};
  const char *utf8[] = {u8"中国",     u8"国",   u8"我们", u8"发展",
                        u8"经济发展", u8"人民", u8"工作", u8"问题"};
  vector<Pat> pats;
  for (int k = 0; k < 8; ++k) {
    const int num = 1 + k % 3;
    pats.push_back({gbk[k], gbk[k], 1, num});
    pats.push_back({utf8[k], gbk[k], 2, num});
  }
  ACSM_STRUCT *a = build(pats);
  const string sentence[2] = {"我们的中国经济发展很快，人民生活和工作中的问题少了。",
                              u8"我们的中国经济发展很快，人民生活和工作中的问题少了。"};
  for (int form = 0; form < 2; ++form) {
    string text;
    while (text.size() < 3000) text += sentence[form];
    vector<bool> start(text.size() + 1);
    for (size_t i = 0, tr = 0; i < text.size(); ++i) {
      start[i] = !tr;
      tr = !tr && static_cast<unsigned char>(text[i]) >= 0x81 &&
           static_cast<unsigned char>(text[i]) <= 0xFE;
    }
    const vector<uint64_t> bm = bitmapOf(start);
    const Lists whole = search(a, text, bm.data());
    ASSERT_GT(whole.matches, 100);
    const Lists plain = search(a, text);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
      const string head = text.substr(0, cut), tail = text.substr(cut);
      const vector<uint64_t> tailBm = bitmapOf(vector<bool>(start.begin() + cut, start.end()));
      const string label = "form " + std::to_string(form) + " cut " + std::to_string(cut);
      Lists bounded[2][2];  // by walk: head, then tail from the head's state
      for (int utf8Walk = 0; utf8Walk < 2; ++utf8Walk) {
        // Without boundaries the cut changes nothing.
        Lists r = searchAs(a, head, nullptr, nullptr, utf8Walk);
        const int headMatches = r.matches;
        r.matches =
            acsmSearchSpill(a, (const unsigned char *)tail.data(), (int)tail.size(), &r.state,
                            &r.charset, r.l1, r.l2, r.l3, nullptr, nullptr, utf8Walk) +
            headMatches;
        // (The charset is of the last call's words alone.)
        ASSERT_EQ(plain.matches, r.matches) << label;
        ASSERT_EQ(plain.state, r.state) << label;
        for (int k = 1; k <= 3; ++k) ASSERT_EQ(plain.list(k), r.list(k)) << label;
        // With them, a GBK form that begins before the cut counts in the
        // tail, and the tail ends in the state of one walk of the whole.
        bounded[utf8Walk][0] = searchAs(a, head, bm.data(), nullptr, utf8Walk);
        bounded[utf8Walk][1] =
            searchAs(a, tail, tailBm.data(), nullptr, utf8Walk, bounded[utf8Walk][0].state);
        ASSERT_EQ(whole.state, bounded[utf8Walk][1].state) << label;
      }
      // Both walks agree on everything.
      expectLists(bounded[0][0], bounded[1][0], label + " head");
      expectLists(bounded[0][1], bounded[1][1], label + " tail");
    }
  }
  acsmFree(a);
}
