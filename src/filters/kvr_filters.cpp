// The output filter "o-kvr-resource-1" and the pieces both filters share.
#include "filters/kvr_filters.h"

#include <apr_buckets.h>
#include <apr_strings.h>
#include <http_protocol.h>
#include <http_request.h>

#include <cstring>
#include <new>

#include "config/kvr_config.h"
#include "filters/kvr_filter_state.h"
#include "filters/kvr_get_scan.h"
#include "module/kvr_request.h"
#include "module/kvr_screen.h"

ap_filter_rec_t *kvrDiscardFilter = nullptr;

KvrFilterState *kvrFilterState(ap_filter_t *f) {
  if (!f->ctx) f->ctx = new (apr_pcalloc(f->r->pool, sizeof(KvrFilterState))) KvrFilterState;
  return static_cast<KvrFilterState *>(f->ctx);
}

apr_status_t kvr_discard_filter(ap_filter_t * /*f*/, apr_bucket_brigade *bb) {
  apr_brigade_cleanup(bb);
  return APR_SUCCESS;
}

void kvrSendBlockPage(request_rec *r, const char *page, ap_filter_t *self) {
  // Whatever the handler sends after the page must not reach the client: a
  // response already complete would otherwise be followed by the rest of the
  // handler's output (and on a kept-alive connection that spoils the next
  // response). When headers are already out, the page can only follow what
  // was sent, and the connection is not reused.
  if (r->sent_bodyct) r->connection->keepalive = AP_CONN_CLOSE;
  conn_rec *c = r->connection;
  apr_bucket_brigade *out = apr_brigade_create(r->pool, c->bucket_alloc);
  kvrPrepareBlockResponse(r);
  const apr_size_t len = std::strlen(page);
  ap_set_content_type(r, "text/html; charset=gbk");
  ap_set_content_length(r, static_cast<apr_off_t>(len));
  APR_BRIGADE_INSERT_TAIL(out, apr_bucket_immortal_create(page, len, c->bucket_alloc));
  APR_BRIGADE_INSERT_TAIL(out, apr_bucket_eos_create(c->bucket_alloc));
  KvrFilterState *st = self ? kvrFilterState(self) : nullptr;
  if (st) st->passingPage = true;
  ap_pass_brigade(r->output_filters, out);
  if (st) {
    st->passingPage = false;
    st->blocked = true;
  } else if (kvrDiscardFilter) {
    ap_add_output_filter_handle(kvrDiscardFilter, nullptr, r, c);
  }
}

apr_status_t rizururuzarida_o_filter(ap_filter_t *f, apr_bucket_brigade *bb) {
  request_rec *r = f->r;
  KvrFilterState *st = kvrFilterState(f);
  if (st->passingPage) return ap_pass_brigade(f->next, bb);
  if (st->blocked) {
    // Filters above this one may still pass on what they held of the
    // handler's output, and the handler may go on writing: none of it goes
    // out after the block page.
    apr_brigade_cleanup(bb);
    return APR_SUCCESS;
  }
  kvrRestoreAcceptEncoding(r);
  if (ngCliIp == 1) {
    if (st->client < 0) st->client = kvrChkgCliIp(r);
    if (st->client == 1) return ap_pass_brigade(f->next, bb);
  }
  if (!r->content_type || strncasecmp(r->content_type, "text/", 5) != 0 ||
      strcasecmp(r->method, "GET") != 0)
    return ap_pass_brigade(f->next, bb);

  const bool examine = nVazidezChkGetKeyWord == 1 || nVazidezBlockGetKeyWord == 1;
  const bool passOn = kvrEachDataBucket(bb, [&](apr_bucket *b, const char *data, apr_size_t len) {
    const int trailAfter = kvrGbkTrailAfter(data, len, st->gbkTrail);
    if (examine && len > nGetSizeMin && len < nGetSizeMax && chkGetDataType(data, len) == 1 &&
        kvrChkGetKeyWord(f, bb, b, data, len) == 2)
      return false;  // blocked: the page has replaced the response
    st->gbkTrail = trailAfter;
    return true;
  });
  if (!passOn) return APR_SUCCESS;
  return ap_pass_brigade(f->next, bb);
}
