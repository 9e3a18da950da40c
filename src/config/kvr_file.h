// How the configuration readers take their files: only regular files, read
// whole up to a bound, cut into lines whatever the line ends are.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <string>

// Size of the configuration readers' line buffers. A line is one line
// whatever its length, but only its first 999 bytes are read: the rest goes
// with the line's head (a long comment stays a comment).
constexpr int kLineBufSize = 1024;
constexpr int kLineReadLen = 1000;
constexpr size_t kLineKeep = kLineReadLen - 1;

// No configuration file is read beyond this: a file that never ends (a link
// to a device) must not hold a child in its start-up.
constexpr size_t kConfigFileMax = size_t(64) << 20;

enum class KvrOpen { kRead, kMissing, kRefused };

// Tells the shared load which configuration files it reads (see
// kvr_share.h); does nothing outside such a load.
void kvrNoteConfigRead(const char *path);

// Reads at most maxBytes of the file into out. Only a regular file is read
// (a link to one is fine); anything else, and a file that exists but cannot
// be read, is refused and told to kvrFileNotice. A missing file is not told.
// *truncated says whether the file went on beyond maxBytes.
KvrOpen kvrReadConfigBytes(const char *path, size_t maxBytes, std::string *out,
                           bool *truncated = nullptr);

// A list, keyword or INI file, read whole and handed out line by line.
// - A UTF-8 byte-order mark at the start is passed over.
// - LF, CR LF and CR alone each end a line.
// - A line's bytes beyond the first 999 are dropped (and told).
// - A list or keyword file saved as UTF-8 (valid UTF-8 with characters
//   beyond ASCII, and not valid GBK, or marked as UTF-8 by its byte-order
//   mark) is read as UTF-8: each line is converted to GBK, as if the file
//   had been saved in GBK; a line with a character that GBK lacks is
//   dropped (and told).
class KvrConfigText {
 public:
  KvrConfigText() = default;
  ~KvrConfigText();
  KvrConfigText(const KvrConfigText &) = delete;
  KvrConfigText &operator=(const KvrConfigText &) = delete;
  // False when the file is missing or refused (see kvrReadConfigBytes).
  bool read(const char *path, bool mayBeUtf8);
  // The next line, NUL-terminated in line (kLineBufSize bytes), without its
  // line end; lineNo counts from 1. False at the end of the file.
  bool next(char *line, int *lineNo);
  const char *path() const { return path_.c_str(); }

 private:
  std::string path_;
  std::string data_;
  size_t pos_ = 0;
  int lineNo_ = 0;
  bool utf8_ = false;
  bool toldCr_ = false;
  iconv_t toGbk_ = reinterpret_cast<iconv_t>(-1);
};

// The next line of a list or keyword file that can be an entry: blanks
// removed, 2 to maxChars bytes, not a comment, lower-cased (not the second bytes of GBK
// characters). The lines passed over are told to kvrLineNotice. False at the end of the file.
bool kvrNextEntryLine(KvrConfigText &text, char *line, size_t maxChars, int *lineNo, size_t *len);
