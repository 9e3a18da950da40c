// Generated data shared by the benchmarks: GBK keywords and Chinese pages.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace bench {

// A GB2312 character (lead 0xB0..0xF7, trail 0xA1..0xFE) as two GBK bytes.
std::string randomHanzi(std::mt19937_64 &rng);

// n distinct GBK keywords of 2 to 5 characters.
std::vector<std::string> keywords(size_t n, uint64_t seed);

// Chinese HTML text in GBK of `bytes` bytes that holds none of the words
// in `avoid`.
std::string chinesePage(size_t bytes, uint64_t seed, const std::vector<std::string> &avoid = {});

// The same text with one of `words` put in about every `every` bytes.
std::string chinesePageWith(size_t bytes, uint64_t seed, const std::vector<std::string> &words,
                            size_t every);

// A temporary directory removed at the end.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  std::string path;  // with trailing slash
  void write(const std::string &rel, const std::string &bytes) const;
};

double nowMs();

}  // namespace bench
