// The configuration status page, written at the end of every load.
#include <apr_strings.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/kvr_config.h"
#include "log/kvr_log.h"

namespace {

constexpr size_t kPageBufSize = 0x500000;

// Appends keep the write position, so that building a page of full tables
// stays linear. Appends beyond the capacity are dropped (and remembered).
class Page {
 public:
  Page(char *buf, size_t cap) : buf_(buf), cap_(cap) {}
  Page &operator<<(const char *s) {
    add(s, std::strlen(s));
    return *this;
  }
  Page &operator<<(long long v) {
    char num[32];
    const int n = std::snprintf(num, sizeof num, "%lld", v);
    add(num, static_cast<size_t>(n));
    return *this;
  }
  void add(const char *s, size_t n) {
    if (n >= cap_ - len_) {
      full_ = true;
      return;
    }
    std::memcpy(buf_ + len_, s, n);
    len_ += n;
    buf_[len_] = '\0';
  }
  size_t len() const { return len_; }
  bool full() const { return full_; }

 private:
  char *buf_;
  size_t cap_;
  size_t len_ = 0;
  bool full_ = false;
};

template <size_t N, size_t W>
void slashList(Page &pg, const char (&list)[N][W]) {
  for (size_t i = 0; i < N && std::strlen(list[i]) >= 2; ++i) pg << list[i] << " / ";
}

template <size_t N, size_t W>
void lineList(Page &pg, const char (&list)[N][W]) {
  for (size_t i = 0; i < N && std::strlen(list[i]) >= 2; ++i) pg << list[i] << "<br>\r\n";
}

void rowBegin(Page &pg, const char *label) {
  pg << "\t<tr>\r\n\t\t<td width='160' align='right'>" << label << "</td>\r\n\t\t<td>";
}
void rowEnd(Page &pg) {
  pg << "</td>\r\n\t\t</tr>\r\n";
}

template <class Entry, size_t N>
void formList(Page &pg, const Entry *t, const char (Entry::*form)[N]) {
  for (int i = 0; i < kKeyTableSlots && t[i].used == 1; ++i)
    if (t[i].usertype == 2) pg << t[i].*form << " / ";
}

template <class Entry>
void keywordCell(Page &pg, int sw, const char *key, int count, const Entry *t) {
  if (sw != 1) {
    pg << "当前模块未启用；若要启用，请在 rizururuzarida.ini 里设置 " << key << " = 1"
       << "&nbsp;";
    return;
  }
  if (count < 1) {
    pg << "当前模块已经启用，但未设置关键字，或读取关键字文件发生错误！"
       << "&nbsp;";
    return;
  }
  pg << "<br>关键字数量：" << static_cast<long long>(count) << "个<br><br>\r\n";
  formList(pg, t, &Entry::gbk);
  pg << "<br>\r\n";
  if (nWriteUtf8KeyWord == 1) {
    pg << "<hr noshade color=\"#C0C0C0\" size=\"1\">\r\n";
    formList(pg, t, &Entry::utf8);
    pg << "<br>\r\n";
  }
  if (nWriteBig5KeyWord == 1) {
    pg << "<hr noshade color=\"#C0C0C0\" size=\"1\">\r\n";
    formList(pg, t, &Entry::big5);
    pg << "<br>\r\n";
  }
  pg << "&nbsp;";
}

template <class Entry>
int countType2(const Entry *t) {
  int n = 0;
  for (int i = 0; i < kKeyTableSlots && t[i].used == 1; ++i)
    if (t[i].usertype == 2) ++n;
  return n;
}

}  // namespace

int kvrVazidezGetKeybNum() {
  return countType2(arrGetKeyWord.b);
}
int kvrVazidezGetKeycNum() {
  return countType2(arrGetKeyWord.c);
}
int kvrVazidezPostKeybNum() {
  return countType2(arrPostKeyWord.b);
}
int kvrVazidezPostKeybexNum() {
  return countType2(arrPostKeyWord.bex);
}
int kvrVazidezPostKeycNum() {
  return countType2(arrPostKeyWord.c);
}
int kvrVazidezPostKeycexNum() {
  return countType2(arrPostKeyWord.cex);
}

size_t kvrBuildConfigPage(char *buf, size_t cap) {
  if (!buf || cap < 2) return 0;
  buf[0] = '\0';
  Page pg(buf, cap);
  const char *kOff = "当前模块未启用；若要启用，请在 rizururuzarida.ini 里设置 ";
  pg << strLogHead << "<br><br>\r\n"
     << "<table border='1' width='100%' id='table1' bordercolorlight='#C0C0C0' "
        "bordercolordark='#FFFFFF'>\r\n";

  rowBegin(pg, "全局IP白名单：");
  pg << "<br>";
  if (ngCliIp == 1)
    slashList(pg, arrgCliIp);
  else
    pg << kOff << "gcliip = 1";
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  rowBegin(pg, "GZip 压缩设置：");
  pg << "<br>";
  if (nDisGZip == 1)
    pg << "当前模块已启用，将对gzip压缩网页中的关键字进行处理（disgzip = 1）";
  else
    pg << "当前模块未启用，由服务器或PHP程序中的设置决定；若要启用请在 rizururuzarida.ini "
          "文件中设置 disgzip = 1";
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  rowBegin(pg, "GET / POST关键字处理脚本：");
  pg << "<br>";
  slashList(pg, arrVazidezScriptName);
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  rowBegin(pg, "GET记录类关键字：");
  keywordCell(pg, nVazidezChkGetKeyWord, "chkgetkeyword", kvrVazidezGetKeybNum(), arrGetKeyWord.b);
  rowEnd(pg);
  rowBegin(pg, "GET拦截类关键字：");
  keywordCell(pg, nVazidezBlockGetKeyWord, "blockgetkeyword", kvrVazidezGetKeycNum(),
              arrGetKeyWord.c);
  rowEnd(pg);

  rowBegin(pg, "GET关键字URL白名单：");
  pg << "<br>";
  lineList(pg, arrVazidezGetDna);
  pg << "&nbsp;<br>";
  rowEnd(pg);

  rowBegin(pg, "POST<font color='red'>智能</font>记录类关键字：");
  keywordCell(pg, nVazidezChkPostKeyWord, "chkpostkeyword", kvrVazidezPostKeybNum(),
              arrPostKeyWord.b);
  rowEnd(pg);
  rowBegin(pg, "POST<font color='blue'>普通</font>记录类关键字：");
  keywordCell(pg, nVazidezChkPostKeyWord, "chkpostkeyword", kvrVazidezPostKeybexNum(),
              arrPostKeyWord.bex);
  rowEnd(pg);
  rowBegin(pg, "POST<font color='red'>智能</font>拦截类关键字：");
  keywordCell(pg, nVazidezBlockPostKeyWord, "blockpostkeyword", kvrVazidezPostKeycNum(),
              arrPostKeyWord.c);
  rowEnd(pg);
  rowBegin(pg, "POST<font color='blue'>原样</font>拦截类关键字：");
  keywordCell(pg, nVazidezBlockPostKeyWord, "blockpostkeyword", kvrVazidezPostKeycexNum(),
              arrPostKeyWord.cex);
  rowEnd(pg);

  rowBegin(pg, "POST关键字URL白名单：");
  pg << "<br>";
  lineList(pg, arrVazidezPostDna);
  pg << "&nbsp;<br>";
  rowEnd(pg);

  rowBegin(pg, "POST大小限制：");
  pg << "<br>";
  if (nPostSize != 0)
    pg << "当前限制POST提交的数据大小为：" << static_cast<long long>(nPostSize)
       << " 字节；若要修改，请在 rizururuzarida.ini 里设置 postsize = 限制大小";
  else
    pg << kOff << "postsize = 限制大小";
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  rowBegin(pg, "POST IP 范围：");
  pg << "<br>";
  if (nPostIp == 1) {
    pg << "禁止这些IP地址进行POST发送信息（postip = 1）：";
    slashList(pg, arrPostIp);
  } else if (nPostIp == 2) {
    pg << "只允许这些IP地址进行POST发送信息（postip = 2）：";
    slashList(pg, arrPostIp);
  } else {
    pg << kOff << "postip = 1 或 2";
  }
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  rowBegin(pg, "SQL注入拦截：");
  pg << "<br>";
  if (nBlockSql == 1 || nBlockSql == 2) {
    pg << "当前模块已启用，将处理以下脚本：";
    slashList(pg, arrBlockSqlScript);
    pg << "，其他脚本将直接忽略；";
    if (nBlockSqlCookies == 1)
      pg << "同时将对 COOKIES里提交的数据进行检查。";
    else
      pg << "同时忽略 COOKIES里提交的数据，不进行检查（INI文件中设置 blocksqlcookies = 0）。";
    pg << "<br><br>\r\n";
    // A list is in force from its first entry of 2 bytes on, as the lists
    // themselves take it.
    if (nBlockSqlDnUrl == 1 && std::strlen(arrBlockSqlDnUrl[0]) >= 2) {
      pg << "SQL域名URL白名单："
         << "<br><br>\r\n";
      lineList(pg, arrBlockSqlDnUrl);
    } else {
      pg << "SQL域名URL白名单未启用，检查所有域名！";
    }
    pg << "<br><br>\r\n";
    if (std::strlen(arrBlockSql[0]) < 2) {
      pg << "未设置SQL语句，或读取配置文件时发生错误！";
    } else {
      pg << "SQL处理语句："
         << "<br><br>\r\n";
      lineList(pg, arrBlockSql);
    }
  } else {
    pg << kOff << "blocksql = 1 或 2";
  }
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  rowBegin(pg, "URL拦截：");
  pg << "<br>";
  if (nBlockUrl == 1 || nBlockUrl == 2)
    lineList(pg, arrBlockUrl);
  else
    pg << kOff << "blockurl = 1 或 2";
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  rowBegin(pg, "硬盘目录文件拦截：");
  pg << "<br>";
  if (nBlockFilePath == 1 || nBlockFilePath == 2)
    lineList(pg, arrBlockFilePath);
  else
    pg << kOff << "blockfilepath = 1 或 2";
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  rowBegin(pg, "域名黑名单：");
  pg << "<br>";
  if (nChkBeianHeiDn == 1) {
    pg << "当前模块已启用，以下域名将被拦截禁止访问"
       << "<br><br>\r\n";
    slashList(pg, arrBeianHeiDn);
  } else {
    pg << kOff << "chkbeianheidn = 1";
  }
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  rowBegin(pg, "域名白名单：");
  pg << "<br>";
  if (nChkBeianBaiDn == 1) {
    pg << "当前模块已启用，只允许以下域名访问，其他域名一概拦截禁止访问"
       << "<br><br>\r\n";
    slashList(pg, arrBeianBaiDn);
  } else {
    pg << kOff << "chkbeianbaidn = 1";
  }
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  rowBegin(pg, "IP地址黑白名单：");
  pg << "<br>";
  if (nBlockIp == 1) {
    pg << "当前设置（blockip = 1），作为黑名单，将禁止以下IP地址进行访问"
       << "<br><br>\r\n";
    slashList(pg, arrBlockIp);
  } else if (nBlockIp == 2) {
    pg << "当前设置（blockip = 2），作为白名单，只允许以下IP地址进行访问，其他IP一概拦截"
       << "<br><br>\r\n";
    slashList(pg, arrBlockIp);
  } else {
    pg << kOff << "blockip = 1 或 2";
  }
  pg << "&nbsp;<br><br>";
  rowEnd(pg);

  pg << "</table>\r\n</body></html>\r\n";
  return pg.full() ? 0 : pg.len();
}

// The page goes to a new file that is then renamed into place: a link put
// in the page's place is replaced, never written through, and a reader
// never sees half a page. A page that cannot be written whole leaves the
// one before it.
int kvrWriteConfigPage(apr_pool_t * /*pool*/, const char *page, size_t len) {
  char path[512];
  std::snprintf(path, sizeof path, "%srizururuzarida_config.html", strIsapiLogPath);
  std::string temp = std::string(path) + ".XXXXXX";
  const int fd = mkostemp(&temp[0], O_CLOEXEC);
  bool ok = fd >= 0;
  if (ok) {
    fchmod(fd, 0666);  // whatever the umask
    for (size_t done = 0; ok && done < len;) {
      const ssize_t n = ::write(fd, page + done, len - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<size_t>(n);
    }
    ok = ::close(fd) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), path) == 0;
    if (!ok) ::unlink(temp.c_str());
  }
  return ok ? 1 : 0;
}

int kvrWriteConfigLog(apr_pool_t *pool) {
  char *buf = static_cast<char *>(std::calloc(kPageBufSize, 1));
  if (!buf) return 0;
  const size_t len = kvrBuildConfigPage(buf, kPageBufSize);
  const int rc = kvrWriteConfigPage(pool, buf, len);
  std::free(buf);
  return rc;
}
