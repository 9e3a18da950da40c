// The few helpers of the server that the module's code calls, for programs
// that run that code outside the server: the tests, the benchmarks, the
// fuzzers and rizu-check. The module itself never links this file: inside
// the server it uses the server's own. They behave as the server's do.
#include <apr_lib.h>
#include <apr_strings.h>
#include <httpd.h>

#include <cctype>
#include <cstring>

extern "C" {

AP_DECLARE(int) ap_is_matchexp(const char *str) {
  for (; *str; ++str)
    if (*str == '*' || *str == '?') return 1;
  return 0;
}

// 0 = match, 1 = no match, -1 = the pattern cannot match any longer text.
static int wildMatch(const char *str, const char *exp) {
  int x = 0, y = 0;
  for (; exp[y]; ++y, ++x) {
    if (!str[x] && exp[y] != '*') return -1;
    if (exp[y] == '*') {
      while (exp[++y] == '*') {
      }
      if (!exp[y]) return 0;
      while (str[x]) {
        const int ret = wildMatch(&str[x++], &exp[y]);
        if (ret != 1) return ret;
      }
      return -1;
    }
    if (exp[y] != '?' && apr_tolower(str[x]) != apr_tolower(exp[y])) return 1;
  }
  return str[x] != '\0';
}

AP_DECLARE(int) ap_strcasecmp_match(const char *str, const char *expected) {
  return wildMatch(str, expected);
}

AP_DECLARE(void) ap_str_tolower(char *s) {
  for (; *s; ++s)
    if (*s >= 'A' && *s <= 'Z') *s = static_cast<char>(*s - 'A' + 'a');
}

static int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (apr_tolower(c) - 'a') + 10;
}

AP_DECLARE(int) ap_unescape_url(char *url) {
  bool badesc = false, badpath = false;
  char *x = url;
  for (const char *y = url; *y; ++x, ++y) {
    if (*y != '%') {
      *x = *y;
    } else if (!apr_isxdigit(y[1]) || !apr_isxdigit(y[2])) {
      badesc = true;
      *x = '%';
    } else {
      const char decoded = static_cast<char>(hexval(y[1]) * 16 + hexval(y[2]));
      if (decoded == '\0' || decoded == '/') badpath = true;
      *x = decoded;
      y += 2;
    }
  }
  *x = '\0';
  if (badesc) return HTTP_BAD_REQUEST;
  if (badpath) return HTTP_NOT_FOUND;
  return OK;
}

AP_DECLARE(char *) ap_escape_html2(apr_pool_t *p, const char *s, int /*toasc*/) {
  size_t n = 0;
  for (const char *q = s; *q; ++q)
    n += (*q == '<' || *q == '>') ? 4 : *q == '&' ? 5 : *q == '"' ? 6 : 1;
  char *out = static_cast<char *>(apr_palloc(p, n + 1));
  char *w = out;
  for (const char *q = s; *q; ++q) {
    const char *rep = *q == '<'   ? "&lt;"
                      : *q == '>' ? "&gt;"
                      : *q == '&' ? "&amp;"
                      : *q == '"' ? "&quot;"
                                  : nullptr;
    if (rep) {
      std::memcpy(w, rep, std::strlen(rep));
      w += std::strlen(rep);
    } else {
      *w++ = *q;
    }
  }
  *w = '\0';
  return out;
}

}  // extern "C"
