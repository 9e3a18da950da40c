// Keeps the server's own behaviour intact around the screening.
#include "module/kvr_request.h"

#include <apr_strings.h>
#include <http_protocol.h>

const char *kvrPathWithoutInfo(request_rec *r) {
  const size_t cut = kvrPathInfoCut(r->uri, r->path_info);
  if (!r->uri || r->uri[cut] == '\0') return r->uri;
  return apr_pstrndup(r->pool, r->uri, cut);
}

bool kvrScreensRequest(const request_rec *r) {
  if (r->main) return false;
  // An error document: the status of the request it answers is an error.
  if (r->prev && ap_is_HTTP_ERROR(r->prev->status)) return false;
  return true;
}
