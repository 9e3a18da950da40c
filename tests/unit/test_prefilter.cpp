// The prefilter of the response check: whether a pattern occurs in a
// filtered text, against a plain substring search.
#include <random>
#include <string>
#include <vector>

#include "match/kvr_prefilter.h"
#include "test_support.h"

using std::string;

namespace {

struct Pat {
  string bytes;
  unsigned group;
  bool utf8;
};

// Bytes a filtered text may hold.
bool filtered(unsigned char b) {
  return b >= 0x80 || (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') ||
         (b >= 0x01 && b <= 0x08) || b == 0x0B || b == 0x0C || (b >= 0x0E && b <= 0x1F) ||
         b == 0x7F;
}

// A pattern as the first look reads it: another byte stands in a filtered
// text only as the second byte of a GBK character, right after a byte
// 0x81..0xFE (a UTF-8 pattern may also begin with it); the first look drops
// it if it is blank or punctuation and lower-cases a capital. False when
// the pattern cannot occur.
bool firstLook(const Pat &p, string *form) {
  form->clear();
  for (size_t i = 0; i < p.bytes.size(); ++i) {
    const unsigned char b = p.bytes[i];
    if (filtered(b)) {
      *form += static_cast<char>(b);
      continue;
    }
    const unsigned char before = i ? static_cast<unsigned char>(p.bytes[i - 1]) : p.utf8 ? 0x81 : 0;
    if (before < 0x81 || before > 0xFE) return false;
    if (b >= 'A' && b <= 'Z') *form += static_cast<char>(b + 32);
  }
  return true;
}

// Whether the filter can serve these patterns: every first-look form that
// can occur has two bytes at least.
bool suits(const std::vector<Pat> &pats) {
  for (const Pat &p : pats) {
    string form;
    if (!p.bytes.empty() && firstLook(p, &form) && form.size() < 2) return false;
  }
  return true;
}

// A pattern that can occur is looked for in its first-look form and as it
// is. With starts, a GBK pattern counts only where bit i (a character
// begins at byte i) is set.
bool plain(const std::vector<Pat> &pats, const string &text, unsigned groups,
           const std::vector<uint64_t> *starts = nullptr) {
  for (const Pat &p : pats) {
    string form;
    if (!(p.group & groups) || p.bytes.empty() || !firstLook(p, &form)) continue;
    for (const string &f : {form, p.bytes})
      for (size_t at = text.find(f); at != string::npos; at = text.find(f, at + 1))
        if (!starts || p.utf8 || (((*starts)[at >> 6] >> (at & 63)) & 1)) return true;
  }
  return false;
}

KvrPrefilter build(const std::vector<Pat> &pats) {
  KvrPrefilter f;
  for (const Pat &p : pats)
    f.add(reinterpret_cast<const unsigned char *>(p.bytes.data()), p.bytes.size(), p.group, p.utf8);
  f.compile();
  return f;
}

void expectSame(const KvrPrefilter &f, const std::vector<Pat> &pats, const string &text,
                const string &what) {
  // Character boundaries: every other byte, and bits from the text's own
  // bytes.
  std::vector<uint64_t> alternate(text.size() / 64 + 1, 0x5555555555555555ull), mixed;
  for (size_t k = 0; k <= text.size() / 64; ++k) {
    uint64_t bits = 0;
    for (size_t j = 0; j < 64 && 64 * k + j < text.size(); ++j)
      bits |= static_cast<uint64_t>((static_cast<unsigned char>(text[64 * k + j]) * 7) % 3 != 0)
              << j;
    mixed.push_back(bits);
  }
  for (const KvrSimdLevel level : kvrTestSimdLevels()) {
    KvrSimdGuard guard(level);
    for (unsigned groups = 1; groups <= 3; ++groups) {
      const auto *t = reinterpret_cast<const unsigned char *>(text.data());
      ASSERT_EQ(plain(pats, text, groups), f.any(t, text.size(), groups))
          << what << " level " << level << " groups " << groups;
      for (const std::vector<uint64_t> *starts : {&alternate, &mixed}) {
        ASSERT_EQ(plain(pats, text, groups, starts), f.any(t, text.size(), groups, starts->data()))
            << what << " with boundaries, level " << level << " groups " << groups;
        // The same boundaries told by a function when asked.
        KvrPrefilter::Starts told;
        told.begins = [](void *bits, size_t i) {
          return ((static_cast<const uint64_t *>(bits)[i >> 6] >> (i & 63)) & 1) != 0;
        };
        told.context = const_cast<uint64_t *>(starts->data());
        ASSERT_EQ(plain(pats, text, groups, starts), f.find(t, text.size(), groups, told) != 0)
            << what << " with boundaries told, level " << level << " groups " << groups;
      }
    }
  }
}

}  // namespace

TEST(Prefilter, RandomPatternsAndTextsAgainstSubstringSearch) {
  std::mt19937 rng(11);
  // A small alphabet, so that prefixes and whole patterns do occur; with
  // bytes of UTF-8 and GBK characters and a few the filter never holds.
  const unsigned char alphabet[] = {'a', 'b', '1', 0x01, 0x7F, 0xE4, 0xB8, 0xAD, 0xD6, 0xD0};
  for (int round = 0; round < 300; ++round) {
    std::vector<Pat> pats;
    const int count = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < count; ++i) {
      Pat p;
      const size_t len = 2 + rng() % 9;
      for (size_t j = 0; j < len; ++j) p.bytes += static_cast<char>(alphabet[rng() % 10]);
      if (rng() % 10 == 0) p.bytes[rng() % len] = (rng() % 2) ? 'A' : ' ';  // never occurs
      p.group = 1 + rng() % 2;
      p.utf8 = rng() % 2;
      pats.push_back(p);
    }
    const KvrPrefilter f = build(pats);
    ASSERT_EQ(suits(pats), f.usable()) << round;
    if (!f.usable()) continue;
    for (int t = 0; t < 20; ++t) {
      string text;
      const size_t len = rng() % (t % 4 ? 80 : 400);
      for (size_t j = 0; j < len; ++j) text += static_cast<char>(alphabet[rng() % 10]);
      if (t % 3 == 0 && len) {  // plant a pattern anywhere, also at either end
        const string &k = pats[rng() % pats.size()].bytes;
        const size_t at = t % 2 ? rng() % len : (rng() % 2 ? 0 : len);
        text.insert(at, k);
      }
      expectSame(f, pats, text, "round " + std::to_string(round));
    }
  }
}

TEST(Prefilter, OccurrenceAtEveryPositionOfLongTexts) {
  // The vector loops take 32 or 64 positions at a time and leave a tail:
  // a pattern found at any position of any length of text.
  const std::vector<Pat> pats = {{"\xd6\xd0\xce\xc4", 2, false},
                                 {"\xd6\xd0\xce\xc4\xb0\xa1", 1, false},
                                 {"\xe4\xb8\xad\xe6\x96\x87", 1, true},
                                 {"q9", 1, false},
                                 {"x\xb0\xa1", 2, false},
                                 {"\xe4\xb8\xad", 2, true}};
  const KvrPrefilter f = build(pats);
  ASSERT_TRUE(f.usable());
  for (const Pat &p : pats) {
    for (size_t len = 0; len < 200; len += 7) {
      for (size_t at = 0; at <= len; ++at) {
        string text(len, 'z');
        text.insert(at, p.bytes);
        expectSame(f, pats, text, p.bytes + " at " + std::to_string(at));
        // Cut one byte short: found nowhere.
        expectSame(f, pats, text.substr(0, at + p.bytes.size() - 1), "cut");
      }
    }
  }
}

TEST(Prefilter, KeyInsideAPatternStillFindsItAtTheTextStart) {
  // The key of a UTF-8 pattern, and of a GBK one longer than the key, stands
  // after its first byte: an occurrence at position 0 puts the key at
  // position 1.
  const std::vector<std::vector<Pat>> sets = {{{"\xe4\xb8\xad\xe6\x96\x87", 1, true}},
                                              {{"\xd6\xd0\xce\xc4\xb0\xa1", 2, false}},
                                              {{"\xd6\xd0\xce", 1, false}}};
  for (const auto &pats : sets) {
    const KvrPrefilter f = build(pats);
    const string &p = pats[0].bytes;
    expectSame(f, pats, p, "whole text");
    expectSame(f, pats, p.substr(1), "without its first byte");
    expectSame(f, pats, "\xe5" + p.substr(1), "another first byte");
    // With boundaries: a GBK form one byte into a character is not taken.
    expectSame(f, pats, "\xb0" + p, "one byte in");
  }
}

TEST(Prefilter, OneBytePatternMakesItUnusable) {
  const KvrPrefilter f = build({{"ab", 1, false}, {"x", 2, false}});
  EXPECT_FALSE(f.usable());
  EXPECT_FALSE(build({{"ab", 1, false}, {string(256, 'q'), 1, false}}).usable());
  EXPECT_FALSE(f.any(reinterpret_cast<const unsigned char *>("ab"), 2, 3));
  // Empty and never-filtered patterns are simply left out.
  const KvrPrefilter g = build({{"", 1, false}, {"A", 1, false}, {"cd", 1, false}});
  EXPECT_TRUE(g.usable());
}

TEST(Prefilter, GbkSecondBytesAreReadAsTheFirstLookReadsThem) {
  // The first look filters byte by byte: 門 (e9 54) stands there as e9 74,
  // and a character whose second byte is punctuation (81 5c) without it.
  const std::vector<Pat> pats = {{"\xe9\x54", 1, false}, {"\x81\x5c\xd6\xd0", 2, false}};
  const KvrPrefilter f = build(pats);
  ASSERT_TRUE(f.usable());
  const auto any = [&](const string &t, unsigned groups) {
    return f.any(reinterpret_cast<const unsigned char *>(t.data()), t.size(), groups);
  };
  EXPECT_TRUE(any("xx\xe9\x74yy", 1));
  EXPECT_TRUE(any("xx\x81\xd6\xd0yy", 2));
  EXPECT_FALSE(any("xx\xe9\x75yy", 3));
  // A capital or punctuation that no lead byte opens never occurs.
  EXPECT_FALSE(build({{"aB", 1, false}, {"cd", 1, false}})
                   .any(reinterpret_cast<const unsigned char *>("ab"), 2, 1));
  // Read so, a pattern of one byte leaves the filter unused.
  EXPECT_FALSE(build({{"\xd6\x40", 1, false}, {"cd", 1, false}}).usable());
}

TEST(Prefilter, GroupsSelectTheTables) {
  const std::vector<Pat> pats = {{"abcd", 1, false}, {"wxyz", 2, false}};
  const KvrPrefilter f = build(pats);
  const auto *t = reinterpret_cast<const unsigned char *>("..abcd..");
  EXPECT_TRUE(f.any(t + 2, 4, 1));
  EXPECT_FALSE(f.any(t + 2, 4, 2));
  EXPECT_FALSE(f.any(t + 2, 4, 0));
  EXPECT_TRUE(f.holds(1) && f.holds(2));
  // A group whose patterns can never occur holds nothing.
  const KvrPrefilter g = build({{"abcd", 1, false}, {"WXYZ", 2, false}});
  EXPECT_TRUE(g.holds(1));
  EXPECT_FALSE(g.holds(2));
  EXPECT_FALSE(build({}).holds(3));
}

TEST(Prefilter, ManyKeysOfChineseText) {
  // Full tables of two- to five-character keys: keys share beginnings,
  // slots collide; every key is found where it is planted, and a text of
  // other characters passes.
  std::mt19937 rng(4);
  auto hanzi = [&] {
    return string{static_cast<char>(0xB0 + rng() % 72), static_cast<char>(0xA1 + rng() % 94)};
  };
  std::vector<Pat> pats;
  for (int i = 0; i < 6000; ++i) {
    string k;
    for (int j = 0, n = 2 + static_cast<int>(rng() % 4); j < n; ++j) k += hanzi();
    pats.push_back({k, 1u + (i & 1), false});
  }
  const KvrPrefilter f = build(pats);
  EXPECT_GT(f.keys(), 5000u);
  string text;
  for (int i = 0; i < 20000; ++i) text += hanzi();
  for (int i = 0; i < 50; ++i) {
    const Pat &p = pats[rng() % pats.size()];
    string t = text.substr(rng() % 1000, 3000);
    t.insert(rng() % t.size(), p.bytes);
    expectSame(f, pats, t, p.bytes);
  }
  expectSame(f, pats, text, "clean");
}
