// The response keyword check and its two request tests.
#include <apr_buckets.h>
#include <apr_strings.h>
#include <http_protocol.h>
#include <http_request.h>

#include <cstring>

#include "config/kvr_config.h"
#include "filters/kvr_filter_state.h"
#include "filters/kvr_filters.h"
#include "log/kvr_log.h"
#include "module/kvr_request.h"
#include "module/kvr_screen.h"
#include "module/rizu_compat.h"
#include "screen/kvr_context.h"
#include "screen/kvr_get_scan.h"
#include "util/kvr_text.h"

const char *kvrRequestAddress(request_rec *r) {
  if (r->args && *r->args) return apr_psprintf(r->pool, "%s%s?%s", r->hostname, r->uri, r->args);
  return apr_psprintf(r->pool, "%s%s", r->hostname, r->uri);
}

int chkGetDataType(const char *data, apr_size_t len) {
  if (!data || len == 0 || len > 0xA00000) return 0;
  return std::memchr(data, '\0', len < 1023 ? len : 1023) ? 2 : 1;
}

namespace {

int dnaMatch(request_rec *r, const char (&list)[kDnaSlots][kDnaWidth]) {
  const char *address = kvrRequestAddress(r);
  const size_t len = std::strlen(address);
  if (len == 0 || len > 10240) return 0;
  return kvrListFind(address, list, true) >= 0 ? 1 : 0;
}

}  // namespace

int kvrVazidezChkGetDna(request_rec *r) {
  return dnaMatch(r, arrVazidezGetDna);
}
int kvrVazidezChkPostDna(request_rec *r) {
  return dnaMatch(r, arrVazidezPostDna);
}

bool kvrPathIsScript(const char *uri, const char *list, int slots, int width) {
  if (!uri || !*uri) return false;
  const size_t len = std::strlen(uri);
  if (len > 1024) return false;
  if (uri[len - 1] == '/') return true;
  char tail[32];
  for (int i = 0; i < slots; ++i) {
    const char *entry = list + static_cast<size_t>(i) * static_cast<size_t>(width);
    if (std::strlen(entry) < 2) break;
    if (kvrGetRightChar(uri, static_cast<int>(std::strlen(entry)), tail) &&
        strcasecmp(tail, entry) == 0)
      return true;
  }
  return false;
}

int kvrVazidezChkScript(request_rec *r) {
  // Path info after a script ("/page.php/x") does not hide it.
  const char *list = &arrVazidezScriptName[0][0];
  return kvrPathIsScript(r->uri, list, kScriptSlots, kScriptWidth) ||
                 kvrPathIsScript(kvrPathWithoutInfo(r), list, kScriptSlots, kScriptWidth)
             ? 1
             : 0;
}
