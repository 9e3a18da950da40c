// kvrIsUtf8 and kvr_covert on any bytes and any output size.
#include <cstring>
#include <vector>

#include "fuzz_common.h"
#include "util/kvr_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  kvrIsUtf8(reinterpret_cast<const char *>(data), size);
  if (size < 1) return 0;
  const size_t olen = data[0];
  std::vector<char> in(data + 1, data + size), out(olen + 1);
  const char *names[][2] = {{"UTF-8", "GBK"}, {"GBK", "UTF-8"}, {"GBK", "BIG5"}, {"NONE", "GBK"}};
  for (auto &n : names)
    kvr_covert(const_cast<char *>(n[0]), const_cast<char *>(n[1]), in.data(), in.size(), out.data(),
               olen);
  return 0;
}
