#include "screen/kvr_stream.h"

#include <apr_strings.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "config/kvr_config.h"
#include "match/kvr_match.h"
#include "screen/kvr_context.h"
#include "screen/kvr_post_scan.h"
#include "util/kvr_bigbuf.h"

namespace {

// Room for `need` bytes: most texts are short, so the buffer starts small
// (or at the length the text was told to have) and doubles (what it holds
// is copied along) up to a segment's length. The large ones go back to the
// system when outgrown and with the request.
void segRoom(apr_pool_t *pool, KvrSegment *seg, size_t need) {
  if (need <= seg->cap) return;
  size_t cap = seg->cap ? seg->cap : std::max<size_t>(16384, seg->expect + 1);
  while (cap < need) cap *= 2;
  if (cap > kKvrSegmentMax + 1) cap = kKvrSegmentMax + 1;
  char *buf = static_cast<char *>(kvrBigAlloc(pool, cap));
  if (!buf) throw std::bad_alloc();
  if (seg->buf && !seg->only) std::memcpy(buf, seg->buf, seg->len);
  kvrBigFree(pool, seg->buf);
  seg->buf = buf;
  seg->cap = cap;
}

void segCopy(apr_pool_t *pool, KvrSegment *seg) {
  if (seg->only) {
    segRoom(pool, seg, seg->len);
    std::memcpy(seg->buf, seg->only, seg->len);
    seg->only = nullptr;
  }
}

void segAdd(apr_pool_t *pool, KvrSegment *seg, const char *data, size_t n, bool keepRef) {
  if (n == 0) return;
  seg->total += n;
  if (keepRef && seg->len == 0 && !seg->only) {
    seg->only = data;
    seg->len = n;
    return;
  }
  segCopy(pool, seg);
  segRoom(pool, seg, seg->len + n);
  std::memcpy(seg->buf + seg->len, data, n);
  seg->len += n;
}

// The next segment begins with this one's bytes from `from` on.
void segNext(apr_pool_t *pool, KvrSegment *seg, size_t from, int trailAtFrom) {
  if (seg->only) {
    segRoom(pool, seg, seg->len - from);
    std::memcpy(seg->buf, seg->only + from, seg->len - from);
    seg->only = nullptr;
  } else {
    std::memmove(seg->buf, seg->buf + from, seg->len - from);
  }
  seg->len -= from;
  seg->carried = seg->len;
  seg->trail = trailAtFrom;
}

// A cut at `from` moved back to before an "&nbsp;" that it would split:
// the halves would keep letters that the whole drops.
size_t outsideEntity(const char *data, size_t len, size_t from) {
  for (size_t k = from > 5 ? from - 5 : 0; k < from; ++k)
    if (data[k] == '&' && std::memcmp(data + k + 1, "nbsp;", std::min<size_t>(5, len - k - 1)) == 0)
      return k;
  return from;
}

char *contextBuffer(apr_pool_t *pool, apr_size_t width) {
  return static_cast<char *>(apr_pcalloc(pool, 3 * width + 1));
}

}  // namespace

// ---- responses ----

bool kvrGetStreamInit(KvrGetStream *s, apr_pool_t *pool, bool exempt, bool script) {
  *s = KvrGetStream();
  s->pool = pool;
  s->exempt = exempt;
  s->script = script;
  const bool searched =
      (nVazidezBlockGetKeyWord == 1 || nVazidezChkGetKeyWord == 1) && !exempt && script;
  if (!searched) return false;
  return kvrWorkPoolCreate(&s->work, pool) == APR_SUCCESS;
}

namespace {

// The tables a check of the response searches.
unsigned searchedGroups() {
  return (nVazidezChkGetKeyWord == 1 ? 1u : 0u) | (nVazidezBlockGetKeyWord == 1 ? 2u : 0u);
}

}  // namespace

bool kvrGetStreamFile(KvrGetStream *s, const KvrFileIdentity &id, int64_t now) {
  if (kvrKnownCleanFile(id, searchedGroups())) return true;
  s->file = id;
  s->fileSettled = kvrFileSettled(id, now);
  return false;
}

void kvrGetStreamAdd(KvrGetStream *s, const char *data, size_t n) {
  if (s->text < 0) {
    // The text test reads the first 1023 bytes of the response.
    const uint64_t seen = s->seg.total;
    const size_t look = seen >= 1023 ? 0 : static_cast<size_t>(1023 - seen) < n ? 1023 - seen : n;
    if (look && std::memchr(data, '\0', look)) {
      s->text = 0;
      return;
    }
    if (seen + look >= 1023) s->text = 1;
  }
  if (s->text == 0) return;
  segAdd(s->pool, &s->seg, data, n, true);
}

namespace {

// One check of n bytes with the response check; the event of its entry.
int getCheck(KvrGetStream *s, const char *data, size_t n, int trail, bool record, KvrEvent *ev) {
  // From the request's pool, which outlives the check's own: the first
  // look must find room enough here, never make its own in `work`.
  const size_t room = kvrFirstLookRoom(n);
  if (s->scratch.size < room) {
    size_t size = 8192;
    while (size < room) size *= 2;
    char *data = static_cast<char *>(kvrBigAlloc(s->pool, size));
    if (!data) throw std::bad_alloc();
    kvrBigFree(s->pool, s->scratch.data);
    s->scratch.data = data;
    s->scratch.size = size;
  }
  KvrGetHit hit;
  KvrFilteredText ft;
  const int table =
      kvrGetCheck(s->work, data, n, trail, s->exempt, s->script, &hit, &ft, &s->scratch, record);
  if (table) {
    const structGetKeyWord &e =
        table == 2 ? arrGetKeyWord.c[hit.index] : arrGetKeyWord.b[hit.index];
    const char *form = hit.charset == 1 ? e.gbk : hit.charset == 2 ? e.utf8 : e.big5;
    char *context = contextBuffer(s->pool, nLogGetHtmlPageLen);
    kvrPageContext(s->work, hit.words, form, hit.key1, hit.key2, hit.key3, data, n, ft.text, ft.len,
                   context, nLogGetHtmlPageLen);
    *ev = KvrEvent{table, table, hit.charset, e.gbk, context};
  }
  apr_pool_clear(s->work);
  return table;
}

// The end of the bytes at hand, less an "&" near it that may yet open
// "&nbsp;": what the entity drops is not known before its last byte.
size_t settledEnd(const char *data, size_t from, size_t len) {
  for (size_t k = len > from + 5 ? len - 5 : from; k < len; ++k)
    if (data[k] == '&' && std::memcmp(data + k + 1, "nbsp;", len - k - 1) == 0) return k;
  return len;
}

}  // namespace

int kvrGetStreamRelease(KvrGetStream *s, KvrEvent *ev) {
  if (s->text == 0 || s->seg.len == s->released) return 0;
  int result = 0;
  const char *data = s->seg.data();
  const size_t end = settledEnd(data, s->lookFrom, s->seg.len);
  if (s->seg.total > nGetSizeMin && end > s->lookFrom &&
      getCheck(s, data + s->lookFrom, end - s->lookFrom, s->lookTrail, false, ev) == 2) {
    result = 2;
    s->found = true;
  }
  // The bytes go out now: a reference to them would not outlive them.
  segCopy(s->pool, &s->seg);
  s->released = s->seg.len;
  const size_t from = outsideEntity(s->seg.buf, s->seg.len,
                                    s->released > kKvrOverlap ? s->released - kKvrOverlap : 0);
  if (from > s->lookFrom) {
    s->lookTrail = kvrGbkTrailAfter(s->seg.buf + s->lookFrom, from - s->lookFrom, s->lookTrail);
    s->lookFrom = from;
  }
  return result;
}

int kvrGetStreamEnd(KvrGetStream *s, bool last, KvrEvent *ev) {
  int result = 0;
  // A segment that holds nothing but the end of the one before was checked
  // with it.
  if (s->text != 0 && s->seg.total > nGetSizeMin && s->seg.len > s->seg.carried)
    result = getCheck(s, s->seg.data(), s->seg.len, s->seg.trail, true, ev);
  if (result) s->found = true;
  // The whole of a still file, and clean: the next response of it need not
  // be read.
  if (last && !s->found && s->fileSettled && s->text != 0 &&
      s->seg.total == static_cast<uint64_t>(s->file.size))
    kvrNoteCleanFile(s->file, searchedGroups());
  if (!last && result != 2 && s->text != 0) {
    const size_t from = outsideEntity(s->seg.data(), s->seg.len,
                                      s->seg.len > kKvrOverlap ? s->seg.len - kKvrOverlap : 0);
    const int trail = kvrGbkTrailAfter(s->seg.data(), from, s->seg.trail);
    segNext(s->pool, &s->seg, from, trail);
    s->released = s->seg.len;
    s->lookFrom = 0;
    s->lookTrail = trail;
  }
  return result;
}

// ---- request bodies ----

bool kvrPostStreamInit(KvrPostStream *s, apr_pool_t *pool, bool form) {
  *s = KvrPostStream();
  s->pool = pool;
  s->form = form;
  if (nVazidezChkPostKeyWord != 1 && nVazidezBlockPostKeyWord != 1) return false;
  return kvrWorkPoolCreate(&s->work, pool) == APR_SUCCESS;
}

void kvrPostStreamAdd(KvrPostStream *s, const char *data, size_t n) {
  // A body is held elsewhere (memory or a file) while it is read: its
  // segment is always a copy of its own.
  segAdd(s->pool, &s->seg, data, n, false);
}

namespace {

structPostKeyWord &postEntry(const KvrPostHit &h) {
  switch (h.table) {
    case kPostC:
      return arrPostKeyWord.c[h.index];
    case kPostCex:
      return arrPostKeyWord.cex[h.index];
    case kPostB:
      return arrPostKeyWord.b[h.index];
    default:
      return arrPostKeyWord.bex[h.index];
  }
}

KvrEvent postEvent(KvrPostStream *s, KvrPostText &text, const KvrPostHit &h, int action) {
  kvrPostEnsureFiltered(s->work, &text);
  structPostKeyWord &e = postEntry(h);
  char *form = h.pass == 1 ? e.gbk : e.utf8;
  char words[3][256] = {};
  apr_size_t num = 1;
  if (std::strchr(e.gbk, ',')) num = static_cast<apr_size_t>(kvrSplitKeyWord(form, words));
  const bool filtered = h.table == kPostC || h.table == kPostB;
  char *context = contextBuffer(s->pool, nLogPostHtmlPageLen);
  kvrPageContext(s->work, num, form, words[0], words[1], words[2], text.raw, text.rawLen,
                 filtered ? text.filtered.text : text.raw,
                 filtered ? text.filtered.len : text.rawLen, context, nLogPostHtmlPageLen);
  return KvrEvent{action, h.table, h.pass, e.gbk, context};
}

// The phase of the decoded text after the first n bytes of the segment.
int decodedTrailAfter(KvrPostStream *s, const char *data, size_t n) {
  if (!s->form) return kvrGbkTrailAfter(data, n, s->seg.trail);
  // Decoding alone gives the phase: the rest of the preparation changes no
  // byte that opens a character.
  char *decoded = static_cast<char *>(apr_palloc(s->work, n + 64));
  int error = 0;
  return kvrGbkTrailAfter(decoded, kvrPostDecodeForm(data, n, decoded, &error), s->seg.trail);
}

}  // namespace

int kvrPostStreamEnd(KvrPostStream *s, bool last, KvrEvent *ev, int *numEvents) {
  *numEvents = 0;
  int result = 1;
  const char *data = s->seg.data();
  if (s->seg.total > nPostSizeMin && s->seg.len > s->seg.carried) {
    KvrPostText text = kvrPostPrepare(s->work, data, s->seg.len, s->form, s->seg.trail);
    if (text.decodeError) s->decodeError = 1;
    KvrPostHit hits[8];
    int n = 0;
    result = kvrPostSweep(s->work, text, nVazidezBlockPostKeyWord == 1, nVazidezChkPostKeyWord == 1,
                          hits, &n);
    for (int k = 0; k < n; ++k) ev[k] = postEvent(s, text, hits[k], result == 2 ? 2 : 1);
    *numEvents = n;
    apr_pool_clear(s->work);
  }
  if (!last && result != 2) {
    size_t from =
        outsideEntity(data, s->seg.len, s->seg.len > kKvrOverlap ? s->seg.len - kKvrOverlap : 0);
    // A cut inside a "%XX" escape would decode it as neither half.
    if (s->form) {
      if (from >= 1 && data[from - 1] == '%')
        from -= 1;
      else if (from >= 2 && data[from - 2] == '%')
        from -= 2;
    }
    const int trail = decodedTrailAfter(s, data, from);
    apr_pool_clear(s->work);
    segNext(s->pool, &s->seg, from, trail);
  }
  return result;
}
