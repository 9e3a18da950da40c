// A response and a body cut into pieces give the events of the whole text:
// the first lines of the input are keywords (each used in a response table
// and a body table), then the text; its last bytes choose the cuts.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/kvr_config.h"
#include "fuzz_common.h"
#include "match/kvr_match.h"
#include "screen/kvr_post_scan.h"
#include "screen/kvr_stream.h"

namespace {

std::string describe(const KvrEvent &ev) {
  return std::to_string(ev.action) + "/" + std::to_string(ev.table) + "/" +
         std::to_string(ev.charset) + "/" + ev.keyword + "/" + ev.context;
}

std::vector<std::string> response(const std::string &text, const std::vector<size_t> &cuts) {
  std::vector<std::string> out;
  KvrGetStream s;
  if (!kvrGetStreamInit(&s, fuzz::pool(), false, true)) return out;
  KvrEvent ev{};
  size_t at = 0;
  for (size_t k = 0; k <= cuts.size(); ++k) {
    const size_t end = k < cuts.size() ? cuts[k] : text.size();
    kvrGetStreamAdd(&s, text.data() + at, end - at);
    at = end;
    if (kvrGetStreamNotText(&s)) return {};
  }
  if (kvrGetStreamEnd(&s, true, &ev)) out.push_back(describe(ev));
  return out;
}

std::vector<std::string> body(const std::string &text, bool form, const std::vector<size_t> &cuts) {
  std::vector<std::string> out;
  KvrPostStream s;
  if (!kvrPostStreamInit(&s, fuzz::pool(), form)) return out;
  KvrEvent ev[8];
  int n = 0;
  size_t at = 0;
  for (size_t k = 0; k <= cuts.size(); ++k) {
    const size_t end = k < cuts.size() ? cuts[k] : text.size();
    kvrPostStreamAdd(&s, text.data() + at, end - at);
    at = end;
  }
  out.push_back(std::to_string(kvrPostStreamEnd(&s, true, ev, &n)));
  for (int k = 0; k < n; ++k) out.push_back(describe(ev[k]));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::reset();
  const std::string in(reinterpret_cast<const char *>(data), size);
  const size_t split = in.find("\n\n");
  const std::string keys = split == std::string::npos ? in : in.substr(0, split);
  std::string text = split == std::string::npos ? std::string() : in.substr(split + 2);
  text = text.substr(0, kKvrSegmentMax);  // one segment: the whole text's events
  int slot = 0;
  for (size_t at = 0; at <= keys.size() && slot < 32;) {
    size_t nl = keys.find('\n', at);
    if (nl == std::string::npos) nl = keys.size();
    const std::string k = keys.substr(at, nl - at).substr(0, 31);
    at = nl + 1;
    if (k.size() < 2) continue;
    structGetKeyWord &g = (slot % 2 ? arrGetKeyWord.b : arrGetKeyWord.c)[slot / 2];
    g.used = 1;
    g.usertype = 2;
    std::memcpy(g.gbk, k.data(), k.size());
    structPostKeyWord *tables[4] = {arrPostKeyWord.c, arrPostKeyWord.cex, arrPostKeyWord.b,
                                    arrPostKeyWord.bex};
    structPostKeyWord &p = tables[slot % 4][slot / 4];
    p.used = 1;
    p.usertype = 2;
    std::memcpy(p.gbk, k.data(), k.size());
    ++slot;
  }
  kvrBuildKeywordForms();
  nVazidezChkGetKeyWord = nVazidezBlockGetKeyWord = 1;
  nVazidezChkPostKeyWord = nVazidezBlockPostKeyWord = 1;
  // Cuts chosen by the text's own bytes: where they are small.
  std::vector<size_t> cuts;
  for (size_t i = 1; i < text.size(); ++i)
    if (static_cast<unsigned char>(text[i - 1]) % 7 == 0) cuts.push_back(i);
  const std::vector<size_t> none;
  if (response(text, cuts) != response(text, none)) std::abort();
  for (const bool form : {false, true})
    if (body(text, form, cuts) != body(text, form, none)) std::abort();
  return 0;
}
