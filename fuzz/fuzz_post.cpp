// The POST check's text preparation and sweep, against the plain hit rule.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "screen/kvr_post_scan.h"

static structPostKeyWord *tableOf(int slot) {
  return slot == kPostC     ? arrPostKeyWord.c
         : slot == kPostCex ? arrPostKeyWord.cex
         : slot == kPostB   ? arrPostKeyWord.b
                            : arrPostKeyWord.bex;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::reset();
  const std::string in(reinterpret_cast<const char *>(data), size);
  const size_t cut = in.find("\n\n");
  const std::string keys = cut == std::string::npos ? in : in.substr(0, cut);
  const std::string body = cut == std::string::npos ? std::string() : in.substr(cut + 2);
  int n = 0;
  for (size_t at = 0; at < keys.size() && n < 32;) {
    size_t nl = keys.find('\n', at);
    if (nl == std::string::npos) nl = keys.size();
    const std::string k = keys.substr(at, nl - at).substr(0, 31);
    at = nl + 1;
    if (k.size() < 2) continue;
    structPostKeyWord &e = tableOf(n % 4)[n / 4];
    e.used = 1;
    e.usertype = 2;
    std::memcpy(e.gbk, k.data(), k.size());
    ++n;
  }
  postkeyb_gb2utf8();
  postkeyc_gb2utf8();
  postkeybex_gb2utf8();
  postkeycex_gb2utf8();
  kvrPostKeyWordIndex();
  KvrPostText pt =
      kvrPostPrepare(fuzz::pool(), body.data(), body.size(), size & 1, (size >> 1) & 1);
  // The fast preparation is the step-by-step one.
  const KvrPostText plain =
      kvrPostPreparePlain(fuzz::pool(), body.data(), body.size(), size & 1, (size >> 1) & 1);
  if (plain.rawLen != pt.rawLen || std::memcmp(plain.raw, pt.raw, pt.rawLen + 1) != 0 ||
      plain.utf8 != pt.utf8 || plain.decodeError != pt.decodeError ||
      plain.foldSpoils != pt.foldSpoils || !plain.filtered.text != !pt.filtered.text ||
      std::memcmp(plain.rawStarts, pt.rawStarts, (pt.rawLen / 64 + 1) * sizeof(uint64_t)) != 0)
    std::abort();
  KvrPostHit hits[8];
  int num = 0;
  const int r = kvrPostSweep(fuzz::pool(), pt, true, true, hits, &num);
  // Every reported hit is a hit by the plain rule (character boundaries
  // only in a GBK text).
  kvrPostEnsureFiltered(fuzz::pool(), &pt);
  for (int k = 0; k < num; ++k) {
    const bool filtered = hits[k].table == kPostC || hits[k].table == kPostB;
    const uint64_t *starts = pt.utf8 ? nullptr : filtered ? pt.filtered.starts : pt.rawStarts;
    if (!kvrPostEntryHitsPlain(hits[k].table, hits[k].index, hits[k].pass,
                               filtered ? pt.filtered.text : pt.raw,
                               filtered ? pt.filtered.len : pt.rawLen, starts))
      std::abort();
  }
  if (r == 2 && num != 1) std::abort();
  return 0;
}
