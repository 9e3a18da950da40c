// Counters for the whole server, shown on mod_status's page.
//
// The parent makes one small block of shared memory before it forks; every
// child adds to it with atomic adds, without locks, and the status page reads
// it. The block belongs to the server process, so a graceful restart keeps
// the counts (as httpd keeps its own access counts).
#pragma once

#include <apr_pools.h>
#include <apr_time.h>

#include <cstdint>
#include <string>

enum KvrCounter : int {
  kvrRequestsScreened,  // requests the fixups checks looked at (not exempt)
  kvrRequestsExempt,    // requests of clients on the exempt-client list
  kvrRefusedMethod,     // refused by each fixups check
  kvrRefusedUrlLength,
  kvrRefusedPostSize,
  kvrRefusedClientList,
  kvrRefusedPostClientList,
  kvrRefusedDomainAllowList,
  kvrRefusedDomainBlockList,
  kvrRefusedSql,
  kvrRefusedUrlList,
  kvrRefusedFilePath,
  kvrResponsesExamined,      // responses the response check searched
  kvrResponseBytesExamined,  // bytes of them searched
  kvrResponsesKnownClean,    // of them, unchanged files found clean before, sent unread
  kvrBodiesExamined,         // request bodies the POST check searched
  kvrBodyBytesExamined,      // bytes of them searched
  kvrGetBlocks,              // keyword events, by direction and action
  kvrGetRecords,
  kvrPostBlocks,
  kvrPostRecords,
  kvrEventsNotWritten,  // events missing from one of the logs or both
  kvrCounterCount
};

// Makes the shared block in the server process's pool, or finds the one an
// earlier configuration pass made there. Call it in post_config, before the
// children are forked. False when no shared memory can be had: the counters
// then stay off.
bool kvrCountersAttach(apr_pool_t *processPool);
// Forgets the block (for tests; the memory stays with its pool).
void kvrCountersDetach();

// Adds n to a counter; does nothing while no block is attached.
void kvrCount(KvrCounter c, uint64_t n = 1);
uint64_t kvrCounterValue(KvrCounter c);

// Notes a successful configuration load of a child of the given generation:
// the time and the sizes of the keyword tables it loaded.
void kvrCountersNoteLoad(int generation, apr_time_t when);

// The counters and the configuration of the newest generation as
// "Key: value" lines (the form of /server-status?auto), or, with html, as a
// table with every generation the block remembers.
std::string kvrCountersText(bool html);
