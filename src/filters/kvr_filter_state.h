// What the filters remember about one request.
#pragma once

#include <util_filter.h>

#include "filters/kvr_get_scan.h"

struct KvrFilterState {
  // Request tests, worked out on first use.
  int client = -1;  // the client is on the exempt-client list
  int exempt = -1;  // the address is on the keyword exemption list
  int script = -1;  // the path is a script the keyword checks examine
  // After a block the filter stays in the chain and drops everything that
  // still comes its way, but its own block page.
  bool blocked = false;
  // The next data bucket begins with the second byte of a character.
  int gbkTrail = 0;
  bool passingPage = false;
  // Room for the response check's first look, reused by every bucket of
  // the response, so that a long response in many buckets does not take
  // request memory in proportion to its length.
  KvrScratch scratch;
};

// Drops every brigade: put at the top of the output chain after a block page.
extern ap_filter_rec_t *kvrDiscardFilter;
apr_status_t kvr_discard_filter(ap_filter_t *f, apr_bucket_brigade *bb);

// The state of this filter instance, made on first use.
KvrFilterState *kvrFilterState(ap_filter_t *f);
