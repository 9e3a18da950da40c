#include "log/kvr_log.h"

const char strLogHead[] =
    "<html>\r\n"
    "<head>\r\n"
    "<meta http-equiv=\"Content-Language\" content=\"zh-cn\">\r\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">\r\n"
    "<title>服务器日志</title>\r\n"
    "<style type=\"text/css\">\r\n"
    "<!--\r\n"
    "a { text-decoration: none }\r\n"
    "a:link { text-decoration: none; color: blue }\r\n"
    "a:visited { text-decoration: none; color: blue }\r\n"
    "a:active { text-decoration: underline; color: #FF0000 }\r\n"
    "a:hover { color: #FF0000; text-decoration: underline }\r\n"
    "body { font-family: 宋体; font-size: 9pt }\r\n"
    "td { font-family: 宋体; font-size: 9pt }\r\n"
    "-->\r\n"
    "</style>\r\n"
    "<base target=\"_blank\">\r\n"
    "</head>\r\n"
    "<body>\r\n";
const size_t kvrLogHeadLen = sizeof strLogHead - 1;
