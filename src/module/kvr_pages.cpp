#include "module/kvr_pages.h"

// One skeleton for every page; the script differs between the two forms.
#define KVR_PAGE_TOP(TITLE)                                                      \
  "<html>\r\n"                                                                   \
  "<head>\r\n"                                                                   \
  "<meta http-equiv=\"Content-Language\" content=\"zh-cn\">\r\n"                 \
  "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">\r\n" \
  "<title>" TITLE                                                                \
  "</title>\r\n"                                                                 \
  "<style type=\"text/css\">\r\n"                                                \
  "<!--\r\n"                                                                     \
  "a            { text-decoration: none }\r\n"                                   \
  "a:link       { text-decoration: none; color: blue }\r\n"                      \
  "a:visited    { text-decoration: none; color: blue }\r\n"                      \
  "a:active     { text-decoration: underline; color: #FF0000 }\r\n"              \
  "a:hover      { color: #FF0000; text-decoration: underline }\r\n"              \
  "body         { font-family: 宋体; font-size: 9pt }\r\n"                     \
  "td           { font-family: 宋体; font-size: 9pt }\r\n"                     \
  "--></style>\r\n"                                                              \
  "</head>\r\n"                                                                  \
  "<body>\r\n"                                                                   \
  "<p align=\"center\">　</p>\r\n"                                              \
  "<p align=\"center\">　</p>\r\n"

#define KVR_PAGE_MIDDLE(MESSAGE)                  \
  "<p align=\"center\"><font size=\"3\">" MESSAGE \
  "</font></p>\r\n"                               \
  "<p>　</p>\r\n"                                \
  "<p>  </p>\r\n"                                 \
  "<script type=\"text/javascript\" language=\"javascript\">\r\n"

#define KVR_PAGE_END \
  "</script>\r\n"    \
  "</body>\r\n"      \
  "</html>\r\n"

#define KVR_PAGE_A(TITLE, MESSAGE) \
  KVR_PAGE_TOP(TITLE)              \
  KVR_PAGE_MIDDLE(MESSAGE)         \
  "\t//window.alert (\"" MESSAGE   \
  "\");\r\n"                       \
  "\tdocument.execCommand(\"stop\");\r\n" KVR_PAGE_END

#define KVR_PAGE_B(TITLE, MESSAGE)           \
  KVR_PAGE_TOP(TITLE)                        \
  KVR_PAGE_MIDDLE(MESSAGE)                   \
  "\tif (top.location != self.location)\r\n" \
  "\t{\r\n"                                  \
  "\t\twindow.alert ('" MESSAGE              \
  "');\r\n"                                  \
  "\t}\r\n"                                  \
  "\tdocument.execCommand(\"stop\");\r\n" KVR_PAGE_END

const char *const strReqMetMsg =
    KVR_PAGE_A("禁止的HTTP方法", "当前服务器不允许此HTTP方法(%s)，暂时无法访问！");
const char *const stReadConfErrMsg = KVR_PAGE_A("读取配置文件发生错误", "读取配置文件发生错误！");
const char *const strUrlLenMsg =
    KVR_PAGE_B("URL长度超过限制", "当前URL超过%d个字符，暂时无法访问！");
const char *const strBlockUrlMsg =
    KVR_PAGE_B("禁止URL语句", "当前URL中包含特定的URL语句，暂时无法访问！");
const char *const strBlockSQLMsg =
    KVR_PAGE_B("禁止SQL语句", "当前URL或COOKIES中包含特定的SQL语句，暂时无法访问！");
const char *const strBlockFilePathMsg =
    KVR_PAGE_B("禁止访问特定目录", "当前试图访问特定的文件目录（%s）而被防火墙禁止！");
const char *const strPostSizeMsg =
    KVR_PAGE_B("POST内容超过限制", "当前发送的内容超过%d字节，暂时无法发送！");

const char *const kvrPageContentType = "text/html; charset=gb2312";
