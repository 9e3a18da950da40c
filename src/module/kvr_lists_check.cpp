// Address and domain list checks.
#include <apr_strings.h>
#include <http_protocol.h>

#include <cstdlib>
#include <cstring>

#include "config/kvr_config.h"
#include "module/kvr_pages.h"
#include "module/kvr_request.h"
#include "module/kvr_screen.h"
#include "module/rizu_compat.h"
#include "util/kvr_text.h"

namespace {

constexpr size_t kPageBuf = 1024 * 10;

void sendPage(request_rec *r, const char *page) {
  kvrPrepareBlockResponse(r);
  ap_set_content_type(r, kvrPageContentType);
  ap_rputs(page, r);
}

// Copies the template into outstr with newstr in place of every oldstr.
void fillPlaceholder(const char *orgstr, char *outstr, const char *oldstr, const char *newstr) {
  char *work = static_cast<char *>(std::calloc(kPageBuf, 1));
  if (!work) return;  // the page buffer stays as it was
  const size_t oldLen = std::strlen(oldstr), newLen = std::strlen(newstr);
  size_t w = 0;
  for (const char *p = orgstr; *p && w < kPageBuf - 1;) {
    if (oldLen && std::strncmp(p, oldstr, oldLen) == 0) {
      const size_t n = newLen < kPageBuf - 1 - w ? newLen : kPageBuf - 1 - w;
      std::memcpy(work + w, newstr, n);
      w += n;
      p += oldLen;
    } else {
      work[w++] = *p++;
    }
  }
  std::memcpy(outstr, work, kPageBuf);
  std::free(work);
}

// The two address lists: mode 1 refuses listed clients, mode 2 all others.
int checkAddressList(request_rec *r, const char (&list)[kIpSlots][kIpWidth], int mode,
                     const char *page, const char *holder, const char *allocError,
                     char *(*filler)(char *, char *, char *, char *)) {
  const char *ip = kvrClientIp(r);
  const bool listed = kvrListFind(ip, list, false) >= 0;
  if ((mode == 1 && !listed) || (mode == 2 && listed)) return 1;
  char *buf = static_cast<char *>(std::calloc(kPageBuf, 1));
  if (!buf) {
    sendPage(r, allocError);
    return 2;
  }
  filler(const_cast<char *>(page), buf, const_cast<char *>(holder),
         const_cast<char *>(ip ? ip : ""));
  sendPage(r, buf);
  std::free(buf);
  return 2;
}

// The two domain lists: the allow list refuses hosts not on it, the block
// list hosts on it.
int checkDomainList(request_rec *r, const char (&list)[kDnSlots][kDnWidth], bool allowList,
                    char *page, const char *allocError) {
  if (!r->hostname) return 0;
  char *host = apr_pstrdup(r->pool, r->hostname);
  const bool listed = kvrListFind(host, list, false) >= 0;
  if (listed == allowList) return 1;
  char *buf = static_cast<char *>(std::calloc(kPageBuf, 1));
  if (!buf) {
    sendPage(r, allocError);
    return 2;
  }
  if (kvrRepStr(r->pool, page, const_cast<char *>("{!dn!}"), host, buf,
                static_cast<int>(kPageBuf)) < 1)
    sendPage(r, page);  // no placeholder, or an empty page: the template as it is
  else
    sendPage(r, buf);
  std::free(buf);
  return 2;
}

}  // namespace

bool kvrEntryMatches(const char *subject, const char *entry, bool prefix) {
  if (ap_is_matchexp(entry)) return ap_strcasecmp_match(subject, entry) == 0;
  if (prefix) return strncasecmp(subject, entry, std::strlen(entry)) == 0;
  return strcasecmp(subject, entry) == 0;
}

int kvrListFind(const char *subject, const char *list, int slots, int width, bool prefix) {
  if (!subject) return -1;
  for (int i = 0; i < slots; ++i) {
    const char *entry = list + static_cast<size_t>(i) * static_cast<size_t>(width);
    if (entry[0] == '\0' || entry[1] == '\0') break;
    if (kvrEntryMatches(subject, entry, prefix)) return i;
  }
  return -1;
}

char *strRepBlockIp(char *orgstr, char *outstr, char *oldstr, char *newstr) {
  fillPlaceholder(orgstr, outstr, oldstr, newstr);
  return nullptr;
}

char *strreplip(char *orgstr, char *outstr, char *oldstr, char *newstr) {
  fillPlaceholder(orgstr, outstr, oldstr, newstr);
  return nullptr;
}

int kvrChkgCliIp(request_rec *r) {
  return kvrListFind(kvrClientIp(r), arrgCliIp, false) >= 0 ? 1 : 0;
}

int kvrChkBlockIp(request_rec *r) {
  return checkAddressList(r, arrBlockIp, nBlockIp, strBlockIpShow, "{!blockip!}",
                          "ERROR kvrChkBlockIp - char *p1 = (char *)malloc(1024 * 10)",
                          strRepBlockIp);
}

int kvrChkPostIp(request_rec *r) {
  return checkAddressList(r, arrPostIp, nPostIp, strPostIpShow, "{!postip!}",
                          "ERROR kvrChkPostIp - char *p1 = (char *)malloc(1024 * 10)", strreplip);
}

int kvrChkBeianBaiDn(request_rec *r) {
  return checkDomainList(r, arrBeianBaiDn, true, strBeianBaiShow,
                         "ERROR kvrChkBeianBaiDn - char *p1 = (char *)malloc(1024 * 10)");
}

int kvrChkBeianHeiDn(request_rec *r) {
  return checkDomainList(r, arrBeianHeiDn, false, strBeianHeiShow,
                         "ERROR kvrChkBeianHeiDn - char *p1 = (char *)malloc(1024 * 10)");
}
