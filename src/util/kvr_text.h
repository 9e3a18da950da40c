// Small routines on byte strings shared by the whole module. All text is
// handled as bytes; only kvr_covert changes an encoding.
#pragma once

#include <apr_pools.h>

#include <cstddef>

int kvrRepStr(apr_pool_t *p, char *szStrBuffIn, char *szSearch, char *szReplace, char *szStrBuffOut,
              int nStrBuffOutLen);
char *kvr_str_replace(apr_pool_t *pool, char *search, char *replace, char *subject,
                      apr_size_t nOutBuffLen);
int kvr_remove_str(char *orgstr);
int kvrGetRightChar(const char *s1, int n, char *s2);
int kvrRepNULLChar(char *szInBuff, int nBuffLen);
int kvrIsUtf8(const char *szBuff, apr_size_t nBuffSize);
int kvr_covert(char *topage, char *frompage, char *input, size_t ilen, char *output, size_t olen);

// One iconv converter, opened once and reused: the load converts thousands
// of keywords, and opening a converter per keyword would dominate it.
class KvrConverter {
 public:
  KvrConverter(const char *topage, const char *frompage);
  ~KvrConverter();
  KvrConverter(const KvrConverter &) = delete;
  KvrConverter &operator=(const KvrConverter &) = delete;
  bool ok() const { return cd_ != reinterpret_cast<void *>(-1); }
  // Same contract as kvr_covert once the converter is open: zero olen bytes
  // of output, convert once, keep whatever was converted.
  void convert(const char *input, size_t ilen, char *output, size_t olen);
  // The same, but a byte that starts no valid sequence is passed over
  // instead of ending the conversion.
  void convertSkipping(const char *input, size_t ilen, char *output, size_t olen);

 private:
  void *cd_;
};

// Whether the keyword checks' filtered text drops a byte: NUL, TAB, LF,
// CR, space and ASCII punctuation ("&nbsp;" entities go whole besides).
constexpr bool kvrFilterDrops(unsigned char b) {
  return b == 0x00 || b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20 ||
         (b >= 0x21 && b <= 0x2F) || (b >= 0x3A && b <= 0x40) || (b >= 0x5B && b <= 0x60) ||
         (b >= 0x7B && b <= 0x7E);
}

// Lower-cases ASCII letters in place; other bytes stay as they are.
void kvrAsciiLower(char *s, size_t n);

// As kvrAsciiLower, but for GBK text: a byte 0x81..0xFE opens a two-byte
// character, whose second byte is left as it is. `trail` says that the
// first byte is the second byte of a character begun before; returns the
// same for the byte after the last.
int kvrGbkAsciiLower(char *s, size_t n, int trail = 0);

// Whether a text is to be read as UTF-8 rather than GBK: it is valid UTF-8
// and holds at least one multi-byte sequence. Texts are pieces cut
// anywhere, so up to three continuation bytes at the start and a sequence
// cut short at the end do not count against it. A text of ASCII alone is
// not UTF-8 (both readings agree on it).
bool kvrTextIsUtf8(const unsigned char *p, size_t n);

// Removes every CR, LF, TAB and space from a NUL-terminated line, wherever
// it stands; returns the new length.
size_t kvrStripBlanks(char *line);
