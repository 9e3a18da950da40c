// The keyword readers, the UTF-8 step, both kinds of matcher build, and the
// status page of what was loaded.
#include <vector>

#include "screen/kvr_post_scan.h"
#include "fuzz_common.h"
#include "match/kvr_match.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::reset();
  std::string path = fuzz::put("config/kw.txt", data, size);
  for (size_t code : {1021, 1022}) kvrVazidezReadGetKeyFile(fuzz::pool(), &path[0], code, 3000, 31);
  for (size_t code : {1011, 1012, 9011, 9012})
    kvrVazidezReadPostKeyFile(fuzz::pool(), &path[0], code, 3000, 31);
  kvrBuildKeywordForms();
  nVazidezChkGetKeyWord = nVazidezBlockGetKeyWord = nWriteUtf8KeyWord = nWriteBig5KeyWord = 1;
  std::vector<char> page(0x500000);
  kvrBuildConfigPage(page.data(), page.size());
  return 0;
}
