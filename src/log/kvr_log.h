// Hourly event logs.
#pragma once

#include <apr_pools.h>
#include <httpd.h>

// Head of every HTML page the module writes (event logs, status page).
extern const char strLogHead[];
extern const size_t kvrLogHeadLen;

int kvrWriteHtmlLog(apr_pool_t *pool, int nCacheLogMsg, int nPageCode, const char *szAction,
                    const char *szClass, const char *szDescription, const char *szCliIp,
                    const char *szCliPort, const char *szReqMet, const char *szSerIp,
                    const char *szDn, const char *szSerPort, const char *szURL,
                    const char *szQueryString, const char *szIIsIndex, const char *szFilePath,
                    const char *szReferer, const char *szHtmlPageTitle,
                    const char *szHtmlPageContext);
int kvrWriteTextLog(apr_pool_t *pool, int nCacheLogMsg, int nPageCode, const char *szAction,
                    const char *szClass, const char *szDescription, const char *szCliIp,
                    const char *szCliPort, const char *szReqMet, const char *szSerIp,
                    const char *szDn, const char *szSerPort, const char *szURL,
                    const char *szQueryString, const char *szIIsIndex, const char *szFilePath,
                    const char *szReferer, const char *szHtmlPageTitle,
                    const char *szHtmlPageContext);
int kvrWriteIcpLog(request_rec *r, const char *szAction, const char *szClass,
                   const char *szDescription);
// A keyword event of a request, in both logs: what the keyword checks write.
void kvrWriteKeywordEvent(request_rec *r, int nPageCode, const char *szAction,
                          const char *szKeyword, const char *szReqMet, const char *szContext);
int kvrWriteDebugLog(apr_pool_t *pool, const char *strMsg);
int kvrWriteDebugLogEx(apr_pool_t *pool, const char *strMsg, apr_size_t nMsgLen);
