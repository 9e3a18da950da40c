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
  // Everything below is by breadth-first number.
  const std::vector<uint32_t> &bfs = trie.bfs;
  std::vector<uint32_t> num(n);
  for (uint32_t i = 0; i < n; ++i) num[bfs[i]] = i;
  numDense_ = 0;
  while (numDense_ < n && trie.depth[bfs[numDense_]] <= kDenseDepth) ++numDense_;
  fail_.assign(n, 0);
  for (uint32_t i = 0; i < n; ++i) fail_[i] = num[trie.fail[bfs[i]]];
  auto kidsOf = [&](uint32_t i, auto fn) {  // children of breadth-first node i
    const uint32_t node = bfs[i];
    for (uint32_t e = trie.childBegin[node]; e < trie.childBegin[node + 1]; ++e)
      fn(trie.childByte[e], num[trie.childTo[e]]);
  };
  std::vector<std::pair<uint32_t, Output>> ends;
  ends.reserve(patterns_.size());
  for (size_t k = 0; k < patterns_.size(); ++k)
    ends.emplace_back(num[trie.endOf[k]],
                      Output{patterns_[k].id, static_cast<uint16_t>(patterns_[k].bytes.size()),
                             static_cast<uint16_t>(patterns_[k].gbk)});
  std::stable_sort(ends.begin(), ends.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });

  // Outputs, by breadth-first number: a state's own patterns, and the
  // nearest proper suffix state that has some.
  std::vector<uint32_t> ownBegin(n + 1, 0);
  std::vector<Output> own;
  own.reserve(ends.size());
  for (size_t k = 0, s = 0; s < n; ++s) {
    ownBegin[s] = static_cast<uint32_t>(own.size());
    for (; k < ends.size() && ends[k].first == s; ++k) own.push_back(ends[k].second);
  }
  ownBegin[n] = static_cast<uint32_t>(own.size());
  std::vector<uint32_t> link(n, kNone);
  std::vector<uint8_t> hasOut(n, 0);
  for (uint32_t s = 1; s < n; ++s) {  // breadth-first: the failure state is done first
    const uint32_t f = fail_[s];
    link[s] = ownBegin[f + 1] > ownBegin[f] ? f : link[f];
    hasOut[s] = ownBegin[s + 1] > ownBegin[s] || link[s] != kNone;
  }

  // Final numbers: the shallow states without outputs first, then the
  // shallow ones with outputs, then the deeper ones; so that one comparison
  // tells the walk that a state needs more than its row.
  std::vector<uint32_t> perm(n), inv(n);
  uint32_t next = 0;
  for (uint32_t s = 0; s < numDense_; ++s)
    if (!hasOut[s]) perm[s] = next++;
  quiet_ = next;
  for (uint32_t s = 0; s < numDense_; ++s)
    if (hasOut[s]) perm[s] = next++;
  for (uint32_t s = numDense_; s < n; ++s) perm[s] = s;
  for (uint32_t s = 0; s < n; ++s) inv[perm[s]] = s;

  // Full rows for the shallow states, filled breadth-first: a failure state
  // is shallower and so done first.
  auto fill = [&](auto &dense) {
    using T = typename std::decay_t<decltype(dense)>::value_type;
    dense.resize(static_cast<size_t>(numDense_) * stride_);
    for (uint32_t s = 0; s < numDense_; ++s) {
      T *row = dense.data() + static_cast<size_t>(perm[s]) * stride_;
      if (s == 0)
        std::fill(row, row + stride_, static_cast<T>(perm[0]));
      else
        std::copy_n(dense.data() + static_cast<size_t>(perm[fail_[s]]) * stride_, stride_, row);
      kidsOf(s, [&](uint8_t b, uint32_t to) { row[cls_[b]] = static_cast<T>(perm[to]); });
      if (canFold_) row[selfClass_] = static_cast<T>(perm[s]);
    }
  };
  // The states one byte below the shallow ones come right after them.
  uint32_t reach = numDense_;
  while (reach < n && trie.depth[bfs[reach]] <= kDenseDepth + 1) ++reach;
  dense16_.clear();
  dense32_.clear();
  if (reach <= 65536)
    fill(dense16_);
  else
    fill(dense32_);
  edgeBegin_.assign(n - numDense_ + 1, 0);
  edges_.clear();
  for (uint32_t s = numDense_; s < n; ++s) {
    edgeBegin_[s - numDense_] = static_cast<uint32_t>(edges_.size());
    kidsOf(s, [&](uint8_t b, uint32_t to) { edges_.push_back({b, perm[to]}); });
  }
  edgeBegin_[n - numDense_] = static_cast<uint32_t>(edges_.size());

  std::vector<uint32_t> failNew(n);
  outBegin_.assign(n + 1, 0);
  outs_.clear();
  outLink_.assign(n, kNone);
  hasOut_.assign(n, 0);
  for (uint32_t j = 0; j < n; ++j) {
    const uint32_t s = inv[j];
    failNew[j] = perm[fail_[s]];
    outBegin_[j] = static_cast<uint32_t>(outs_.size());
    outs_.insert(outs_.end(), own.begin() + ownBegin[s], own.begin() + ownBegin[s + 1]);
    outLink_[j] = link[s] == kNone ? kNone : perm[link[s]];
    hasOut_[j] = hasOut[s];
  }
  outBegin_[n] = static_cast<uint32_t>(outs_.size());
  fail_.swap(failNew);
  patterns_.clear();
  patterns_.shrink_to_fit();
}

template <bool kFold>
void KvrOccurMatcher::mark(uint32_t s, const unsigned char *text, size_t end,
                           const uint64_t *starts, KvrOccurSet *set) const {
  for (uint32_t st = s; st != kNone; st = outLink_[st]) {
    for (uint32_t o = outBegin_[st]; o < outBegin_[st + 1]; ++o) {
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

template <bool kFold, class T>
inline uint32_t KvrOccurMatcher::step(const T *dense, uint32_t s, unsigned char c) const {
  for (;;) {
    if (__builtin_expect(s < numDense_, 1))
      return dense[static_cast<size_t>(s) * stride_ + (kFold ? foldCls_[c] : cls_[c])];
    if (kFold) {
      if (dropped_[c]) return s;
      c = foldByte_[c];
    }
    const Edge *e = edges_.data() + edgeBegin_[s - numDense_];
    const Edge *last = edges_.data() + edgeBegin_[s - numDense_ + 1];
    while (e < last && e->byte != c) ++e;
    if (e < last) return e->to;
    s = fail_[s];
  }
}

template <bool kFold, class T>
void KvrOccurMatcher::walk(const T *dense, const unsigned char *text, size_t from, size_t to,
                           uint32_t s, const uint64_t *starts, KvrOccurSet *set) const {
  const uint8_t *out = hasOut_.data();
  for (size_t i = from; i < to; ++i) {
    s = step<kFold>(dense, s, text[i]);
    if (__builtin_expect(s >= quiet_, 0) && out[s]) mark<kFold>(s, text, i, starts, set);
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
  const uint8_t *out = hasOut_.data();
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
        if (out[s[k]]) mark<kFold>(s[k], text, static_cast<size_t>(p[k] - text) + j, starts, set);
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
  return dense16_.capacity() * 2 + dense32_.capacity() * 4 + edgeBegin_.capacity() * 4 +
         edges_.capacity() * sizeof(Edge) + fail_.capacity() * 4 + hasOut_.capacity() +
         outBegin_.capacity() * 4 + outs_.capacity() * sizeof(Output) + outLink_.capacity() * 4;
}
