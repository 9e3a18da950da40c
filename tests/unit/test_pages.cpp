// The built-in pages, composed here line by line from their skeleton.
#include <string>
#include <vector>

#include "module/kvr_pages.h"
#include "test_support.h"

using std::string;

namespace {

string pad(const string &selector, const string &rule) {
  return selector + string(13 - selector.size(), ' ') + rule;
}

string page(const string &title, const string &message, bool formB) {
  std::vector<string> lines = {
      "<html>",
      "<head>",
      "<meta http-equiv=\"Content-Language\" content=\"zh-cn\">",
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">",
      "<title>" + title + "</title>",
      "<style type=\"text/css\">",
      "<!--",
      pad("a", "{ text-decoration: none }"),
      pad("a:link", "{ text-decoration: none; color: blue }"),
      pad("a:visited", "{ text-decoration: none; color: blue }"),
      pad("a:active", "{ text-decoration: underline; color: #FF0000 }"),
      pad("a:hover", "{ color: #FF0000; text-decoration: underline }"),
      pad("body", "{ font-family: \xcb\xce\xcc\xe5; font-size: 9pt }"),  // 宋体
      pad("td", "{ font-family: \xcb\xce\xcc\xe5; font-size: 9pt }"),
      "--></style>",
      "</head>",
      "<body>",
      "<p align=\"center\">\xa1\xa1</p>",  // U+3000
      "<p align=\"center\">\xa1\xa1</p>",
      "<p align=\"center\"><font size=\"3\">" + message + "</font></p>",
      "<p>\xa1\xa1</p>",
      "<p>  </p>",
      "<script type=\"text/javascript\" language=\"javascript\">",
  };
  if (formB) {
    lines.push_back("\tif (top.location != self.location)");
    lines.push_back("\t{");
    lines.push_back("\t\twindow.alert ('" + message + "');");
    lines.push_back("\t}");
  } else {
    lines.push_back("\t//window.alert (\"" + message + "\");");
  }
  lines.push_back("\tdocument.execCommand(\"stop\");");
  lines.push_back("</script>");
  lines.push_back("</body>");
  lines.push_back("</html>");
  string out;
  for (const string &l : lines) out += l + "\r\n";
  return out;
}

}  // namespace

TEST(PagesTest, EveryPageFromTheSkeleton) {
  EXPECT_EQ(page(toGbk(u8"禁止的HTTP方法"),
                 toGbk(u8"当前服务器不允许此HTTP方法(%s)，暂时无法访问！"), false),
            strReqMetMsg);
  EXPECT_EQ(page(toGbk(u8"读取配置文件发生错误"), toGbk(u8"读取配置文件发生错误！"), false),
            stReadConfErrMsg);
  EXPECT_EQ(page(toGbk(u8"URL长度超过限制"), toGbk(u8"当前URL超过%d个字符，暂时无法访问！"), true),
            strUrlLenMsg);
  EXPECT_EQ(
      page(toGbk(u8"禁止URL语句"), toGbk(u8"当前URL中包含特定的URL语句，暂时无法访问！"), true),
      strBlockUrlMsg);
  EXPECT_EQ(page(toGbk(u8"禁止SQL语句"),
                 toGbk(u8"当前URL或COOKIES中包含特定的SQL语句，暂时无法访问！"), true),
            strBlockSQLMsg);
  EXPECT_EQ(page(toGbk(u8"禁止访问特定目录"),
                 toGbk(u8"当前试图访问特定的文件目录（%s）而被防火墙禁止！"), true),
            strBlockFilePathMsg);
  EXPECT_EQ(
      page(toGbk(u8"POST内容超过限制"), toGbk(u8"当前发送的内容超过%d字节，暂时无法发送！"), true),
      strPostSizeMsg);
}
