// Hourly HTML and text event logs.
//
// Every text that comes from a request or a page is escaped in the HTML log
// (the operator opens it in a browser), and TAB, CR and LF inside a field
// become spaces in both logs (tools read them line by line: every line of
// the text log is a record, every line of the HTML log begins with its time
// stamp). Each record is built whole and appended with a single write on a
// descriptor opened for appending, so that the records of several processes
// never interleave; a record that does not fit (a full disk) is cut away
// again, so that the next one does not run on from half of it. A link in
// the place of a log file is never followed.
#include "log/kvr_log.h"

#include <apr_file_io.h>
#include <apr_strings.h>
#include <apr_time.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config/kvr_config.h"
#include "log/kvr_log_records.h"
#include "module/kvr_counters.h"
#include "module/rizu_compat.h"
#include "util/kvr_text.h"

namespace {

const char *orEmpty(const char *s) {
  return s ? s : "";
}

void appendEscaped(std::string &out, const char *s) {
  for (; s && *s; ++s) {
    switch (*s) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      case '\t':
      case '\r':
      case '\n':
        out += ' ';
        break;
      default:
        out += *s;
    }
  }
}

void appendField(std::string &out, const char *s) {
  for (; s && *s; ++s) out += (*s == '\t' || *s == '\r' || *s == '\n') ? ' ' : *s;
  out += '\t';
}

constexpr mode_t kLogMode = 0666;

// Appends the bytes to the file with one write; the file is created with
// mode 0666 and given that mode again whatever the umask. With a head, the
// head goes in front of the record when the file is still empty. 1 when the
// record was written whole.
int appendRecord(const char *path, const std::string &record, const char *head = nullptr,
                 size_t headLen = 0) {
  // Not blocking: a FIFO put in the place of a log file must not hold the
  // request; it is then refused as not a regular file.
  const int fd =
      ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
             kLogMode);
  if (fd < 0) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return 0;
  }
  if ((st.st_mode & 0777) != kLogMode) fchmod(fd, kLogMode);
  std::string bytes;
  const std::string *out = &record;
  if (head && st.st_size == 0) {
    bytes.reserve(headLen + record.size());
    bytes.append(head, headLen).append(record);
    out = &bytes;
  }
  const ssize_t n = kvrLogWrite(fd, out->data(), out->size());
  if (n > 0 && static_cast<size_t>(n) < out->size()) {
    // Appending leaves the offset at the end of what was written.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end >= n && ftruncate(fd, end - n) != 0) {
      // Nothing more can be done: the record is lost either way.
    }
  }
  ::close(fd);
  return n >= 0 && static_cast<size_t>(n) == out->size() ? 1 : 0;
}

}  // namespace

const char *kvrConvertContext(apr_pool_t *pool, int nPageCode, const char *context) {
  const char *ctx = orEmpty(context);
  const size_t len = std::strlen(ctx);
  char *buf = static_cast<char *>(apr_pcalloc(pool, len + 10));
  if (!buf) return nullptr;
  const char *from = nullptr;
  if (nPageCode == 2) from = "UTF-8";
  if (nPageCode == 3) from = "BIG5";
  if (nPageCode == 0 && kvrIsUtf8(ctx, len) == 1) from = "UTF-8";
  // A context is cut out of the page at byte positions, so its windows may
  // begin or end inside a character; a conversion that stopped there would
  // lose the whole context. Bytes that start no character are passed over.
  if (from)
    KvrConverter("GBK", from).convertSkipping(ctx, len, buf, len + 10);
  else
    std::memcpy(buf, ctx, len);
  return buf;
}

std::string kvrHtmlRecord(const KvrLogTime &t, const KvrLogFields &f, const char *context) {
  char p[64];
  std::snprintf(p, sizeof p, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d - ", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  std::string h = orEmpty(f.dn);
  if (f.serPort && strcasecmp(f.serPort, "80") != 0) h.append(":").append(f.serPort);
  h += orEmpty(f.url);
  if (f.query && *f.query) h.append("?").append(f.query);

  std::string r;
  r.append(p).append("---<br>\r\n");
  r.append(p).append("本次").append(orEmpty(f.action)).append("关键字：");
  appendEscaped(r, f.description);
  r.append("<br>\r\n");
  if (std::strlen(orEmpty(context)) >= 4) {
    r.append(p).append("上下文：");
    appendEscaped(r, context);
    r.append("<br>\r\n");
  }
  if (std::strlen(orEmpty(f.title)) >= 4) {
    r.append(p).append("网页标题：");
    appendEscaped(r, f.title);
    r.append("<br>\r\n");
  }
  r.append(p).append("[已").append(orEmpty(f.action)).append("] ");
  appendEscaped(r, f.reqMet);
  r.append(" From ");
  appendEscaped(r, f.cliIp);
  r.append(" to ");
  appendEscaped(r, f.serIp);
  r.append(" <a target='_blank' href='http://");
  appendEscaped(r, h.c_str());
  r.append("'>http://");
  appendEscaped(r, h.c_str());
  r.append("</a><br>\r\n");
  r.append(p);
  appendEscaped(r, f.filePath);
  r.append("<br>\r\n");
  return r;
}

std::string kvrTextRecord(const KvrLogTime &t, const KvrLogFields &f, const char *context) {
  char num[32], when[32];
  std::snprintf(num, sizeof num, "%lld", static_cast<long long>(t.now));
  std::snprintf(when, sizeof when, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  std::string r;
  appendField(r, num);
  appendField(r, when);
  appendField(r, f.action);
  appendField(r, f.klass);
  appendField(r, f.description);
  appendField(r, f.cliIp);
  appendField(r, f.cliPort);
  appendField(r, f.reqMet);
  appendField(r, f.serIp);
  appendField(r, f.dn);
  appendField(r, f.serPort ? f.serPort : "0");
  appendField(r, f.url);
  appendField(r, f.query);
  appendField(r, f.iisIndex);
  appendField(r, f.filePath);
  appendField(r, f.referer);
  appendField(r, f.title);
  appendField(r, context);
  r += "\r\n";
  return r;
}

apr_time_t (*kvrLogClock)() = apr_time_now;
ssize_t (*kvrLogWrite)(int fd, const void *buf, size_t n) = ::write;

KvrLogTime kvrLogTimeNow() {
  KvrLogTime t{};
  t.now = kvrLogClock();
  apr_time_exp_t e;
  apr_time_exp_lt(&e, t.now);
  t.year = e.tm_year + 1900;
  t.month = e.tm_mon + 1;
  t.day = e.tm_mday;
  t.hour = e.tm_hour;
  t.minute = e.tm_min;
  t.second = e.tm_sec;
  return t;
}

std::string kvrLogFileName(const KvrLogTime &t, const char *prefix, const char *ext) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%4.4d-%2.2d-%2.2d-%2.2d%s", prefix, t.year, t.month, t.day,
                t.hour, ext);
  return std::string(strIsapiLogPath) + name;
}

namespace {

KvrLogFields fieldsOf(const char *szAction, const char *szClass, const char *szDescription,
                      const char *szCliIp, const char *szCliPort, const char *szReqMet,
                      const char *szSerIp, const char *szDn, const char *szSerPort,
                      const char *szURL, const char *szQueryString, const char *szIIsIndex,
                      const char *szFilePath, const char *szReferer, const char *szHtmlPageTitle) {
  return {szAction,      szClass,    szDescription, szCliIp,   szCliPort,
          szReqMet,      szSerIp,    szDn,          szSerPort, szURL,
          szQueryString, szIIsIndex, szFilePath,    szReferer, szHtmlPageTitle};
}

}  // namespace

namespace {

// Both writers: the context in GBK, the record as bytes, one append.
using RecordBuilder = std::string (*)(const KvrLogTime &, const KvrLogFields &, const char *);

int writeRecord(apr_pool_t *pool, int nPageCode, const char *context, const KvrLogFields &fields,
                RecordBuilder build, const char *prefix, const char *ext, const char *head,
                size_t headLen) {
  try {
    const char *converted = kvrConvertContext(pool, nPageCode, context);
    if (!converted) return 0;
    const KvrLogTime t = kvrLogTimeNow();
    return appendRecord(kvrLogFileName(t, prefix, ext).c_str(), build(t, fields, converted), head,
                        headLen);
  } catch (...) {
    return 0;
  }
}

}  // namespace

int kvrWriteHtmlLog(apr_pool_t *pool, int /*nCacheLogMsg*/, int nPageCode, const char *szAction,
                    const char *szClass, const char *szDescription, const char *szCliIp,
                    const char *szCliPort, const char *szReqMet, const char *szSerIp,
                    const char *szDn, const char *szSerPort, const char *szURL,
                    const char *szQueryString, const char *szIIsIndex, const char *szFilePath,
                    const char *szReferer, const char *szHtmlPageTitle,
                    const char *szHtmlPageContext) {
  return writeRecord(
      pool, nPageCode, szHtmlPageContext,
      fieldsOf(szAction, szClass, szDescription, szCliIp, szCliPort, szReqMet, szSerIp, szDn,
               szSerPort, szURL, szQueryString, szIIsIndex, szFilePath, szReferer, szHtmlPageTitle),
      kvrHtmlRecord, "keylog_", ".html", strLogHead, kvrLogHeadLen);
}

int kvrWriteTextLog(apr_pool_t *pool, int /*nCacheLogMsg*/, int nPageCode, const char *szAction,
                    const char *szClass, const char *szDescription, const char *szCliIp,
                    const char *szCliPort, const char *szReqMet, const char *szSerIp,
                    const char *szDn, const char *szSerPort, const char *szURL,
                    const char *szQueryString, const char *szIIsIndex, const char *szFilePath,
                    const char *szReferer, const char *szHtmlPageTitle,
                    const char *szHtmlPageContext) {
  return writeRecord(
      pool, nPageCode, szHtmlPageContext,
      fieldsOf(szAction, szClass, szDescription, szCliIp, szCliPort, szReqMet, szSerIp, szDn,
               szSerPort, szURL, szQueryString, szIIsIndex, szFilePath, szReferer, szHtmlPageTitle),
      kvrTextRecord, "keyword_", ".txt", nullptr, 0);
}

int kvrWriteIcpLog(request_rec *r, const char *szAction, const char *szClass,
                   const char *szDescription) {
  const int text =
      kvrWriteTextLog(r->pool, 0, 10, szAction, szClass, szDescription, kvrClientIp(r), "",
                      r->method, kvrLocalIp(r), r->hostname, r->parsed_uri.port_str, r->uri,
                      r->args, "", r->filename, "", "", "");
  const int html =
      kvrWriteHtmlLog(r->pool, 0, 10, szAction, szClass, szDescription, kvrClientIp(r), "",
                      r->method, kvrLocalIp(r), r->hostname, r->parsed_uri.port_str, r->uri,
                      r->args, "", r->filename, "", "", "");
  if (!text || !html) kvrCount(kvrEventsNotWritten);
  return 1;
}

void kvrWriteKeywordEvent(request_rec *r, int nPageCode, const char *szAction,
                          const char *szKeyword, const char *szReqMet, const char *szContext) {
  const bool block = std::strcmp(szAction, "拦截") == 0;
  kvrCount(std::strcmp(szReqMet, "POST") == 0 ? (block ? kvrPostBlocks : kvrPostRecords)
                                              : (block ? kvrGetBlocks : kvrGetRecords));
  const int text =
      kvrWriteTextLog(r->pool, 0, nPageCode, szAction, "关键字", szKeyword, kvrClientIp(r), "",
                      szReqMet, kvrLocalIp(r), r->hostname, r->parsed_uri.port_str, r->uri, r->args,
                      "", r->filename, "", "", szContext);
  const int html =
      kvrWriteHtmlLog(r->pool, 0, nPageCode, szAction, "关键字", szKeyword, kvrClientIp(r), "",
                      szReqMet, kvrLocalIp(r), r->hostname, r->parsed_uri.port_str, r->uri, r->args,
                      "", r->filename, "", "", szContext);
  if (!text || !html) kvrCount(kvrEventsNotWritten);
}

int kvrWriteDebugLog(apr_pool_t * /*pool*/, const char * /*strMsg*/) {
  return 1;
}
int kvrWriteDebugLogEx(apr_pool_t * /*pool*/, const char * /*strMsg*/, apr_size_t /*nMsgLen*/) {
  return 1;
}
