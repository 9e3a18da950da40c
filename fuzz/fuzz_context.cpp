// Context extraction: three words and a length from the input's head.
#include <string>

#include "screen/kvr_context.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  apr_pool_clear(fuzz::pool());
  if (size < 4) return 0;
  const size_t len = 10 + (data[0] | (data[1] << 8)) % 1015;
  const int words = data[2] % 5;
  std::string rest(reinterpret_cast<const char *>(data + 3), size - 3);
  std::string w[4];
  for (auto &x : w) {
    const size_t nl = rest.find('\n');
    x = rest.substr(0, nl == std::string::npos ? rest.size() : nl).substr(0, 63);
    rest = nl == std::string::npos ? std::string() : rest.substr(nl + 1);
  }
  std::string ctx(3 * len + 1, '\0');
  kvrPageContext(fuzz::pool(), words, w[0].c_str(), w[1].c_str(), w[2].c_str(), w[3].c_str(),
                 rest.data(), rest.size(), rest.data() + rest.size() / 2,
                 rest.size() - rest.size() / 2, &ctx[0], len);
  return 0;
}
