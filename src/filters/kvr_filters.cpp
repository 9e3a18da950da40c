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
#include "log/kvr_log.h"
#include "module/kvr_counters.h"
#include "module/kvr_request.h"
#include "module/kvr_screen.h"
#include "util/kvr_text.h"

ap_filter_rec_t *kvrDiscardFilter = nullptr;

KvrFilterState *kvrFilterState(ap_filter_t *f) {
  if (!f->ctx) f->ctx = new (apr_pcalloc(f->r->pool, sizeof(KvrFilterState))) KvrFilterState;
  return static_cast<KvrFilterState *>(f->ctx);
}

namespace {

// The discard filter's own mark: only the module arms it.
struct DiscardState {
  bool dropping;
};

}  // namespace

apr_status_t kvr_discard_filter(ap_filter_t *f, apr_bucket_brigade *bb) {
  auto *st = static_cast<DiscardState *>(f->ctx);
  if (!st || !st->dropping) {
    ap_remove_output_filter(f);
    return ap_pass_brigade(f->next, bb);
  }
  // Everything up to the end of the request goes; the end of the request,
  // and what follows it on the connection, passes.
  for (apr_bucket *e = APR_BRIGADE_FIRST(bb); e != APR_BRIGADE_SENTINEL(bb);) {
    apr_bucket *next = APR_BUCKET_NEXT(e);
    if (AP_BUCKET_IS_EOR(e)) {
      st->dropping = false;
      ap_remove_output_filter(f);
      return ap_pass_brigade(f->next, bb);
    }
    apr_bucket_delete(e);
    e = next;
  }
  return APR_SUCCESS;
}

void kvrSendBlockPage(request_rec *r, const char *page, ap_filter_t *self) {
  // When headers are already out, the page can only follow what was sent,
  // and the connection is not reused.
  if (r->sent_bodyct) r->connection->keepalive = AP_CONN_CLOSE;
  conn_rec *c = r->connection;
  apr_bucket_brigade *out = apr_brigade_create(r->pool, c->bucket_alloc);
  kvrPrepareBlockResponse(r);
  const apr_size_t len = std::strlen(page);
  ap_set_content_type(r, "text/html; charset=gbk");
  ap_set_content_length(r, static_cast<apr_off_t>(len));
  APR_BRIGADE_INSERT_TAIL(out, apr_bucket_immortal_create(page, len, c->bucket_alloc));
  APR_BRIGADE_INSERT_TAIL(out, apr_bucket_eos_create(c->bucket_alloc));
  // From the output filter that blocks, the page goes on from there: the
  // filters before it have already seen the end of the response.
  ap_pass_brigade(self ? self->next : r->output_filters, out);
  if (self) kvrFilterState(self)->blocked = true;
  // Nothing of this request may follow the page: neither the rest of the
  // handler's output nor an error document, which httpd sends past the
  // request's own filters. On a kept-alive connection it would spoil the
  // next response.
  if (kvrDiscardFilter) {
    auto *ds = static_cast<DiscardState *>(apr_palloc(c->pool, sizeof(DiscardState)));
    ds->dropping = true;
    ap_add_output_filter_handle(kvrDiscardFilter, ds, r, c);
  }
}

namespace {

// Sends on what the filter holds.
apr_status_t passHeld(ap_filter_t *f, KvrFilterState *st) {
  if (APR_BRIGADE_EMPTY(st->held)) return APR_SUCCESS;
  st->sentAny = true;
  const apr_status_t rv = ap_pass_brigade(f->next, st->held);
  apr_brigade_cleanup(st->held);
  return rv;
}

// Acts on what a check of the response decided: an entry is logged; a
// block entry's page replaces what is held and ends the response.
bool act(ap_filter_t *f, KvrFilterState *st, int result, const KvrEvent &ev) {
  if (!result) return false;
  request_rec *r = f->r;
  kvrWriteKeywordEvent(r, ev.charset, ev.action == 2 ? "拦截" : "记录", ev.keyword, "GET",
                       ev.context);
  if (ev.action != 2) return false;
  char *page = kvr_str_replace(r->pool, const_cast<char *>("{!getkey!}"),
                               const_cast<char *>(ev.keyword), strVazidezGetShow, 32768);
  if (page) kvr_remove_str(page);
  apr_brigade_cleanup(st->held);
  // Without a template there is no page: an empty one is sent.
  kvrSendBlockPage(r, page ? page : "", f);
  return true;
}

// Whether this response is screened at all; decided on its first brigade.
bool screens(ap_filter_t *f, KvrFilterState *st) {
  request_rec *r = f->r;
  if (ngCliIp == 1) {
    if (st->client < 0) st->client = kvrChkgCliIp(r);
    if (st->client == 1) return false;
  }
  if (!r->content_type || strncasecmp(r->content_type, "text/", 5) != 0 ||
      strcasecmp(r->method, "GET") != 0)
    return false;
  if (st->exempt < 0) st->exempt = kvrVazidezChkGetDna(r);
  if (st->script < 0) st->script = kvrVazidezChkScript(r);
  if (!kvrGetStreamInit(&st->get, r->pool, st->exempt == 1, st->script == 1)) return false;
  // Its length where told: a static file's, or a script's Content-Length.
  apr_off_t length = r->clength;
  if (length <= 0)
    if (const char *cl = apr_table_get(r->headers_out, "Content-Length"))
      if (apr_strtoff(&length, cl, nullptr, 10) != APR_SUCCESS) length = 0;
  if (length > 0) kvrGetStreamExpect(&st->get, static_cast<uint64_t>(length));
  st->held = apr_brigade_create(r->pool, r->connection->bucket_alloc);
  kvrCount(kvrResponsesExamined);
  return true;
}

// Whether the response is one whole static file whose text was found clean
// before, unchanged since: it then goes out as it is, unread, as httpd
// would send it without the module. Any other response is checked; one that
// is a whole file is noted when it ends clean.
bool knownClean(KvrFilterState *st, apr_bucket_brigade *bb) {
  apr_bucket *e = APR_BRIGADE_FIRST(bb);
  if (e == APR_BRIGADE_SENTINEL(bb) || !APR_BUCKET_IS_FILE(e) || e->start != 0) return false;
  apr_bucket *next = APR_BUCKET_NEXT(e);
  if (next == APR_BRIGADE_SENTINEL(bb) || !APR_BUCKET_IS_EOS(next)) return false;
  // Asked of the open file itself, before any byte is read.
  const apr_int32_t wanted =
      APR_FINFO_TYPE | APR_FINFO_IDENT | APR_FINFO_SIZE | APR_FINFO_MTIME | APR_FINFO_CTIME;
  apr_finfo_t info;
  const apr_bucket_file *file = static_cast<const apr_bucket_file *>(e->data);
  const apr_status_t rv = apr_file_info_get(&info, wanted, file->fd);
  if ((rv != APR_SUCCESS && rv != APR_INCOMPLETE) || (info.valid & wanted) != wanted ||
      info.filetype != APR_REG || static_cast<apr_off_t>(e->length) != info.size)
    return false;
  KvrFileIdentity id;
  id.device = static_cast<uint64_t>(info.device);
  id.inode = static_cast<uint64_t>(info.inode);
  id.size = info.size;
  id.mtime = info.mtime;
  id.ctime = info.ctime;
  return kvrGetStreamFile(&st->get, id, apr_time_now());
}

apr_status_t screenBrigade(ap_filter_t *f, KvrFilterState *st, apr_bucket_brigade *bb) {
  request_rec *r = f->r;
  KvrEvent ev{};
  apr_read_type_e mode = APR_NONBLOCK_READ;
  while (!APR_BRIGADE_EMPTY(bb)) {
    apr_bucket *e = APR_BRIGADE_FIRST(bb);
    if (APR_BUCKET_IS_EOS(e)) {
      if (act(f, st, kvrGetStreamEnd(&st->get, true, &ev), ev)) {
        apr_brigade_cleanup(bb);
        return APR_SUCCESS;
      }
      APR_BRIGADE_CONCAT(st->held, bb);
      ap_remove_output_filter(f);
      return passHeld(f, st);
    }
    if (APR_BUCKET_IS_FLUSH(e) && (kvrGetStreamHolds(&st->get) || st->sentAny)) {
      // What is held goes out now, once it has been looked at. (Before any
      // data a flush waits with the rest: the headers must not go out
      // before the response is known to pass.)
      if (act(f, st, kvrGetStreamRelease(&st->get, &ev), ev)) {
        apr_brigade_cleanup(bb);
        return APR_SUCCESS;
      }
      APR_BUCKET_REMOVE(e);
      APR_BRIGADE_INSERT_TAIL(st->held, e);
      const apr_status_t rv = passHeld(f, st);
      if (rv != APR_SUCCESS) return rv;
      continue;
    }
    if (APR_BUCKET_IS_METADATA(e)) {  // kept in order with the data
      APR_BUCKET_REMOVE(e);
      APR_BRIGADE_INSERT_TAIL(st->held, e);
      continue;
    }
    const char *data = nullptr;
    apr_size_t len = 0;
    apr_status_t rv = apr_bucket_read(e, &data, &len, mode);
    if (rv == APR_EAGAIN && mode == APR_NONBLOCK_READ) {
      // The source has nothing more yet: what is held goes out with a
      // flush, so that a slow response reaches the client as it is made,
      // and then the filter waits for more.
      // Before any data, nothing goes out: the headers wait with it.
      if (kvrGetStreamHolds(&st->get)) {
        if (act(f, st, kvrGetStreamRelease(&st->get, &ev), ev)) {
          apr_brigade_cleanup(bb);
          return APR_SUCCESS;
        }
        APR_BRIGADE_INSERT_TAIL(st->held, apr_bucket_flush_create(r->connection->bucket_alloc));
        rv = passHeld(f, st);
        if (rv != APR_SUCCESS) return rv;
      }
      mode = APR_BLOCK_READ;
      continue;
    }
    mode = APR_NONBLOCK_READ;
    if (rv != APR_SUCCESS) {
      // Passed on unexamined: the filters after this one report it.
      APR_BUCKET_REMOVE(e);
      APR_BRIGADE_INSERT_TAIL(st->held, e);
      continue;
    }
    if (len == 0) {
      apr_bucket_delete(e);
      continue;
    }
    const size_t room = kvrGetStreamRoom(&st->get);
    if (len > room) {
      apr_bucket_split(e, room);
      len = room;
    }
    // Held until it is decided: set aside where it lies (a copy only for
    // transient data), and read again for where it now lives.
    if (apr_bucket_setaside(e, r->pool) != APR_SUCCESS ||
        apr_bucket_read(e, &data, &len, APR_BLOCK_READ) != APR_SUCCESS) {
      APR_BUCKET_REMOVE(e);
      APR_BRIGADE_INSERT_TAIL(st->held, e);
      continue;
    }
    APR_BUCKET_REMOVE(e);
    APR_BRIGADE_INSERT_TAIL(st->held, e);
    kvrGetStreamAdd(&st->get, data, len);
    kvrCount(kvrResponseBytesExamined, len);
    if (kvrGetStreamNotText(&st->get)) {
      // Not text: nothing of it is searched.
      APR_BRIGADE_CONCAT(st->held, bb);
      ap_remove_output_filter(f);
      return passHeld(f, st);
    }
    if (kvrGetStreamRoom(&st->get) == 0) {
      if (act(f, st, kvrGetStreamEnd(&st->get, false, &ev), ev)) {
        apr_brigade_cleanup(bb);
        return APR_SUCCESS;
      }
      rv = passHeld(f, st);
      if (rv != APR_SUCCESS) return rv;
    }
  }
  return APR_SUCCESS;
}

}  // namespace

apr_status_t rizururuzarida_o_filter(ap_filter_t *f, apr_bucket_brigade *bb) {
  KvrFilterState *st = kvrFilterState(f);
  if (st->blocked) {
    // Filters above this one may still pass on what they held of the
    // handler's output, and the handler may go on writing: none of it goes
    // out after the block page.
    apr_brigade_cleanup(bb);
    return APR_SUCCESS;
  }
  if (!st->started) {
    st->started = true;
    kvrRestoreAcceptEncoding(f->r);
    st->screened = screens(f, st);
    bool known = false;
    try {
      known = st->screened && knownClean(st, bb);
    } catch (...) {
      // Its table's lock failed: the response is checked.
    }
    if (known) {
      kvrCount(kvrResponsesKnownClean);
      st->screened = false;
    }
    if (!st->screened) {
      ap_remove_output_filter(f);
      return ap_pass_brigade(f->next, bb);
    }
  } else if (!st->screened) {
    return ap_pass_brigade(f->next, bb);
  }
  try {
    return screenBrigade(f, st, bb);
  } catch (...) {
    // Out of memory in a search: the response goes on unexamined.
    st->screened = false;
    APR_BRIGADE_CONCAT(st->held, bb);
    ap_remove_output_filter(f);
    return passHeld(f, st);
  }
}
