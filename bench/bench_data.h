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

// Milliseconds of the calling thread's processor time.
double nowMs();

// Real Chinese text made by bench/corpus, read from the directory given as
// `--corpus DIR` or in RIZU_BENCH_CORPUS; empty when neither names one.
std::string corpusDir(int argc, char **argv);
// A file of the corpus cut into its items of `size` bytes each.
std::vector<std::string> corpusItems(const std::string &dir, const char *name, size_t size);
// A word list of the corpus: one GBK word a line.
std::vector<std::string> corpusWords(const std::string &dir, const char *name);

// GBK text in UTF-8 (what does not convert is left out).
std::string toUtf8(const std::string &gbk);

// The median of the values.
double median(std::vector<double> v);

// Hyperscan over a set of literal patterns, the yardstick of the checks;
// scan() is a no-op where the benchmarks were built without it.
class Literals {
 public:
  explicit Literals(const std::vector<std::string> &patterns);
  ~Literals();
  Literals(const Literals &) = delete;
  Literals &operator=(const Literals &) = delete;
  bool available() const { return db_ != nullptr; }
  // Scans one text for every match; returns the number of matches.
  size_t scan(const char *data, size_t n);

 private:
  void *db_ = nullptr;
  void *scratch_ = nullptr;
};

}  // namespace bench
