// The response keyword check on one piece of text, apart from the request:
// the filtered text with its character boundaries, the block and record
// searches and the resolution of what they found.
#pragma once

#include <apr_pools.h>

#include <cstddef>
#include <cstdint>

// Filtered text: the bytes of the piece without NUL, TAB, LF, CR, space,
// ASCII punctuation and "&nbsp;" entities, lower-cased. starts has bit i set
// when filtered byte i begins a character of the piece as received (a byte
// 0x81..0xFE opens a two-byte GBK character).
struct KvrFilteredText {
  char *text;  // NUL-terminated, `len` bytes
  size_t len;
  uint64_t *starts;
};

// Builds the filtered text of n bytes in pool memory.
KvrFilteredText kvrFilterText(apr_pool_t *pool, const char *data, size_t n);

// What a check found: the table (1 = record table b, 2 = block table c),
// the entry, its word count, the charset result of the search and the words.
struct KvrGetHit {
  int table;  // 0 = nothing resolved
  int index;
  int words;
  int charset;
  char key1[64], key2[64], key3[64];
};

// The searches of the check in their order: the block table first (when its
// switch is on and the request is not exempt), the record table only when
// no block entry resolved. `script` is the script test of the request.
// Returns hit->table.
int kvrGetScan(const KvrFilteredText &ft, bool exempt, bool script, KvrGetHit *hit);
