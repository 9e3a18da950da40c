// Process-wide settings and tables of the module. They are written only by
// the configuration load of each server child and read without locks after.
#pragma once

#include <apr_pools.h>

#include <cstddef>
#include <cstdint>

// Capacities of the fixed tables.
constexpr int kKeyTableSlots = 3000;
constexpr int kIpSlots = 500, kIpWidth = 16;
constexpr int kDnSlots = 500, kDnWidth = 128;
constexpr int kDnaSlots = 1000, kDnaWidth = 256;
constexpr int kScriptSlots = 100, kScriptWidth = 16;
constexpr int kUrlSlots = 100, kUrlWidth = 256;
constexpr int kTemplateSize = 8192;

struct structGetKeyWord {
  int used;
  int no;
  int cache;
  int chkurl;
  int usertype;
  int num;
  char szurl[256];
  char gbk[32];
  int gbklen;
  char utf8[64];
  int utf8len;
  char big5[64];
  int big5len;
  char ClueId[16];
  char CasesId[8];
  char GroupId[8];
  char DataType[8];
  char AlarmFlag[8];
};

struct structPostKeyWord {
  int used;
  int no;
  int cache;
  int chkurl;
  int num;
  int usertype;
  char szurl[256];
  char gbk[32];
  int gbklen;
  char utf8[64];
  int utf8len;
  char big5[64];
  int big5len;
  char ClueId[16];
  char CasesId[8];
  char DataType[8];
  char AlarmFlag[8];
};

struct structArrGetKeyWord {
  structGetKeyWord b[kKeyTableSlots];  // recorded
  structGetKeyWord c[kKeyTableSlots];  // blocking
};

struct structArrPostKeyWord {
  structPostKeyWord b[kKeyTableSlots];    // recorded, filtered text
  structPostKeyWord c[kKeyTableSlots];    // blocking, filtered text
  structPostKeyWord bex[kKeyTableSlots];  // recorded, raw text
  structPostKeyWord cex[kKeyTableSlots];  // blocking, raw text
};

// Base paths (with trailing slash), set at the start of every load.
extern char strIsapiPath[256];
extern char strIsapiLogPath[256];
// The build-time defaults they are set from.
extern const char *const kvrConfigDirDefault;
extern const char *const kvrLogDirDefault;

extern int nReadConfig;

// Settings from the INI file.
extern int nWriteUtf8KeyWord;
extern int nWriteBig5KeyWord;
extern int nDisGZip;
extern int nVazidezChkGetKeyWord;
extern int nVazidezBlockGetKeyWord;
extern int nVazidezRepGetKeyWord;
extern int nVazidezChkPostKeyWord;
extern int nVazidezBlockPostKeyWord;
extern int nPostIp;
extern int nChkBeianHeiDn;
extern int nChkBeianBaiDn;
extern int nBlockIp;
extern int ngCliIp;
extern int nChkReqMet;
extern int nBlockFilePath;
extern int nBlockSql;
extern int nBlockSqlCookies;
extern int nBlockSqlDnUrl;
extern int nBlockUrl;
extern apr_size_t nUrlLen;
extern int nPostSize;
extern int nBlockMuma;
extern int nBlockGuama;
extern int64_t nAutoDelLogFile;

// Settings without a key.
extern apr_size_t nGetSizeMin, nGetSizeMax;
extern apr_size_t nPostSizeMin, nPostSizeMax;
extern apr_size_t nChkPostKeyWordNum;
extern apr_size_t nChkUtf8PostKeyWord;
extern apr_size_t nChkBig5PostKeyWord;
extern int nChkBig5GetKeyWord;
extern int nLogGetHtmlPageLen;
extern apr_size_t nLogPostHtmlPageLen;

// Lists: entries lower-cased, without blanks; a list ends at its first
// entry shorter than 2 bytes.
extern char arrVazidezScriptName[kScriptSlots][kScriptWidth];
extern char arrVazidezGetDna[kDnaSlots][kDnaWidth];
extern char arrVazidezPostDna[kDnaSlots][kDnaWidth];
extern char arrPostIp[kIpSlots][kIpWidth];
extern char arrBeianHeiDn[kDnSlots][kDnWidth];
extern char arrBeianBaiDn[kDnSlots][kDnWidth];
extern char arrBlockIp[kIpSlots][kIpWidth];
extern char arrgCliIp[kIpSlots][kIpWidth];
extern char arrBlockFilePath[kUrlSlots][kUrlWidth];
extern char arrBlockSql[kUrlSlots][kUrlWidth];
extern char arrBlockSqlScript[kScriptSlots][kScriptWidth];
extern char arrBlockSqlDnUrl[kUrlSlots][kUrlWidth];
extern char arrBlockUrl[kUrlSlots][kUrlWidth];

// Page templates.
extern char strVazidezGetShow[kTemplateSize];
extern char strVazidezPostShow[kTemplateSize];
extern char strPostIpShow[kTemplateSize];
extern char strBeianHeiShow[kTemplateSize];
extern char strBeianBaiShow[kTemplateSize];
extern char strBlockIpShow[kTemplateSize];

extern structArrGetKeyWord arrGetKeyWord;
extern structArrPostKeyWord arrPostKeyWord;

// Told of every line the list and keyword readers read, when set (rizu-check
// sets it; the server never does): stored in a slot, or why not.
enum KvrLineFate {
  kLineStored,
  kLineComment,
  kLineTooShort,
  kLineTooLong,
  kLineBeyondCapacity,
  kLineDuplicate
};
extern void (*kvrLineNotice)(const char *file, int line, KvrLineFate fate, const char *text,
                             int slot);

// What the readers found in a configuration file that an operator should
// hear of. The server logs the issues that change what is loaded
// (kvrFileIssueLogged); rizu-check prints them all.
enum KvrFileIssue {
  kIssueByteOrderMark,  // a UTF-8 byte-order mark at the start, passed over
  kIssueCrLineEnds,     // lines ended by CR alone, taken as line ends
  kIssueUtf8File,       // saved as UTF-8: read as UTF-8, converted to GBK
  kIssueNotGbkLine,     // in a UTF-8 file, a line with a character GBK lacks: dropped
  kIssueLongLine,       // a line longer than 999 bytes: its rest dropped
  kIssueUnreadable,     // exists, but cannot be read: not loaded
  kIssueNotRegular,     // not a regular file: not read
  kIssueTooLarge,       // beyond the 64 MiB read: the rest dropped
};
// Told of each issue, when set, with the file's path, the line (0 for the
// whole file) and the issue in words.
extern void (*kvrFileNotice)(void *ctx, const char *file, int line, KvrFileIssue issue,
                             const char *what);
extern void *kvrFileNoticeCtx;
bool kvrFileIssueLogged(KvrFileIssue issue);

// Puts every setting back to its start value and empties every table, so
// that a load can start again from scratch after a failed one.
void kvrResetConfigState();

// --- The load -------------------------------------------------------------

// The whole load from the build-time directories; 1 on success.
int kvrReadConfig(apr_pool_t *p);
// The same load from the given directories (each with its trailing slash);
// the status page is written only when asked for. Every load after the
// first starts from empty tables.
int kvrLoadConfiguration(apr_pool_t *p, const char *configDir, const char *logDir,
                         bool writeStatusPage);

// The load's steps after the files are read: the charset forms of the
// keyword tables, then the GET automata and the POST matchers.
void kvrBuildKeywordForms();

// INI file.
int kvrRepDirFileStrEx(char *szbuff);
int kvrReadIniStr(apr_pool_t *pool, char *strFileName, char *strKeyName, char *strValBuff,
                  int nValBuffLen);
int kvrReadVazidezConfig(apr_pool_t *p);

// Lists and templates.
int kvrReadConfigFile(apr_pool_t *pool, char *strFileName, size_t nFileType, size_t nMaxLineNum,
                      size_t nMaxCharNum);
int kvrReadTxtFile(apr_pool_t *pool, char *strFileName, char *szOutBuf, apr_size_t nOutBufLen);

// Keyword files.
int kvrVazidezReadGetKeyFile(apr_pool_t *pool, char *strFileName, size_t nFileType,
                             size_t nMaxLineNum, size_t nMaxCharNum);
int kvrVazidezReadPostKeyFile(apr_pool_t *pool, char *strFileName, size_t nFileType,
                              size_t nMaxLineNum, size_t nMaxCharNum);

// Charset variants of the keyword tables.
int getkeyb_gb2utf8();
int getkeyc_gb2utf8();
int getkeyb_gb2big5();
int getkeyc_gb2big5();
int postkeyb_gb2utf8();
int postkeyc_gb2utf8();
int postkeybex_gb2utf8();
int postkeycex_gb2utf8();

// Log housekeeping.
#include <apr_tables.h>
#include <apr_time.h>
int kvrGetFileList(apr_pool_t *p, char *pszFilePath, char *pszFileExt, char *pszFileName,
                   apr_array_header_t *arrBcpFile);
int kvrVazidezAutoDelLogFile(apr_pool_t *p, char *pszFileHead, char *pszFileExt, apr_time_t nDay);

// Status page.
int kvrWriteConfigLog(apr_pool_t *pool);
int kvrVazidezGetKeybNum();
int kvrVazidezGetKeycNum();
int kvrVazidezPostKeybNum();
int kvrVazidezPostKeybexNum();
int kvrVazidezPostKeycNum();
int kvrVazidezPostKeycexNum();
// The page text itself, for callers that show it without writing the file.
// Returns the length, or 0 when the buffer is too small.
size_t kvrBuildConfigPage(char *buf, size_t cap);
// Writes a page built before (the same file, as kvrWriteConfigLog does).
int kvrWriteConfigPage(apr_pool_t *pool, const char *page, size_t len);

// Builds the GET automata; defined with the matcher.
int kvrKeyWord2AC();
