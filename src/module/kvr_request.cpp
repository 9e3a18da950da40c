// Keeps the server's own behaviour intact around the screening.
#include "module/kvr_request.h"

#include <apr_buckets.h>
#include <apr_strings.h>
#include <http_protocol.h>
#include <http_request.h>

#include "config/kvr_config.h"
#include "filters/kvr_filters.h"
#include "module/kvr_screen.h"

ap_filter_rec_t *kvrOutputFilter = nullptr;
ap_filter_rec_t *kvrConditionalFilter = nullptr;

namespace {

// Request notes that carry what was kept from the handler.
constexpr const char *kAcceptEncodingNote = "kvr-accept-encoding";
constexpr const char *kRestoredNote = "kvr-headers-restored";
constexpr const char *kNotModifiedNote = "kvr-not-modified";

// The validators that let a handler answer 304 without producing the body,
// and the notes they wait in.
struct Hidden {
  const char *header;
  const char *note;
};
constexpr Hidden kValidators[] = {
    {"If-None-Match", "kvr-if-none-match"},
    {"If-Modified-Since", "kvr-if-modified-since"},
};

// What a block page must not carry over from the response it replaces:
// the resource's validators, its ranges and its freshness.
constexpr const char *kResourceHeaders[] = {"ETag",          "Last-Modified", "Accept-Ranges",
                                            "Content-Range", "Expires",       "Cache-Control"};

bool outputFilterAttached(const request_rec *r) {
  if (!kvrOutputFilter) return false;
  for (const ap_filter_t *f = r->output_filters; f; f = f->next)
    if (f->frec == kvrOutputFilter) return true;
  return false;
}

}  // namespace

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

void kvrHideAcceptEncoding(request_rec *r) {
  const char *value = apr_table_getm(r->pool, r->headers_in, "Accept-Encoding");
  if (!value) return;
  apr_table_setn(r->notes, kAcceptEncodingNote, value);
  apr_table_unset(r->headers_in, "Accept-Encoding");
}

void kvr_ap_insert_filter(request_rec *r) {
  // Only a GET response that the output filter examines for block keywords
  // can turn into a block page.
  if (!kvrConditionalFilter || r->main || r->header_only || r->method_number != M_GET ||
      nVazidezBlockGetKeyWord != 1)
    return;
  bool conditional = false;
  for (const Hidden &h : kValidators)
    conditional |= apr_table_get(r->headers_in, h.header) != nullptr;
  if (!conditional || !outputFilterAttached(r)) return;
  if (ngCliIp == 1 && kvrChkgCliIp(r) == 1) return;
  if (kvrVazidezChkGetDna(r) == 1 || kvrVazidezChkScript(r) != 1) return;
  for (const Hidden &h : kValidators) {
    const char *value = apr_table_getm(r->pool, r->headers_in, h.header);
    if (!value) continue;
    apr_table_setn(r->notes, h.note, value);
    apr_table_unset(r->headers_in, h.header);
  }
  ap_add_output_filter_handle(kvrConditionalFilter, nullptr, r, r->connection);
}

void kvrRestoreAcceptEncoding(request_rec *r) {
  if (r->main || apr_table_get(r->notes, kRestoredNote)) return;
  apr_table_setn(r->notes, kRestoredNote, "1");
  // The header was taken from the client's request as it arrived; an
  // internal redirect starts with notes of its own.
  const request_rec *first = r;
  while (first->prev) first = first->prev;
  const char *encoding = apr_table_get(first->notes, kAcceptEncodingNote);
  if (encoding && !apr_table_get(r->headers_in, "Accept-Encoding"))
    apr_table_setn(r->headers_in, "Accept-Encoding", encoding);
}

apr_status_t kvr_conditional_filter(ap_filter_t *f, apr_bucket_brigade *bb) {
  request_rec *r = f->r;
  if (!f->ctx) {
    // The response's validators are known by now: decide as the handler
    // would have.
    f->ctx = f;
    bool conditional = false;
    for (const Hidden &h : kValidators) {
      const char *value = apr_table_get(r->notes, h.note);
      if (!value) continue;
      apr_table_setn(r->headers_in, h.header, value);
      conditional = true;
    }
    if (conditional && ap_meets_conditions(r) == HTTP_NOT_MODIFIED)
      apr_table_setn(r->notes, kNotModifiedNote, "1");
  }
  // Not modified, or a block page has taken the response's place: out of
  // the way.
  if (!apr_table_get(r->notes, kNotModifiedNote)) {
    ap_remove_output_filter(f);
    return ap_pass_brigade(f->next, bb);
  }
  bool end = false;
  for (apr_bucket *b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb); b = APR_BUCKET_NEXT(b))
    end |= APR_BUCKET_IS_EOS(b);
  apr_brigade_cleanup(bb);
  if (!end) return APR_SUCCESS;
  r->status = HTTP_NOT_MODIFIED;
  APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(r->connection->bucket_alloc));
  ap_remove_output_filter(f);
  return ap_pass_brigade(f->next, bb);
}

void kvrPrepareBlockResponse(request_rec *r) {
  r->status = HTTP_OK;
  r->status_line = nullptr;
  for (const char *name : kResourceHeaders) {
    apr_table_unset(r->headers_out, name);
    apr_table_unset(r->err_headers_out, name);
  }
  apr_table_setn(r->headers_out, "Cache-Control", "no-store");
  // The page goes out whole: the range filter after this one must not cut it.
  apr_table_unset(r->headers_in, "Range");
  apr_table_unset(r->headers_in, "Request-Range");
  apr_table_unset(r->headers_in, "If-Range");
  // Nor does a conditional request make it a 304.
  apr_table_unset(r->notes, kNotModifiedNote);
  for (const Hidden &h : kValidators) apr_table_unset(r->notes, h.note);
}
