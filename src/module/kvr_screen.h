// Request screening: the fixups hook and the address, domain and SQL checks.
#pragma once

#include <httpd.h>

// Does the subject match one list entry? Entries with '*' or '?' are
// wildcard patterns matched against the whole subject, ignoring case; other
// entries must equal the subject (prefix == false) or begin it
// (prefix == true), ignoring case.
bool kvrEntryMatches(const char *subject, const char *entry, bool prefix);

// Index of the first matching entry of a list, or -1. The list ends at its
// first entry shorter than 2 bytes or after its last slot.
int kvrListFind(const char *subject, const char *list, int slots, int width, bool prefix);
template <int N, int W>
int kvrListFind(const char *subject, const char (&list)[N][W], bool prefix) {
  return kvrListFind(subject, &list[0][0], N, W, prefix);
}

int kvrChkgCliIp(request_rec *r);
int kvrChkBlockIp(request_rec *r);
int kvrChkPostIp(request_rec *r);
int kvrChkBeianBaiDn(request_rec *r);
int kvrChkBeianHeiDn(request_rec *r);
char *strRepBlockIp(char *orgstr, char *outstr, char *oldstr, char *newstr);
char *strreplip(char *orgstr, char *outstr, char *oldstr, char *newstr);

int kvrChkBlockSqlScript(request_rec *r);
int kvrChkBlockSql(request_rec *r);

int kvr_ap_fixups(request_rec *r);
// Map-to-storage hook: refuses TRACE, which the server answers before the
// fixups, as the method check refuses any other method.
int kvr_ap_trace(request_rec *r);
