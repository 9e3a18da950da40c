// The text around a keyword hit, for the event logs.
#pragma once

#include <apr_pools.h>
#include <httpd.h>

int kvrStrSub(apr_pool_t *pool, char *szBuffIn, apr_size_t s1, apr_size_t n1, char *szBuffOut);

int kvrGetHtmlPageContextMutilKey(request_rec *r, apr_size_t nPageCode, apr_size_t nKeyWordNum,
                                  char *szKeyWordBuff0, char *szKeyWordBuff1, char *szKeyWordBuff2,
                                  char *szKeyWordBuff3, const char *szHtmlPageRawBuff,
                                  apr_size_t dwHtmlPageRawBuffLen, char *szHtmlPageBuff,
                                  apr_size_t dwHtmlPageBuffLen, char *szContextBuff,
                                  apr_size_t dwContextLen, apr_size_t nSetKeyWordColorToRed,
                                  apr_size_t nRepKeyWordHtmlChar);
int kvrPostHtmlPageContextMutilKey(request_rec *r, apr_size_t nPageCode, apr_size_t nKeyWordNum,
                                   char *szKeyWordBuff0, char *szKeyWordBuff1, char *szKeyWordBuff2,
                                   char *szKeyWordBuff3, char *szHtmlPageRawBuff,
                                   apr_size_t dwHtmlPageRawBuffLen, char *szHtmlPageBuff,
                                   apr_size_t dwHtmlPageBuffLen, char *szContextBuff,
                                   apr_size_t dwContextLen, apr_size_t nSetKeyWordColorToRed,
                                   apr_size_t nRepKeyWordHtmlChar);

// The same extraction with a pool instead of a request.
int kvrPageContext(apr_pool_t *pool, apr_size_t nKeyWordNum, const char *key0, const char *key1,
                   const char *key2, const char *key3, const char *raw, apr_size_t rawLen,
                   const char *filtered, apr_size_t filteredLen, char *szContextBuff,
                   apr_size_t dwContextLen);
