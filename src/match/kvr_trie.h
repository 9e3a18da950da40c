// The trie of a pattern set with its breadth-first order and failure links:
// what both matchers are built from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct KvrTrie {
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  // Patterns as (bytes, length); node 0 is the root.
  void build(const std::vector<std::pair<const unsigned char *, int>> &patterns);
  uint32_t child(uint32_t s, uint8_t b) const;  // kNone when there is none

  uint32_t numNodes = 0;
  std::vector<uint32_t> endOf;  // the node where each pattern ends
  // Children by node, ascending bytes: childByte/childTo[childBegin[s] .. childBegin[s + 1]).
  std::vector<uint32_t> childBegin;
  std::vector<uint8_t> childByte;
  std::vector<uint32_t> childTo;
  std::vector<uint32_t> bfs;    // nodes breadth-first, children by ascending byte
  std::vector<uint32_t> depth;  // by node
  std::vector<uint32_t> fail;   // by node: the longest proper suffix that is a node
};
