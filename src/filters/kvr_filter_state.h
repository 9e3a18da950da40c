// What the filters remember about one request.
#pragma once

#include <apr_buckets.h>
#include <util_filter.h>

#include "screen/kvr_stream.h"

struct KvrFilterState {
  // Request tests, worked out on first use.
  int client = -1;       // the client is on the exempt-client list
  int exempt = -1;       // the address is on the keyword exemption list
  int script = -1;       // the path is a script the keyword checks examine
  bool started = false;  // the first brigade or read decided whether to screen
  bool screened = false;
  // After a block the output filter stays in the chain and drops everything
  // that still comes its way.
  bool blocked = false;
  bool sentAny = false;  // part of the response went out
  // Output: the response's text, and what is held back while it is screened.
  KvrGetStream get;
  apr_bucket_brigade *held = nullptr;
  // Input: the body, read whole before the handler gets any of it.
  KvrPostStream post;
  apr_bucket_brigade *body = nullptr;  // what the handler has still to read
  apr_status_t failed = APR_SUCCESS;   // every later read gives this
};

// Registered at connection level: after a block page it drops whatever the
// request still sends (the handler's output, an error document), up to the
// end of the request. Named in a server configuration, it does nothing.
extern ap_filter_rec_t *kvrDiscardFilter;
apr_status_t kvr_discard_filter(ap_filter_t *f, apr_bucket_brigade *bb);

// The state of this filter instance, made on first use.
KvrFilterState *kvrFilterState(ap_filter_t *f);
