// The POST sweep against a plain one that searches every entry's words one
// by one, as the check is defined; and the preparation of the texts.
#include <httpd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "config/kvr_config.h"
#include "match/kvr_match.h"
#include "screen/kvr_post_scan.h"
#include "test_support.h"

using std::string;
using std::vector;

namespace {

structPostKeyWord *table(int slot) {
  return slot == kPostC     ? arrPostKeyWord.c
         : slot == kPostCex ? arrPostKeyWord.cex
         : slot == kPostB   ? arrPostKeyWord.b
                            : arrPostKeyWord.bex;
}

void loadTables(const vector<string> t[4]) {
  kvrTestLoadPostTables(t);
}

bool occursAtBoundary(const string &text, const string &word, const uint64_t *starts, bool gbk) {
  if (word.empty()) return true;
  for (size_t at = text.find(word); at != string::npos; at = text.find(word, at + 1))
    if (!gbk || !starts || ((starts[at >> 6] >> (at & 63)) & 1)) return true;
  return false;
}

// The plain hit rule.
bool plainHit(const structPostKeyWord &e, int pass, const string &text, const uint64_t *starts) {
  const char *form = pass == 1 ? e.gbk : e.utf8;
  if (std::strchr(e.gbk, ',')) {
    char w[3][256] = {};
    const int n = kvrSplitKeyWord(form, w);
    if (n != 2 && n != 3) return false;
    for (int k = 0; k < n; ++k)
      if (!occursAtBoundary(text, w[k], starts, pass == 1)) return false;
    return true;
  }
  return *form && occursAtBoundary(text, form, starts, pass == 1);
}

// The plain sweep: every entry of every table, in order.
vector<KvrPostHit> plainSweep(apr_pool_t *pool, KvrPostText pt, bool block, bool record,
                              int *result) {
  kvrPostEnsureFiltered(pool, &pt);
  vector<KvrPostHit> hits;
  auto textOf = [&](int slot) {
    return (slot == kPostC || slot == kPostB) ? string(pt.filtered.text, pt.filtered.len)
                                              : string(pt.raw, pt.rawLen);
  };
  // In a UTF-8 text the GBK forms count wherever they occur.
  auto startsOf = [&](int slot) -> const uint64_t * {
    if (pt.utf8) return nullptr;
    return (slot == kPostC || slot == kPostB) ? pt.filtered.starts : pt.rawStarts;
  };
  *result = 1;
  if (block) {
    for (int slot : {kPostC, kPostCex})
      for (int pass = 1; pass <= 2; ++pass)
        for (int i = 0; i < 3000 && table(slot)[i].used == 1; ++i)
          if (plainHit(table(slot)[i], pass, textOf(slot), startsOf(slot))) {
            *result = 2;
            return {{slot, i, pass}};
          }
  }
  if (record) {
    for (int slot : {kPostB, kPostBex}) {
      int count = 0;
      for (int pass = 1; pass <= 2 && count < 3; ++pass)
        for (int i = 0; i < 3000 && table(slot)[i].used == 1 && count < 3; ++i)
          if (plainHit(table(slot)[i], pass, textOf(slot), startsOf(slot))) {
            hits.push_back({slot, i, pass});
            ++count;
          }
      if (slot == kPostB && count == 3) break;
    }
  }
  return hits;
}

}  // namespace

class PostScanTest : public PoolTest {};

TEST_F(PostScanTest, DifferentialAgainstPlainSweep) {
  std::mt19937 rng(2024);
  const vector<string> words = {
      "ab", "ba", "abc",      "\xd6\xd0", "\xd0\xce",    "\xce\xc4", "\xd6\xd0\xce\xc4",
      "x1", "zz", "\xe9\x54", "\xd8\x5c", "\xe4\xb8\xad"};
  const vector<string> noise = {" ", ",",  "&nbsp;", "&", "\xd6",     "\xce", "a",
                                "b", "\n", "%41",    "+", "\xe9\x74", "T",    "&NBSP;"};
  for (int round = 0; round < 300; ++round) {
    vector<string> t[4];
    for (int slot = 0; slot < 4; ++slot) {
      const int n = static_cast<int>(rng() % 7);
      for (int i = 0; i < n; ++i) {
        string key = words[rng() % words.size()];
        const int extra = static_cast<int>(rng() % 5);  // 0..4 more words
        for (int k = 0; k < extra && rng() % 2; ++k) key += "," + words[rng() % words.size()];
        if (rng() % 10 == 0) key = "," + key;
        if (rng() % 10 == 0) key += ",";
        t[slot].push_back(key);
      }
    }
    loadTables(t);
    for (int b = 0; b < 4; ++b) {
      string body;
      const int n = static_cast<int>(rng() % 40);
      for (int i = 0; i < n; ++i)
        body += rng() % 2 ? words[rng() % words.size()] : noise[rng() % noise.size()];
      // Some bodies in UTF-8 alone.
      if (b == 3) {
        for (char &c : body)
          if (static_cast<unsigned char>(c) >= 0x80) c = 'x';
        body = "\xe4\xb8\xad" + body +
               "\xe4\xb8\xad"
               "ab";
      }
      const bool form = rng() % 2;
      const KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), form);
      for (int sw = 1; sw <= 3; ++sw) {
        KvrPostHit hits[8];
        int numHits = 0;
        const int got = kvrPostSweep(pool, pt, sw & 1, sw & 2, hits, &numHits);
        int want = 0;
        const vector<KvrPostHit> expect = plainSweep(pool, pt, sw & 1, sw & 2, &want);
        ASSERT_EQ(want, got) << "round " << round;
        ASSERT_EQ(expect.size(), static_cast<size_t>(numHits))
            << "round " << round << " body " << body;
        for (int k = 0; k < numHits; ++k) {
          ASSERT_EQ(expect[k].table, hits[k].table) << "round " << round;
          ASSERT_EQ(expect[k].index, hits[k].index) << "round " << round;
          ASSERT_EQ(expect[k].pass, hits[k].pass) << "round " << round;
        }
      }
    }
  }
}

TEST_F(PostScanTest, DifferentialOnLongBodies) {
  // Bodies long enough for the matcher to walk them in segments.
  std::mt19937 rng(77);
  const vector<string> words = {"\xd6\xd0\xce\xc4", "\xb0\xa1\xb0\xa2", "ab,cd",
                                "\xce\xc4\xd6\xd0,xy"};
  for (int round = 0; round < 30; ++round) {
    vector<string> t[4];
    for (int slot = 0; slot < 4; ++slot)
      for (int i = 0; i < 4; ++i) t[slot].push_back(words[rng() % words.size()]);
    loadTables(t);
    string body;
    while (body.size() < 6000) {
      body += "\xb0\xa3\xb0\xa4 ";
      if (rng() % 40 == 0) body += rng() % 2 ? "\xd6\xd0\xce\xc4" : "ab cd xy";
    }
    const KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), false);
    for (int sw = 1; sw <= 3; ++sw) {
      KvrPostHit hits[8];
      int numHits = 0, want = 0;
      const int got = kvrPostSweep(pool, pt, sw & 1, sw & 2, hits, &numHits);
      const vector<KvrPostHit> expect = plainSweep(pool, pt, sw & 1, sw & 2, &want);
      ASSERT_EQ(want, got) << round;
      ASSERT_EQ(expect.size(), static_cast<size_t>(numHits)) << round;
      for (int k = 0; k < numHits; ++k) ASSERT_EQ(expect[k].index, hits[k].index) << round;
    }
  }
}

TEST_F(PostScanTest, PrepareDecodesFormsAndKeepsTheWholeBody) {
  const string body = "%00&msg=%E7%A6%81+X%2fY%zz";
  KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), true);
  EXPECT_EQ(string(" &msg=\xe7\xa6\x81+x/y%zz"), string(pt.raw, pt.rawLen));  // %00 is a space now
  EXPECT_EQ(1, pt.decodeError);
  EXPECT_EQ(nullptr, pt.filtered.text);  // made only when needed
  kvrPostEnsureFiltered(pool, &pt);
  EXPECT_EQ(string("msg\xe7\xa6\x81xyzz"), string(pt.filtered.text, pt.filtered.len));
  pt = kvrPostPrepare(pool, body.data(), body.size(), false);
  EXPECT_EQ(string("%00&msg=%e7%a6%81+x%2fy%zz"), string(pt.raw, pt.rawLen));
  const string nul("a\0b", 3);
  pt = kvrPostPrepare(pool, nul.data(), nul.size(), false);
  EXPECT_EQ(string("a b"), string(pt.raw, pt.rawLen));
}

TEST_F(PostScanTest, ChosenBodiesHitTheirTables) {
  // A key behind an encoded zero byte is found. A GBK form counts only where
  // a character begins: d0 ce is the second byte of 中 and the first of 文.
  // GBK second bytes are kept as they are: 門 (e9 54) and 總結 (bf 82 bd
  // 59) neither lower-cased to 閠 and 總統 nor, for 豛 (d8 5c), dropped as
  // punctuation.
  vector<string> t[4];
  t[kPostC] = {"a門", "禁词"};
  t[kPostCex] = {"總結x", "\xd0\xce"};
  t[kPostB] = {"豛豛"};
  loadTables(t);
  const struct {
    string body;
    bool form;
    int table;  // -1: nothing
  } cases[] = {{"%00&x=" + string("禁词"), true, kPostC},
               {"\xd6\xd0\xce\xc4", false, -1},
               {"A, 門!", false, kPostC},
               {"總結X", false, kPostCex},
               {"閠 總統", false, -1},
               {"豛 豛", false, kPostB},
               {"a閠", false, -1}};
  for (const auto &c : cases) {
    KvrPostText pt = kvrPostPrepare(pool, c.body.data(), c.body.size(), c.form);
    KvrPostHit hits[8];
    int n = 0;
    const int blocked = c.table == kPostC || c.table == kPostCex ? 2 : 1;
    EXPECT_EQ(blocked, kvrPostSweep(pool, pt, true, true, hits, &n)) << c.body;
    if (c.table < 0) {
      EXPECT_EQ(0, n) << c.body;
    } else {
      ASSERT_LE(1, n) << c.body;
      EXPECT_EQ(c.table, hits[0].table) << c.body;
      EXPECT_EQ(1, hits[0].pass) << c.body;
    }
  }
  const string body = "AB總結";
  KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), false);
  EXPECT_EQ(string("ab總結"), string(pt.raw, pt.rawLen));
  kvrPostEnsureFiltered(pool, &pt);
  EXPECT_EQ(string("ab總結"), string(pt.filtered.text, pt.filtered.len));
}

TEST_F(PostScanTest, Utf8BodiesFindAsciiKeysInBothPasses) {
  // The GBK character walk means nothing in UTF-8: an ASCII key right after
  // a Chinese character is found by the GBK pass as well as the UTF-8 one.
  vector<string> t[4];
  t[kPostB] = {"ab"};
  t[kPostBex] = {"cd"};
  loadTables(t);
  const string body = u8"中ab 中cd";
  const KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), false);
  EXPECT_TRUE(pt.utf8);
  KvrPostHit hits[8];
  int n = 0;
  EXPECT_EQ(1, kvrPostSweep(pool, pt, false, true, hits, &n));
  ASSERT_EQ(4, n);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(k < 2 ? kPostB : kPostBex, hits[k].table) << k;
    EXPECT_EQ(1 + k % 2, hits[k].pass) << k;
  }
  // In GBK the walk stays: the bytes of "ab" after a lone lead byte are
  // not where a character begins.
  const string gbk =
      "\xd6\xd0\xd6"
      "ab";
  const KvrPostText g = kvrPostPrepare(pool, gbk.data(), gbk.size(), false);
  EXPECT_FALSE(g.utf8);
  EXPECT_EQ(1, kvrPostSweep(pool, g, false, true, hits, &n));
  ASSERT_EQ(1, n);  // ab only in the UTF-8 pass; no cd for bex
  EXPECT_EQ(2, hits[0].pass);
}

TEST_F(PostScanTest, FilteredTextOfCapitalEntityKeepsItsLetters) {
  // Only "&nbsp;" in lower case goes whole; of "&NBSP;" the "&" and ";" go
  // and the letters stay, lower-cased, also in the text the context is
  // cut from.
  const struct {
    string body, filtered;
  } cases[] = {{"x&NBSP;y", "xnbspy"},
               {"x&NBSP;y&Nbsp;z&nbsp;w", "xnbspynbspzw"},
               {"&NBSP;&nbsp", "nbspnbsp"}};
  for (const bool form : {false, true}) {
    for (const auto &c : cases) {
      KvrPostText pt = kvrPostPrepare(pool, c.body.data(), c.body.size(), form);
      kvrPostEnsureFiltered(pool, &pt);
      EXPECT_EQ(c.filtered, string(pt.filtered.text, pt.filtered.len)) << c.body;
    }
  }
}

TEST_F(PostScanTest, RecordLimitPerTable) {
  vector<string> t[4];
  t[kPostB] = {"aa", "bb", "cc", "dd"};
  t[kPostBex] = {"aa"};
  loadTables(t);
  const string body = "aa bb cc dd";
  const KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), false);
  KvrPostHit hits[8];
  int n = 0;
  EXPECT_EQ(1, kvrPostSweep(pool, pt, false, true, hits, &n));
  ASSERT_EQ(3, n);  // aa, bb, cc in the GBK pass: the limit; bex is not searched
  EXPECT_EQ(2, hits[2].index);

  t[kPostB] = {"aa"};
  loadTables(t);
  EXPECT_EQ(1, kvrPostSweep(pool, pt, false, true, hits, &n));
  ASSERT_EQ(4, n);  // an ASCII key hits in both passes, in b and in bex
}

TEST_F(PostScanTest, KeyAtTheEndOfALongBody) {
  vector<string> t[4];
  t[kPostC] = {"禁词"};
  loadTables(t);
  for (int n : {100, 1000, 2000, 5000}) {
    string body;
    for (int i = 0; i < n; ++i) body += "正常内容";
    body += "这里禁词";
    const KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), false);
    KvrPostHit hits[8];
    int k = 0;
    EXPECT_EQ(2, kvrPostSweep(pool, pt, true, false, hits, &k)) << n;
  }
}

namespace {

// Both preparations of one body agree on every byte, boundary and flag, and
// on the filtered text made from them.
void expectSamePreparation(apr_pool_t *pool, const string &body, bool form, int trail,
                           const string &what) {
  KvrPostText fast = kvrPostPrepare(pool, body.data(), body.size(), form, trail);
  KvrPostText plain = kvrPostPreparePlain(pool, body.data(), body.size(), form, trail);
  ASSERT_EQ(string(plain.raw, plain.rawLen), string(fast.raw, fast.rawLen)) << what;
  ASSERT_EQ('\0', fast.raw[fast.rawLen]) << what;
  ASSERT_EQ(plain.decodeError, fast.decodeError) << what;
  ASSERT_EQ(plain.utf8, fast.utf8) << what;
  ASSERT_EQ(plain.foldSpoils, fast.foldSpoils) << what;
  ASSERT_EQ(plain.filtered.text == nullptr, fast.filtered.text == nullptr) << what;
  for (size_t k = 0; k <= plain.rawLen / 64; ++k)
    ASSERT_EQ(plain.rawStarts[k], fast.rawStarts[k]) << what << " word " << k;
  kvrPostEnsureFiltered(pool, &fast);
  kvrPostEnsureFiltered(pool, &plain);
  ASSERT_EQ(string(plain.filtered.text, plain.filtered.len),
            string(fast.filtered.text, fast.filtered.len))
      << what;
  for (size_t k = 0; k <= plain.filtered.len / 64; ++k)
    ASSERT_EQ(plain.filtered.starts[k], fast.filtered.starts[k]) << what << " word " << k;
  if (form) {
    // The decoder alone, against the server's.
    string sent = body;
    for (char &c : sent)
      if (!c) c = ' ';
    const int want = ap_unescape_url(&sent[0]) != OK;
    sent.resize(std::strlen(sent.c_str()));
    vector<char> out(body.size() + 64);
    int error = -1;
    const size_t len = kvrPostDecodeForm(body.data(), body.size(), out.data(), &error);
    ASSERT_EQ(want, error) << what;
    string decoded(out.data(), len);
    // The server's decoder ends the text at a decoded zero byte; ours makes
    // it a space, as it does a zero byte sent.
    ASSERT_EQ(sent, decoded.substr(0, sent.size())) << what;
  }
}

}  // namespace

TEST_F(PostScanTest, FastPreparationIsThePlainOne) {
  // Bodies cut at every length, so that escapes and characters are split
  // everywhere: first chosen ones (escapes at and across the ends of the
  // decoder's 32-byte blocks, malformed, in either case, decoding to zero,
  // "/", "%", "&nbsp;", capitals and GBK bytes; "+"; zero bytes sent;
  // capitals that are second bytes of GBK characters; UTF-8 text), then
  // bodies built at random from pieces that make escapes and characters.
  const string pad31(31, 'q'), pad30(30, 'q'), pad62(62, 'Q');
  vector<string> bodies = {
      "a%4",
      "%%41%",
      "%4%41",
      "%zz%g1%1g",
      "%00%2F%2f%25%26nbsp%3B",
      "%26NBSP%3b and &NbSp; + &nbsp;x",
      "%e9%54%E9%54%C4%41%d6%d0ABC",
      pad31 + "%41%42",
      pad30 + "%41%42",
      pad62 + "%C4%41" + pad62 + "%E9T",
      pad62 + "\xc4" + "A" + pad31 + "\xe9" + "T%4",
      string("a\0b%00c\0", 8) + pad31 + string("\0%", 2),
      "\xe4\xb8\xad%E4%B8%ADAbC" + pad62 + "%e4%b8",
      "+++%2B%2b+field=%D6%D0%CE%C4&next=V%40L%5Bue%7E",
      pad62 + "&nbsp;",
      pad62 + "q&NbSp;",
      pad62 + "%26nbsp%3B" + pad31 + "&nbsp",
  };
  std::mt19937 rng(19);
  const vector<string> pieces = {"%",     "%4",
                                 "%41",   "%6a",
                                 "%D6",   "%d0",
                                 "%00",   "%2f",
                                 "%25",   "%26",
                                 "%3B",   "%Zz",
                                 "%e",    "+",
                                 "&",     "=",
                                 "nbsp;", "NBSP",
                                 "A",     "Z",
                                 "a",     "@",
                                 "[",     "~",
                                 "\xd6",  "\xd0",
                                 "\xe9",  "T",
                                 "\\",    string(1, '\0'),
                                 "0",     "f",
                                 "G",     "\xe4\xb8\xad",
                                 " ",     "\x80",
                                 "\xff",  "%80",
                                 "%FF",   "%E4%B8%AD"};
  for (int round = 0; round < 150; ++round) {
    string body;
    const size_t want = rng() % 160;
    while (body.size() < want) body += pieces[rng() % pieces.size()];
    bodies.push_back(body);
  }
  for (KvrSimdLevel level : kvrTestSimdLevels()) {
    KvrSimdGuard guard(level);
    for (size_t b = 0; b < bodies.size(); ++b) {
      const string &body = bodies[b];
      for (size_t len = 0; len <= body.size(); ++len) {
        for (int form = 0; form < 2; ++form)
          for (int trail = 0; trail < 2; ++trail) {
            expectSamePreparation(pool, body.substr(0, len), form, trail,
                                  "level " + std::to_string(level) + " body " + std::to_string(b) +
                                      " len " + std::to_string(len) + " form " +
                                      std::to_string(form));
            if (HasFatalFailure()) return;
          }
        apr_pool_clear(pool);
      }
    }
  }
}

TEST_F(PostScanTest, SecondBytesThatLookLikeAsciiDoNotJoinWords) {
  // A GBK character whose second byte is a capital or punctuation: read as
  // part of the character, never lower-cased or dropped to join the bytes
  // around it into a keyword.
  struct Case {
    string key, body;
    int result;  // of the block sweep
  };
  const vector<Case> cases = {
      {"ab",
       "\xe9"
       "Ab",
       1},  // the UTF-8 form has no boundaries to keep
      {"\xe9"
       "b",
       "\xe9@b", 1},  // '@' belongs to the character
      {"\xe9"
       "b",
       "\xe9[b\xe9~b", 1},
      {"\xd6\xd0"
       "b",
       "\xe9T\xd6\xd0"
       "B",
       2},  // capitals that begin a character fold
      {"x",
       "\xe9"
       "X",
       1},
      {"x",
       "\xe9"
       "XX",
       2},
      {"ab",
       "\xe9"
       "A"
       "\xe9"
       "b ab",
       2},
  };
  for (KvrSimdLevel level : kvrTestSimdLevels()) {
    KvrSimdGuard guard(level);
    for (size_t c = 0; c < cases.size(); ++c) {
      vector<string> t[4];
      t[kPostC] = {cases[c].key, "\xce\xc4"};
      loadTables(t);
      for (const string &body : {cases[c].body, cases[c].body + string(100, 'z') + cases[c].body}) {
        const KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), false);
        KvrPostHit hits[8];
        int n = 0, want = 0;
        plainSweep(pool, pt, true, false, &want);
        EXPECT_EQ(cases[c].result, want) << c;
        EXPECT_EQ(want, kvrPostSweep(pool, pt, true, false, hits, &n)) << "case " << c;
      }
    }
  }
}
