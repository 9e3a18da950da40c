// The occurrence matcher against a plain search of every pattern, over
// pattern sets shallow and deep, branching near the root and far from it.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "match/kvr_occur.h"
#include "screen/kvr_get_scan.h"
#include "util/kvr_text.h"

using std::string;
using std::vector;

namespace {

struct Pattern {
  string bytes;
  uint32_t id;
  bool gbk;
};

bool startsAt(const vector<uint64_t> &starts, size_t at) {
  return (starts[at >> 6] >> (at & 63)) & 1;
}

// The ids that occur in text; a GBK pattern only where starts has its
// first byte. With `folded`, the text is read without the bytes the filter
// drops and with capitals as lower case.
std::set<uint32_t> plainIds(const vector<Pattern> &patterns, const string &text,
                            const vector<uint64_t> &starts, bool folded) {
  string t;
  vector<size_t> at;  // position in text of each byte of t
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (folded) {
      if (kvrFilterDrops(c)) continue;
      if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
    }
    t += static_cast<char>(c);
    at.push_back(i);
  }
  std::set<uint32_t> ids;
  for (const Pattern &p : patterns)
    for (size_t k = t.find(p.bytes); k != string::npos; k = t.find(p.bytes, k + 1))
      if (!p.gbk || startsAt(starts, at[k])) {
        ids.insert(p.id);
        break;
      }
  return ids;
}

std::set<uint32_t> matcherIds(const KvrOccurMatcher &m, const string &text,
                              const vector<uint64_t> &starts, bool folded, bool *served) {
  vector<uint64_t> bits(m.numIds() / 64 + 1);
  vector<uint32_t> ids(m.numIds() + 1);
  KvrOccurSet set;
  set.bits = bits.data();
  set.ids = ids.data();
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
  *served = true;
  if (folded)
    *served = m.scanFolded(p, text.size(), starts.data(), &set);
  else
    m.scan(p, text.size(), starts.data(), &set);
  std::set<uint32_t> out(set.ids, set.ids + set.count);
  EXPECT_EQ(out.size(), set.count) << "an id twice";
  for (uint32_t id : out) EXPECT_TRUE(set.has(id));
  return out;
}

}  // namespace

TEST(OccurMatcherTest, FindsWhatAPlainSearchFinds) {
  struct Shape {
    const char *name;
    string alphabet;
    size_t patterns, minLen, maxLen;
  };
  const string gbkish =
      "\xb0\xa1\xd6\xd0\xce\xc4\xe9\x54"
      "abAB";
  const vector<Shape> shapes = {
      {"short", "abcAB ,\xd6\xd0", 40, 1, 3},
      {"deep chains", "ab", 30, 5, 40},
      {"branching deep", "abc\xd6", 300, 4, 12},
      {"gbk-like", gbkish, 500, 2, 16},
      {"wide", "", 2000, 2, 9},  // every byte
      // More states three bytes deep than 16-bit rows can name.
      {"wide three bytes down", "", 100000, 3, 5},
  };
  std::mt19937 rng(18);
  for (const Shape &shape : shapes) {
    string alphabet = shape.alphabet;
    if (alphabet.empty())
      for (int b = 0; b < (shape.patterns > 10000 ? 64 : 256); ++b)
        alphabet += static_cast<char>(b + (shape.patterns > 10000 ? 0x80 : 0));
    const int rounds = shape.patterns > 10000 ? 1 : 6;
    for (int round = 0; round < rounds; ++round) {
      vector<Pattern> patterns;
      KvrOccurMatcher m;
      for (size_t i = 0; i < shape.patterns; ++i) {
        const size_t len = shape.minLen + rng() % (shape.maxLen - shape.minLen + 1);
        string p;
        for (size_t k = 0; k < len; ++k) p += alphabet[rng() % alphabet.size()];
        // Ids shared now and then, as words shared by entries are.
        const uint32_t id = static_cast<uint32_t>(rng() % 4 ? i : i / 2);
        const bool gbk = rng() % 2;
        patterns.push_back({p, id, gbk});
        m.add(p, id, gbk);
      }
      m.compile();
      for (int t = 0; t < (shape.patterns > 10000 ? 6 : 12); ++t) {
        string text;
        const size_t len = t < 4 ? rng() % 64 : rng() % 4000;
        while (text.size() < len) {
          if (rng() % 8 == 0)
            text += patterns[rng() % patterns.size()].bytes;
          else
            text += alphabet[rng() % alphabet.size()];
        }
        vector<uint64_t> starts(text.size() / 64 + 2);
        kvrGbkStarts(reinterpret_cast<const unsigned char *>(text.data()), text.size(),
                     static_cast<int>(rng() % 2), starts.data());
        const string what =
            string(shape.name) + " round " + std::to_string(round) + " text " + std::to_string(t);
        bool served = true;
        ASSERT_EQ(plainIds(patterns, text, starts, false),
                  matcherIds(m, text, starts, false, &served))
            << what;
        const std::set<uint32_t> folded = matcherIds(m, text, starts, true, &served);
        if (served) {
          ASSERT_EQ(plainIds(patterns, text, starts, true), folded) << what << " folded";
        }
      }
    }
  }
}
