// The POST keyword check and the input filter "i-kvr-resource-1".
#include <apr_buckets.h>
#include <apr_strings.h>
#include <http_protocol.h>
#include <http_request.h>

#include <cstring>

#include "config/kvr_config.h"
#include "filters/kvr_context.h"
#include "filters/kvr_filter_state.h"
#include "filters/kvr_filters.h"
#include "filters/kvr_post_scan.h"
#include "log/kvr_log.h"
#include "match/kvr_match.h"
#include "module/kvr_screen.h"
#include "module/rizu_compat.h"
#include "util/kvr_text.h"

apr_status_t kvr_out_on_error_in(ap_filter_t *f2, apr_bucket * /*b*/, apr_bucket_brigade *bb,
                                 char *str) {
  apr_brigade_cleanup(bb);
  ap_remove_input_filter(f2);
  // The handler reads on (it gets an empty brigade now) and then writes its
  // own response: none of that may follow the block page.
  kvrSendBlockPage(f2->r, str ? str : "", nullptr);
  return APR_SUCCESS;
}

namespace {

structPostKeyWord &entryOf(const KvrPostHit &h) {
  switch (h.table) {
    case kPostC:
      return arrPostKeyWord.c[h.index];
    case kPostCex:
      return arrPostKeyWord.cex[h.index];
    case kPostB:
      return arrPostKeyWord.b[h.index];
    default:
      return arrPostKeyWord.bex[h.index];
  }
}

void logHit(request_rec *r, KvrPostText &text, const KvrPostHit &h, const char *action) {
  kvrPostEnsureFiltered(r->pool, &text);
  structPostKeyWord &e = entryOf(h);
  char *form = h.pass == 1 ? e.gbk : e.utf8;
  char words[3][256] = {};
  apr_size_t num = 1;
  if (std::strchr(e.gbk, ',')) num = static_cast<apr_size_t>(kvrSplitKeyWord(form, words));
  const bool filtered = h.table == kPostC || h.table == kPostB;
  char *context = static_cast<char *>(apr_pcalloc(r->pool, 3 * nLogPostHtmlPageLen + 1));
  kvrPostHtmlPageContextMutilKey(r, 0, num, form, words[0], words[1], words[2], text.raw,
                                 text.rawLen, filtered ? text.filtered.text : text.raw,
                                 filtered ? text.filtered.len : text.rawLen, context,
                                 nLogPostHtmlPageLen, 0, 0);
  kvrWriteKeywordEvent(r, h.pass, action, e.gbk, "POST", context);
}

}  // namespace

int kvrChkPostKeyWord(ap_filter_t *f, apr_bucket_brigade *bb, apr_bucket *b, const char *szPostBuff,
                      apr_size_t nPostBuffLen) {
  request_rec *r = f->r;
  KvrFilterState *st = kvrFilterState(f);
  if (st->exempt < 0) st->exempt = kvrVazidezChkPostDna(r);
  if (st->script < 0) st->script = kvrVazidezChkScript(r);
  if (nVazidezChkPostKeyWord != 1 && nVazidezBlockPostKeyWord != 1) return 1;
  if (st->exempt == 1 || st->script != 1) return 1;
  const char *type = apr_table_get(r->headers_in, "Content-Type");
  if (!type) return 0;
  try {
    const bool form = strcasecmp(type, "application/x-www-form-urlencoded") == 0;
    KvrPostText text = kvrPostPrepare(r->pool, szPostBuff, nPostBuffLen, form, st->gbkTrail);
    if (text.decodeError)
      kvrWriteDebugLog(r->pool, "kvrChkPostKeyWord... ap_unescape_url(szBuffRawTemp) err");
    KvrPostHit hits[8];
    int numHits = 0;
    const int result = kvrPostSweep(r->pool, text, nVazidezBlockPostKeyWord == 1,
                                    nVazidezChkPostKeyWord == 1, hits, &numHits);
    if (result == 2) {
      logHit(r, text, hits[0], "拦截");
      char *page = kvr_str_replace(r->pool, const_cast<char *>("{!postkey!}"), entryOf(hits[0]).gbk,
                                   strVazidezPostShow, 32768);
      if (page) kvr_remove_str(page);
      kvr_out_on_error_in(f, b, bb, page);  // without a template: an empty page
      return 2;
    }
    for (int i = 0; i < numHits; ++i) logHit(r, text, hits[i], "记录");
  } catch (...) {
    // Out of memory in the sweep: the body passes unexamined.
  }
  return 1;
}

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

  const apr_status_t rv = ap_get_brigade(f->next, bb, mode, block, readbytes);
  if (rv != APR_SUCCESS) return rv;
  const bool examine = nVazidezChkPostKeyWord == 1 || nVazidezBlockPostKeyWord == 1 ||
                       nBlockMuma == 1 || nBlockGuama == 1;
  kvrEachDataBucket(bb, [&](apr_bucket *b, const char *data, apr_size_t len) {
    const int trailAfter = kvrGbkTrailAfter(data, len, st->gbkTrail);
    if (len > nPostSizeMin && len < nPostSizeMax && examine && len <= 0xFFFFF && data &&
        kvrChkPostKeyWord(f, bb, b, data, len) != 1)
      return false;  // nothing more in this read: no Content-Type, or blocked
    st->gbkTrail = trailAfter;
    return true;
  });
  return rv;
}
