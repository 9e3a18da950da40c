// The once-per-child configuration load.
#include <cstdio>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "config/kvr_config.h"
#include "screen/kvr_post_scan.h"

void kvrBuildKeywordForms() {
  // The charset forms first: the automata are built from every form.
  getkeyb_gb2utf8();
  getkeyc_gb2utf8();
  getkeyb_gb2big5();
  getkeyc_gb2big5();
  postkeyb_gb2utf8();
  postkeyc_gb2utf8();
  postkeybex_gb2utf8();
  postkeycex_gb2utf8();
  kvrKeyWord2AC();
  kvrPostKeyWordIndex();
}

int kvrLoadConfiguration(apr_pool_t *p, const char *configDir, const char *logDir,
                         bool writeStatusPage) {
  // A retry after a failed load must not append to half-filled tables.
  static bool attempted = false;
  try {
    if (attempted) kvrResetConfigState();
    attempted = true;

    std::snprintf(strIsapiPath, sizeof strIsapiPath, "%s", configDir);
    std::snprintf(strIsapiLogPath, sizeof strIsapiLogPath, "%s", logDir);

    kvrReadVazidezConfig(p);

    if (nLogGetHtmlPageLen < 10 || nLogGetHtmlPageLen > 1024) nLogGetHtmlPageLen = 100;
    if (nLogPostHtmlPageLen < 10 || nLogPostHtmlPageLen > 1024) nLogPostHtmlPageLen = 100;

    kvrBuildKeywordForms();
    if (writeStatusPage) kvrWriteConfigLog(p);
#ifdef __GLIBC__
    // The builds of the automata use much scratch memory: give it back, so
    // that each child keeps only its tables.
    malloc_trim(0);
#endif
    return 1;
  } catch (...) {
    return 0;
  }
}

int kvrReadConfig(apr_pool_t *p) {
  return kvrLoadConfiguration(p, kvrConfigDirDefault, kvrLogDirDefault, true);
}
