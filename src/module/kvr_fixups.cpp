// The fixups hook: every check that needs only the request line and headers.
#include <apr_strings.h>
#include <http_protocol.h>

#include <cstring>

#include "config/kvr_config.h"
#include "filters/kvr_filters.h"
#include "log/kvr_log.h"
#include "module/kvr_counters.h"
#include "module/kvr_pages.h"
#include "module/kvr_request.h"
#include "module/kvr_screen.h"

namespace {

int refused(KvrCounter c) {
  kvrCount(c);
  return DONE;
}

int sendPage(request_rec *r, const char *page, KvrCounter c) {
  kvrCount(c);
  kvrPrepareBlockResponse(r);
  ap_set_content_type(r, kvrPageContentType);
  ap_rputs(page, r);
  return DONE;
}

// The method check: DONE after the page for a method that is not allowed.
int checkMethod(request_rec *r) {
  if (nChkReqMet == 1 && r->method && strcasecmp(r->method, "GET") != 0 &&
      strcasecmp(r->method, "POST") != 0 && strcasecmp(r->method, "HEAD") != 0) {
    kvrWriteIcpLog(r, "拦截", "HTTP_TYPE", r->method);
    // The method is the client's: escaped before it goes into the page.
    const char *method = ap_escape_html(r->pool, r->method);
    return sendPage(r, apr_psprintf(r->pool, strReqMetMsg, method, method), kvrRefusedMethod);
  }
  return DECLINED;
}

}  // namespace

int kvr_ap_trace(request_rec *r) {
  if (r->method_number != M_TRACE || !kvrScreensRequest(r)) return DECLINED;
  if (ngCliIp == 1 && kvrChkgCliIp(r) == 1) {
    kvrCount(kvrRequestsExempt);
    return DECLINED;
  }
  kvrCount(kvrRequestsScreened);
  return checkMethod(r);
}

int kvr_ap_fixups(request_rec *r) {
  if (!kvrScreensRequest(r)) return DECLINED;
  if (ngCliIp == 1 && kvrChkgCliIp(r) == 1) {
    kvrCount(kvrRequestsExempt);
    return DECLINED;
  }
  kvrCount(kvrRequestsScreened);

  if (checkMethod(r) == DONE) return DONE;

  const char *address = kvrRequestAddress(r);
  if (nUrlLen != 0 && std::strlen(address) > nUrlLen) {
    const int limit = static_cast<int>(nUrlLen);
    return sendPage(r, apr_psprintf(r->pool, strUrlLenMsg, limit, limit), kvrRefusedUrlLength);
  }

  if (nPostSize > 0 && r->method && strcasecmp(r->method, "POST") == 0) {
    const char *length = apr_table_get(r->headers_in, "Content-Length");
    if (length) {
      const apr_int64_t declared = apr_atoi64(length);
      if (declared >= 1 && declared > nPostSize)
        return sendPage(r, apr_psprintf(r->pool, strPostSizeMsg, nPostSize, nPostSize),
                        kvrRefusedPostSize);
    }
  }

  if ((nBlockIp == 1 || nBlockIp == 2) && kvrChkBlockIp(r) == 2)
    return refused(kvrRefusedClientList);
  if ((nPostIp == 1 || nPostIp == 2) && kvrChkPostIp(r) == 2)
    return refused(kvrRefusedPostClientList);
  if (nChkBeianBaiDn == 1 && kvrChkBeianBaiDn(r) == 2) return refused(kvrRefusedDomainAllowList);
  if (nChkBeianHeiDn == 1 && kvrChkBeianHeiDn(r) == 2) return refused(kvrRefusedDomainBlockList);
  if ((nBlockSql == 1 || nBlockSql == 2) && kvrChkBlockSql(r) == 2) return refused(kvrRefusedSql);

  if (nBlockUrl == 1 || nBlockUrl == 2) {
    const int at = kvrListFind(address, arrBlockUrl, true);
    if (at >= 0) {
      if (nBlockUrl == 1) {
        kvrWriteIcpLog(r, "拦截", "URL", arrBlockUrl[at]);
        return sendPage(r, strBlockUrlMsg, kvrRefusedUrlList);
      }
      kvrWriteIcpLog(r, "记录", "URL", arrBlockUrl[at]);
    }
  }

  if ((nBlockFilePath == 1 || nBlockFilePath == 2) && r->filename) {
    const size_t len = std::strlen(r->filename);
    const char last = len ? r->filename[len - 1] : '\0';
    if (len >= 4 && last != '/' && last != '\\') {
      const int at = kvrListFind(r->filename, arrBlockFilePath, true);
      if (at >= 0) {
        if (nBlockFilePath == 1) {
          kvrWriteIcpLog(r, "拦截", "DIR", arrBlockFilePath[at]);
          return sendPage(r,
                          apr_psprintf(r->pool, strBlockFilePathMsg, arrBlockFilePath[at],
                                       arrBlockFilePath[at]),
                          kvrRefusedFilePath);
        }
        kvrWriteIcpLog(r, "记录", "DIR", arrBlockFilePath[at]);
      }
    }
  }
  return DECLINED;
}
