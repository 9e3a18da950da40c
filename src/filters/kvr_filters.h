// The output and input filters and the keyword checks behind them.
#pragma once

#include <apr_buckets.h>
#include <httpd.h>
#include <util_filter.h>

apr_status_t rizururuzarida_o_filter(ap_filter_t *f, apr_bucket_brigade *bb);
apr_status_t rizururuzarida_i_filter(ap_filter_t *f, apr_bucket_brigade *bb, ap_input_mode_t mode,
                                     apr_read_type_e block, apr_off_t readbytes);

// Walks the data buckets of a brigade: metadata buckets are passed over,
// each bucket is read blocking (one whose read fails is passed over), empty
// ones are deleted.
inline void kvrDropEmptyBuckets(apr_bucket_brigade *bb) {
  for (apr_bucket *b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb);) {
    apr_bucket *next = APR_BUCKET_NEXT(b);
    const char *data = nullptr;
    apr_size_t len = 0;
    if (!APR_BUCKET_IS_METADATA(b) &&
        apr_bucket_read(b, &data, &len, APR_BLOCK_READ) == APR_SUCCESS) {
      next = APR_BUCKET_NEXT(b);  // a read may have put a new bucket after this one
      if (len == 0) apr_bucket_delete(b);
    }
    b = next;
  }
}

// 0 = not examined, 1 = text (no NUL among the first 1023 bytes), 2 = not text.
int chkGetDataType(const char *data, apr_size_t len);

int kvrVazidezChkGetDna(request_rec *r);
int kvrVazidezChkScript(request_rec *r);

int kvrVazidezChkPostDna(request_rec *r);

// Whether a request path is a script by a list of endings: a path ending in
// "/" is (its index page may be one), and so is one whose last bytes equal an
// entry ignoring case. An empty path or one over 1024 bytes is not.
bool kvrPathIsScript(const char *uri, const char *list, int slots, int width);

// The address of a request as the lists see it: host name, path, and "?"
// with the query string when there is one.
const char *kvrRequestAddress(request_rec *r);

// Replaces the response by a block page: it goes to the top of the output
// chain; everything the request sends after it is dropped, and the
// connection is closed after the response when headers have already gone
// out. `self` is the output filter that blocks, which then stays in the
// chain to drop the rest.
void kvrSendBlockPage(request_rec *r, const char *page, ap_filter_t *self);
