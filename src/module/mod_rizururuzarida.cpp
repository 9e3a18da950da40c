// Module record, hook registration and the per-child lifecycle.
#include <httpd.h>
// httpd.h first: the other server headers rely on its types.
#include <apr_strings.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <pthread.h>

#include <ctime>
#include <mutex>

#include "config/kvr_config.h"
#include "config/kvr_share.h"
#include "filters/kvr_filter_state.h"
#include "filters/kvr_filters.h"
#include "module/kvr_pages.h"
#include "module/kvr_screen.h"
#include "module/rizu_compat.h"

extern "C" module AP_MODULE_DECLARE_DATA rizururuzarida_module;
APLOG_USE_MODULE(rizururuzarida);

namespace {

// nReadConfig is written by the fallback load on a request thread and read
// by every other request: publish it with release/acquire so a request never
// sees the flag before the tables it guards.
int loadedFlag() {
  return __atomic_load_n(&nReadConfig, __ATOMIC_ACQUIRE);
}
void setLoaded() {
  __atomic_store_n(&nReadConfig, 1, __ATOMIC_RELEASE);
}
std::mutex gLoadMutex;

apr_status_t kvr_ap_child_exit(void * /*data*/) {
  return APR_SUCCESS;
}

// When this process was forked, as its child side sees it: a child's start
// is measured from there to the end of its start-up.
timespec gForkedAt{};
void noteFork() {
  clock_gettime(CLOCK_MONOTONIC, &gForkedAt);
}

apr_status_t kvr_release_shared(void * /*data*/) {
  kvrReleaseShared();
  return APR_SUCCESS;
}

// The parent loads once per configuration, before it forks the children
// that share the result. The first of the two configuration passes at
// start-up only checks the configuration: nothing is loaded there.
int kvr_ap_post_config(apr_pool_t *pconf, apr_pool_t * /*plog*/, apr_pool_t *ptemp,
                       server_rec * /*s*/) {
  if (ap_state_query(AP_SQ_MAIN_STATE) == AP_SQ_MS_CREATE_PRE_CONFIG) return OK;
  static bool forkNoted = false;
  if (!forkNoted) {
    // Unregistered when the server unloads the module.
    pthread_atfork(nullptr, nullptr, noteFork);
    forkNoted = true;
  }
  // Nothing is written and nothing logged here: the children report the
  // load, each through its own status page.
  kvrLoadShared(ptemp);
  // Ends with this configuration: a restart builds new tables and the old
  // ones go. Not in the processes forked from here, whose memory is theirs.
  apr_pool_cleanup_register(pconf, nullptr, kvr_release_shared, apr_pool_cleanup_null);
  return OK;
}

void kvr_ap_child_init(apr_pool_t *p, server_rec *s) {
  if (loadedFlag() == 0) {
    std::lock_guard<std::mutex> lock(gLoadMutex);
    bool adopted = false;
    if (kvrAdoptOrLoad(p, &adopted) != 1) {
      ap_log_perror(APLOG_MARK, APLOG_ERR, 0, p, "kvr_ap_child_init... read config files... err");
      return;
    }
    setLoaded();
    if (APLOGdebug(s) && gForkedAt.tv_sec != 0) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long us =
          (now.tv_sec - gForkedAt.tv_sec) * 1000000L + (now.tv_nsec - gForkedAt.tv_nsec) / 1000L;
      ap_log_error(APLOG_MARK, APLOG_DEBUG, 0, s,
                   "child configuration ready %ld us after fork (%s)", us,
                   adopted ? "shared tables" : "own load");
    }
  }
  apr_pool_cleanup_register(p, s, kvr_ap_child_exit, kvr_ap_child_exit);
  if (nAutoDelLogFile > 0) {
    kvrVazidezAutoDelLogFile(p, const_cast<char *>("keyword_20"), const_cast<char *>(".txt"),
                             nAutoDelLogFile);
    kvrVazidezAutoDelLogFile(p, const_cast<char *>("keylog_20"), const_cast<char *>(".html"),
                             nAutoDelLogFile);
  }
}

int kvr_ap_headers_early(request_rec *r) {
  if (loadedFlag() == 0) {
    // Only one thread loads; the others wait here rather than read tables
    // that are being written.
    std::lock_guard<std::mutex> lock(gLoadMutex);
    if (loadedFlag() == 0) {
      if (kvrAdoptOrLoad(r->pool) != 1) {
        ap_set_content_type(r, kvrPageContentType);
        ap_rputs(stReadConfErrMsg, r);
        return DONE;
      }
      setLoaded();
    }
  }
  if (ngCliIp == 1 && kvrChkgCliIp(r) == 1) return DECLINED;
  if (nDisGZip == 1) apr_table_unset(r->headers_in, "Accept-Encoding");
  return DECLINED;
}

void rizururuzarida_hooks(apr_pool_t * /*p*/) {
  ap_register_output_filter("o-kvr-resource-1", rizururuzarida_o_filter, nullptr,
                            AP_FTYPE_RESOURCE);
  ap_register_input_filter("i-kvr-resource-1", rizururuzarida_i_filter, nullptr, AP_FTYPE_RESOURCE);
  // Not for the server configuration: placed above every other filter after
  // a block page, it keeps the rest of the handler's output from the client.
  kvrDiscardFilter =
      ap_register_output_filter("kvr-discard-after-block", kvr_discard_filter, nullptr,
                                static_cast<ap_filter_type>(AP_FTYPE_RESOURCE - 5));
  ap_hook_post_config(kvr_ap_post_config, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_init(kvr_ap_child_init, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_post_read_request(kvr_ap_headers_early, nullptr, nullptr, APR_HOOK_FIRST);
  ap_hook_fixups(kvr_ap_fixups, nullptr, nullptr, APR_HOOK_MIDDLE);
}

}  // namespace

extern "C" {
module AP_MODULE_DECLARE_DATA rizururuzarida_module = {
    STANDARD20_MODULE_STUFF,
    nullptr,  // create_dir_config
    nullptr,  // merge_dir_config
    nullptr,  // create_server_config
    nullptr,  // merge_server_config
    nullptr,  // cmds: the module has no directives
    rizururuzarida_hooks,
    0,  // flags
};
}
