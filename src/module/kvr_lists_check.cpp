// Address and domain list checks.
#include <cstring>

#include "config/kvr_config.h"
#include "module/kvr_screen.h"
#include "module/rizu_compat.h"

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

int kvrChkgCliIp(request_rec *r) {
  return kvrListFind(kvrClientIp(r), arrgCliIp, false) >= 0 ? 1 : 0;
}
