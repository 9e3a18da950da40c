// SQL fragments in the query string and the Cookie header of script requests.
#include <http_protocol.h>

#include <cstring>

#include "config/kvr_config.h"
#include "filters/kvr_filters.h"
#include "log/kvr_log.h"
#include "module/kvr_pages.h"
#include "module/kvr_request.h"
#include "module/kvr_screen.h"
#include "util/kvr_text.h"

namespace {

// The first fragment found in the subject: a wildcard fragment against the
// whole subject ignoring case, any other anywhere in it with case.
int findFragment(const char *subject) {
  for (int i = 0; i < kUrlSlots && std::strlen(arrBlockSql[i]) >= 2; ++i) {
    const char *entry = arrBlockSql[i];
    const bool hit = ap_is_matchexp(entry) ? ap_strcasecmp_match(subject, entry) == 0
                                           : std::strstr(subject, entry) != nullptr;
    if (hit) return i;
  }
  return -1;
}

}  // namespace

int kvrChkBlockSqlScript(request_rec *r) {
  // Path info after a script ("/page.php/x") does not hide it.
  const char *list = &arrBlockSqlScript[0][0];
  return kvrPathIsScript(r->uri, list, kScriptSlots, kScriptWidth) ||
                 kvrPathIsScript(kvrPathWithoutInfo(r), list, kScriptSlots, kScriptWidth)
             ? 1
             : 0;
}

int kvrChkBlockSql(request_rec *r) {
  if (kvrChkBlockSqlScript(r) != 1) return 1;
  if (nBlockSqlDnUrl == 1 && kvrListFind(kvrRequestAddress(r), arrBlockSqlDnUrl, true) >= 0)
    return 1;
  if (r->args) {
    const size_t len = std::strlen(r->args);
    if (len >= 7 && len <= 102399) {
      const int at = findFragment(r->args);
      if (at >= 0) {
        if (nBlockSql == 1) {
          kvrWriteIcpLog(r, "拦截", "SQL_URL", arrBlockSql[at]);
          kvrPrepareBlockResponse(r);
          ap_set_content_type(r, kvrPageContentType);
          ap_rputs(strBlockSQLMsg, r);
          return 2;
        }
        kvrWriteIcpLog(r, "记录", "SQL_URL", arrBlockSql[at]);
      }
    }
  }
  if (nBlockSqlCookies != 1) return 1;
  const char *cookie = apr_table_get(r->headers_in, "Cookie");
  if (!cookie) return 1;
  const size_t len = std::strlen(cookie);
  if (len < 7 || len > 0xFFFFF) return 1;
  const int at = findFragment(cookie);
  if (at < 0) return 1;
  if (nBlockSql == 1) {
    kvrWriteIcpLog(r, "拦截", "SQL_COOKIES", arrBlockSql[at]);
    kvrPrepareBlockResponse(r);
    ap_set_content_type(r, kvrPageContentType);
    ap_rputs(strBlockSQLMsg, r);
    return 2;
  }
  kvrWriteIcpLog(r, "记录", "SQL_COOKIES", arrBlockSql[at]);
  return 1;
}
