// RAII around APR files for the configuration readers.
#pragma once

#include <apr_file_io.h>

#include <cstring>

// Tells the shared load which configuration files it reads (see
// kvr_share.h); does nothing outside such a load.
void kvrNoteConfigRead(const char *path);

class KvrFile {
 public:
  KvrFile() = default;
  ~KvrFile() { close(); }
  KvrFile(const KvrFile &) = delete;
  KvrFile &operator=(const KvrFile &) = delete;

  bool open(const char *path, apr_int32_t flags, apr_fileperms_t perms, apr_pool_t *pool) {
    close();
    if (apr_file_open(&f_, path, flags, perms, pool) != APR_SUCCESS) f_ = nullptr;
    return f_ != nullptr;
  }
  bool openRead(const char *path, apr_pool_t *pool) {
    kvrNoteConfigRead(path);
    return open(path, APR_READ | APR_BUFFERED, APR_OS_DEFAULT, pool);
  }
  // Reads one line of at most len - 1 bytes (the read stops after a
  // newline). False at the end of the file or on any read error, so that a
  // directory opened by mistake ends the loop instead of spinning.
  bool gets(char *buf, int len) { return f_ && apr_file_gets(buf, len, f_) == APR_SUCCESS; }
  apr_file_t *get() const { return f_; }
  void close() {
    if (f_) apr_file_close(f_);
    f_ = nullptr;
  }

 private:
  apr_file_t *f_ = nullptr;
};

// Counts the lines of a file as KvrFile::gets reads it, for notices: a line
// longer than one read goes on in the next read.
class KvrLineCounter {
 public:
  // The number of the line the read in buf began on.
  int after(const char *buf) {
    const int at = next_;
    const size_t n = std::strlen(buf);
    if (n && buf[n - 1] == '\n') ++next_;
    return at;
  }

 private:
  int next_ = 1;
};

// The next line of a list or keyword file that can be an entry: blanks
// removed, 2 to maxChars bytes, not a comment, lower-cased. The lines passed
// over are told to kvrLineNotice. False at the end of the file.
bool kvrNextEntryLine(KvrFile &file, KvrLineCounter &lines, const char *path, char *line,
                      size_t maxChars, int *lineNo, size_t *len);

// Size of the configuration readers' line buffers: lines are read up to 999
// bytes, the rest of a longer line is the next line.
constexpr int kLineBufSize = 1024;
constexpr int kLineReadLen = 1000;
