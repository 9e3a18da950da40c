// The event-log records as bytes, apart from writing them; for the writers,
// the tests and the tools.
#pragma once

#include <apr_pools.h>
#include <apr_time.h>
#include <sys/types.h>

#include <string>

struct KvrLogTime {
  apr_time_t now;                              // microseconds since the epoch
  int year, month, day, hour, minute, second;  // local time
};

// The string parameters of the writers (null means empty, except where the
// record says otherwise).
struct KvrLogFields {
  const char *action;
  const char *klass;
  const char *description;
  const char *cliIp;
  const char *cliPort;
  const char *reqMet;
  const char *serIp;
  const char *dn;
  const char *serPort;
  const char *url;
  const char *query;
  const char *iisIndex;
  const char *filePath;
  const char *referer;
  const char *title;
};

KvrLogTime kvrLogTimeNow();
// The clock the writers read; tests set another to cross an hour.
extern apr_time_t (*kvrLogClock)();
// The write the writers append with; tests set another to fill the disk.
extern ssize_t (*kvrLogWrite)(int fd, const void *buf, size_t n);
// The context in GBK as the writers log it (a pool string), by the charset
// code of the page it came from; null if the pool has no room.
const char *kvrConvertContext(apr_pool_t *pool, int nPageCode, const char *context);
std::string kvrHtmlRecord(const KvrLogTime &t, const KvrLogFields &f, const char *context);
std::string kvrTextRecord(const KvrLogTime &t, const KvrLogFields &f, const char *context);
// Full path of the hourly file for that time: prefix "keylog_" or "keyword_".
std::string kvrLogFileName(const KvrLogTime &t, const char *prefix, const char *ext);
