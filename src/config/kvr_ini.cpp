// The INI reader and the configuration loader.
#include <apr_strings.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/kvr_config.h"
#include "config/kvr_file.h"
#include "util/kvr_text.h"

int kvrRepDirFileStrEx(char *szbuff) {
  if (!szbuff || !*szbuff) return 0;
  const size_t len = std::strlen(szbuff);
  if (len >= 256) return 0;
  for (size_t i = 0; i < len; ++i)
    if (szbuff[i] == '\\') szbuff[i] = '/';
  return 1;
}

namespace {

// The lines of an INI file that can set a key: blanks removed, 3 to 512
// bytes, neither a comment nor a section header, holding "=". The file is
// read once, however many keys are looked up in it, so that a file
// rewritten while a child starts never gives it a mix of old and new
// settings.
class KvrIni {
 public:
  bool read(const char *path) {
    lines_.clear();
    KvrConfigText text;
    if (!text.read(path, false)) return false;
    char line[kLineBufSize];
    int at = 0;
    while (text.next(line, &at)) {
      const size_t len = kvrStripBlanks(line);
      if (len < 3 || len > 512) continue;
      if (line[0] == ';' || line[0] == '[') continue;
      if (!std::strchr(line, '=')) continue;
      lines_.emplace_back(line, len);
    }
    return true;
  }
  // The value of the first line that gives the key one; empty if none does.
  std::string value(const char *wanted) const {
    for (const std::string &line : lines_) {
      // Split as strtok(line, "=") would: the key is the first run of bytes
      // other than '=', the value the second; anything after is ignored.
      size_t p = line.find_first_not_of('=');
      if (p == std::string::npos) continue;
      const size_t keyEnd = std::min(line.find('=', p), line.size());
      const std::string key = line.substr(p, keyEnd - p);
      if (strcasecmp(key.c_str(), wanted) != 0) continue;
      p = line.find_first_not_of('=', keyEnd);
      if (p == std::string::npos) continue;  // "key=": a later line may still give a value
      const size_t valueEnd = std::min(line.find('=', p), line.size());
      return line.substr(p, valueEnd - p);
    }
    return std::string();
  }

 private:
  std::vector<std::string> lines_;
};

void copyValue(const std::string &v, char *buf, int bufLen) {
  const size_t keep = std::min(v.size(), static_cast<size_t>(bufLen - 1));
  std::memcpy(buf, v.data(), keep);
  buf[keep] = '\0';
}

}  // namespace

int kvrReadIniStr(apr_pool_t * /*pool*/, char *strFileName, char *strKeyName, char *strValBuff,
                  int nValBuffLen) {
  if (!strFileName || !strKeyName || !strValBuff || nValBuffLen < 1) return 0;
  try {
    std::memset(strValBuff, 0, static_cast<size_t>(nValBuffLen));
    kvrRepDirFileStrEx(strFileName);
    KvrIni ini;
    if (!ini.read(strFileName)) return 0;
    copyValue(ini.value(strKeyName), strValBuff, nValBuffLen);
    return 1;
  } catch (...) {
    return 0;
  }
}

namespace {

constexpr int kValLen = 256;

struct Loader {
  apr_pool_t *pool;
  KvrIni ini;
  char value[kValLen];
  char path[256];

  // Reads the INI file, once for the whole load; a missing or unreadable
  // file makes every key read as missing.
  void readIni() {
    char name[256];
    if (std::snprintf(name, sizeof name, "%srizururuzarida.ini", strIsapiPath) >= int(sizeof name))
      return;
    kvrRepDirFileStrEx(name);
    ini.read(name);
  }
  const char *lookup(const char *key) {
    copyValue(ini.value(key), value, kValLen);
    return value;
  }
  int onIf1(const char *key) { return std::strcmp(lookup(key), "1") == 0 ? 1 : 0; }
  int oneOr2(const char *key) {
    const char *v = lookup(key);
    if (std::strcmp(v, "1") == 0) return 1;
    if (std::strcmp(v, "2") == 0) return 2;
    return 0;
  }
  int offIf0(const char *key) { return std::strcmp(lookup(key), "0") == 0 ? 0 : 1; }

  char *file(const char *name) {
    if (std::snprintf(path, sizeof path, "%sconfig\\%s", strIsapiPath, name) >= int(sizeof path))
      path[0] = '\0';
    kvrRepDirFileStrEx(path);
    return path;
  }
  void list(const char *name, size_t code, size_t slots, size_t width) {
    kvrReadConfigFile(pool, file(name), code, slots, width - 1);
  }
  void page(const char *name, char *buf) { kvrReadTxtFile(pool, file(name), buf, kTemplateSize); }
  void getKeys(const char *name, size_t code) {
    kvrVazidezReadGetKeyFile(pool, file(name), code, kKeyTableSlots, 31);
  }
  void postKeys(const char *name, size_t code) {
    kvrVazidezReadPostKeyFile(pool, file(name), code, kKeyTableSlots, 31);
  }
};

}  // namespace

int kvrReadVazidezConfig(apr_pool_t *p) {
  Loader L{};
  L.pool = p;
  L.readIni();

  nWriteUtf8KeyWord = L.onIf1("writeutf8keyword");
  nWriteBig5KeyWord = L.onIf1("writebig5keyword");
  nDisGZip = L.offIf0("disgzip");

  L.list("scriptname.txt", 1030, kScriptSlots, kScriptWidth);

  nVazidezChkGetKeyWord = L.onIf1("ChkGetKeyWord");
  if (nVazidezChkGetKeyWord == 1) L.getKeys("getkeyb.txt", 1021);
  nVazidezBlockGetKeyWord = L.onIf1("BlockGetKeyWord");
  if (nVazidezBlockGetKeyWord == 1) L.getKeys("getkeyc.txt", 1022);
  nVazidezRepGetKeyWord = L.oneOr2("RepGetKeyWord");
  if (nVazidezChkGetKeyWord == 1 || nVazidezBlockGetKeyWord == 1 || nVazidezRepGetKeyWord == 1 ||
      nVazidezRepGetKeyWord == 2) {
    L.list("getdna.txt", 1020, kDnaSlots, kDnaWidth);
    L.page("getshow.txt", strVazidezGetShow);
  }

  nVazidezChkPostKeyWord = L.onIf1("ChkPostKeyWord");
  if (nVazidezChkPostKeyWord == 1) {
    L.postKeys("postkeyb.txt", 1011);
    L.postKeys("postkeybex.txt", 9011);
  }
  nVazidezBlockPostKeyWord = L.onIf1("BlockPostKeyWord");
  if (nVazidezBlockPostKeyWord == 1) {
    L.postKeys("postkeyc.txt", 1012);
    L.postKeys("postkeycex.txt", 9012);
  }
  if (nVazidezChkPostKeyWord == 1 || nVazidezBlockPostKeyWord == 1) {
    L.list("postdna.txt", 1010, kDnaSlots, kDnaWidth);
    L.page("postshow.txt", strVazidezPostShow);
  }

  nPostIp = L.oneOr2("postip");
  if (nPostIp == 1 || nPostIp == 2) {
    L.list("postip.txt", 1060, kIpSlots, kIpWidth);
    L.page("postipshow.txt", strPostIpShow);
  }
  nChkBeianHeiDn = L.onIf1("chkbeianheidn");
  if (nChkBeianHeiDn == 1) {
    L.list("beianheidn.txt", 3020, kDnSlots, kDnWidth);
    L.page("beianheishow.txt", strBeianHeiShow);
  }
  nChkBeianBaiDn = L.onIf1("chkbeianbaidn");
  if (nChkBeianBaiDn == 1) {
    L.list("beianbaidn.txt", 3010, kDnSlots, kDnWidth);
    L.page("beianbaishow.txt", strBeianBaiShow);
  }
  nBlockIp = L.oneOr2("blockip");
  if (nBlockIp == 1 || nBlockIp == 2) {
    L.list("blockip.txt", 1070, kIpSlots, kIpWidth);
    L.page("blockipshow.txt", strBlockIpShow);
  }
  ngCliIp = L.onIf1("gcliip");
  if (ngCliIp == 1) L.list("gcliip.txt", 2010, kIpSlots, kIpWidth);
  nChkReqMet = L.onIf1("chkreqmet");
  nBlockFilePath = L.oneOr2("blockfilepath");
  if (nBlockFilePath == 1 || nBlockFilePath == 2)
    L.list("keyfilepath.txt", 5020, kUrlSlots, kUrlWidth);

  nBlockSql = L.oneOr2("blocksql");
  if (nBlockSql == 1 || nBlockSql == 2) {
    nBlockSqlCookies = L.offIf0("blocksqlcookies");
    nBlockSqlDnUrl = L.onIf1("blocksqldnurl");
    L.list("blocksql.txt", 5010, kUrlSlots, kUrlWidth);
    L.list("blocksqlscript.txt", 5011, kScriptSlots, kScriptWidth);
    // SQL screening always has a script list to go by.
    if (std::strlen(arrBlockSqlScript[0]) < 2) std::strcpy(arrBlockSqlScript[0], ".php");
    if (nBlockSqlDnUrl == 1) L.list("blocksqldnurl.txt", 5012, kUrlSlots, kUrlWidth);
  }

  nBlockUrl = L.oneOr2("blockurl");
  if (nBlockUrl == 1 || nBlockUrl == 2) L.list("blockurl.txt", 5030, kUrlSlots, kUrlWidth);

  {
    const char *v = L.lookup("urllen");
    const size_t n = std::strlen(v);
    nUrlLen = (n > 0 && n <= 4) ? static_cast<apr_size_t>(std::strtol(v, nullptr, 10)) : 0;
  }
  {
    const char *v = L.lookup("postsize");
    const size_t n = std::strlen(v);
    nPostSize = (n > 0 && n <= 10) ? static_cast<int>(std::strtol(v, nullptr, 10)) : 0;
  }
  nBlockMuma = L.oneOr2("blockmuma");
  nBlockGuama = L.oneOr2("blockguama");
  {
    const char *v = L.lookup("autodellogfile");
    const size_t n = std::strlen(v);
    apr_int64_t days = (n > 0 && n <= 3) ? apr_atoi64(v) : 0;
    nAutoDelLogFile = (days >= 1 && days <= 9999) ? days : 0;
  }
  return 1;
}
