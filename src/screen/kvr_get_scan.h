// The response keyword check on one piece of text, apart from the request:
// the filtered text with its character boundaries, the block and record
// searches and the resolution of what they found.
#pragma once

#include <apr_pools.h>

#include <cstddef>
#include <cstdint>

#include "match/acsm.h"

// Filtered text: the bytes of the piece without NUL, TAB, LF, CR, space,
// ASCII punctuation and "&nbsp;" entities, lower-cased. starts has bit i set
// when filtered byte i begins a character of the piece as received (a byte
// 0x81..0xFE opens a two-byte GBK character).
//
// A piece is read as GBK unless it is UTF-8 (kvrTextIsUtf8). In GBK the
// second byte of a character (0x40..0x7E, where ASCII letters and
// punctuation lie) belongs to the character: it is kept as it is, neither
// lower-cased nor dropped. A UTF-8 piece is filtered byte by byte.
struct KvrFilteredText {
  char *text;  // NUL-terminated, `len` bytes
  size_t len;
  uint64_t *starts;
  bool utf8 = false;  // read as UTF-8
};

// Builds the filtered text of n bytes in pool memory. `trail` says that the
// first byte is the second byte of a character begun in the piece before.
KvrFilteredText kvrFilterText(apr_pool_t *pool, const char *data, size_t n, int trail = 0);
// The same, also writing the n bytes lower-cased, zero bytes as spaces, to
// raw (which may be data itself).
KvrFilteredText kvrFilterTextAndRaw(apr_pool_t *pool, const char *data, size_t n, int trail,
                                    char *raw);

// The filtered text alone, without boundaries: written to out, which must
// have room for n + 64 bytes (whole vectors are stored); returns its length.
size_t kvrFilterTextBytes(const char *data, size_t n, char *out);

// The same, with each kept byte's boundary in the bytes as received (read as
// GBK, as `starts` of KvrFilteredText): the text goes to out + at (room for
// n + 64 bytes from there) and the boundaries to bits at.. of starts (room
// for (at + n) / 64 + 2 words; the bits below `at` are kept). `trail` as
// for kvrFilterText, and receives the same for the byte after the n.
// Returns the length written.
size_t kvrFilterTextBytesBounds(const char *data, size_t n, int *trail, char *out, uint64_t *starts,
                                size_t at);

// Whether the byte after these n bytes is the second byte of a character,
// given the same for their first byte. Pieces of one body or response are
// cut anywhere, also inside a character: the filters carry this from one
// piece to the next, so that boundaries are those of the whole text.
int kvrGbkTrailAfter(const char *data, size_t n, int trail);

// Whether a GBK text (not UTF-8) holds a second byte that a byte-by-byte
// reading would fold or drop: upper case, or punctuation (0x40, 0x5B..0x60,
// 0x7B..0x7E). `starts` as from kvrGbkStarts.
bool kvrGbkFoldSpoils(const unsigned char *p, size_t n, const uint64_t *starts);

// Lower-cases the ASCII capitals of a GBK text that begin a character (a
// second byte stays as it is); `starts` as from kvrGbkStarts.
void kvrGbkLowerAtStarts(char *text, size_t n, const uint64_t *starts);

// Bit i of starts (n / 64 + 1 words) is set when byte i begins a character;
// `trail` as above. Returns the same for the byte after the last.
int kvrGbkStarts(const unsigned char *p, size_t n, int trail, uint64_t *starts);

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
// `record` false leaves the record table out (a look for block keywords
// only). Returns hit->table.
int kvrGetScan(const KvrFilteredText &ft, bool exempt, bool script, KvrGetHit *hit,
               bool record = true);

// The room the first look of kvrGetCheck takes for n bytes.
size_t kvrFirstLookRoom(size_t n);

// Room reused by the checks of one response, made by their caller (at
// least kvrFirstLookRoom bytes; a check that finds less takes its own).
struct KvrScratch {
  char *data = nullptr;
  size_t size = 0;
};

// The whole check on n bytes, as kvrGetScan on their filtered text (with the
// boundary phase `trail`), but a first look settles most texts, and only
// when it finds something is the filtered text with its boundaries built
// and searched. The first look is the prefilter over the text filtered byte
// by byte with the boundaries of the bytes as received (a GBK form counts
// only where a character begins), a piece at a time in `scratch` (the pool
// when null); where the prefilter cannot serve (a pattern of one byte), the
// automata search the bytes as they are with their folded classes. *ft
// receives the filtered text when it was built (ft->text null if not).
int kvrGetCheck(apr_pool_t *pool, const char *data, size_t n, int trail, bool exempt, bool script,
                KvrGetHit *hit, KvrFilteredText *ft, KvrScratch *scratch = nullptr,
                bool record = true);

// The room a search of the check takes from `pool` for the matches it holds
// back (see acsmSearchSpill), given back when the search ends.
AcsmSpill kvrPoolSpill(apr_pool_t *pool);
