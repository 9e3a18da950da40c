// A response or body screened as one text however it is cut: the events of
// the stream, fed in pieces, against the check of the whole text at once.
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "config/kvr_config.h"
#include "match/kvr_match.h"
#include "screen/kvr_context.h"
#include "screen/kvr_post_scan.h"
#include "screen/kvr_stream.h"
#include "test_support.h"

using std::string;
using std::vector;

namespace {

struct Outcome {
  int result = 0;         // 2 = block, 1 = record (responses) or go on (bodies), 0 = nothing
  vector<string> events;  // action, charset, keyword, context of each event
  bool operator==(const Outcome &o) const { return result == o.result && events == o.events; }
};

string describe(const KvrEvent &ev) {
  return std::to_string(ev.action) + "/" + std::to_string(ev.table) + "/" +
         std::to_string(ev.charset) + "/" + ev.keyword + "/" + ev.context;
}

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
  os << "result " << o.result;
  for (const string &e : o.events) os << " [" << e << "]";
  return os;
}

// The tables, with the switch of each table that holds keywords on.
void loadGetTables(const vector<string> &block, const vector<string> &record) {
  kvrTestLoadGetTables(record, block);
  nVazidezChkGetKeyWord = record.empty() ? 0 : 1;
  nVazidezBlockGetKeyWord = block.empty() ? 0 : 1;
}

void loadPostTables(const vector<string> t[4]) {
  kvrTestLoadPostTables(t);
  nVazidezBlockPostKeyWord = t[kPostC].empty() && t[kPostCex].empty() ? 0 : 1;
  nVazidezChkPostKeyWord = t[kPostB].empty() && t[kPostBex].empty() ? 0 : 1;
}

// The response check of the whole text as one piece, straight from its
// parts: the filtered text, the searches, the context of the entry.
Outcome wholeResponse(apr_pool_t *pool, const string &page) {
  Outcome o;
  if (page.size() <= 3 || std::memchr(page.data(), '\0', std::min<size_t>(page.size(), 1023)))
    return o;
  const KvrFilteredText ft = kvrFilterText(pool, page.data(), page.size());
  KvrGetHit hit;
  o.result = kvrGetScan(ft, false, true, &hit);
  if (!o.result) return o;
  const structGetKeyWord &e =
      o.result == 2 ? arrGetKeyWord.c[hit.index] : arrGetKeyWord.b[hit.index];
  const char *form = hit.charset == 1 ? e.gbk : hit.charset == 2 ? e.utf8 : e.big5;
  string ctx(3 * nLogGetHtmlPageLen + 1, '\0');
  kvrPageContext(pool, hit.words, form, hit.key1, hit.key2, hit.key3, page.data(), page.size(),
                 ft.text, ft.len, &ctx[0], nLogGetHtmlPageLen);
  o.events.push_back(describe(KvrEvent{o.result, o.result, hit.charset, e.gbk, ctx.c_str()}));
  return o;
}

// The stream fed with the given pieces; `release` says after which piece
// the held bytes go out (a flush, or a source that would block).
Outcome streamResponse(apr_pool_t *pool, const string &page, const vector<size_t> &cuts,
                       const std::function<bool(size_t)> &release = nullptr) {
  KvrGetStream s;
  Outcome o;
  if (!kvrGetStreamInit(&s, pool, false, true)) return o;
  // Told its length, a wrong one, or none: the results are the same.
  const size_t told[] = {page.size(), page.size() / 2 + 7, 0};
  kvrGetStreamExpect(&s, told[cuts.size() % 3]);
  vector<string> pieces;  // each stays where it is until the stream is done
  pieces.reserve(cuts.size() + 1);
  size_t at = 0;
  KvrEvent ev{};
  auto record = [&](int r) {
    if (!r) return false;
    o.result = r;
    o.events.push_back(describe(ev));
    return r == 2;
  };
  for (size_t k = 0; k <= cuts.size(); ++k) {
    const size_t end = k < cuts.size() ? cuts[k] : page.size();
    pieces.push_back(page.substr(at, end - at));
    for (size_t off = 0; off < pieces.back().size();) {
      const size_t n = std::min(kvrGetStreamRoom(&s), pieces.back().size() - off);
      kvrGetStreamAdd(&s, pieces.back().data() + off, n);
      off += n;
      if (kvrGetStreamNotText(&s)) return Outcome{};
      if (kvrGetStreamRoom(&s) == 0 && record(kvrGetStreamEnd(&s, false, &ev))) return o;
    }
    at = end;
    if (release && release(k) && record(kvrGetStreamRelease(&s, &ev))) return o;
  }
  record(kvrGetStreamEnd(&s, true, &ev));
  return o;
}

// The POST sweeps of the whole body as one piece.
Outcome wholeBody(apr_pool_t *pool, const string &body, bool form) {
  Outcome o;
  KvrPostStream s;
  if (!kvrPostStreamInit(&s, pool, form)) return o;
  kvrPostStreamAdd(&s, body.data(), body.size());
  KvrEvent ev[8];
  int n = 0;
  o.result = kvrPostStreamEnd(&s, true, ev, &n);
  for (int k = 0; k < n; ++k) o.events.push_back(describe(ev[k]));
  // The same hits as the sweeps over the prepared whole text.
  if (body.size() > 3) {
    KvrPostText pt = kvrPostPrepare(pool, body.data(), body.size(), form);
    KvrPostHit hits[8];
    int m = 0;
    EXPECT_EQ(o.result, kvrPostSweep(pool, pt, nVazidezBlockPostKeyWord == 1,
                                     nVazidezChkPostKeyWord == 1, hits, &m));
    EXPECT_EQ(n, m);
  }
  return o;
}

Outcome streamBody(apr_pool_t *pool, const string &body, bool form, const vector<size_t> &cuts) {
  Outcome o;
  KvrPostStream s;
  if (!kvrPostStreamInit(&s, pool, form)) return o;
  KvrEvent ev[8];
  int n = 0;
  size_t at = 0;
  o.result = 1;
  for (size_t k = 0; k <= cuts.size(); ++k) {
    const size_t end = k < cuts.size() ? cuts[k] : body.size();
    for (size_t off = at; off < end;) {
      const size_t m = std::min(kvrPostStreamRoom(&s), end - off);
      kvrPostStreamAdd(&s, body.data() + off, m);
      off += m;
      if (kvrPostStreamRoom(&s) == 0) {
        o.result = kvrPostStreamEnd(&s, false, ev, &n);
        for (int i = 0; i < n; ++i) o.events.push_back(describe(ev[i]));
        if (o.result == 2) return o;
      }
    }
    at = end;
  }
  o.result = kvrPostStreamEnd(&s, true, ev, &n);
  for (int i = 0; i < n; ++i) o.events.push_back(describe(ev[i]));
  return o;
}

// Ways to cut a text of n bytes: in two at every offset, into single bytes,
// and at random.
vector<vector<size_t>> cutsOf(size_t n, std::mt19937 &rng) {
  vector<vector<size_t>> all;
  for (size_t at = 1; at < n; ++at) all.push_back({at});
  vector<size_t> bytes;
  for (size_t at = 1; at < n; ++at) bytes.push_back(at);
  all.push_back(bytes);
  for (int r = 0; r < 4; ++r) {
    vector<size_t> random;
    for (size_t at = 1 + rng() % 7; at < n; at += 1 + rng() % 23) random.push_back(at);
    all.push_back(random);
  }
  return all;
}

const vector<string> kGetPieces = {"a",      "b",  "A",        "B",        " ",    ",",
                                   "&nbsp;", "&",  "\xd6\xd0", "\xce\xc4", "\xd6", "x1",
                                   "Y2",     "z3", "\n",       "\x40",     "nbsp;"};

}  // namespace

class StreamTest : public PoolTest {};

TEST_F(StreamTest, ResponseCutAnywhereGivesTheWholeTextsEvent) {
  // Cut anywhere, the stream gives the whole text's event. When bytes must
  // go out before the end (a flush, a slow source), they are looked at for
  // block keywords first: the block comes no later than the end, and never
  // where the whole text passes.
  std::mt19937 rng(15);
  const vector<string> keys = {"ab",    "\xd6\xd0\xce\xc4", "ba,\xd6\xd0", "x1,y2,z3",
                               "bnbsp", "\xce\xc4\xd6\xd0"};
  for (int round = 0; round < 80; ++round) {
    vector<string> block, record;
    for (int i = 0; i < 2; ++i) {
      if (round % 3 != 1) block.push_back(keys[rng() % keys.size()]);
      if (round % 3 != 2) record.push_back(keys[rng() % keys.size()]);
    }
    loadGetTables(block, record);
    string page;
    const int n = static_cast<int>(4 + rng() % 60);
    for (int i = 0; i < n; ++i) page += kGetPieces[rng() % kGetPieces.size()];
    const Outcome want = wholeResponse(pool, page);
    for (const vector<size_t> &cuts : cutsOf(page.size(), rng)) {
      ASSERT_EQ(want, streamResponse(pool, page, cuts)) << "round " << round << " page " << page;
      const unsigned pattern = rng();
      const Outcome early =
          streamResponse(pool, page, cuts, [&](size_t k) { return (pattern >> (k % 32)) & 1; });
      ASSERT_EQ(want.result == 2, early.result == 2) << "round " << round << " page " << page;
      if (want.result != 2) {
        ASSERT_EQ(want, early) << "round " << round;
      }
    }
  }
}

TEST_F(StreamTest, ResponseLongerThanASegment) {
  // Keywords across the end of a segment, at every offset around it; a
  // block keyword at the start of a long page; a record in each segment.
  loadGetTables({"\xd6\xd0\xce\xc4"}, {"qz"});
  const string key = "\xd6\xd0 \xce\xc4";  // with a blank between its characters
  for (size_t at = kKvrSegmentMax - 8; at < kKvrSegmentMax + 4; ++at) {
    string page(at, 'x');
    page += key + string(1000, 'y');
    std::mt19937 rng(static_cast<unsigned>(at));
    for (const vector<size_t> &cuts :
         {vector<size_t>{}, vector<size_t>{8000, 16000, at + 1}, vector<size_t>{at + 2}})
      EXPECT_EQ(2, streamResponse(pool, page, cuts).result) << "keyword at " << at;
  }
  string big(600 * 1024, 'x');
  big.replace(15, key.size(), key);
  EXPECT_EQ(2, streamResponse(pool, big, {}).result);
  string records(3 * kKvrSegmentMax, 'x');
  for (size_t at = 100; at < records.size(); at += kKvrSegmentMax) records.replace(at, 2, "qz");
  const Outcome o = streamResponse(pool, records, {8000});
  EXPECT_EQ(3u, o.events.size()) << o;
  // A record keyword within the overlap of two segments is found in both:
  // neither segment is lost for it.
  string edge(kKvrSegmentMax + 100, 'x');
  edge.replace(kKvrSegmentMax - 100, 2, "qz");
  EXPECT_EQ(2u, streamResponse(pool, edge, {}).events.size());
}

TEST_F(StreamTest, ResponseThatIsNotText) {
  loadGetTables({"ab"}, {});
  string page = "ab" + string(1100, 'x');
  EXPECT_EQ(2, streamResponse(pool, page, {1, 500}).result);
  page[1022] = '\0';  // within the first 1023 bytes, in the third piece
  EXPECT_EQ(0, streamResponse(pool, page, {1, 500}).result);
  page[1022] = 'x';
  page[1023] = '\0';
  EXPECT_EQ(2, streamResponse(pool, page, {1, 500}).result);
  EXPECT_EQ(0, streamResponse(pool, "abc", {}).result);  // too short to be examined
  EXPECT_EQ(2, streamResponse(pool, "abcd", {1, 2, 3}).result);
}

TEST_F(StreamTest, BodyCutAnywhereGivesTheWholeBodysEvents) {
  std::mt19937 rng(17);
  const vector<string> words = {"ab", "\xd6\xd0", "\xd0\xce", "\xd6\xd0\xce\xc4", "x1", "a+b"};
  const vector<string> noise = {" ",   ",", "&nbsp;", "&",   "\xd6", "\xce", "a",   "b",     "\n",
                                "%41", "+", "%D6%D0", "%d6", "%",    "%2",   "%00", "%CE%C4"};
  for (int round = 0; round < 60; ++round) {
    vector<string> t[4];
    for (int slot = 0; slot < 4; ++slot)
      for (int i = 0; i < 3; ++i) {
        if (rng() % 3 == 0) continue;
        string key = words[rng() % words.size()];
        if (rng() % 4 == 0) key += "," + words[rng() % words.size()];
        t[slot].push_back(key);
      }
    loadPostTables(t);
    string body;
    const int n = static_cast<int>(4 + rng() % 40);
    for (int i = 0; i < n; ++i)
      body += rng() % 3 ? noise[rng() % noise.size()] : words[rng() % words.size()];
    for (const bool form : {false, true}) {
      const Outcome want = wholeBody(pool, body, form);
      for (const vector<size_t> &cuts : cutsOf(body.size(), rng))
        ASSERT_EQ(want, streamBody(pool, body, form, cuts))
            << "round " << round << " form " << form << " body " << body;
    }
  }
}

TEST_F(StreamTest, BodyLongerThanASegment) {
  vector<string> t[4];
  t[kPostC] = {"\xd6\xd0\xce\xc4"};
  t[kPostBex] = {"zq"};
  loadPostTables(t);
  // An escape, a character or a keyword cut by the end of a segment.
  for (size_t at = kKvrSegmentMax - 7; at < kKvrSegmentMax + 3; ++at) {
    for (const string key : {"%D6%D0%CE%C4", "%d6%d0 %ce%c4", "\xd6\xd0\xce\xc4"}) {
      string body(at, 'x');
      body += key + "xx";
      EXPECT_EQ(2, streamBody(pool, body, true, {8000}).result) << at << " " << key;
    }
    // The character phase after the cut is that of the decoded text: one
    // odd byte before the cut ("%81" decodes to a lead byte) shifts it.
    string body(at - 3, 'x');
    body += "%81\xd6\xd0\xce\xc4" + string(10, 'x');
    EXPECT_EQ(wholeBody(pool, body.substr(at - 3 - 100), true).result,
              streamBody(pool, body, true, {}).result)
        << at;
  }
}

TEST_F(StreamTest, NothingSearchedWhenOff) {
  loadGetTables({}, {});
  KvrGetStream g;
  EXPECT_FALSE(kvrGetStreamInit(&g, pool, false, true));
  loadGetTables({"ab"}, {"cd"});
  EXPECT_FALSE(kvrGetStreamInit(&g, pool, true, true));    // an exempt address
  EXPECT_FALSE(kvrGetStreamInit(&g, pool, false, false));  // not a script
  vector<string> t[4];
  loadPostTables(t);
  KvrPostStream p;
  EXPECT_FALSE(kvrPostStreamInit(&p, pool, false));
}

namespace {

struct GetCase {
  const char *what;
  vector<string> block, record;
  string page;
  int result;      // of the whole page
  string keyword;  // of its event
};

struct PostCase {
  const char *what;
  vector<string> tables[4];
  string body;
  bool form;
  int result;
  size_t events;
};

}  // namespace

TEST_F(StreamTest, ContextOfAKeyAcrossACapitalEntityKeepsItsLetters) {
  // The key is only in the filtered text, which keeps the letters of
  // "&NBSP;": the context is cut from it around the key.
  vector<string> t[4];
  t[kPostB] = {"xnbspy"};
  loadPostTables(t);
  const Outcome got = wholeBody(pool, "aa x&NBSP;y bb", false);
  ASSERT_EQ(2u, got.events.size()) << got;  // an ASCII key: both passes
  for (const string &e : got.events) EXPECT_NE(string::npos, e.find("/xnbspy/aaxnbspybb")) << got;
}

TEST_F(StreamTest, DefinedCasesGiveTheirEventsHoweverCut) {
  const string utf8Key = toUtf8("\xd6\xd0\xce\xc4");
  const vector<GetCase> gets = {
      {"block before record",
       {"\xd6\xd0\xce\xc4"},
       {"ab"},
       "xx ab \xd6\xd0\xce\xc4 yy",
       2,
       "\xd6\xd0\xce\xc4"},
      {"half of a two-word entry: the record table",
       {"\xd6\xd0,\xce\xc4"},
       {"ab"},
       "\xd6\xd0 and ab",
       1,
       "ab"},
      {"blanks, breaks and entities between characters",
       {"\xd6\xd0\xce\xc4"},
       {},
       "\xd6\xd0 \r\n&nbsp;\xce\xc4",
       2,
       "\xd6\xd0\xce\xc4"},
      {"capitals", {"abc"}, {}, "xx A-B-C yy", 2, "abc"},
      {"UTF-8 page names the GBK key",
       {"\xd6\xd0\xce\xc4"},
       {},
       "in " + utf8Key + " here",
       2,
       "\xd6\xd0\xce\xc4"},
      {"not at a character boundary", {"\xd0\xce"}, {}, "\xd6\xd0\xce\xc4 text", 0, ""},
      {"a GBK second byte that is a capital", {"門"}, {}, "xx 門 yy", 2, "門"},
      {"the character lower-casing would make of it", {"門"}, {}, "xx 閠 yy", 0, ""},
      {"a GBK second byte that is punctuation", {"豛豛"}, {}, "豛, 豛", 2, "豛豛"},
  };
  std::mt19937 rng(21);
  for (const GetCase &c : gets) {
    loadGetTables(c.block, c.record);
    const Outcome want = wholeResponse(pool, c.page);
    ASSERT_EQ(c.result, want.result) << c.what;
    if (c.result) {
      ASSERT_EQ(1u, want.events.size()) << c.what;
      ASSERT_NE(string::npos, want.events[0].find("/" + c.keyword + "/")) << c.what;
    }
    for (const vector<size_t> &cuts : cutsOf(c.page.size(), rng))
      ASSERT_EQ(want, streamResponse(pool, c.page, cuts)) << c.what;
  }
  const vector<PostCase> posts = {
      {"form decoded", {{"\xd6\xd0\xce\xc4"}, {}, {}, {}}, "m=%D6%D0%CE%C4", true, 2, 1},
      {"not a form: escapes stay",
       {{"\xd6\xd0\xce\xc4"}, {}, {}, {}},
       "m=%D6%D0%CE%C4",
       false,
       1,
       0},
      {"plus stays, and is dropped from the filtered text",
       {{}, {"a+b"}, {"ab"}, {}},
       "xa+b",
       true,
       2,
       1},
      {"upper-case entity keeps its letters", {{"xnbspy"}, {}, {}, {}}, "x&NBSP;y", false, 2, 1},
      {"three records per table",
       {{}, {}, {"r1", "r2", "r3", "r4"}, {"r5"}},
       "r1 r2 r3 r4 r5",
       false,
       1,
       3},
      {"ASCII key in both passes", {{}, {}, {}, {"asc"}}, "some asc text", false, 1, 2},
      {"block and records: one block event", {{"bb"}, {}, {"r1"}, {}}, "r1 bb", false, 2, 1},
      {"GBK second bytes kept in the filtered text",
       {{"門豛"}, {}, {}, {}},
       "m=門 豛",
       false,
       2,
       1},
      {"GBK second bytes kept in the raw text", {{}, {"總結x"}, {}, {}}, "m=總結X", true, 2, 1},
      {"ASCII key after a Chinese character in UTF-8: both passes",
       {{}, {}, {"asc"}, {}},
       u8"中asc",
       false,
       1,
       2},
  };
  for (const PostCase &c : posts) {
    loadPostTables(c.tables);
    const Outcome want = wholeBody(pool, c.body, c.form);
    ASSERT_EQ(c.result, want.result) << c.what;
    ASSERT_EQ(c.events, want.events.size()) << c.what << " " << want;
    for (const vector<size_t> &cuts : cutsOf(c.body.size(), rng))
      ASSERT_EQ(want, streamBody(pool, c.body, c.form, cuts)) << c.what;
  }
}

namespace {

// One response of a whole file: "known" when it went out unread, else what
// the check of it gave.
string fileResponse(apr_pool_t *pool, const string &page, const KvrFileIdentity &id, int64_t now) {
  KvrGetStream s;
  if (!kvrGetStreamInit(&s, pool, false, true)) return "unchecked";
  if (kvrGetStreamFile(&s, id, now)) return "known";
  KvrEvent ev{};
  for (size_t off = 0; off < page.size();) {
    const size_t n = std::min(kvrGetStreamRoom(&s), page.size() - off);
    kvrGetStreamAdd(&s, page.data() + off, n);
    off += n;
    if (kvrGetStreamRoom(&s) == 0 && kvrGetStreamEnd(&s, false, &ev) == 2) return "2";
  }
  return std::to_string(kvrGetStreamEnd(&s, true, &ev));
}

}  // namespace

TEST_F(StreamTest, AStillCleanFileIsSentUnreadUntilAnythingOfItChanges) {
  const int64_t now = int64_t{1700000000} * 1000000;
  const string clean = "<p>" + string(3000, 'x') + "</p>";
  string recorded = clean, blocked = clean, late = string(kKvrSegmentMax + 5000, 'x');
  recorded.replace(100, 2, "qz");
  blocked.replace(100, 4, "\xd6\xd0\xce\xc4");
  late.replace(kKvrSegmentMax + 1000, 2, "qz");  // a record in the second segment only
  KvrFileIdentity still;
  still.device = 8;
  still.inode = 1234;
  still.size = static_cast<int64_t>(clean.size());
  still.mtime = now - kKvrSettled - 1;
  still.ctime = now - kKvrSettled;
  auto with = [&](const std::function<void(KvrFileIdentity &)> &change) {
    KvrFileIdentity id = still;
    change(id);
    return id;
  };
  auto sized = [&](const string &page) {
    return with([&](KvrFileIdentity &id) { id.size = static_cast<int64_t>(page.size()); });
  };
  struct Case {
    const char *what;
    string page;
    KvrFileIdentity first, second;  // of the first response, and of the next
    const char *next;               // what the next response of `second` gives
  };
  const Case cases[] = {
      {"unchanged", clean, still, still, "known"},
      {"another device", clean, still, with([](KvrFileIdentity &id) { ++id.device; }), "0"},
      {"another file", clean, still, with([](KvrFileIdentity &id) { ++id.inode; }), "0"},
      {"another length", clean, still, with([](KvrFileIdentity &id) { --id.size; }), "0"},
      {"written", clean, still, with([](KvrFileIdentity &id) { ++id.mtime; }), "0"},
      {"changed", clean, still, with([](KvrFileIdentity &id) { ++id.ctime; }), "0"},
      {"written just now", clean, with([&](KvrFileIdentity &id) { id.mtime = now - 1000; }),
       with([&](KvrFileIdentity &id) { id.mtime = now - 1000; }), "0"},
      {"changed just now", clean,
       with([&](KvrFileIdentity &id) { id.ctime = now - kKvrSettled + 1; }),
       with([&](KvrFileIdentity &id) { id.ctime = now - kKvrSettled + 1; }), "0"},
      {"shorter than the file", clean, sized(clean + "x"), sized(clean + "x"), "0"},
      {"a record", recorded, still, still, "1"},
      {"a block", blocked, still, still, "2"},
      {"a record in its second segment", late, sized(late), sized(late), "1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    loadGetTables({"\xd6\xd0\xce\xc4"}, {"qz"});
    kvrForgetCleanFiles();
    const string first = fileResponse(pool, c.page, c.first, now);
    EXPECT_NE("known", first);
    EXPECT_EQ(c.next, fileResponse(pool, c.page, c.second, now + 1));
  }
  // A long clean file, whole: every segment was clean.
  kvrForgetCleanFiles();
  const string longClean(kKvrSegmentMax + 5000, 'x');
  EXPECT_EQ("0", fileResponse(pool, longClean, sized(longClean), now));
  EXPECT_EQ("known", fileResponse(pool, longClean, sized(longClean), now));
  // New tables, or a table searched that was not: checked again. A table
  // no longer searched: still known.
  EXPECT_EQ("0", fileResponse(pool, clean, still, now));
  loadGetTables({"\xd6\xd0\xce\xc4"}, {"qz"});
  EXPECT_EQ("0", fileResponse(pool, clean, still, now));
  EXPECT_EQ("known", fileResponse(pool, clean, still, now));
  nVazidezBlockGetKeyWord = 0;
  EXPECT_EQ("known", fileResponse(pool, clean, still, now));
  kvrForgetCleanFiles();
  EXPECT_EQ("0", fileResponse(pool, clean, still, now));
  nVazidezBlockGetKeyWord = 1;
  EXPECT_EQ("0", fileResponse(pool, clean, still, now));
  EXPECT_EQ("known", fileResponse(pool, clean, still, now));
  kvrForgetCleanFiles();
}
