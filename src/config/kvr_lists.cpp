// List files and page templates.
#include <cstring>
#include <string>

#include "config/kvr_config.h"
#include "config/kvr_file.h"
#include "util/kvr_text.h"

namespace {

struct ListTable {
  char *base;
  size_t slots;
  size_t width;
};

template <size_t N, size_t W>
ListTable table(char (&arr)[N][W]) {
  return {&arr[0][0], N, W};
}

bool listFor(size_t code, ListTable *out) {
  switch (code) {
    case 1030:
      *out = table(arrVazidezScriptName);
      return true;
    case 1020:
      *out = table(arrVazidezGetDna);
      return true;
    case 1010:
      *out = table(arrVazidezPostDna);
      return true;
    case 1060:
      *out = table(arrPostIp);
      return true;
    case 3020:
      *out = table(arrBeianHeiDn);
      return true;
    case 3010:
      *out = table(arrBeianBaiDn);
      return true;
    case 1070:
      *out = table(arrBlockIp);
      return true;
    case 2010:
      *out = table(arrgCliIp);
      return true;
    case 5020:
      *out = table(arrBlockFilePath);
      return true;
    case 5010:
      *out = table(arrBlockSql);
      return true;
    case 5011:
      *out = table(arrBlockSqlScript);
      return true;
    case 5012:
      *out = table(arrBlockSqlDnUrl);
      return true;
    case 5030:
      *out = table(arrBlockUrl);
      return true;
    default:
      return false;
  }
}

}  // namespace

bool kvrNextEntryLine(KvrConfigText &text, char *line, size_t maxChars, int *lineNo, size_t *len) {
  int at = 0;
  while (text.next(line, &at)) {
    const size_t n = kvrStripBlanks(line);
    KvrLineFate fate = kLineStored;
    if (n < 2)
      fate = kLineTooShort;
    else if (n > maxChars)
      fate = kLineTooLong;
    else if (line[0] == ';')
      fate = kLineComment;
    if (fate == kLineStored) {
      kvrGbkAsciiLower(line, n);
      *lineNo = at;
      *len = n;
      return true;
    }
    if (kvrLineNotice && n) kvrLineNotice(text.path(), at, fate, line, -1);
  }
  return false;
}

int kvrReadConfigFile(apr_pool_t *pool, char *strFileName, size_t nFileType, size_t nMaxLineNum,
                      size_t nMaxCharNum) {
  char *line = static_cast<char *>(apr_palloc(pool, kLineBufSize));
  if (!line || !strFileName) return 0;
  KvrConfigText file;
  if (!file.read(strFileName, true)) return 0;
  ListTable t{};
  const bool known = listFor(nFileType, &t);
  // Never trust the caller's limits beyond the table's real size.
  if (known) {
    if (nMaxLineNum > t.slots) nMaxLineNum = t.slots;
    if (nMaxCharNum > t.width - 1) nMaxCharNum = t.width - 1;
  }
  size_t count = 0;
  int at = 0;
  size_t len = 0;
  // With someone to tell, the lines beyond the table's capacity are read
  // too, to be reported.
  while (known && (count < nMaxLineNum || kvrLineNotice) &&
         kvrNextEntryLine(file, line, nMaxCharNum, &at, &len)) {
    if (count >= nMaxLineNum) {
      kvrLineNotice(strFileName, at, kLineBeyondCapacity, line, -1);
      continue;
    }
    std::memcpy(t.base + count * t.width, line, len + 1);
    if (kvrLineNotice) kvrLineNotice(strFileName, at, kLineStored, line, static_cast<int>(count));
    ++count;
  }
  return 1;
}

int kvrReadTxtFile(apr_pool_t * /*pool*/, char *strFileName, char *szOutBuf,
                   apr_size_t nOutBufLen) {
  if (!strFileName || !szOutBuf || nOutBufLen < 1) return 0;
  std::string page;
  if (kvrReadConfigBytes(strFileName, nOutBufLen - 1, &page) != KvrOpen::kRead) return 0;
  std::memset(szOutBuf, 0, nOutBufLen);
  std::memcpy(szOutBuf, page.data(), page.size());
  return 1;
}
