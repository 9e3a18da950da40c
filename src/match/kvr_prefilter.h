// A quick and exact test of whether any keyword pattern occurs in a
// filtered text (the bytes of a response without blanks and punctuation,
// lower-cased). Most pages hold no keyword at all: for them one vectorised
// pass over the text settles the check, where the automata would take one
// table walk per table, each a chain of dependent loads that mostly miss
// the first-level cache.
//
// Each position is tested against a small Bloom filter of four bytes of
// each pattern, its key: three bits within one 32-bit word, and one word
// serves a position and the next, so that a pass costs one table load per
// two positions (the loads, not the arithmetic, bound its speed). A
// position that passes is tested against two small bitmaps of hashes (of
// the key, and of the key with the two bytes after it), and only then looked
// up in an exact table of the keys, where the patterns that hold them are
// compared. Patterns of two
// or three bytes are keyed by two bytes, in a bitmap of all 65536 pairs. A
// pattern of one byte would make every position a candidate: with one, the
// filter is not used.
//
// A key is the pattern's first bytes, but in a UTF-8 pattern the bytes
// after a character's first byte: a Chinese character's first byte takes
// one of a few values, so keys that begin with it would let through a
// large part of any Chinese UTF-8 page. In any other pattern longer than
// its key, the key begins one byte in: the first two characters of a
// longer word are often a common word of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class KvrPrefilter {
 public:
  // A pattern of the automata in `group` (a bit: 1 for the record
  // table's, 2 for the block table's); `utf8` for a pattern in UTF-8.
  void add(const unsigned char *bytes, size_t n, unsigned group, bool utf8);
  // Builds the tables. False when the patterns do not suit the filter (one
  // of them is a single byte, or longer than 255); any() must not be used
  // then.
  bool compile();
  bool usable() const { return usable_; }
  // Whether a pattern of a group in `groups` can occur at all.
  bool holds(unsigned groups) const { return (groups & groups_) != 0; }
  // Whether a pattern of a group in `groups` occurs in the n bytes at text:
  // exact, without regard to character boundaries; with `starts` (bit i set
  // when byte i begins a character, as the search is given them), a GBK
  // form counts only where a character begins, as in the search.
  bool any(const unsigned char *text, size_t n, unsigned groups,
           const uint64_t *starts = nullptr) const {
    return find(text, n, groups, starts) != 0;
  }
  // Where characters begin, for the GBK forms: bit i of `bits` set when
  // byte i begins one; or, without them, what `begins` answers for byte i.
  // It is asked only of an occurrence found, so that a costly answer (the
  // text read again with its boundaries) costs little.
  struct Starts {
    const uint64_t *bits = nullptr;
    bool (*begins)(void *context, size_t i) = nullptr;
    void *context = nullptr;
    bool at(size_t i) const { return bits ? (bits[i >> 6] >> (i & 63)) & 1 : begins(context, i); }
  };
  // The same, telling what the first occurrence found was: 0 none,
  // kGbkForm a GBK form (which the search takes only where a character
  // begins), kFreeForm any other.
  static constexpr int kGbkForm = 1, kFreeForm = 2;
  int find(const unsigned char *text, size_t n, unsigned groups,
           const uint64_t *starts = nullptr) const;
  int find(const unsigned char *text, size_t n, unsigned groups, const Starts &starts) const;
  // Bytes of the tables; number of distinct four-byte beginnings.
  size_t bytes() const;
  size_t keys() const { return longKeys_; }

  // The kernels (one per instruction set) share these.
  struct Slot {
    uint32_t key;
    uint32_t begin;  // entries [begin, end) begin with key; end 0 = empty slot
    uint32_t end;
  };
  struct Entry {
    uint32_t offset;  // into pool_
    uint8_t len;
    uint8_t group;
    uint8_t at;   // where in the pattern its key stands
    uint8_t gbk;  // a GBK form: bound to character boundaries
  };
  static constexpr uint32_t kIndexHash = 0x9E3779B1u;    // word of the Bloom filter
  static constexpr uint32_t kBitsHash = 0x85EBCA77u;     // the three bits within it
  static constexpr uint32_t kOddBitsHash = 0x27D4EB2Fu;  // the same at odd positions
  static constexpr uint32_t kSlotHash = 0xC2B2AE3Du;     // slot of the exact tables

  const uint32_t *bloom() const { return bloom_.data(); }
  int bloomShift() const { return bloomShift_; }
  const uint32_t *pairs() const { return hasShort_ ? pairs_.data() : nullptr; }
  // The exact tests of one position that passed a filter.
  int verifyLong(const unsigned char *text, size_t n, size_t p, unsigned groups,
                 const Starts *starts = nullptr) const;
  int verifyShort(const unsigned char *text, size_t n, size_t p, unsigned groups,
                  const Starts *starts = nullptr) const;
  // The positions that passed a vector round: bit j of evenHits stands for
  // base + 4j, of oddHits for base + 4j + 1.
  int verifyPairs(const unsigned char *text, size_t n, size_t base, unsigned evenHits,
                  unsigned oddHits, unsigned groups, const Starts *starts = nullptr) const;
  // Positions from `from` on, one at a time.
  int scanScalar(const unsigned char *text, size_t n, size_t from, unsigned groups,
                 const Starts *starts = nullptr) const;

 private:
  struct Pattern {
    std::string bytes;
    unsigned group;
    bool utf8;
    size_t at;  // where its key stands
  };
  int lookup(const std::vector<Slot> &slots, const std::vector<Entry> &entries, int shift,
             uint32_t key, const unsigned char *text, size_t n, size_t q, unsigned groups,
             const Starts *starts) const;
  static void index(std::vector<Pattern> &pats, size_t keyLen, std::vector<Slot> *slots, int *shift,
                    std::vector<Entry> *entries, std::string *pool);

  std::vector<Pattern> patterns_;
  bool usable_ = false;
  bool hasShort_ = false;
  unsigned groups_ = 0;  // groups with a pattern that can occur
  std::vector<uint32_t> bloom_;
  int bloomShift_ = 32;
  std::vector<uint32_t> pairs_;  // 65536 bits: beginnings of the short patterns
  // A position whose key passed the filter is looked up only when these say
  // a pattern may stand there: a bit per hash of the key's four bytes for
  // patterns that end with their key, of its four and the one after for
  // those that end one byte later (a two-character UTF-8 word), and of its
  // four and the two after for the others. A key hit is mostly a longer
  // pattern's beginning (a common word that begins a rarer one); these few
  // bits stay in the cache, where the exact tables do not.
  bool quick(const unsigned char *text, size_t n, size_t q) const;
  std::vector<uint64_t> near_, mid_, far_;
  int nearShift_ = 64, midShift_ = 64, farShift_ = 64;
  std::vector<Slot> longSlots_, shortSlots_;
  int longShift_ = 32, shortShift_ = 32;
  std::vector<Entry> longEntries_, shortEntries_;
  std::string pool_;
  size_t longKeys_ = 0;
};

// The filter over both GET automata, built with them; null before.
const KvrPrefilter *kvrGetKeyPrefilter();
// The same over the block automaton's patterns alone.
const KvrPrefilter *kvrBlockKeyPrefilter();
