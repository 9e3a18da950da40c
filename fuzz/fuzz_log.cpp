// The log record builders: whatever the fields hold, the text record is one
// line of 18 fields and the HTML record carries no markup from them.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "log/kvr_log_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  apr_pool_clear(fuzz::pool());
  std::vector<std::string> f;
  std::string cur;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0x01 && f.size() < 16) {
      f.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(data[i] ? data[i] : ' ');
    }
  }
  f.push_back(cur);
  f.resize(16);
  const KvrLogTime t{1700000000000000LL, 2024, 1, 2, 3, 4, 5};
  const KvrLogFields fields{"x",
                            "y",
                            f[0].c_str(),
                            f[1].c_str(),
                            f[2].c_str(),
                            f[3].c_str(),
                            f[4].c_str(),
                            f[5].c_str(),
                            f[6].empty() ? nullptr : f[6].c_str(),
                            f[7].c_str(),
                            f[8].empty() ? nullptr : f[8].c_str(),
                            f[9].c_str(),
                            f[10].c_str(),
                            f[11].c_str(),
                            f[12].c_str()};
  const std::string text = kvrTextRecord(t, fields, f[13].c_str());
  size_t tabs = 0, breaks = 0;
  for (char c : text) {
    tabs += c == '\t';
    breaks += c == '\r' || c == '\n';
  }
  if (tabs != 18 || breaks != 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) std::abort();
  const std::string html = kvrHtmlRecord(t, fields, f[13].c_str());
  size_t lt = 0;
  for (char c : html) lt += c == '<';
  // Only the record's own tags: <br> at each line end and the link.
  size_t lines = 0;
  for (size_t at = html.find("<br>\r\n"); at != std::string::npos;
       at = html.find("<br>\r\n", at + 1))
    ++lines;
  if (lt != lines + 2) std::abort();
  const char *ctx = kvrConvertContext(fuzz::pool(), static_cast<int>(size % 4), f[14].c_str());
  if (!ctx) std::abort();
  return 0;
}
