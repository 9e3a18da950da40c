// What the module does to a request so that screening leaves the server's
// own behaviour intact: which requests the screening sees.
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
