// The POST keyword check on one piece of a body, apart from the request:
// the raw and filtered texts, and the block and record sweeps over the four
// POST tables.
//
// The sweeps give the hits a plain substring search per entry would give,
// in the same order, but find the words with one pass of a multi-pattern
// matcher over each text (tables c and b share the filtered text, cex and
// bex the raw text), built from the tables at load.
#pragma once

#include <apr_pools.h>

#include <cstddef>
#include <cstdint>

#include "screen/kvr_get_scan.h"

// Table slots of the sweeps.
enum KvrPostTable { kPostC = 0, kPostCex = 1, kPostB = 2, kPostBex = 3 };

struct KvrPostText {
  char *raw;  // NUL-terminated, lower-cased
  size_t rawLen;
  uint64_t *rawStarts;  // character boundaries of the raw text
  // Made only when needed (text null until then): the sweep reads the raw
  // text as its filtered form unless it holds "&nbsp;".
  KvrFilteredText filtered;
  int trail;
  // The text is UTF-8 (kvrTextIsUtf8): its second bytes are not those of
  // GBK characters, and GBK forms count wherever they occur.
  bool utf8 = false;
  int decodeError = 0;  // the form decoder reported a malformed escape
  // A GBK text whose second bytes a byte-by-byte reading would fold or
  // drop (kvrGbkFoldSpoils): its filtered form must be made to be searched.
  bool foldSpoils = true;
  // Where: bit i for such a second byte at i (may be null all the same).
  uint64_t *spoils = nullptr;
};

// The raw text: the piece with zero bytes as spaces, percent escapes decoded
// for a form post (a decoded zero byte becomes a space too), lower-cased;
// the filtered text made from it when it holds "&nbsp;" (in any case).
// A GBK text keeps the second bytes of its characters as they are.
// `trail`: the piece begins with the second byte of a character.
KvrPostText kvrPostPrepare(apr_pool_t *pool, const char *data, size_t n, bool formEncoded,
                           int trail = 0);

// The same texts made step by step as the check is defined: the copy, the
// server's decoder, then the lower-casing. For tests, which compare it with
// kvrPostPrepare.
KvrPostText kvrPostPreparePlain(apr_pool_t *pool, const char *data, size_t n, bool formEncoded,
                                int trail = 0);

// Decodes a form's percent escapes as the server's decoder does (a percent
// sign with two hexadecimal digits becomes their byte, anything else stays
// as it is), with zero bytes, sent or decoded, as spaces. out has room for
// n + 64 bytes and may not be data; returns the decoded length. *error:
// the decoder would report a failure (a malformed escape, "%00" or "%2F").
size_t kvrPostDecodeForm(const char *data, size_t n, char *out, int *error);

// Makes the filtered text if it is not made yet.
void kvrPostEnsureFiltered(apr_pool_t *pool, KvrPostText *text);

struct KvrPostHit {
  int table;  // KvrPostTable
  int index;  // entry in that table
  int pass;   // 1 = GBK forms, 2 = UTF-8 forms
};

// Runs the sweeps whose switches are given: the first block hit ends
// everything (result 2, hits[0]); otherwise the record hits, at most
// nChkPostKeyWordNum per table (result 1). hits has room for 8.
int kvrPostSweep(apr_pool_t *pool, const KvrPostText &text, bool block, bool record,
                 KvrPostHit *hits, int *numHits);

// Builds the matchers and word lists of the POST tables; part of the load.
void kvrPostKeyWordIndex();
// Bytes the matchers take.
size_t kvrPostIndexBytes();
// One pass of a side's matcher (0: filtered text, 1: raw text) over a text;
// returns the number of distinct words found. For the benchmarks.
uint32_t kvrPostMatcherPass(apr_pool_t *pool, int side, const char *text, size_t n,
                            const uint64_t *starts);

// The hit rule of one entry straight from the definition (substring search
// of each word of the pass's form), for tests and tools.
bool kvrPostEntryHitsPlain(int table, int index, int pass, const char *text, size_t len,
                           const uint64_t *starts);
