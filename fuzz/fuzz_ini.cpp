// The INI reader and the whole loader on one INI file.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::reset();
  std::string path = fuzz::put("rizururuzarida.ini", data, size);
  char value[256];
  for (const char *key : {"disgzip", "urllen", "autodellogfile", "blocksql", "x"}) {
    std::string p = path;
    kvrReadIniStr(fuzz::pool(), &p[0], const_cast<char *>(key), value, sizeof value);
  }
  char small[2];
  kvrReadIniStr(fuzz::pool(), &path[0], const_cast<char *>("disgzip"), small, sizeof small);
  kvrReadVazidezConfig(fuzz::pool());
  return 0;
}
