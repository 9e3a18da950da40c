#include "match/kvr_occur.h"

#include <algorithm>
#include <unordered_map>

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

  // Trie in insertion order, then breadth-first numbering.
  struct Node {
    std::vector<std::pair<uint8_t, uint32_t>> kids;
    std::vector<Output> own;
    uint32_t depth = 0;
  };
  std::vector<Node> t(1);
  for (const Pattern &p : patterns_) {
    uint32_t s = 0;
    for (unsigned char c : p.bytes) {
      auto &kids = t[s].kids;
      auto it = std::find_if(kids.begin(), kids.end(), [c](const auto &k) { return k.first == c; });
      if (it != kids.end()) {
        s = it->second;
      } else {
        const uint32_t next = static_cast<uint32_t>(t.size());
        t[s].kids.emplace_back(c, next);
        t.emplace_back();
        t.back().depth = t[s].depth + 1;
        s = next;
      }
    }
    t[s].own.push_back({p.id, static_cast<uint16_t>(p.bytes.size()), static_cast<uint16_t>(p.gbk)});
  }
  for (Node &n : t) std::sort(n.kids.begin(), n.kids.end());
  std::vector<uint32_t> bfs{0};
  for (size_t q = 0; q < bfs.size(); ++q)
    for (const auto &k : t[bfs[q]].kids) bfs.push_back(k.second);
  std::vector<uint32_t> num(t.size());
  for (uint32_t i = 0; i < bfs.size(); ++i) num[bfs[i]] = i;
  const uint32_t n = static_cast<uint32_t>(t.size());

  numDense_ = 0;
  while (numDense_ < n && t[bfs[numDense_]].depth <= kDenseDepth) ++numDense_;

  // Failure links (new numbering), by the trie.
  fail_.assign(n, 0);
  auto child = [&](uint32_t s, uint8_t c) -> uint32_t {  // s in new numbering
    const auto &kids = t[bfs[s]].kids;
    auto it = std::lower_bound(kids.begin(), kids.end(), std::make_pair(c, uint32_t{0}));
    return (it != kids.end() && it->first == c) ? num[it->second] : kNone;
  };
  for (uint32_t r = 0; r < n; ++r) {
    for (const auto &k : t[bfs[r]].kids) {
      const uint32_t s = num[k.second];
      if (r == 0) continue;
      uint32_t f = fail_[r], to;
      while ((to = child(f, k.first)) == kNone && f != 0) f = fail_[f];
      fail_[s] = to == kNone ? 0 : to;
    }
  }

  // Outputs, by breadth-first number: a state's own patterns, and the
  // nearest proper suffix state that has some.
  std::vector<uint32_t> ownBegin(n + 1, 0);
  std::vector<Output> own;
  for (uint32_t s = 0; s < n; ++s) {
    ownBegin[s] = static_cast<uint32_t>(own.size());
    for (const Output &o : t[bfs[s]].own) own.push_back(o);
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
    dense.assign(static_cast<size_t>(numDense_) * stride_, 0);
    for (uint32_t s = 0; s < numDense_; ++s) {
      T *row = dense.data() + static_cast<size_t>(perm[s]) * stride_;
      if (s != 0)
        std::copy_n(dense.data() + static_cast<size_t>(perm[fail_[s]]) * stride_, stride_, row);
      for (const auto &k : t[bfs[s]].kids) row[cls_[k.first]] = static_cast<T>(perm[num[k.second]]);
    }
  };
  // The states one byte below the shallow ones come right after them.
  uint32_t reach = numDense_;
  while (reach < n && t[bfs[reach]].depth <= kDenseDepth + 1) ++reach;
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
    for (const auto &k : t[bfs[s]].kids) edges_.push_back({k.first, perm[num[k.second]]});
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

void KvrOccurMatcher::mark(uint32_t s, size_t end, const uint64_t *starts, KvrOccurSet *set) const {
  for (uint32_t st = s; st != kNone; st = outLink_[st]) {
    for (uint32_t o = outBegin_[st]; o < outBegin_[st + 1]; ++o) {
      const Output &out = outs_[o];
      if (set->has(out.id)) continue;
      if (out.gbk && starts) {
        const size_t start = end + 1 - out.len;
        if (!((starts[start >> 6] >> (start & 63)) & 1)) continue;
      }
      set->bits[out.id >> 6] |= uint64_t{1} << (out.id & 63);
      set->ids[set->count++] = out.id;
    }
  }
}

template <class T>
inline uint32_t KvrOccurMatcher::step(const T *dense, uint32_t s, unsigned char c) const {
  for (;;) {
    if (__builtin_expect(s < numDense_, 1))
      return dense[static_cast<size_t>(s) * stride_ + cls_[c]];
    const Edge *e = edges_.data() + edgeBegin_[s - numDense_];
    const Edge *last = edges_.data() + edgeBegin_[s - numDense_ + 1];
    while (e < last && e->byte != c) ++e;
    if (e < last) return e->to;
    s = fail_[s];
  }
}

template <class T>
void KvrOccurMatcher::walk(const T *dense, const unsigned char *text, size_t from, size_t to,
                           uint32_t s, const uint64_t *starts, KvrOccurSet *set) const {
  const uint8_t *out = hasOut_.data();
  for (size_t i = from; i < to; ++i) {
    s = step(dense, s, text[i]);
    if (__builtin_expect(s >= quiet_, 0) && out[s]) mark(s, i, starts, set);
  }
}

// The text is cut into segments walked side by side, so that their lookups
// overlap. A segment after the first starts a longest pattern early from the
// start state, which brings it to the state one walk would have there; what
// it finds on the way is found in the text all the same, and the set of
// found ids does not depend on the order.
template <class T>
void KvrOccurMatcher::scanWith(const T *dense, const unsigned char *text, size_t n,
                               const uint64_t *starts, KvrOccurSet *set) const {
  constexpr int kStreams = 8;
  const size_t warm = maxLen_ > 0 ? maxLen_ - 1 : 0;
  const size_t seg = n / kStreams;
  if (seg < 4 * warm + 64) return walk(dense, text, 0, n, 0, starts, set);
  const uint8_t *out = hasOut_.data();
  const unsigned char *p[kStreams];
  uint32_t s[kStreams];
  for (int k = 0; k < kStreams; ++k) {
    p[k] = text + (k == 0 ? 0 : k * seg - warm);
    s[k] = 0;
  }
  for (size_t j = 0; j < seg; ++j) {
    uint32_t any = 0;
#pragma GCC unroll 8
    for (int k = 0; k < kStreams; ++k) {
      s[k] = step(dense, s[k], p[k][j]);
      any |= s[k] >= quiet_;
    }
    if (__builtin_expect(any, 0))
      for (int k = 0; k < kStreams; ++k)
        if (out[s[k]]) mark(s[k], static_cast<size_t>(p[k] - text) + j, starts, set);
  }
  for (int k = 1; k < kStreams; ++k) {
    const size_t end = k == kStreams - 1 ? n : (k + 1) * seg;
    walk(dense, text, static_cast<size_t>(p[k] - text) + seg, end, s[k], starts, set);
  }
}

void KvrOccurMatcher::scan(const unsigned char *text, size_t n, const uint64_t *starts,
                           KvrOccurSet *set) const {
  if (count_ == 0) return;
  if (!dense16_.empty())
    scanWith(dense16_.data(), text, n, starts, set);
  else if (!dense32_.empty())
    scanWith(dense32_.data(), text, n, starts, set);
}

size_t KvrOccurMatcher::bytes() const {
  return dense16_.capacity() * 2 + dense32_.capacity() * 4 + edgeBegin_.capacity() * 4 +
         edges_.capacity() * sizeof(Edge) + fail_.capacity() * 4 + hasOut_.capacity() +
         outBegin_.capacity() * 4 + outs_.capacity() * sizeof(Output) + outLink_.capacity() * 4;
}
