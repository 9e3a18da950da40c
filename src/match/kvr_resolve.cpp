// Resolution of found words to the keyword entry (of one, two or three
// words) that they complete.
#include <strings.h>

#include <cstring>

#include "config/kvr_config.h"
#include "match/kvr_match.h"

namespace {

const char *formOf(const structGetKeyWord &e, int type) {
  return type == 1 ? e.gbk : type == 2 ? e.utf8 : e.big5;
}

void copyKey(char *dst, const char *src) {
  if (!dst) return;
  const size_t n = strnlen(src, 63);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

// Lengths of the found words, so that only words of the right length are
// compared.
struct FoundWords {
  FoundWords(char list[][64], bool toFirstEmpty) : list(list) {
    for (count = 0; count < 100; ++count) {
      if (toFirstEmpty && !list[count][0]) break;
      len[count] = static_cast<unsigned char>(strnlen(list[count], 63));
    }
  }
  int find(const char *word) const {
    const size_t n = std::strlen(word);
    for (int k = 0; k < count; ++k)
      if (len[k] == n && strcasecmp(list[k], word) == 0) return k;
    return -1;
  }
  char (*list)[64];
  int count;
  unsigned char len[100];
};

int resolve(const structGetKeyWord *table, int words, int type, char list[][64], char *key1,
            char *key2, char *key3) {
  const FoundWords found(list, words == 1);
  for (int i = 0; i < kKeyTableSlots && table[i].used == 1; ++i) {
    const structGetKeyWord &e = table[i];
    if (e.usertype != 2 || e.num != words) continue;
    if (type < 1 || type > 3) return -1;
    const char *form = formOf(e, type);
    if (words == 1) {
      const int k = found.find(form);
      if (k < 0) continue;
      copyKey(key1, list[k]);
      return i;
    }
    char w[3][256] = {};
    kvrSplitKeyWord(form, w);
    bool all = true;
    for (int k = 0; k < words && all; ++k) all = found.find(w[k]) >= 0;
    if (!all) continue;
    copyKey(key1, w[0]);
    copyKey(key2, w[1]);
    if (words == 3) copyKey(key3, w[2]);
    return i;
  }
  return -1;
}

}  // namespace

int nVazidezGetChkKeyIndex1(int t, char l[][64], char *k1, char *k2, char *k3) {
  return resolve(arrGetKeyWord.b, 1, t, l, k1, k2, k3);
}
int nVazidezGetChkKeyIndex2(int t, char l[][64], char *k1, char *k2, char *k3) {
  return resolve(arrGetKeyWord.b, 2, t, l, k1, k2, k3);
}
int nVazidezGetChkKeyIndex3(int t, char l[][64], char *k1, char *k2, char *k3) {
  return resolve(arrGetKeyWord.b, 3, t, l, k1, k2, k3);
}
int nVazidezGetBlockKeyIndex1(int t, char l[][64], char *k1, char *k2, char *k3) {
  return resolve(arrGetKeyWord.c, 1, t, l, k1, k2, k3);
}
int nVazidezGetBlockKeyIndex2(int t, char l[][64], char *k1, char *k2, char *k3) {
  return resolve(arrGetKeyWord.c, 2, t, l, k1, k2, k3);
}
int nVazidezGetBlockKeyIndex3(int t, char l[][64], char *k1, char *k2, char *k3) {
  return resolve(arrGetKeyWord.c, 3, t, l, k1, k2, k3);
}
