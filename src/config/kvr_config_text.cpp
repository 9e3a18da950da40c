// Reading configuration files: which files are read, how far, and how they
// are cut into lines.
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/kvr_config.h"
#include "config/kvr_file.h"

namespace {

void tell(const std::string &path, int line, KvrFileIssue issue, const char *what) {
  if (kvrFileNotice) kvrFileNotice(kvrFileNoticeCtx, path.c_str(), line, issue, what);
}

const char *kindOf(mode_t m) {
  if (S_ISDIR(m)) return "a directory";
  if (S_ISFIFO(m)) return "a FIFO";
  if (S_ISCHR(m)) return "a character device";
  if (S_ISBLK(m)) return "a block device";
  if (S_ISSOCK(m)) return "a socket";
  return "not a regular file";
}

// Whether the line, blanks aside, begins with ";".
bool comment(const char *s, size_t n) {
  size_t i = 0;
  while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
  return i < n && s[i] == ';';
}

// Strict UTF-8: shortest forms only, no surrogates, at most U+10FFFF.
bool validUtf8(const unsigned char *s, size_t n, bool *beyondAscii) {
  *beyondAscii = false;
  for (size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    *beyondAscii = true;
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k)
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    i += len;
  }
  return true;
}

// Whether the whole text converts from GBK.
bool validGbk(const char *s, size_t n) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return true;  // cannot tell: keep the text as it is
  char *in = const_cast<char *>(s);
  size_t inLeft = n;
  char out[16384];
  bool ok = true;
  while (inLeft > 0) {
    char *o = out;
    size_t oLeft = sizeof out;
    if (iconv(cd, &in, &inLeft, &o, &oLeft) == static_cast<size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  return ok;
}

// The line in GBK, or false if one of its characters has no GBK form.
bool utf8ToGbk(iconv_t cd, const char *s, size_t n, std::string *out) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out->assign(n + 4, '\0');  // a GBK form is never longer than its UTF-8 form
  char *in = const_cast<char *>(s);
  size_t inLeft = n;
  char *o = &(*out)[0];
  size_t oLeft = out->size();
  const bool ok = iconv(cd, &in, &inLeft, &o, &oLeft) != static_cast<size_t>(-1);
  out->resize(out->size() - oLeft);
  return ok && inLeft == 0;
}

}  // namespace

bool kvrFileIssueLogged(KvrFileIssue issue) {
  // A byte-order mark and CR line ends are read as the operator meant them.
  return issue != kIssueByteOrderMark && issue != kIssueCrLineEnds;
}

KvrOpen kvrReadConfigBytes(const char *path, size_t maxBytes, std::string *out, bool *truncated) {
  out->clear();
  if (truncated) *truncated = false;
  if (!path || !*path) return KvrOpen::kMissing;
  kvrNoteConfigRead(path);
  // Not blocking: opening a FIFO for reading would wait for a writer.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  char what[160];
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return KvrOpen::kMissing;
    std::snprintf(what, sizeof what, "cannot be read (%s): not loaded", std::strerror(errno));
    tell(path, 0, kIssueUnreadable, what);
    return KvrOpen::kRefused;
  }
  struct stat st;
  const bool statted = fstat(fd, &st) == 0;
  if (!statted || !S_ISREG(st.st_mode)) {
    std::snprintf(what, sizeof what, "is %s, not a regular file: not read",
                  statted ? kindOf(st.st_mode) : "of an unknown kind");
    ::close(fd);
    tell(path, 0, kIssueNotRegular, what);
    return KvrOpen::kRefused;
  }
  try {
    const size_t expect = static_cast<size_t>(st.st_size);
    out->resize(expect < maxBytes ? expect : maxBytes);
    size_t got = 0;
    for (;;) {
      if (got == out->size()) {
        // The file may have grown since fstat, or be a file whose size
        // says nothing (such as those under /proc).
        if (got >= maxBytes) {
          char one;
          ssize_t r;
          do r = ::read(fd, &one, 1);
          while (r < 0 && errno == EINTR);
          if (r > 0 && truncated) *truncated = true;
          break;
        }
        out->resize(std::min(maxBytes, got + (got < 65536 ? 65536 : got)));
      }
      const ssize_t r = ::read(fd, &(*out)[got], out->size() - got);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        std::snprintf(what, sizeof what, "cannot be read (%s): not loaded", std::strerror(errno));
        ::close(fd);
        out->clear();
        tell(path, 0, kIssueUnreadable, what);
        return KvrOpen::kRefused;
      }
      if (r == 0) break;
      got += static_cast<size_t>(r);
    }
    out->resize(got);
  } catch (...) {
    ::close(fd);
    out->clear();
    tell(path, 0, kIssueUnreadable, "cannot be read (out of memory): not loaded");
    return KvrOpen::kRefused;
  }
  ::close(fd);
  return KvrOpen::kRead;
}

KvrConfigText::~KvrConfigText() {
  if (toGbk_ != reinterpret_cast<iconv_t>(-1)) iconv_close(toGbk_);
}

bool KvrConfigText::read(const char *path, bool mayBeUtf8) {
  if (toGbk_ != reinterpret_cast<iconv_t>(-1)) iconv_close(toGbk_);
  toGbk_ = reinterpret_cast<iconv_t>(-1);
  path_ = path ? path : "";
  pos_ = 0;
  lineNo_ = 0;
  utf8_ = toldCr_ = false;
  bool truncated = false;
  if (kvrReadConfigBytes(path, kConfigFileMax, &data_, &truncated) != KvrOpen::kRead) return false;
  if (truncated) {
    // The last line read may be cut anywhere: leave it out with the rest.
    const size_t end = data_.find_last_of("\r\n");
    data_.resize(end == std::string::npos ? 0 : end + 1);
    tell(path_, 0, kIssueTooLarge, "larger than 64 MiB: only its first 64 MiB are read");
  }
  bool bom = false;
  if (data_.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    bom = true;
    pos_ = 3;
    tell(path_, 1, kIssueByteOrderMark, "begins with a UTF-8 byte-order mark: passed over");
  }
  if (mayBeUtf8) {
    bool beyondAscii = false;
    const auto *p = reinterpret_cast<const unsigned char *>(data_.data()) + pos_;
    if (validUtf8(p, data_.size() - pos_, &beyondAscii) && beyondAscii &&
        (bom || !validGbk(data_.data() + pos_, data_.size() - pos_))) {
      toGbk_ = iconv_open("GBK", "UTF-8");
      utf8_ = true;
      // The line of the first character beyond ASCII.
      int line = 1;
      for (size_t i = pos_; i < data_.size() && static_cast<unsigned char>(data_[i]) < 0x80; ++i)
        if (data_[i] == '\n' ||
            (data_[i] == '\r' && (i + 1 == data_.size() || data_[i + 1] != '\n')))
          ++line;
      tell(path_, line, kIssueUtf8File,
           "saved as UTF-8, not GBK: read as UTF-8 and converted to GBK");
    }
  }
  return true;
}

bool KvrConfigText::next(char *line, int *lineNo) {
  while (pos_ < data_.size()) {
    const size_t begin = pos_;
    size_t end = begin;
    while (end < data_.size() && data_[end] != '\n' && data_[end] != '\r') ++end;
    pos_ = end;
    if (pos_ < data_.size()) {
      if (data_[pos_] == '\r' && pos_ + 1 < data_.size() && data_[pos_ + 1] == '\n') {
        pos_ += 2;
      } else {
        if (data_[pos_] == '\r' && !toldCr_) {
          toldCr_ = true;
          tell(path_, lineNo_ + 1, kIssueCrLineEnds,
               "lines end with CR alone: each CR is taken as a line end");
        }
        ++pos_;
      }
    }
    ++lineNo_;
    const char *bytes = data_.data() + begin;
    size_t n = end - begin;
    std::string gbk;
    if (utf8_) {
      if (toGbk_ == reinterpret_cast<iconv_t>(-1) || !utf8ToGbk(toGbk_, bytes, n, &gbk)) {
        if (!comment(bytes, n))
          tell(path_, lineNo_, kIssueNotGbkLine,
               "holds a character that GBK does not have: line ignored");
        continue;
      }
      bytes = gbk.data();
      n = gbk.size();
    }
    if (n > kLineKeep) {
      // A comment stays a comment however long it is: nothing is lost.
      if (!comment(bytes, n)) {
        char what[96];
        std::snprintf(what, sizeof what, "a line of %zu bytes: only its first %zu bytes are read",
                      n, kLineKeep);
        tell(path_, lineNo_, kIssueLongLine, what);
      }
      n = kLineKeep;
    }
    std::memcpy(line, bytes, n);
    line[n] = '\0';
    *lineNo = lineNo_;
    return true;
  }
  return false;
}
