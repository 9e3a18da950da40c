#include "match/kvr_occur.h"

#include <algorithm>

#include "match/kvr_trie.h"
#include "util/kvr_text.h"

namespace {
constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kDenseDepth = 2;
}  // namespace

void KvrOccurMatcher::add(const std::string &bytes, uint32_t id, bool gbk) {
  if (bytes.empty()) return;
  patterns_.push_back({bytes, id, gbk});
  ++count_;
  maxLen_ = std::max(maxLen_, bytes.size());
  numIds_ = std::max(numIds_, id + 1);
}

void KvrOccurMatcher::compile() {
  bool used[256] = {};
  for (const Pattern &p : patterns_)
    for (unsigned char c : p.bytes) used[c] = true;
  stride_ = 1;
  for (int b = 0; b < 256; ++b) cls_[b] = used[b] ? static_cast<uint8_t>(stride_++) : 0;
  canFold_ = stride_ < 256;
  for (int b = 'A'; b <= 'Z'; ++b) canFold_ = canFold_ && !used[b];
  for (int b = 0; b < 256; ++b) {
    dropped_[b] = kvrFilterDrops(static_cast<unsigned char>(b));
    foldByte_[b] = static_cast<uint8_t>(b >= 'A' && b <= 'Z' ? b + 32 : b);
  }
  if (canFold_) {
    selfClass_ = static_cast<uint8_t>(stride_++);
    for (int b = 0; b < 256; ++b) foldCls_[b] = dropped_[b] ? selfClass_ : cls_[foldByte_[b]];
  }

  KvrTrie trie;
  {
    std::vector<std::pair<const unsigned char *, int>> bytes;
    bytes.reserve(patterns_.size());
    for (const Pattern &p : patterns_)
      bytes.emplace_back(reinterpret_cast<const unsigned char *>(p.bytes.data()),
                         static_cast<int>(p.bytes.size()));
    trie.build(bytes);
  }
  const uint32_t n = trie.numNodes;
  const std::vector<uint32_t> &bfs = trie.bfs;
  auto kidsOf = [&](uint32_t node, auto fn) {  // children by ascending byte
    for (uint32_t e = trie.childBegin[node]; e < trie.childBegin[node + 1]; ++e)
      fn(trie.childByte[e], trie.childTo[e]);
  };

  // Outputs by node: its own patterns, and the nearest proper suffix node
  // that has some; breadth-first, so that a failure node is done first.
  std::vector<uint32_t> ownCount(n, 0);
  for (size_t k = 0; k < patterns_.size(); ++k) ownCount[trie.endOf[k]]++;
  std::vector<uint32_t> link(n, kNone);
  std::vector<uint8_t> hasOut(n, 0);
  for (uint32_t i = 1; i < n; ++i) {
    const uint32_t node = bfs[i], f = trie.fail[node];
    link[node] = ownCount[f] ? f : link[f];
    hasOut[node] = ownCount[node] || link[node] != kNone;
  }

  // Final numbers. The shallow states first, breadth-first: those without
  // outputs, then those with (one comparison tells the walk that a state
  // needs more than its row); then the states one byte below them; then
  // the deeper ones, depth first below each of those.
  std::vector<uint32_t> num(n, kNone);
  numDense_ = 0;
  while (numDense_ < n && trie.depth[bfs[numDense_]] <= kDenseDepth) ++numDense_;
  uint32_t next = 0;
  for (uint32_t i = 0; i < numDense_; ++i)
    if (!hasOut[bfs[i]]) num[bfs[i]] = next++;
  quiet_ = next;
  for (uint32_t i = 0; i < numDense_; ++i)
    if (hasOut[bfs[i]]) num[bfs[i]] = next++;
  uint32_t listedEnd = numDense_;
  while (listedEnd < n && trie.depth[bfs[listedEnd]] <= kDenseDepth + 1) ++listedEnd;
  for (uint32_t i = numDense_; i < listedEnd; ++i) num[bfs[i]] = next++;
  numListed_ = listedEnd;
  {
    std::vector<uint32_t> stack;
    for (uint32_t i = numDense_; i < listedEnd; ++i) {
      // Pushed in reverse, so that the first child is numbered first.
      const uint32_t node = bfs[i];
      for (uint32_t e = trie.childBegin[node + 1]; e-- > trie.childBegin[node];)
        stack.push_back(trie.childTo[e]);
      while (!stack.empty()) {
        const uint32_t x = stack.back();
        stack.pop_back();
        num[x] = next++;
        for (uint32_t e = trie.childBegin[x + 1]; e-- > trie.childBegin[x];)
          stack.push_back(trie.childTo[e]);
      }
    }
  }
  std::vector<uint32_t> nodeOf(n);
  for (uint32_t node = 0; node < n; ++node) nodeOf[num[node]] = node;

  fail_.assign(numListed_, 0);
  for (uint32_t j = 0; j < numListed_; ++j) fail_[j] = num[trie.fail[nodeOf[j]]];
  deepFail_.assign(n - numListed_, 0);
  farFail_.clear();
  {
    std::vector<uint8_t> far(n - numListed_, 0);
    for (uint32_t j = numListed_; j < n; ++j) {
      const uint32_t f = num[trie.fail[nodeOf[j]]];
      if (f < kFarFail) {
        deepFail_[j - numListed_] = static_cast<uint16_t>(f);
      } else {
        deepFail_[j - numListed_] = kFarFail;
        far[j - numListed_] = 1;
        farFail_.push_back(f);
      }
    }
    farStates_.build(far);
  }
  farFail_.shrink_to_fit();

  // Full rows for the shallow states, filled breadth-first: a failure state
  // is shallower and so done first.
  auto fill = [&](auto &dense) {
    using T = typename std::decay_t<decltype(dense)>::value_type;
    dense.resize(static_cast<size_t>(numDense_) * stride_);
    for (uint32_t i = 0; i < numDense_; ++i) {
      const uint32_t node = bfs[i];
      T *row = dense.data() + static_cast<size_t>(num[node]) * stride_;
      if (i == 0)
        std::fill(row, row + stride_, static_cast<T>(num[node]));
      else
        std::copy_n(dense.data() + static_cast<size_t>(num[trie.fail[node]]) * stride_, stride_,
                    row);
      kidsOf(node, [&](uint8_t b, uint32_t to) { row[cls_[b]] = static_cast<T>(num[to]); });
      if (canFold_) row[selfClass_] = static_cast<T>(num[node]);
    }
  };
  dense16_.clear();
  dense32_.clear();
  if (numListed_ <= 65536)
    fill(dense16_);
  else
    fill(dense32_);

  // Children of the listed states, then the other children of the deeper
  // states that have more than one.
  listBegin_.clear();
  listByte_.clear();
  listTo_.clear();
  for (uint32_t j = numDense_; j < numListed_; ++j) {
    listBegin_.push_back(static_cast<uint32_t>(listByte_.size()));
    kidsOf(nodeOf[j], [&](uint8_t b, uint32_t to) {
      listByte_.push_back(b);
      listTo_.push_back(num[to]);
    });
  }
  firstKid_.assign(n - numListed_, 0);
  std::vector<uint8_t> more(n - numListed_, 0);
  for (uint32_t j = numListed_; j < n; ++j) {
    uint16_t kid = 0;
    kidsOf(nodeOf[j], [&](uint8_t b, uint32_t to) {
      if (!kid) {
        kid = static_cast<uint16_t>(0x100 | b);  // numbered right after it
        (void)to;
        return;
      }
      if (!(kid & 0x200)) listBegin_.push_back(static_cast<uint32_t>(listByte_.size()));
      kid |= 0x200;
      listByte_.push_back(b);
      listTo_.push_back(num[to]);
    });
    firstKid_[j - numListed_] = kid;
    more[j - numListed_] = (kid & 0x200) != 0;
  }
  listBegin_.push_back(static_cast<uint32_t>(listByte_.size()));
  more_.build(more);

  // Outputs by final number, for the states that have any.
  // A node's own patterns, in the order added: own[ownBegin[node] ..).
  std::vector<uint32_t> ownBegin(n + 1, 0);
  for (uint32_t node = 0; node < n; ++node) ownBegin[node + 1] = ownBegin[node] + ownCount[node];
  std::vector<Output> own(patterns_.size());
  for (size_t k = 0; k < patterns_.size(); ++k)
    own[ownBegin[trie.endOf[k] + 1] - ownCount[trie.endOf[k]]--] =
        Output{patterns_[k].id, static_cast<uint16_t>(patterns_[k].bytes.size()),
               static_cast<uint16_t>(patterns_[k].gbk)};
  std::vector<uint8_t> outFlags(n, 0);
  outBegin_.clear();
  outLink_.clear();
  outs_.clear();
  for (uint32_t j = 0; j < n; ++j) {
    const uint32_t node = nodeOf[j];
    if (!hasOut[node]) continue;
    outFlags[j] = 1;
    outBegin_.push_back(static_cast<uint32_t>(outs_.size()));
    outs_.insert(outs_.end(), own.begin() + ownBegin[node], own.begin() + ownBegin[node + 1]);
    outLink_.push_back(link[node] == kNone ? kNone : num[link[node]]);
  }
  outBegin_.push_back(static_cast<uint32_t>(outs_.size()));
  outStates_.build(outFlags);
  listBegin_.shrink_to_fit();
  listByte_.shrink_to_fit();
  listTo_.shrink_to_fit();
  outBegin_.shrink_to_fit();
  outLink_.shrink_to_fit();
  outs_.shrink_to_fit();
  patterns_.clear();
  patterns_.shrink_to_fit();
}

void KvrOccurMatcher::RankedBits::build(const std::vector<uint8_t> &flags) {
  const size_t words = flags.size() / 64 + 1;
  bits.assign(words, 0);
  before.assign(words, 0);
  for (size_t i = 0; i < flags.size(); ++i)
    if (flags[i]) bits[i >> 6] |= uint64_t{1} << (i & 63);
  for (size_t w = 1; w < words; ++w)
    before[w] = before[w - 1] + static_cast<uint32_t>(__builtin_popcountll(bits[w - 1]));
}

template <bool kFold>
void KvrOccurMatcher::mark(uint32_t s, const unsigned char *text, size_t end,
                           const uint64_t *starts, KvrOccurSet *set) const {
  for (uint32_t st = s; st != kNone;) {
    const uint32_t r = outStates_.rank(st);
    st = outLink_[r];
    for (uint32_t o = outBegin_[r]; o < outBegin_[r + 1]; ++o) {
      const Output &out = outs_[o];
      if (set->has(out.id)) continue;
      if (out.gbk && starts) {
        size_t start = end + 1 - out.len;
        if (kFold) {  // out.len kept bytes back
          size_t kept = 0, i = end + 1;
          while (i > 0 && kept < out.len)
            if (!dropped_[text[--i]]) ++kept;
          start = i;
        }
        if (!((starts[start >> 6] >> (start & 63)) & 1)) continue;
      }
      set->bits[out.id >> 6] |= uint64_t{1} << (out.id & 63);
      set->ids[set->count++] = out.id;
    }
  }
}

inline uint32_t KvrOccurMatcher::listed(uint32_t from, uint32_t to, unsigned char c) const {
  for (const uint8_t *b = listByte_.data() + from, *last = listByte_.data() + to; b < last; ++b)
    if (*b == c) return listTo_[static_cast<size_t>(b - listByte_.data())];
  return kNone;
}

template <bool kFold, class T>
inline uint32_t KvrOccurMatcher::step(const T *dense, uint32_t s, unsigned char c) const {
  for (;;) {
    if (__builtin_expect(s < numDense_, 1))
      return dense[static_cast<size_t>(s) * stride_ + (kFold ? foldCls_[c] : cls_[c])];
    if (kFold) {
      if (dropped_[c]) return s;
      c = foldByte_[c];
    }
    if (s < numListed_) {
      const uint32_t k = s - numDense_;
      const uint32_t to = listed(listBegin_[k], listBegin_[k + 1], c);
      if (to != kNone) return to;
    } else {
      const uint32_t kid = firstKid_[s - numListed_];
      if ((kid & 0x1FF) == (0x100u | c)) return s + 1;
      if (kid & 0x200) {
        const uint32_t k = numListed_ - numDense_ + more_.rank(s - numListed_);
        const uint32_t to = listed(listBegin_[k], listBegin_[k + 1], c);
        if (to != kNone) return to;
      }
    }
    s = failOf(s);
  }
}

template <bool kFold, class T>
void KvrOccurMatcher::walk(const T *dense, const unsigned char *text, size_t from, size_t to,
                           uint32_t s, const uint64_t *starts, KvrOccurSet *set) const {
  for (size_t i = from; i < to; ++i) {
    s = step<kFold>(dense, s, text[i]);
    if (__builtin_expect(s >= quiet_, 0) && hasOut(s)) mark<kFold>(s, text, i, starts, set);
  }
}

// The text is cut into segments walked side by side, so that their lookups
// overlap. A segment after the first starts a longest pattern early (counted
// in kept bytes when folded) from the start state, which brings it to the
// state one walk would have there; what it finds on the way is found in the
// text all the same, and the set of found ids does not depend on the order.
template <bool kFold, class T>
void KvrOccurMatcher::scanWith(const T *dense, const unsigned char *text, size_t n,
                               const uint64_t *starts, KvrOccurSet *set) const {
  constexpr int kStreams = 8;
  const size_t warm = maxLen_ > 0 ? maxLen_ - 1 : 0;
  const size_t seg = n / kStreams;
  if (seg < 4 * warm + 64) return walk<kFold>(dense, text, 0, n, 0, starts, set);
  const unsigned char *p[kStreams];
  uint32_t s[kStreams];
  size_t length[kStreams];
  for (int k = 0; k < kStreams; ++k) {
    size_t from = k * seg;
    if (k > 0) {
      if (!kFold) {
        from -= warm;
      } else {
        size_t kept = 0;
        while (from > 0 && kept < warm)
          if (!dropped_[text[--from]]) ++kept;
      }
    }
    p[k] = text + from;
    s[k] = 0;
    length[k] = (k == kStreams - 1 ? n : (k + 1) * seg) - from;
  }
  size_t common = seg;
  for (int k = 0; k < kStreams; ++k) common = std::min(common, length[k]);
  for (size_t j = 0; j < common; ++j) {
    uint32_t any = 0;
#pragma GCC unroll 8
    for (int k = 0; k < kStreams; ++k) {
      s[k] = step<kFold>(dense, s[k], p[k][j]);
      any |= s[k] >= quiet_;
    }
    if (__builtin_expect(any, 0))
      for (int k = 0; k < kStreams; ++k)
        if (hasOut(s[k]))
          mark<kFold>(s[k], text, static_cast<size_t>(p[k] - text) + j, starts, set);
  }
  for (int k = 0; k < kStreams; ++k) {
    const size_t at = static_cast<size_t>(p[k] - text);
    walk<kFold>(dense, text, at + common, at + length[k], s[k], starts, set);
  }
}

template <bool kFold>
void KvrOccurMatcher::scanAny(const unsigned char *text, size_t n, const uint64_t *starts,
                              KvrOccurSet *set) const {
  if (count_ == 0) return;
  if (!dense16_.empty())
    scanWith<kFold>(dense16_.data(), text, n, starts, set);
  else if (!dense32_.empty())
    scanWith<kFold>(dense32_.data(), text, n, starts, set);
}

void KvrOccurMatcher::scan(const unsigned char *text, size_t n, const uint64_t *starts,
                           KvrOccurSet *set) const {
  scanAny<false>(text, n, starts, set);
}

bool KvrOccurMatcher::scanFolded(const unsigned char *text, size_t n, const uint64_t *starts,
                                 KvrOccurSet *set) const {
  if (count_ > 0 && !canFold_) return false;
  scanAny<true>(text, n, starts, set);
  return true;
}

size_t KvrOccurMatcher::bytes() const {
  return dense16_.capacity() * 2 + dense32_.capacity() * 4 + listBegin_.capacity() * 4 +
         listByte_.capacity() + listTo_.capacity() * 4 + firstKid_.capacity() * 2 + more_.bytes() +
         fail_.capacity() * 4 + deepFail_.capacity() * 2 + farStates_.bytes() +
         farFail_.capacity() * 4 + outStates_.bytes() + outBegin_.capacity() * 4 +
         outs_.capacity() * sizeof(Output) + outLink_.capacity() * 4;
}
