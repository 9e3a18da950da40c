// The list reader for every table, and the template reader.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::reset();
  std::string path = fuzz::put("config/list.txt", data, size);
  const struct {
    size_t code, slots, width;
  } lists[] = {{1030, 100, 16},  {1020, 1000, 256}, {1060, 500, 16},
               {3020, 500, 128}, {2010, 500, 16},   {5020, 100, 256},
               {5010, 100, 256}, {5011, 100, 16},   {4242, 100, 256}};
  for (const auto &l : lists)
    kvrReadConfigFile(fuzz::pool(), &path[0], l.code, l.slots, l.width - 1);
  kvrReadTxtFile(fuzz::pool(), &path[0], strVazidezGetShow, sizeof strVazidezGetShow);
  char tiny[3];
  kvrReadTxtFile(fuzz::pool(), &path[0], tiny, sizeof tiny);
  return 0;
}
