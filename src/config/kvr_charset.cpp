// The UTF-8 (and, when switched on, Big5) forms of the keyword tables.
#include <cstring>

#include "config/kvr_config.h"
#include "util/kvr_text.h"

namespace {

template <class Entry, size_t N>
void convertForm(Entry *table, const char *to, char (Entry::*field)[N], int Entry::*fieldLen) {
  KvrConverter conv(to, "GBK");
  char scratch[256];
  for (int i = 0; i < kKeyTableSlots && table[i].used == 1; ++i) {
    Entry &e = table[i];
    e.cache = 0;
    e.gbklen = static_cast<int>(std::strlen(e.gbk));
    conv.convert(e.gbk, static_cast<size_t>(e.gbklen), scratch, 255);
    scratch[255] = '\0';
    // The field holds N - 1 bytes and the NUL; a keyword of 31 bytes never
    // needs more than 46, but the copy is bounded all the same.
    size_t n = std::strlen(scratch);
    if (n > N - 1) n = N - 1;
    std::memcpy(e.*field, scratch, n);
    (e.*field)[n] = '\0';
    e.*fieldLen = static_cast<int>(n);
  }
}

}  // namespace

int getkeyb_gb2utf8() {
  convertForm(arrGetKeyWord.b, "UTF-8", &structGetKeyWord::utf8, &structGetKeyWord::utf8len);
  return 1;
}
int getkeyc_gb2utf8() {
  convertForm(arrGetKeyWord.c, "UTF-8", &structGetKeyWord::utf8, &structGetKeyWord::utf8len);
  return 1;
}
int getkeyb_gb2big5() {
  if (nChkBig5GetKeyWord != 1) return 1;
  convertForm(arrGetKeyWord.b, "BIG5", &structGetKeyWord::big5, &structGetKeyWord::big5len);
  return 1;
}
int getkeyc_gb2big5() {
  if (nChkBig5GetKeyWord != 1) return 1;
  convertForm(arrGetKeyWord.c, "BIG5", &structGetKeyWord::big5, &structGetKeyWord::big5len);
  return 1;
}
int postkeyb_gb2utf8() {
  convertForm(arrPostKeyWord.b, "UTF-8", &structPostKeyWord::utf8, &structPostKeyWord::utf8len);
  return 1;
}
int postkeyc_gb2utf8() {
  convertForm(arrPostKeyWord.c, "UTF-8", &structPostKeyWord::utf8, &structPostKeyWord::utf8len);
  return 1;
}
int postkeybex_gb2utf8() {
  convertForm(arrPostKeyWord.bex, "UTF-8", &structPostKeyWord::utf8, &structPostKeyWord::utf8len);
  return 1;
}
int postkeycex_gb2utf8() {
  convertForm(arrPostKeyWord.cex, "UTF-8", &structPostKeyWord::utf8, &structPostKeyWord::utf8len);
  return 1;
}
