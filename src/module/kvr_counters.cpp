// Counters for the whole server in shared memory, added to without locks.
#include "module/kvr_counters.h"

#include <apr_shm.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "config/kvr_config.h"

namespace {

// What the children of one generation loaded. A child of a new generation
// takes the slot of the oldest one.
constexpr int kLoadSlots = 4;
enum KvrTableSize {
  kGetRecord,
  kGetBlock,
  kPostRecord,
  kPostRecordVerbatim,
  kPostBlock,
  kPostBlockVerbatim,
  kTableSizes
};

struct LoadSlot {
  uint64_t generation;  // generation + 1; 0 = unused
  uint64_t loads;       // children of the generation that loaded
  uint64_t loadTime;    // microseconds since the epoch, of the latest load
  uint64_t sizes[kTableSizes];
};

struct Block {
  uint64_t layout;  // kLayout: a block of another layout is not reused
  uint64_t counters[kvrCounterCount];
  LoadSlot slots[kLoadSlots];
};

constexpr uint64_t kLayout = 0x72697a7500000000ull | (uint64_t{kvrCounterCount} << 16) |
                             (uint64_t{kLoadSlots} << 8) | kTableSizes;
constexpr char kPoolKey[] = "rizururuzarida-counters";

Block *gBlock = nullptr;

struct Named {
  KvrCounter counter;
  const char *key;
  const char *label;
};

const Named kNames[] = {
    {kvrRequestsScreened, "RizuRequestsScreened", "requests screened by the request checks"},
    {kvrRequestsExempt, "RizuRequestsExempt", "requests of exempt clients"},
    {kvrRefusedMethod, "RizuRefusedMethod", "refused: method"},
    {kvrRefusedUrlLength, "RizuRefusedUrlLength", "refused: address length"},
    {kvrRefusedPostSize, "RizuRefusedPostSize", "refused: declared POST size"},
    {kvrRefusedClientList, "RizuRefusedClientList", "refused: client address list"},
    {kvrRefusedPostClientList, "RizuRefusedPostClientList", "refused: POST client list"},
    {kvrRefusedDomainAllowList, "RizuRefusedDomainAllowList", "refused: domain allow list"},
    {kvrRefusedDomainBlockList, "RizuRefusedDomainBlockList", "refused: domain block list"},
    {kvrRefusedSql, "RizuRefusedSql", "refused: SQL fragments"},
    {kvrRefusedUrlList, "RizuRefusedUrlList", "refused: URL list"},
    {kvrRefusedFilePath, "RizuRefusedFilePath", "refused: file-path list"},
    {kvrResponsesExamined, "RizuResponsesExamined", "responses examined"},
    {kvrResponseBytesExamined, "RizuResponseBytesExamined", "response bytes examined"},
    {kvrResponsesKnownClean, "RizuResponsesKnownClean",
     "responses of unchanged files found clean before, sent unread"},
    {kvrBodiesExamined, "RizuBodiesExamined", "request bodies examined"},
    {kvrBodyBytesExamined, "RizuBodyBytesExamined", "request body bytes examined"},
    {kvrGetBlocks, "RizuGetBlocks", "GET keyword blocks"},
    {kvrGetRecords, "RizuGetRecords", "GET keyword records"},
    {kvrPostBlocks, "RizuPostBlocks", "POST keyword blocks"},
    {kvrPostRecords, "RizuPostRecords", "POST keyword records"},
    {kvrEventsNotWritten, "RizuEventsNotWritten", "events that could not be written"},
};
static_assert(sizeof kNames / sizeof kNames[0] == kvrCounterCount, "every counter has a name");

const char *const kSizeKeys[kTableSizes] = {
    "RizuConfigGetRecordKeywords",  "RizuConfigGetBlockKeywords",
    "RizuConfigPostRecordKeywords", "RizuConfigPostRecordVerbatimKeywords",
    "RizuConfigPostBlockKeywords",  "RizuConfigPostBlockVerbatimKeywords"};
const char *const kSizeLabels[kTableSizes] = {"GET record",        "GET block",
                                              "POST smart record", "POST verbatim record",
                                              "POST smart block",  "POST verbatim block"};

uint64_t load(const uint64_t &v) {
  return __atomic_load_n(&v, __ATOMIC_RELAXED);
}

// The slot of a generation, taking over the oldest when it has none yet.
// Children of one generation may arrive at once: the claim is a compare and
// swap on the slot's generation, retried when another child won it.
LoadSlot *slotFor(Block *b, uint64_t generation) {
  for (;;) {
    LoadSlot *oldest = &b->slots[0];
    for (LoadSlot &s : b->slots) {
      const uint64_t g = load(s.generation);
      if (g == generation) return &s;
      if (g < load(oldest->generation)) oldest = &s;
    }
    uint64_t seen = load(oldest->generation);
    if (seen > generation) return nullptr;  // a straggler of a generation long gone
    if (__atomic_compare_exchange_n(&oldest->generation, &seen, generation, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_RELAXED)) {
      // A child of the same generation that finds the slot in between may
      // have its load forgotten here: a count shown, not a decision.
      __atomic_store_n(&oldest->loads, 0, __ATOMIC_RELAXED);
      return oldest;
    }
  }
}

const LoadSlot *newest(const Block *b) {
  const LoadSlot *best = nullptr;
  for (const LoadSlot &s : b->slots)
    if (load(s.generation) != 0 && (!best || load(s.generation) > load(best->generation)))
      best = &s;
  return best;
}

void appendf(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string &out, const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(buf, static_cast<size_t>(n) < sizeof buf ? n : sizeof buf - 1);
}

}  // namespace

bool kvrCountersAttach(apr_pool_t *processPool) {
  void *found = nullptr;
  apr_pool_userdata_get(&found, kPoolKey, processPool);
  Block *b =
      found ? static_cast<Block *>(apr_shm_baseaddr_get(static_cast<apr_shm_t *>(found))) : nullptr;
  if (!b || b->layout != kLayout) {
    // Anonymous: the children inherit the mapping, nothing is left behind.
    apr_shm_t *shm = nullptr;
    if (apr_shm_create(&shm, sizeof(Block), nullptr, processPool) != APR_SUCCESS) {
      gBlock = nullptr;
      return false;
    }
    b = static_cast<Block *>(apr_shm_baseaddr_get(shm));
    std::memset(b, 0, sizeof(Block));
    b->layout = kLayout;
    apr_pool_userdata_set(shm, kPoolKey, apr_pool_cleanup_null, processPool);
  }
  gBlock = b;
  return true;
}

void kvrCountersDetach() {
  gBlock = nullptr;
}

void kvrCount(KvrCounter c, uint64_t n) {
  if (Block *b = gBlock) __atomic_fetch_add(&b->counters[c], n, __ATOMIC_RELAXED);
}

uint64_t kvrCounterValue(KvrCounter c) {
  const Block *b = gBlock;
  return b ? load(b->counters[c]) : 0;
}

void kvrCountersNoteLoad(int generation, apr_time_t when) {
  Block *b = gBlock;
  if (!b || generation < 0) return;
  LoadSlot *s = slotFor(b, static_cast<uint64_t>(generation) + 1);
  if (!s) return;
  const uint64_t sizes[kTableSizes] = {static_cast<uint64_t>(kvrVazidezGetKeybNum()),
                                       static_cast<uint64_t>(kvrVazidezGetKeycNum()),
                                       static_cast<uint64_t>(kvrVazidezPostKeybNum()),
                                       static_cast<uint64_t>(kvrVazidezPostKeybexNum()),
                                       static_cast<uint64_t>(kvrVazidezPostKeycNum()),
                                       static_cast<uint64_t>(kvrVazidezPostKeycexNum())};
  for (int i = 0; i < kTableSizes; ++i) __atomic_store_n(&s->sizes[i], sizes[i], __ATOMIC_RELAXED);
  __atomic_store_n(&s->loadTime, static_cast<uint64_t>(when), __ATOMIC_RELAXED);
  __atomic_fetch_add(&s->loads, 1, __ATOMIC_RELAXED);
}

std::string kvrCountersText(bool html) {
  std::string out;
  const Block *b = gBlock;
  if (!b) return out;
  if (!html) {
    for (const Named &n : kNames)
      appendf(out, "%s: %" PRIu64 "\n", n.key, load(b->counters[n.counter]));
    if (const LoadSlot *s = newest(b)) {
      appendf(out, "RizuConfigGeneration: %" PRIu64 "\n", load(s->generation) - 1);
      appendf(out, "RizuConfigLoads: %" PRIu64 "\n", load(s->loads));
      appendf(out, "RizuConfigLoadTime: %" PRIu64 "\n", load(s->loadTime) / APR_USEC_PER_SEC);
      for (int i = 0; i < kTableSizes; ++i)
        appendf(out, "%s: %" PRIu64 "\n", kSizeKeys[i], load(s->sizes[i]));
    }
    return out;
  }
  out += "<hr />\n<h2>mod_rizururuzarida</h2>\n<table border=\"0\">\n";
  for (const Named &n : kNames)
    appendf(out, "<tr><td>%s</td><td>%" PRIu64 "</td></tr>\n", n.label,
            load(b->counters[n.counter]));
  out +=
      "</table>\n<table border=\"0\"><tr><th>generation</th><th>children loaded</th>"
      "<th>last load</th>";
  for (const char *label : kSizeLabels) appendf(out, "<th>%s keywords</th>", label);
  out += "</tr>\n";
  // Newest generation first.
  const LoadSlot *order[kLoadSlots];
  int n = 0;
  for (const LoadSlot &s : b->slots)
    if (load(s.generation) != 0) order[n++] = &s;
  for (int i = 1; i < n; ++i)
    for (int j = i; j > 0 && load(order[j]->generation) > load(order[j - 1]->generation); --j)
      std::swap(order[j], order[j - 1]);
  for (int i = 0; i < n; ++i) {
    const LoadSlot &s = *order[i];
    char when[APR_RFC822_DATE_LEN] = "";
    apr_rfc822_date(when, static_cast<apr_time_t>(load(s.loadTime)));
    appendf(out, "<tr><td>%" PRIu64 "</td><td>%" PRIu64 "</td><td>%s</td>", load(s.generation) - 1,
            load(s.loads), when);
    for (int k = 0; k < kTableSizes; ++k) appendf(out, "<td>%" PRIu64 "</td>", load(s.sizes[k]));
    out += "</tr>\n";
  }
  out += "</table>\n";
  return out;
}
