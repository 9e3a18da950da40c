#include <cstring>

#include "config/kvr_config.h"

char strIsapiPath[256];
char strIsapiLogPath[256];
int nReadConfig = 0;
void (*kvrLineNotice)(const char *, int, KvrLineFate, const char *, int) = nullptr;
void (*kvrFileNotice)(void *, const char *, int, KvrFileIssue, const char *) = nullptr;
void *kvrFileNoticeCtx = nullptr;

int nWriteUtf8KeyWord = 0;
int nWriteBig5KeyWord = 0;
int nDisGZip = 1;
int nVazidezChkGetKeyWord = 0;
int nVazidezBlockGetKeyWord = 0;
int nVazidezRepGetKeyWord = 0;
int nVazidezChkPostKeyWord = 0;
int nVazidezBlockPostKeyWord = 0;
int nPostIp = 0;
int nChkBeianHeiDn = 0;
int nChkBeianBaiDn = 0;
int nBlockIp = 0;
int ngCliIp = 0;
int nChkReqMet = 0;
int nBlockFilePath = 0;
int nBlockSql = 0;
int nBlockSqlCookies = 0;
int nBlockSqlDnUrl = 0;
int nBlockUrl = 0;
apr_size_t nUrlLen = 1024;
int nPostSize = 0;
int nBlockMuma = 0;
int nBlockGuama = 0;
int64_t nAutoDelLogFile = 3;

apr_size_t nGetSizeMin = 3, nGetSizeMax = 524288;
apr_size_t nPostSizeMin = 3, nPostSizeMax = 49152;
apr_size_t nChkPostKeyWordNum = 3;
apr_size_t nChkUtf8PostKeyWord = 1;
apr_size_t nChkBig5PostKeyWord = 0;
int nChkBig5GetKeyWord = 0;
int nLogGetHtmlPageLen = 100;
apr_size_t nLogPostHtmlPageLen = 100;

char arrVazidezScriptName[kScriptSlots][kScriptWidth];
char arrVazidezGetDna[kDnaSlots][kDnaWidth];
char arrVazidezPostDna[kDnaSlots][kDnaWidth];
char arrPostIp[kIpSlots][kIpWidth];
char arrBeianHeiDn[kDnSlots][kDnWidth];
char arrBeianBaiDn[kDnSlots][kDnWidth];
char arrBlockIp[kIpSlots][kIpWidth];
char arrgCliIp[kIpSlots][kIpWidth];
char arrBlockFilePath[kUrlSlots][kUrlWidth];
char arrBlockSql[kUrlSlots][kUrlWidth];
char arrBlockSqlScript[kScriptSlots][kScriptWidth];
char arrBlockSqlDnUrl[kUrlSlots][kUrlWidth];
char arrBlockUrl[kUrlSlots][kUrlWidth];

char strVazidezGetShow[kTemplateSize];
char strVazidezPostShow[kTemplateSize];
char strPostIpShow[kTemplateSize];
char strBeianHeiShow[kTemplateSize];
char strBeianBaiShow[kTemplateSize];
char strBlockIpShow[kTemplateSize];

structArrGetKeyWord arrGetKeyWord;
structArrPostKeyWord arrPostKeyWord;

void kvrResetConfigState() {
  nWriteUtf8KeyWord = 0;
  nWriteBig5KeyWord = 0;
  nDisGZip = 1;
  nVazidezChkGetKeyWord = nVazidezBlockGetKeyWord = nVazidezRepGetKeyWord = 0;
  nVazidezChkPostKeyWord = nVazidezBlockPostKeyWord = 0;
  nPostIp = nChkBeianHeiDn = nChkBeianBaiDn = nBlockIp = ngCliIp = nChkReqMet = 0;
  nBlockFilePath = nBlockSql = nBlockSqlCookies = nBlockSqlDnUrl = nBlockUrl = 0;
  nUrlLen = 1024;
  nPostSize = 0;
  nBlockMuma = nBlockGuama = 0;
  nAutoDelLogFile = 3;
  nLogGetHtmlPageLen = 100;
  nLogPostHtmlPageLen = 100;

  std::memset(arrVazidezScriptName, 0, sizeof arrVazidezScriptName);
  std::memset(arrVazidezGetDna, 0, sizeof arrVazidezGetDna);
  std::memset(arrVazidezPostDna, 0, sizeof arrVazidezPostDna);
  std::memset(arrPostIp, 0, sizeof arrPostIp);
  std::memset(arrBeianHeiDn, 0, sizeof arrBeianHeiDn);
  std::memset(arrBeianBaiDn, 0, sizeof arrBeianBaiDn);
  std::memset(arrBlockIp, 0, sizeof arrBlockIp);
  std::memset(arrgCliIp, 0, sizeof arrgCliIp);
  std::memset(arrBlockFilePath, 0, sizeof arrBlockFilePath);
  std::memset(arrBlockSql, 0, sizeof arrBlockSql);
  std::memset(arrBlockSqlScript, 0, sizeof arrBlockSqlScript);
  std::memset(arrBlockSqlDnUrl, 0, sizeof arrBlockSqlDnUrl);
  std::memset(arrBlockUrl, 0, sizeof arrBlockUrl);
  std::memset(strVazidezGetShow, 0, sizeof strVazidezGetShow);
  std::memset(strVazidezPostShow, 0, sizeof strVazidezPostShow);
  std::memset(strPostIpShow, 0, sizeof strPostIpShow);
  std::memset(strBeianHeiShow, 0, sizeof strBeianHeiShow);
  std::memset(strBeianBaiShow, 0, sizeof strBeianBaiShow);
  std::memset(strBlockIpShow, 0, sizeof strBlockIpShow);
  std::memset(&arrGetKeyWord, 0, sizeof arrGetKeyWord);
  std::memset(&arrPostKeyWord, 0, sizeof arrPostKeyWord);
}
