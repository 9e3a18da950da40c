// Cutting the context of a hit out of the examined text. Positions and
// lengths are unsigned: a window that would start before the text starts
// beyond its end, and so at 0, keeping the length computed for it.
#include "screen/kvr_context.h"

#include <apr_strings.h>

#include <algorithm>
#include <cstring>

int kvrStrSub(apr_pool_t *pool, char *szBuffIn, apr_size_t s1, apr_size_t n1, char *szBuffOut) {
  if (!szBuffIn) return 0;
  char *part = static_cast<char *>(apr_pcalloc(pool, n1 + 1));
  if (!part) return 0;
  const apr_size_t len = std::strlen(szBuffIn);
  const apr_size_t start = s1 > len ? 0 : s1;
  apr_size_t w = 0;
  if (n1 > 1) {
    for (const char *p = szBuffIn + start; *p && w < n1 - 1; ++p)
      if (*p != '\t' && *p != '\r' && *p != '\n') part[w++] = *p;
  }
  std::memcpy(szBuffOut, part, w);
  szBuffOut[w] = '\0';
  return 1;
}

namespace {

// Leftmost position of the word, or -1.
long long positionOf(const char *text, const char *word) {
  if (!word) return -1;
  const char *at = std::strstr(text, word);
  return at ? at - text : -1;
}

}  // namespace

int kvrPageContext(apr_pool_t *pool, apr_size_t nKeyWordNum, const char *key0, const char *key1,
                   const char *key2, const char *key3, const char *raw, apr_size_t rawLen,
                   const char *filtered, apr_size_t filteredLen, char *szContextBuff,
                   apr_size_t dwContextLen) {
  char *rawCopy = apr_pstrndup(pool, raw ? raw : "", raw ? rawLen : 0);
  char *filteredCopy = apr_pstrndup(pool, filtered ? filtered : "", filtered ? filteredLen : 0);
  if (!rawCopy || !filteredCopy) return 0;

  if (nKeyWordNum == 1) {
    char *text = rawCopy;
    long long p = positionOf(text, key0);
    if (p < 0) p = positionOf(text = filteredCopy, key0);
    if (p < 0) return 1;
    return kvrStrSub(pool, text, static_cast<apr_size_t>(p) - dwContextLen / 2, dwContextLen,
                     szContextBuff);
  }
  if (nKeyWordNum != 2 && nKeyWordNum != 3) return 1;

  const int words = static_cast<int>(nKeyWordNum);
  const char *keys[3] = {key1, key2, key3};
  long long pos[3];
  char *text = nullptr;
  for (char *candidate : {rawCopy, filteredCopy}) {
    bool all = true;
    for (int k = 0; k < words; ++k) all = (pos[k] = positionOf(candidate, keys[k])) >= 0 && all;
    if (all) {
      text = candidate;
      break;
    }
  }
  if (!text) return 1;

  apr_size_t p[3];
  if (words == 2) {
    // At the same position the second word counts as the earlier one.
    if (pos[0] < pos[1])
      p[0] = static_cast<apr_size_t>(pos[0]), p[1] = static_cast<apr_size_t>(pos[1]);
    else
      p[0] = static_cast<apr_size_t>(pos[1]), p[1] = static_cast<apr_size_t>(pos[0]);
  } else {
    if (pos[0] == pos[1] || pos[0] == pos[2] || pos[1] == pos[2]) return 1;
    std::sort(pos, pos + 3);
    for (int k = 0; k < 3; ++k) p[k] = static_cast<apr_size_t>(pos[k]);
  }
  const apr_size_t h = dwContextLen / (words == 2 ? 4 : 6);
  apr_size_t start[3], end[3];
  for (int k = 0; k < words; ++k) start[k] = p[k] - h, end[k] = p[k] + h;
  for (int k = 0; k + 1 < words; ++k) {
    if (p[k] + h > p[k + 1] - h) {  // the windows meet: they are joined at the next word
      end[k] = p[k + 1];
      start[k + 1] = p[k + 1];
    }
  }
  szContextBuff[0] = '\0';
  apr_size_t used = 0;
  char *part = static_cast<char *>(apr_palloc(pool, dwContextLen + 1));
  if (!part) return 0;
  for (int k = 0; k < words; ++k) {
    if (!kvrStrSub(pool, text, start[k], end[k] - start[k], part)) return 0;
    const apr_size_t n = std::strlen(part);
    std::memcpy(szContextBuff + used, part, n + 1);
    used += n;
  }
  return 1;
}

int kvrGetHtmlPageContextMutilKey(request_rec *r, apr_size_t /*nPageCode*/, apr_size_t nKeyWordNum,
                                  char *szKeyWordBuff0, char *szKeyWordBuff1, char *szKeyWordBuff2,
                                  char *szKeyWordBuff3, const char *szHtmlPageRawBuff,
                                  apr_size_t dwHtmlPageRawBuffLen, char *szHtmlPageBuff,
                                  apr_size_t dwHtmlPageBuffLen, char *szContextBuff,
                                  apr_size_t dwContextLen, apr_size_t /*nSetKeyWordColorToRed*/,
                                  apr_size_t /*nRepKeyWordHtmlChar*/) {
  return kvrPageContext(r->pool, nKeyWordNum, szKeyWordBuff0, szKeyWordBuff1, szKeyWordBuff2,
                        szKeyWordBuff3, szHtmlPageRawBuff, dwHtmlPageRawBuffLen, szHtmlPageBuff,
                        dwHtmlPageBuffLen, szContextBuff, dwContextLen);
}

int kvrPostHtmlPageContextMutilKey(request_rec *r, apr_size_t /*nPageCode*/, apr_size_t nKeyWordNum,
                                   char *szKeyWordBuff0, char *szKeyWordBuff1, char *szKeyWordBuff2,
                                   char *szKeyWordBuff3, char *szHtmlPageRawBuff,
                                   apr_size_t dwHtmlPageRawBuffLen, char *szHtmlPageBuff,
                                   apr_size_t dwHtmlPageBuffLen, char *szContextBuff,
                                   apr_size_t dwContextLen, apr_size_t nSetKeyWordColorToRed,
                                   apr_size_t nRepKeyWordHtmlChar) {
  // The same extraction as for responses.
  return kvrGetHtmlPageContextMutilKey(
      r, 0, nKeyWordNum, szKeyWordBuff0, szKeyWordBuff1, szKeyWordBuff2, szKeyWordBuff3,
      szHtmlPageRawBuff, dwHtmlPageRawBuffLen, szHtmlPageBuff, dwHtmlPageBuffLen, szContextBuff,
      dwContextLen, nSetKeyWordColorToRed, nRepKeyWordHtmlChar);
}
