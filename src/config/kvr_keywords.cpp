// Keyword files.
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "config/kvr_config.h"
#include "config/kvr_file.h"
#include "util/kvr_text.h"

namespace {

// Finds duplicates by a hash of the (already lower-cased) keyword instead
// of comparing every line with every stored keyword. Open addressing over a
// power-of-two table of slot numbers; 0 means empty.
class KeywordIndex {
 public:
  template <class Entry>
  int find(const Entry *table, std::string_view key) const {
    for (size_t h = hash(key) & kMask;; h = (h + 1) & kMask) {
      const int v = cells_[h];
      if (v == 0) return -1;
      if (key == table[v - 1].gbk) return v - 1;
    }
  }
  void insert(std::string_view key, int slot) {
    size_t h = hash(key) & kMask;
    while (cells_[h] != 0) h = (h + 1) & kMask;
    cells_[h] = slot + 1;
  }

 private:
  static constexpr size_t kCells = 8192;  // > 2 x 3000, so probes stay short
  static constexpr size_t kMask = kCells - 1;
  static size_t hash(std::string_view s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return static_cast<size_t>(h ^ (h >> 29));
  }
  std::array<int, kCells> cells_{};
};

template <class Entry>
int readKeywordFile(apr_pool_t *pool, const char *path, Entry *table, size_t nMaxCharNum) {
  char *line = static_cast<char *>(apr_palloc(pool, kLineBufSize));
  if (!line || !path) return 0;
  KvrConfigText file;
  if (!file.read(path, true)) return 0;
  if (nMaxCharNum > sizeof(table[0].gbk) - 1) nMaxCharNum = sizeof(table[0].gbk) - 1;

  // The table may already hold entries: index them and find the free slot.
  KeywordIndex index;
  int freeSlot = 0;
  while (freeSlot < kKeyTableSlots && table[freeSlot].used == 1) {
    index.insert(table[freeSlot].gbk, freeSlot);
    ++freeSlot;
  }
  auto notice = [&](int at, KvrLineFate fate, int slot) {
    if (kvrLineNotice) kvrLineNotice(path, at, fate, line, slot);
  };
  bool full = freeSlot >= kKeyTableSlots;
  int at = 0;
  size_t len = 0;
  // With someone to tell, the lines after the table is full are read too.
  while ((!full || kvrLineNotice) && kvrNextEntryLine(file, line, nMaxCharNum, &at, &len)) {
    const std::string_view key(line, len);
    int reached = index.find(table, key);
    if (reached >= 0) {
      notice(at, kLineDuplicate, reached);
    } else if (full) {
      notice(at, kLineBeyondCapacity, -1);
      continue;
    } else {
      Entry &e = table[freeSlot];
      e.used = 1;
      e.no = freeSlot;
      e.chkurl = 0;
      e.usertype = 2;
      std::memcpy(e.gbk, line, len + 1);
      index.insert(e.gbk, freeSlot);
      notice(at, kLineStored, freeSlot);
      reached = freeSlot++;
    }
    if (reached == kKeyTableSlots - 1) full = true;  // the table is full
  }
  return 1;
}

}  // namespace

int kvrVazidezReadGetKeyFile(apr_pool_t *pool, char *strFileName, size_t nFileType,
                             size_t /*nMaxLineNum*/, size_t nMaxCharNum) {
  structGetKeyWord *t = nullptr;
  if (nFileType == 1021) t = arrGetKeyWord.b;
  if (nFileType == 1022) t = arrGetKeyWord.c;
  if (!strFileName) return 0;
  if (!t) {
    std::string ignored;
    return kvrReadConfigBytes(strFileName, 0, &ignored) == KvrOpen::kRead ? 1 : 0;
  }
  return readKeywordFile(pool, strFileName, t, nMaxCharNum);
}

int kvrVazidezReadPostKeyFile(apr_pool_t *pool, char *strFileName, size_t nFileType,
                              size_t /*nMaxLineNum*/, size_t nMaxCharNum) {
  structPostKeyWord *t = nullptr;
  switch (nFileType) {
    case 1011:
      t = arrPostKeyWord.b;
      break;
    case 1012:
      t = arrPostKeyWord.c;
      break;
    case 9011:
      t = arrPostKeyWord.bex;
      break;
    case 9012:
      t = arrPostKeyWord.cex;
      break;
    default:
      break;
  }
  if (!strFileName) return 0;
  if (!t) {
    std::string ignored;
    return kvrReadConfigBytes(strFileName, 0, &ignored) == KvrOpen::kRead ? 1 : 0;
  }
  return readKeywordFile(pool, strFileName, t, nMaxCharNum);
}
