// The response check's filtered text and boundaries against a plain walk.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "screen/kvr_get_scan.h"
#include "util/kvr_cpu.h"
#include "util/kvr_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  apr_pool_clear(fuzz::pool());
  const int trail = size ? data[0] & 1 : 0;
  const KvrFilteredText ft =
      kvrFilterText(fuzz::pool(), reinterpret_cast<const char *>(data), size, trail);
  std::vector<bool> start(size);
  int t = trail;
  for (size_t i = 0; i < size; ++i) {
    start[i] = !t;
    t = !t && data[i] >= 0x81 && data[i] <= 0xFE;
  }
  // Read as GBK unless UTF-8: a second byte 0x40..0x7E is kept as it is.
  const bool gbk = !kvrTextIsUtf8(data, size);
  if (ft.utf8 == gbk) std::abort();
  std::string bytes;             // the text filtered byte by byte
  std::vector<bool> keptStarts;  // and where its bytes begin characters
  size_t w = 0;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (gbk && !start[i] && b >= 0x40 && b <= 0x7E && b != '&') {
      if (w >= ft.len || static_cast<uint8_t>(ft.text[w]) != b) std::abort();
      if ((ft.starts[w / 64] >> (w % 64)) & 1) std::abort();
      ++w;
      if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) {
        bytes += static_cast<char>(b | 0x20);
        keptStarts.push_back(false);
      }
      continue;
    }
    if (b == '&') {
      if (size - i > 5 && std::string(reinterpret_cast<const char *>(data + i + 1), 5) == "nbsp;")
        i += 5;
      continue;
    }
    const bool punct = (b >= 0x21 && b <= 0x2F) || (b >= 0x3A && b <= 0x40) ||
                       (b >= 0x5B && b <= 0x60) || (b >= 0x7B && b <= 0x7E);
    if (b == 0 || b == 9 || b == 10 || b == 13 || b == 32 || punct) continue;
    const char low = static_cast<char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
    if (w >= ft.len || ft.text[w] != low) std::abort();
    if (static_cast<bool>((ft.starts[w / 64] >> (w % 64)) & 1) != start[i]) std::abort();
    ++w;
    bytes += low;
    keptStarts.push_back(start[i]);
  }
  if (w != ft.len) std::abort();
  // The text alone, with every instruction set the processor offers.
  std::vector<char> out(size + 64);
  const KvrSimdLevel offered = kvrSimdLevelOffered();
  for (int run = 0; run <= 2 * offered + 1; ++run) {
    const int level = run / 2;
    kvrForceSimdLevel(static_cast<KvrSimdLevel>(level));
    kvrForceBitExtract(run % 2 == 0);
    const size_t len = kvrFilterTextBytes(reinterpret_cast<const char *>(data), size, out.data());
    if (len != bytes.size() || std::memcmp(out.data(), bytes.data(), len) != 0) std::abort();
    // With the boundaries, after a few bits already there.
    std::vector<uint64_t> words((size + 3) / 64 + 2, ~uint64_t{0});
    int phase = trail;
    const size_t got = kvrFilterTextBytesBounds(reinterpret_cast<const char *>(data), size, &phase,
                                                out.data(), words.data(), 3);
    if (got != bytes.size() || std::memcmp(out.data() + 3, bytes.data(), got) != 0 || phase != t)
      std::abort();
    for (size_t k = 0; k < 3 + got; ++k)
      if (static_cast<bool>((words[k / 64] >> (k % 64)) & 1) != (k < 3 || keptStarts[k - 3]))
        std::abort();
  }
  kvrForceSimdLevel(offered);
  kvrForceBitExtract(true);
  if (kvrGbkTrailAfter(reinterpret_cast<const char *>(data), size, trail) != t) std::abort();
  std::vector<uint64_t> bits(size / 64 + 2);
  if (kvrGbkStarts(data, size, trail, bits.data()) != t) std::abort();
  for (size_t i = 0; i < size; ++i)
    if (static_cast<bool>((bits[i / 64] >> (i % 64)) & 1) != start[i]) std::abort();
  return 0;
}
