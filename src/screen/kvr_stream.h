// The text of one response, or of one request body, screened as one text
// however the server cuts it into buckets and reads.
//
// Pieces are gathered into a segment of at most kKvrSegmentMax bytes, the
// largest piece the response check takes at once, and each segment is
// checked as one text: a response or body of up to that length gets the
// decision and the event records of its whole text, wherever it was cut.
// A longer text is checked segment by segment; each segment after the first
// begins with the last kKvrOverlap bytes of the one before, so that a
// keyword cut by a segment's end is found in the next. Within a segment a
// multi-word entry hits when all its words occur anywhere in it; a response
// gives at most one event per segment (a block, or the first record entry),
// a body the record limit per table per segment.
//
// Nothing here knows the server: the filters hand pieces in and act on the
// events that come out.
#pragma once

#include <apr_pools.h>

#include <cstddef>
#include <cstdint>

#include "screen/kvr_get_scan.h"
#include "screen/kvr_known_files.h"

constexpr size_t kKvrSegmentMax = 524287;
constexpr size_t kKvrOverlap = 4096;

// What a check decided about one entry: the filters log it, and on a block
// send the block page naming the keyword.
struct KvrEvent {
  int action;           // 2 = block, 1 = record
  int table;            // responses: 2 block, 1 record; bodies: a KvrPostTable
  int charset;          // the form that matched: 1 GBK, 2 UTF-8, 3 BIG5
  const char *keyword;  // the entry's GBK key
  const char *context;  // the text around the hit (request pool)
};

// The text of the current segment. Its first piece is only referenced while
// it is the only one (a response that arrives whole is never copied); the
// caller keeps each piece valid until the next check.
struct KvrSegment {
  char *buf = nullptr;  // grown as the segment grows, up to kKvrSegmentMax bytes
  size_t cap = 0;
  size_t len = 0;              // bytes in the segment
  const char *only = nullptr;  // the segment's single piece, not copied yet
  int trail = 0;               // its first byte is the second byte of a character
  uint64_t total = 0;          // bytes of the whole text so far
  size_t carried = 0;          // bytes at its start that end the segment before
  size_t expect = 0;           // the whole text's length where told beforehand, 0 if not
  const char *data() const { return only ? only : buf; }
};

// A response.
struct KvrGetStream {
  apr_pool_t *pool = nullptr;  // the request's: buffers and events
  apr_pool_t *work = nullptr;  // cleared after every check
  bool exempt = false, script = false;
  int text = -1;  // 1 = text, 0 = a NUL among the first 1023 bytes, -1 = not known yet
  KvrSegment seg;
  size_t released = 0;  // bytes of the segment that went out after a check
  size_t lookFrom = 0;  // where the next look for block keywords begins
  int lookTrail = 0;    // the character phase there
  KvrScratch scratch;
  // A response that is one whole static file: noted as clean when it ends
  // so, if its file had been still long enough.
  KvrFileIdentity file;
  bool fileSettled = false;
  bool found = false;  // a check of it found an entry
};

// false when nothing of the response would be searched (switches off, an
// exempt address, not a script): the filter then lets it through.
bool kvrGetStreamInit(KvrGetStream *s, apr_pool_t *pool, bool exempt, bool script);
// The response's length, where it is told before its bytes (a static
// file's, a Content-Length): the segment's buffer, when its bytes must be
// copied, is made that large at once rather than doubled to it.
inline void kvrGetStreamExpect(KvrGetStream *s, uint64_t length) {
  s->seg.expect = length < kKvrSegmentMax ? static_cast<size_t>(length) : kKvrSegmentMax;
}
// Before any byte, for a response that is one whole static file: true when
// the file's text was found clean before and the file has not changed since
// (see kvr_known_files.h), so that it may go out unread. Otherwise the
// response is checked as any other, and noted when its end finds it clean.
bool kvrGetStreamFile(KvrGetStream *s, const KvrFileIdentity &id, int64_t now);
// Bytes the segment takes before it is full.
inline size_t kvrGetStreamRoom(const KvrGetStream *s) {
  return kKvrSegmentMax - s->seg.len;
}
// Adds n bytes (at most the room); they stay valid until the next check.
void kvrGetStreamAdd(KvrGetStream *s, const char *data, size_t n);
// Whether the response turned out not to be text: nothing of it is searched.
inline bool kvrGetStreamNotText(const KvrGetStream *s) {
  return s->text == 0;
}
// Whether bytes are held that have not gone out.
inline bool kvrGetStreamHolds(const KvrGetStream *s) {
  return s->seg.len > s->released;
}
// The bytes not yet gone out are about to go out, before the segment ends:
// they are searched for block keywords (with the overlap before them, so
// that a keyword that began in bytes already out is found). 2 = block, with
// *ev; 0 = they may go out.
int kvrGetStreamRelease(KvrGetStream *s, KvrEvent *ev);
// The segment is full (`last` false) or the response ended: the whole check
// over the segment. 2 = block, 1 = record, 0 = nothing, with *ev. After it
// the segment's bytes may all go out, and a following one begins.
int kvrGetStreamEnd(KvrGetStream *s, bool last, KvrEvent *ev);

// A request body. Nothing of it reaches the application before the whole
// body is checked, so only segments end checks.
struct KvrPostStream {
  apr_pool_t *pool = nullptr;
  apr_pool_t *work = nullptr;
  bool form = false;  // percent escapes are decoded before the search
  KvrSegment seg;
  int decodeError = 0;  // the decoder reported a malformed escape
};

// false when no POST keyword switch is on.
bool kvrPostStreamInit(KvrPostStream *s, apr_pool_t *pool, bool form);
inline size_t kvrPostStreamRoom(const KvrPostStream *s) {
  return kKvrSegmentMax - s->seg.len;
}
void kvrPostStreamAdd(KvrPostStream *s, const char *data, size_t n);
// The segment is full or the body ended: the sweeps over the segment.
// 2 = block (ev[0]); 1 = go on, with the records in ev (room for 8).
int kvrPostStreamEnd(KvrPostStream *s, bool last, KvrEvent *ev, int *numEvents);
