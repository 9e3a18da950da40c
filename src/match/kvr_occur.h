// A multi-pattern matcher that tells which patterns occur in a text, for the
// POST keyword sweep. It needs no order of matches, so it is laid out for
// size: full rows of next states only for the shallow states, where ordinary
// text keeps the walk; child lists with failure links one level below them;
// and deeper down, where keywords seldom share more than their beginnings,
// states numbered depth first, so that a state's first child is the state
// after it and only the other children are listed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "util/kvr_raw_vector.h"

// The distinct pattern ids found in one text, in order of first occurrence.
struct KvrOccurSet {
  uint64_t *bits = nullptr;  // one bit per id
  uint32_t *ids = nullptr;
  uint32_t count = 0;
  bool has(uint32_t id) const { return (bits[id >> 6] >> (id & 63)) & 1; }
};

class KvrOccurMatcher {
 public:
  // A pattern with its id; a GBK pattern counts only where it starts on a
  // character boundary.
  void add(const std::string &bytes, uint32_t id, bool gbk);
  void add(const char *bytes, uint32_t id, bool gbk) { add(std::string(bytes), id, gbk); }
  void compile();
  // Marks every id that occurs in the text. `starts` holds the character
  // boundaries (bit i for position i); set has room for numIds() ids.
  void scan(const unsigned char *text, size_t n, const uint64_t *starts, KvrOccurSet *set) const;
  // The same over a text as if it were its filtered form: NUL, TAB, LF, CR,
  // space and ASCII punctuation keep the state, upper case counts as lower
  // case (the text must hold no "&nbsp;", which the filter drops whole).
  // False, and nothing scanned, when a pattern holds an upper-case letter.
  bool scanFolded(const unsigned char *text, size_t n, const uint64_t *starts,
                  KvrOccurSet *set) const;
  // Whether a pattern holds the byte (once compiled).
  bool holdsByte(unsigned char b) const { return cls_[b] != 0; }
  uint32_t numIds() const { return numIds_; }
  bool empty() const { return count_ == 0; }
  size_t bytes() const;

 private:
  struct Pattern {
    std::string bytes;
    uint32_t id;
    bool gbk;
  };
  struct Output {
    uint32_t id;
    uint16_t len;
    uint16_t gbk;
  };
  // Bit i for state i, and the number of bits set before each word: the
  // rank of a set bit numbers the states that have one.
  struct RankedBits {
    std::vector<uint64_t> bits;
    std::vector<uint32_t> before;
    void build(const std::vector<uint8_t> &flags);
    bool has(uint32_t i) const { return (bits[i >> 6] >> (i & 63)) & 1; }
    uint32_t rank(uint32_t i) const {
      return before[i >> 6] + static_cast<uint32_t>(__builtin_popcountll(
                                  bits[i >> 6] & ((uint64_t{1} << (i & 63)) - 1)));
    }
    size_t bytes() const { return bits.capacity() * 8 + before.capacity() * 4; }
  };
  template <bool kFold>
  void mark(uint32_t s, const unsigned char *text, size_t end, const uint64_t *starts,
            KvrOccurSet *set) const;
  uint32_t listed(uint32_t from, uint32_t to, unsigned char c) const;
  template <bool kFold, class T>
  uint32_t step(const T *dense, uint32_t s, unsigned char c) const;
  template <bool kFold, class T>
  void walk(const T *dense, const unsigned char *text, size_t from, size_t to, uint32_t s,
            const uint64_t *starts, KvrOccurSet *set) const;
  template <bool kFold, class T>
  void scanWith(const T *dense, const unsigned char *text, size_t n, const uint64_t *starts,
                KvrOccurSet *set) const;
  template <bool kFold>
  void scanAny(const unsigned char *text, size_t n, const uint64_t *starts, KvrOccurSet *set) const;
  bool hasOut(uint32_t s) const { return outStates_.has(s); }

  std::vector<Pattern> patterns_;  // until compiled
  size_t count_ = 0;
  size_t maxLen_ = 0;
  uint32_t numIds_ = 0;
  uint8_t cls_[256] = {};
  uint32_t stride_ = 1;
  bool canFold_ = false;
  uint8_t foldCls_[256] = {};   // the classes of a folded scan
  uint8_t foldByte_[256] = {};  // upper case as lower case
  bool dropped_[256] = {};      // bytes the filter drops
  uint8_t selfClass_ = 0;       // their column: every state leads to itself
  uint32_t numDense_ = 0;       // states 0 .. numDense_-1 have full rows
  uint32_t quiet_ = 0;          // states below it have full rows and no outputs
  uint32_t numListed_ = 0;      // states numDense_ .. numListed_-1 list their children
  // numDense_ rows of stride_ next states; 16 bits wide when every state
  // they lead to fits (they lead one byte deeper at most).
  KvrRawVector<uint16_t> dense16_;  // every cell is written when compiled
  KvrRawVector<uint32_t> dense32_;
  // Children as (byte, state): of the listed states by state, then the
  // other children of the deeper states that have more than one.
  std::vector<uint32_t> listBegin_;  // listed states, then one per deeper state with more
  std::vector<uint8_t> listByte_;
  std::vector<uint32_t> listTo_;
  // A deeper state's first child: its byte, and whether it has one (0x100)
  // and more (0x200).
  std::vector<uint16_t> firstKid_;
  RankedBits more_;  // deeper states (from numListed_) with more than one child
  // Failure states: of the shallow and listed states as they are; of the
  // deeper ones in 16 bits, where nearly all fit (a suffix seldom runs
  // deep), kFarFail sending to the few that do not.
  uint32_t failOf(uint32_t s) const {
    if (s < numListed_) return fail_[s];
    const uint16_t f = deepFail_[s - numListed_];
    return f != kFarFail ? f : farFail_[farStates_.rank(s - numListed_)];
  }
  static constexpr uint16_t kFarFail = 0xFFFF;
  std::vector<uint32_t> fail_;
  std::vector<uint16_t> deepFail_;
  RankedBits farStates_;
  std::vector<uint32_t> farFail_;
  // The states that end a pattern or have a suffix that does: their own
  // outputs, and the nearest proper suffix state with outputs (or kNone).
  RankedBits outStates_;
  std::vector<uint32_t> outBegin_;  // by rank in outStates_
  std::vector<Output> outs_;
  std::vector<uint32_t> outLink_;  // by rank in outStates_
};
