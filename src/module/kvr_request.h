// What the module does to a request so that screening leaves the server's
// own behaviour intact: which requests the screening sees, the request
// headers it keeps away from handlers and backends and gives back for the
// filters after its own, and the shape of a block response.
#pragma once

#include <httpd.h>
#include <util_filter.h>

#include <cstring>

// Length of the part of a path that names what runs: the path without the
// path info that follows a script or file. A path info that does not end
// the path (a rewritten request) leaves the whole path.
inline size_t kvrPathInfoCut(const char *uri, const char *pathInfo) {
  const size_t len = uri ? std::strlen(uri) : 0;
  const size_t info = pathInfo ? std::strlen(pathInfo) : 0;
  if (info == 0 || info >= len || std::strcmp(uri + len - info, pathInfo) != 0) return len;
  return len - info;
}

// r->uri without its path info (r->uri itself when there is none).
const char *kvrPathWithoutInfo(request_rec *r);

// Whether the request checks screen this request. The server's own
// sub-requests (index lookups, listing entries, includes, negotiation) are
// not the client's and are never screened. An internal redirect decides
// what runs (a rewrite, a handler's redirect) and is screened like the
// client's request, except an error document, which is the server's answer
// to a request already screened.
bool kvrScreensRequest(const request_rec *r);

// Keeps "Accept-Encoding" away from handlers and backends (so that they send
// text that can be screened), remembering it for the output filter.
void kvrHideAcceptEncoding(request_rec *r);

// Where the output filter screens a GET response for block keywords, the
// validators that would let a handler or backend answer 304 without the
// body ("If-None-Match", "If-Modified-Since") are kept from them too, and
// the conditional filter is added to answer them once the body has been
// screened. Insert-filter hook.
void kvr_ap_insert_filter(request_rec *r);

// Called by the output filter before the response goes to any later
// filter: gives back "Accept-Encoding", so that a screened response is
// compressed for a client that asked, as without the module. Works once per
// request; later calls do nothing.
void kvrRestoreAcceptEncoding(request_rec *r);

// The conditional filter, after the output filter and before compression
// and ranges: gives the validators back and, when they make the response
// "304 Not Modified", lets nothing of the screened body through and ends
// the response as the 304 the handler would have sent. A block page
// cancels it.
apr_status_t kvr_conditional_filter(ap_filter_t *f, apr_bucket_brigade *bb);

// Makes the response a whole block page: status 200, without the blocked
// resource's validators, ranges or freshness, never stored by a cache, and
// never a 304. Called before every block page is sent.
void kvrPrepareBlockResponse(request_rec *r);

// The output filter's record, for the insert-filter hook to find it, and
// the conditional filter's.
extern ap_filter_rec_t *kvrOutputFilter;
extern ap_filter_rec_t *kvrConditionalFilter;
