#include "screen/kvr_post_scan.h"

#include <apr_lib.h>
#include <apr_strings.h>
#include <httpd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/kvr_config.h"
#include "log/kvr_log.h"
#include "match/kvr_match.h"
#include "match/kvr_occur.h"
#include "util/kvr_text.h"

namespace {

constexpr uint32_t kAlways = 0xFFFFFFFFu;  // an empty word: found in every text

structPostKeyWord *tableOf(int slot) {
  switch (slot) {
    case kPostC:
      return arrPostKeyWord.c;
    case kPostCex:
      return arrPostKeyWord.cex;
    case kPostB:
      return arrPostKeyWord.b;
    default:
      return arrPostKeyWord.bex;
  }
}

// What one entry needs to hit in one pass: 0 words = never.
struct EntryWords {
  uint8_t count = 0;
  uint32_t ids[3] = {};
};

// The matcher of one text (filtered or raw), the words of the entries of
// its two tables, and for each word the entries that use it.
struct Side {
  KvrOccurMatcher matcher;
  std::unordered_map<std::string, uint32_t> idOf;   // only while building
  std::vector<std::pair<uint32_t, uint32_t>> uses;  // (id, packed entry), while building
  std::vector<uint32_t> userBegin;                  // id -> users[userBegin[id] ..)
  std::vector<uint32_t> users;                      // packed (slot, pass, entry)

  uint32_t wordId(const char *bytes, bool gbk) {
    std::string key(1, gbk ? 'g' : 'u');
    key += bytes;
    auto it = idOf.find(key);
    if (it != idOf.end()) return it->second;
    const uint32_t id = static_cast<uint32_t>(idOf.size());
    idOf.emplace(std::move(key), id);
    matcher.add(bytes, id, gbk);
    return id;
  }
  void finish() {
    const uint32_t ids = static_cast<uint32_t>(idOf.size());
    userBegin.assign(ids + 1, 0);
    for (const auto &u : uses) userBegin[u.first + 1]++;
    for (uint32_t i = 0; i < ids; ++i) userBegin[i + 1] += userBegin[i];
    users.resize(uses.size());
    std::vector<uint32_t> at(userBegin.begin(), userBegin.end() - 1);
    for (const auto &u : uses) users[at[u.first]++] = u.second;  // stays in table order
    uses = {};
    idOf = {};
    matcher.compile();
  }
};

struct PostIndex {
  Side sides[2];                        // 0: filtered text (c, b); 1: raw text (cex, bex)
  std::vector<EntryWords> words[4][2];  // [slot][pass - 1][entry]
};

std::unique_ptr<PostIndex> gIndex;

int sideOf(int slot) {
  return (slot == kPostC || slot == kPostB) ? 0 : 1;
}

uint32_t pack(int slot, int pass, int entry) {
  return static_cast<uint32_t>(slot) << 30 | static_cast<uint32_t>(pass - 1) << 29 |
         static_cast<uint32_t>(entry);
}

// The words an entry needs in a pass, as its hit rule reads them.
EntryWords wordsOf(const structPostKeyWord &e, int pass, char w[3][256], int *count) {
  const char *form = pass == 1 ? e.gbk : e.utf8;
  EntryWords ew;
  if (std::strchr(e.gbk, ',')) {
    std::memset(w, 0, 3 * 256);
    *count = kvrSplitKeyWord(form, w);
    if (*count == 2 || *count == 3) ew.count = static_cast<uint8_t>(*count);
  } else {
    *count = 1;
    const size_t len = strnlen(form, 255);
    std::memcpy(w[0], form, len);
    w[0][len] = '\0';
    if (*form) ew.count = 1;
  }
  return ew;
}

}  // namespace

void kvrPostKeyWordIndex() {
  auto index = std::make_unique<PostIndex>();
  for (Side &side : index->sides) side.idOf.reserve(4 * kKeyTableSlots * 2);
  for (int slot = 0; slot < 4; ++slot) {
    Side &side = index->sides[sideOf(slot)];
    const structPostKeyWord *t = tableOf(slot);
    for (int pass = 1; pass <= 2; ++pass) {
      auto &list = index->words[slot][pass - 1];
      for (int i = 0; i < kKeyTableSlots && t[i].used == 1; ++i) {
        char w[3][256];
        int count = 0;
        EntryWords ew = t[i].usertype == 2 ? wordsOf(t[i], pass, w, &count) : EntryWords{};
        for (int k = 0; k < ew.count; ++k) {
          if (!w[k][0]) {
            ew.ids[k] = kAlways;
            continue;
          }
          ew.ids[k] = side.wordId(w[k], pass == 1);
          side.uses.emplace_back(ew.ids[k], pack(slot, pass, i));
        }
        list.push_back(ew);
      }
    }
  }
  for (Side &side : index->sides) side.finish();
  gIndex = std::move(index);
}

size_t kvrPostIndexBytes() {
  if (!gIndex) return 0;
  size_t n = 0;
  for (const Side &s : gIndex->sides)
    n += s.matcher.bytes() + s.userBegin.capacity() * 4 + s.users.capacity() * 4;
  for (const auto &slot : gIndex->words)
    for (const auto &pass : slot) n += pass.capacity() * sizeof(EntryWords);
  return n;
}

uint32_t kvrPostMatcherPass(apr_pool_t *pool, int side, const char *text, size_t n,
                            const uint64_t *starts) {
  if (!gIndex) return 0;
  const KvrOccurMatcher &m = gIndex->sides[side].matcher;
  KvrOccurSet set;
  set.bits = static_cast<uint64_t *>(apr_pcalloc(pool, (m.numIds() / 64 + 1) * sizeof(uint64_t)));
  set.ids = static_cast<uint32_t *>(apr_palloc(pool, (m.numIds() + 1) * sizeof(uint32_t)));
  m.scan(reinterpret_cast<const unsigned char *>(text), n, starts, &set);
  return set.count;
}

namespace {

// Whether the text holds "&nbsp;" in any case.
bool holdsEntity(const char *p, size_t n) {
  for (const char *end = p + n; (p = static_cast<const char *>(std::memchr(p, '&', end - p))); ++p)
    if (end - p > 5 && apr_tolower(p[1]) == 'n' && apr_tolower(p[2]) == 'b' &&
        apr_tolower(p[3]) == 's' && apr_tolower(p[4]) == 'p' && p[5] == ';')
      return true;
  return false;
}

}  // namespace

KvrPostText kvrPostPrepare(apr_pool_t *pool, const char *data, size_t n, bool formEncoded,
                           int trail) {
  KvrPostText pt;
  pt.decodeError = 0;
  pt.raw = static_cast<char *>(apr_palloc(pool, n + 1));
  pt.rawLen = n;
  pt.trail = trail;
  for (size_t i = 0; i < n; ++i) pt.raw[i] = data[i] ? data[i] : ' ';  // zero bytes as spaces
  pt.raw[n] = '\0';
  if (formEncoded) {
    // The decoded length, counted as the decoder reads escapes: a percent
    // sign with two hexadecimal digits is one byte.
    size_t escapes = 0;
    for (size_t i = 0; i + 2 < n; ++i)
      if (pt.raw[i] == '%' && apr_isxdigit(pt.raw[i + 1]) && apr_isxdigit(pt.raw[i + 2])) {
        ++escapes;
        i += 2;
      }
    pt.decodeError = ap_unescape_url(pt.raw) != OK;
    pt.rawLen = n - 2 * escapes;
    // "%00" decodes to a zero byte, which would end the text before the
    // rest of the body; like a raw zero byte it becomes a space.
    kvrRepNULLChar(pt.raw, static_cast<int>(pt.rawLen));
    pt.raw[pt.rawLen] = '\0';
  }
  pt.filtered = KvrFilteredText{nullptr, 0, nullptr};
  pt.utf8 = kvrTextIsUtf8(reinterpret_cast<const unsigned char *>(pt.raw), pt.rawLen);
  // Lower-casing changes no byte that opens a character: the boundaries
  // are the same before and after.
  const size_t words = pt.rawLen / 64 + 1;
  pt.rawStarts = static_cast<uint64_t *>(apr_palloc(pool, (words + 1) * sizeof(uint64_t)));
  kvrGbkStarts(reinterpret_cast<const unsigned char *>(pt.raw), pt.rawLen, trail, pt.rawStarts);
  if (holdsEntity(pt.raw, pt.rawLen)) {
    // The filter drops this entity whole, but only in lower case: made
    // now, from the text before it is lower-cased, so that "&NBSP;" keeps
    // its letters.
    pt.filtered = kvrFilterTextAndRaw(pool, pt.raw, pt.rawLen, trail, pt.raw);
  } else if (pt.utf8) {
    kvrAsciiLower(pt.raw, pt.rawLen);
  } else {
    kvrGbkLowerAtStarts(pt.raw, pt.rawLen, pt.rawStarts);
  }
  return pt;
}

void kvrPostEnsureFiltered(apr_pool_t *pool, KvrPostText *text) {
  // Without "&nbsp;" the filtered form of the lower-cased text is that of
  // the text before.
  if (!text->filtered.text)
    text->filtered = kvrFilterText(pool, text->raw, text->rawLen, text->trail);
}

namespace {

bool entryHits(const EntryWords &ew, const KvrOccurSet &set) {
  if (ew.count == 0) return false;
  for (int k = 0; k < ew.count; ++k)
    if (ew.ids[k] != kAlways && !set.has(ew.ids[k])) return false;
  return true;
}

// The entries of one table and pass that use a word found in the text,
// in table order.
std::vector<uint32_t> candidates(const Side &side, const KvrOccurSet &set, int slot, int pass) {
  std::vector<uint32_t> out;
  const uint32_t want = pack(slot, pass, 0);
  for (uint32_t k = 0; k < set.count; ++k) {
    const uint32_t id = set.ids[k];
    for (uint32_t j = side.userBegin[id]; j < side.userBegin[id + 1]; ++j)
      if ((side.users[j] & 0xE0000000u) == want) out.push_back(side.users[j] & 0x1FFFFFFFu);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

int kvrPostSweep(apr_pool_t *pool, const KvrPostText &text, bool block, bool record,
                 KvrPostHit *hits, int *numHits) {
  *numHits = 0;
  if (!gIndex) return 1;
  KvrOccurSet sets[2];
  const unsigned char *texts[2] = {reinterpret_cast<const unsigned char *>(text.filtered.text),
                                   reinterpret_cast<const unsigned char *>(text.raw)};
  const size_t lens[2] = {text.filtered.len, text.rawLen};
  // GBK forms count only where a character begins, against false starts in
  // the middle of GBK characters; a UTF-8 text has no such starts.
  const uint64_t *starts[2] = {text.utf8 ? nullptr : text.filtered.starts,
                               text.utf8 ? nullptr : text.rawStarts};
  bool scanned[2] = {false, false};
  auto setOf = [&](int slot) -> const KvrOccurSet & {
    const int s = sideOf(slot);
    if (!scanned[s]) {
      const Side &side = gIndex->sides[s];
      const uint32_t ids = side.matcher.numIds();
      sets[s].bits = static_cast<uint64_t *>(apr_pcalloc(pool, (ids / 64 + 1) * sizeof(uint64_t)));
      sets[s].ids = static_cast<uint32_t *>(apr_palloc(pool, (ids + 1) * sizeof(uint32_t)));
      if (s == 1 || texts[0]) {
        side.matcher.scan(texts[s], lens[s], starts[s], &sets[s]);
      } else if (kvrGbkFoldSpoils(reinterpret_cast<const unsigned char *>(text.raw), text.rawLen,
                                  text.rawStarts) ||
                 !side.matcher.scanFolded(reinterpret_cast<const unsigned char *>(text.raw),
                                          text.rawLen, starts[1], &sets[s])) {
        // A pattern the folded reading cannot serve, or a GBK text it would
        // misread: the filtered text.
        const KvrFilteredText f = kvrFilterText(pool, text.raw, text.rawLen, text.trail);
        side.matcher.scan(reinterpret_cast<const unsigned char *>(f.text), f.len,
                          text.utf8 ? nullptr : f.starts, &sets[s]);
      }
      scanned[s] = true;
    }
    return sets[s];
  };

  if (block) {
    for (int slot : {kPostC, kPostCex}) {
      if (gIndex->words[slot][0].empty()) continue;
      const KvrOccurSet &set = setOf(slot);
      for (int pass = 1; pass <= 2; ++pass) {
        if (pass == 2 && nChkUtf8PostKeyWord != 1) break;
        for (uint32_t e : candidates(gIndex->sides[sideOf(slot)], set, slot, pass)) {
          if (entryHits(gIndex->words[slot][pass - 1][e], set)) {
            hits[0] = {slot, static_cast<int>(e), pass};
            *numHits = 1;
            return 2;
          }
        }
      }
    }
  }
  if (record) {
    for (int slot : {kPostB, kPostBex}) {
      if (gIndex->words[slot][0].empty()) continue;
      const KvrOccurSet &set = setOf(slot);
      apr_size_t count = 0;
      for (int pass = 1; pass <= 2 && count < nChkPostKeyWordNum; ++pass) {
        if (pass == 2 && nChkUtf8PostKeyWord != 1) break;
        for (uint32_t e : candidates(gIndex->sides[sideOf(slot)], set, slot, pass)) {
          if (!entryHits(gIndex->words[slot][pass - 1][e], set)) continue;
          if (*numHits < 8) hits[(*numHits)++] = {slot, static_cast<int>(e), pass};
          if (++count == nChkPostKeyWordNum) break;
        }
      }
      if (slot == kPostB && count == nChkPostKeyWordNum) break;
    }
  }
  return 1;
}

bool kvrPostEntryHitsPlain(int table, int index, int pass, const char *text, size_t len,
                           const uint64_t *starts) {
  const structPostKeyWord &e = tableOf(table)[index];
  if (e.usertype != 2) return false;
  char w[3][256];
  int count = 0;
  const EntryWords ew = wordsOf(e, pass, w, &count);
  if (ew.count == 0) return false;
  const std::string t(text, len);
  for (int k = 0; k < ew.count; ++k) {
    if (!w[k][0]) continue;
    bool found = false;
    for (size_t at = t.find(w[k]); at != std::string::npos && !found; at = t.find(w[k], at + 1))
      found = pass != 1 || !starts || ((starts[at >> 6] >> (at & 63)) & 1);
    if (!found) return false;
  }
  return true;
}
