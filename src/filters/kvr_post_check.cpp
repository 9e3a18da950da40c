// The input filter "i-kvr-resource-1": a POST body is read and screened
// whole before the handler receives any byte of it.
#include <apr_buckets.h>
#include <apr_file_io.h>
#include <apr_strings.h>
#include <http_protocol.h>
#include <http_request.h>

#include <cstring>

#include "config/kvr_config.h"
#include "filters/kvr_filter_state.h"
#include "filters/kvr_filters.h"
#include "log/kvr_log.h"
#include "module/kvr_counters.h"
#include "module/kvr_screen.h"
#include "util/kvr_bigbuf.h"
#include "util/kvr_text.h"

namespace {

// A body up to this length is held in memory; the rest of a longer one
// goes to a temporary file of the request (LimitRequestBody bounds it).
constexpr apr_off_t kBodyInMemory = 1 << 20;
// Of that, the first bytes stay in the buckets they came in; the rest is
// copied into one buffer of the request that goes back to the system with
// it, so that a long body leaves no blocks behind with the connection.
constexpr apr_off_t kBodyInBuckets = kKvrBigBuffer;
// What one read of the next filter asks for.
constexpr apr_off_t kReadAhead = 65536;

// Logs what the sweeps of a segment found; a block entry's page replaces
// the response. true when blocked.
bool act(request_rec *r, int result, const KvrEvent *ev, int num) {
  for (int k = 0; k < num; ++k)
    kvrWriteKeywordEvent(r, ev[k].charset, ev[k].action == 2 ? "拦截" : "记录", ev[k].keyword,
                         "POST", ev[k].context);
  if (result != 2) return false;
  char *page = kvr_str_replace(r->pool, const_cast<char *>("{!postkey!}"),
                               const_cast<char *>(ev[0].keyword), strVazidezPostShow, 32768);
  if (page) kvr_remove_str(page);
  kvrSendBlockPage(r, page ? page : "", nullptr);  // without a template: an empty page
  return true;
}

// Where the part of a body beyond what memory holds is kept.
struct Spill {
  apr_file_t *file = nullptr;
  apr_off_t written = 0;  // bytes in the file
  apr_off_t queued = 0;   // of them, already in the held brigade as file buckets
};

apr_status_t spillWrite(request_rec *r, Spill *sp, const char *data, apr_size_t len) {
  if (!sp->file) {
    const char *dir = nullptr;
    apr_status_t rv = apr_temp_dir_get(&dir, r->pool);
    if (rv != APR_SUCCESS) return rv;
    char *name = apr_pstrcat(r->pool, dir, "/kvr-body-XXXXXX", nullptr);
    // Removed when the request's pool closes it.
    rv = apr_file_mktemp(&sp->file, name, 0, r->pool);
    if (rv != APR_SUCCESS) return rv;
  }
  const apr_status_t rv = apr_file_write_full(sp->file, data, len, nullptr);
  if (rv == APR_SUCCESS) sp->written += static_cast<apr_off_t>(len);
  return rv;
}

// The file's bytes not yet in the brigade go there, so that what follows
// keeps its place.
void spillQueue(request_rec *r, Spill *sp, apr_bucket_brigade *held) {
  if (!sp->file || sp->written == sp->queued) return;
  apr_brigade_insert_file(held, sp->file, sp->queued, sp->written - sp->queued, r->pool);
  sp->queued = sp->written;
}

// Reads the whole body from the next filter into st->body, screening it as
// it comes. A blocked body is read to its end and dropped, so that the
// connection can serve its next request.
apr_status_t readBody(ap_filter_t *f, KvrFilterState *st) {
  request_rec *r = f->r;
  conn_rec *c = r->connection;
  st->body = apr_brigade_create(r->pool, c->bucket_alloc);
  apr_bucket_brigade *in = apr_brigade_create(r->pool, c->bucket_alloc);
  Spill sp;
  apr_off_t inMemory = 0;
  char *held = nullptr;  // the body's bytes in memory beyond kBodyInBuckets
  apr_size_t heldLen = 0;
  bool blocked = false;
  KvrEvent ev[8];
  int num = 0;
  for (bool end = false; !end;) {
    apr_status_t rv = ap_get_brigade(f->next, in, AP_MODE_READBYTES, APR_BLOCK_READ, kReadAhead);
    if (rv != APR_SUCCESS) {
      apr_brigade_cleanup(in);
      return rv;
    }
    if (APR_BRIGADE_EMPTY(in)) break;  // nothing more will come
    while (!APR_BRIGADE_EMPTY(in)) {
      apr_bucket *e = APR_BRIGADE_FIRST(in);
      if (APR_BUCKET_IS_METADATA(e)) {
        if (APR_BUCKET_IS_EOS(e)) end = true;
        APR_BUCKET_REMOVE(e);
        if (blocked) {
          apr_bucket_destroy(e);
          continue;
        }
        spillQueue(r, &sp, st->body);
        APR_BRIGADE_INSERT_TAIL(st->body, e);
        continue;
      }
      const char *data = nullptr;
      apr_size_t len = 0;
      rv = apr_bucket_read(e, &data, &len, APR_BLOCK_READ);
      if (rv != APR_SUCCESS) {
        apr_brigade_cleanup(in);
        return rv;
      }
      if (len == 0 || blocked) {
        apr_bucket_delete(e);
        continue;
      }
      for (apr_size_t at = 0; at < len && !blocked;) {
        const apr_size_t room = kvrPostStreamRoom(&st->post);
        const apr_size_t n = len - at < room ? len - at : room;
        kvrPostStreamAdd(&st->post, data + at, n);
        kvrCount(kvrBodyBytesExamined, n);
        at += n;
        if (kvrPostStreamRoom(&st->post) == 0) {
          const int result = kvrPostStreamEnd(&st->post, false, ev, &num);
          blocked = act(r, result, ev, num);
        }
      }
      if (blocked) {
        apr_bucket_delete(e);
        continue;
      }
      if (!sp.file && inMemory + static_cast<apr_off_t>(len) <= kBodyInBuckets) {
        rv = apr_bucket_setaside(e, r->pool);
        if (rv != APR_SUCCESS) {
          apr_brigade_cleanup(in);
          return rv;
        }
        APR_BUCKET_REMOVE(e);
        APR_BRIGADE_INSERT_TAIL(st->body, e);
        inMemory += static_cast<apr_off_t>(len);
      } else if (!sp.file && inMemory + static_cast<apr_off_t>(len) <= kBodyInMemory) {
        // Pages of the buffer are only taken as they are written. Pool
        // buckets: one that outlives the request takes a copy of its bytes.
        if (!held) {
          held = static_cast<char *>(kvrBigAlloc(r->pool, kBodyInMemory - inMemory));
          if (!held) {
            apr_brigade_cleanup(in);
            return APR_ENOMEM;
          }
        }
        std::memcpy(held + heldLen, data, len);
        APR_BRIGADE_INSERT_TAIL(
            st->body, apr_bucket_pool_create(held + heldLen, len, r->pool, c->bucket_alloc));
        heldLen += len;
        inMemory += static_cast<apr_off_t>(len);
        apr_bucket_delete(e);
      } else {
        rv = spillWrite(r, &sp, data, len);
        apr_bucket_delete(e);
        if (rv != APR_SUCCESS) {
          apr_brigade_cleanup(in);
          return rv;
        }
      }
    }
    apr_brigade_cleanup(in);
  }
  if (!blocked) {
    const int result = kvrPostStreamEnd(&st->post, true, ev, &num);
    blocked = act(r, result, ev, num);
  }
  if (st->post.decodeError)
    kvrWriteDebugLog(r->pool, "kvrChkPostKeyWord... ap_unescape_url(szBuffRawTemp) err");
  if (blocked) {
    // The handler gets no byte of a blocked body: its read fails, and httpd
    // sends nothing for that error, since the block page is out.
    apr_brigade_cleanup(st->body);
    return AP_FILTER_ERROR;
  }
  // The file part goes before the end of the body.
  apr_bucket *eos = APR_BRIGADE_LAST(st->body);
  if (eos != APR_BRIGADE_SENTINEL(st->body) && APR_BUCKET_IS_EOS(eos)) {
    APR_BUCKET_REMOVE(eos);
    spillQueue(r, &sp, st->body);
    APR_BRIGADE_INSERT_TAIL(st->body, eos);
  } else {
    spillQueue(r, &sp, st->body);
  }
  return APR_SUCCESS;
}

// Hands the held body to the reader as the next filter would: up to
// readbytes, a line, or all of it.
apr_status_t serveBody(KvrFilterState *st, apr_bucket_brigade *bb, ap_input_mode_t mode,
                       apr_read_type_e block, apr_off_t readbytes) {
  apr_bucket_brigade *body = st->body;
  if (APR_BRIGADE_EMPTY(body)) {
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(bb->bucket_alloc));
    return APR_SUCCESS;
  }
  if (mode == AP_MODE_GETLINE) return apr_brigade_split_line(bb, body, block, HUGE_STRING_LEN);
  if (mode == AP_MODE_EXHAUSTIVE) {
    APR_BRIGADE_CONCAT(bb, body);
    return APR_SUCCESS;
  }
  apr_bucket *after = nullptr;
  const apr_status_t rv = apr_brigade_partition(body, readbytes, &after);
  if (rv != APR_SUCCESS && rv != APR_INCOMPLETE) return rv;
  for (apr_bucket *e = APR_BRIGADE_FIRST(body); e != after;) {
    apr_bucket *next = APR_BUCKET_NEXT(e);
    if (mode == AP_MODE_SPECULATIVE) {
      apr_bucket *copy = nullptr;
      if (apr_bucket_copy(e, &copy) == APR_SUCCESS) APR_BRIGADE_INSERT_TAIL(bb, copy);
    } else {
      APR_BUCKET_REMOVE(e);
      APR_BRIGADE_INSERT_TAIL(bb, e);
    }
    e = next;
  }
  // The end of the body comes with its last bytes, as from the server.
  if (mode != AP_MODE_SPECULATIVE && !APR_BRIGADE_EMPTY(body) &&
      APR_BUCKET_IS_EOS(APR_BRIGADE_FIRST(body))) {
    apr_bucket *eos = APR_BRIGADE_FIRST(body);
    APR_BUCKET_REMOVE(eos);
    APR_BRIGADE_INSERT_TAIL(bb, eos);
  }
  return APR_SUCCESS;
}

// Whether this request's body is screened; decided at its first read.
bool screensBody(request_rec *r, KvrFilterState *st) {
  if (nVazidezChkPostKeyWord != 1 && nVazidezBlockPostKeyWord != 1) return false;
  if (st->exempt < 0) st->exempt = kvrVazidezChkPostDna(r);
  if (st->script < 0) st->script = kvrVazidezChkScript(r);
  if (st->exempt == 1 || st->script != 1) return false;
  const char *type = apr_table_get(r->headers_in, "Content-Type");
  if (!type) return false;
  const bool form = strcasecmp(type, "application/x-www-form-urlencoded") == 0;
  if (!kvrPostStreamInit(&st->post, r->pool, form)) return false;
  kvrCount(kvrBodiesExamined);
  return true;
}

}  // namespace

apr_status_t rizururuzarida_i_filter(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                     apr_read_type_e block, apr_off_t readbytes) {
  request_rec *r = f->r;
  KvrFilterState *st = kvrFilterState(f);
  if (ngCliIp == 1) {
    if (st->client < 0) st->client = kvrChkgCliIp(r);
    if (st->client == 1) return ap_get_brigade(f->next, bb, mode, block, readbytes);
  }
  if (strcasecmp(r->method, "POST") != 0)
    return ap_get_brigade(f->next, bb, mode, block, readbytes);
  if (mode == AP_MODE_INIT || mode == AP_MODE_EATCRLF)
    return ap_get_brigade(f->next, bb, mode, block, readbytes);
  if (!st->started) {
    st->started = true;
    try {
      st->screened = screensBody(r, st);
    } catch (...) {
      st->screened = false;
    }
  }
  if (!st->screened) {
    const apr_status_t rv = ap_get_brigade(f->next, bb, mode, block, readbytes);
    if (rv == APR_SUCCESS) kvrDropEmptyBuckets(bb);
    return rv;
  }
  if (st->failed != APR_SUCCESS) return st->failed;
  if (!st->body) {
    apr_status_t rv;
    try {
      rv = readBody(f, st);
    } catch (...) {
      // Out of memory in a sweep: what was read goes on unexamined.
      rv = APR_ENOMEM;
    }
    if (rv != APR_SUCCESS) {
      st->failed = rv;
      return rv;
    }
  }
  return serveBody(st, bb, mode, block, readbytes);
}
