// Module record, hook registration and the per-child lifecycle.
#include <httpd.h>
// httpd.h first: the other server headers rely on its types.
#include <apr_strings.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <mod_status.h>
#include <pthread.h>

#include <ctime>
#include <mutex>

#include "config/kvr_config.h"
#include "config/kvr_share.h"
#include "filters/kvr_filter_state.h"
#include "filters/kvr_filters.h"
#include "module/kvr_counters.h"
#include "module/kvr_pages.h"
#include "module/kvr_request.h"
#include "module/kvr_screen.h"
#include "module/rizu_compat.h"
#include "screen/kvr_known_files.h"

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
  // The configuration generation, as mod_status shows it for the parent.
  kvrCountersNoteLoad(ap_state_query(AP_SQ_CONFIG_GEN), apr_time_now());
}
std::mutex gLoadMutex;

// What the load finds wrong with a configuration file goes to the server's
// error log, naming the file and line: a load goes on whatever it finds.
void logFileNotice(void *ctx, const char *file, int line, KvrFileIssue issue, const char *what) {
  if (!kvrFileIssueLogged(issue)) return;
  apr_pool_t *p = static_cast<apr_pool_t *>(ctx);
  if (line > 0)
    ap_log_perror(APLOG_MARK, APLOG_WARNING, 0, p, "mod_rizururuzarida: %s:%d: %s", file, line,
                  what);
  else
    ap_log_perror(APLOG_MARK, APLOG_WARNING, 0, p, "mod_rizururuzarida: %s: %s", file, what);
}

// A child's load (the parent's tables, or its own), with what the readers
// found sent to the error log.
int loadConfiguration(apr_pool_t *p, bool *adopted = nullptr) {
  kvrFileNotice = logFileNotice;
  kvrFileNoticeCtx = p;
  const int ok = kvrAdoptOrLoad(p, adopted);
  kvrFileNotice = nullptr;
  kvrFileNoticeCtx = nullptr;
  return ok;
}

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
    if (loadConfiguration(p, &adopted) != 1) {
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
  kvrKnownFilesPrepare();
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
      if (loadConfiguration(r->pool) != 1) {
        kvrPrepareBlockResponse(r);
        ap_set_content_type(r, kvrPageContentType);
        ap_rputs(stReadConfErrMsg, r);
        return DONE;
      }
      setLoaded();
    }
  }
  if (ngCliIp == 1 && kvrChkgCliIp(r) == 1) return DECLINED;
  if (nDisGZip == 1) kvrHideAcceptEncoding(r);
  return DECLINED;
}

// The counters' shared memory is made before the children are forked, in
// the server process's pool, so that a graceful restart keeps the counts.
int kvr_ap_post_config_counters(apr_pool_t * /*pconf*/, apr_pool_t * /*plog*/,
                                apr_pool_t * /*ptemp*/, server_rec *s) {
  if (!kvrCountersAttach(s->process->pool))
    ap_log_error(APLOG_MARK, APLOG_WARNING, 0, s,
                 "no shared memory for the counters: they stay off");
  return OK;
}

int kvr_status_hook(request_rec *r, int flags) {
  try {
    ap_rputs(kvrCountersText((flags & AP_STATUS_SHORT) == 0).c_str(), r);
  } catch (...) {
    // Out of memory for the text: the page goes without it.
  }
  return OK;
}

void rizururuzarida_hooks(apr_pool_t * /*p*/) {
  kvrOutputFilter = ap_register_output_filter("o-kvr-resource-1", rizururuzarida_o_filter, nullptr,
                                              AP_FTYPE_RESOURCE);
  ap_register_input_filter("i-kvr-resource-1", rizururuzarida_i_filter, nullptr, AP_FTYPE_RESOURCE);
  // Put on the connection after a block page, it keeps the rest of the
  // request's output from the client; named in a configuration it does
  // nothing.
  kvrDiscardFilter = ap_register_output_filter("kvr-discard-after-block", kvr_discard_filter,
                                               nullptr, AP_FTYPE_CONNECTION);
  // Not for the server configuration: the module adds it where it
  // answers conditional requests after screening. It runs after the
  // resource filters and before compression and ranges.
  kvrConditionalFilter =
      ap_register_output_filter("kvr-conditional", kvr_conditional_filter, nullptr,
                                static_cast<ap_filter_type>(AP_FTYPE_CONTENT_SET - 1));
  ap_hook_child_init(kvr_ap_child_init, nullptr, nullptr, APR_HOOK_MIDDLE);
  // The client lists and the exemption compare the address of the user
  // agent, which a trusted proxy's header sets in mod_remoteip's hook.
  static const char *const afterRemoteIp[] = {"mod_remoteip.c", nullptr};
  ap_hook_post_read_request(kvr_ap_headers_early, afterRemoteIp, nullptr, APR_HOOK_FIRST);
  // The server answers TRACE while it maps the request, before the fixups.
  static const char *const beforeTrace[] = {"http_core.c", nullptr};
  ap_hook_map_to_storage(kvr_ap_trace, nullptr, beforeTrace, APR_HOOK_FIRST);
  ap_hook_fixups(kvr_ap_fixups, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_insert_filter(kvr_ap_insert_filter, nullptr, nullptr, APR_HOOK_REALLY_LAST);
  ap_hook_post_config(kvr_ap_post_config, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_post_config(kvr_ap_post_config_counters, nullptr, nullptr, APR_HOOK_MIDDLE);
  APR_OPTIONAL_HOOK(ap, status_hook, kvr_status_hook, nullptr, nullptr, APR_HOOK_MIDDLE);
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
