#include "match/kvr_trie.h"

#include <algorithm>

namespace {

// Edges (node, byte) -> child in an open-addressed table: the build runs in
// every server child, and a node-based map would dominate it.
class EdgeMap {
 public:
  explicit EdgeMap(size_t expected) {
    size_t cap = 16;
    while (cap < expected * 2) cap <<= 1;
    keys_.assign(cap, kEmpty);
    vals_.resize(cap);
    mask_ = cap - 1;
  }
  // The child for the key, inserting `fresh` when there is none.
  uint32_t findOrAdd(uint64_t key, uint32_t fresh, bool *added) {
    for (size_t h = hash(key) & mask_;; h = (h + 1) & mask_) {
      if (keys_[h] == key) {
        *added = false;
        return vals_[h];
      }
      if (keys_[h] == kEmpty) {
        keys_[h] = key;
        vals_[h] = fresh;
        *added = true;
        return fresh;
      }
    }
  }

 private:
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  static size_t hash(uint64_t k) { return static_cast<size_t>((k * 0x9E3779B97F4A7C15ull) >> 17); }
  std::vector<uint64_t> keys_;
  std::vector<uint32_t> vals_;
  size_t mask_;
};

}  // namespace

void KvrTrie::build(const std::vector<std::pair<const unsigned char *, int>> &patterns) {
  size_t total = 1;
  for (const auto &p : patterns) total += static_cast<size_t>(p.second > 0 ? p.second : 0);
  EdgeMap go(total);
  struct Edge {
    uint32_t from;
    uint8_t byte;
    uint32_t to;
  };
  std::vector<Edge> edges;
  edges.reserve(total);
  endOf.assign(patterns.size(), 0);
  numNodes = 1;
  for (size_t k = 0; k < patterns.size(); ++k) {
    uint32_t s = 0;
    for (int i = 0; i < patterns[k].second; ++i) {
      const uint8_t b = patterns[k].first[i];
      bool added = false;
      const uint32_t to = go.findOrAdd(static_cast<uint64_t>(s) << 8 | b, numNodes, &added);
      if (added) {
        edges.push_back({s, b, numNodes});
        ++numNodes;
      }
      s = to;
    }
    endOf[k] = s;
  }
  // Children by node (a counting sort), then by byte within each node: most
  // nodes have one child.
  childBegin.assign(numNodes + 1, 0);
  for (const Edge &e : edges) childBegin[e.from + 1]++;
  for (uint32_t i = 0; i < numNodes; ++i) childBegin[i + 1] += childBegin[i];
  childByte.resize(edges.size());
  childTo.resize(edges.size());
  {
    std::vector<uint32_t> at(childBegin.begin(), childBegin.end() - 1);
    for (const Edge &e : edges) {
      const uint32_t k = at[e.from]++;
      childByte[k] = e.byte;
      childTo[k] = e.to;
    }
  }
  for (uint32_t s = 0; s < numNodes; ++s) {
    for (uint32_t i = childBegin[s] + 1; i < childBegin[s + 1]; ++i) {
      const uint8_t b = childByte[i];
      const uint32_t t = childTo[i];
      uint32_t j = i;
      for (; j > childBegin[s] && childByte[j - 1] > b; --j) {
        childByte[j] = childByte[j - 1];
        childTo[j] = childTo[j - 1];
      }
      childByte[j] = b;
      childTo[j] = t;
    }
  }

  bfs.clear();
  bfs.reserve(numNodes);
  bfs.push_back(0);
  depth.assign(numNodes, 0);
  fail.assign(numNodes, 0);
  for (size_t q = 0; q < bfs.size(); ++q) {
    const uint32_t r = bfs[q];
    for (uint32_t e = childBegin[r]; e < childBegin[r + 1]; ++e) {
      const uint32_t s = childTo[e];
      depth[s] = depth[r] + 1;
      bfs.push_back(s);
      if (r == 0) continue;
      uint32_t f = fail[r], t;
      while ((t = child(f, childByte[e])) == kNone && f != 0) f = fail[f];
      fail[s] = t == kNone ? 0 : t;
    }
  }
}

uint32_t KvrTrie::child(uint32_t s, uint8_t b) const {
  const uint8_t *first = childByte.data() + childBegin[s];
  const uint8_t *last = childByte.data() + childBegin[s + 1];
  if (last - first <= 8) {
    for (const uint8_t *p = first; p < last; ++p)
      if (*p == b) return childTo[static_cast<size_t>(p - childByte.data())];
    return kNone;
  }
  const uint8_t *it = std::lower_bound(first, last, b);
  return (it != last && *it == b) ? childTo[static_cast<size_t>(it - childByte.data())] : kNone;
}
