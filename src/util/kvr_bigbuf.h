// Memory of a request that may be large, given back to the system as soon
// as the request (or the check) is done with it.
//
// A pool's freed blocks stay with its allocator for the next request, up to
// the server's MaxMemFree for each allocator; with a threaded MPM every
// connection pool keeps its own. A child that once screened a long text
// would so keep that much memory for good, however small its later
// requests. Buffers of kKvrBigBuffer bytes and more therefore come straight
// from the system here, and small allocations stay in the pools.
#pragma once

#include <apr_pools.h>

#include <cstddef>

constexpr size_t kKvrBigBuffer = 65536;
// Mappings given back are kept for the next requests, up to these for the
// whole process (mapping and unmapping for every response would serialise
// a child's threads on its address space and fault every page in again).
constexpr size_t kKvrBigKeptBytes = 640 * 1024;
constexpr int kKvrBigKeptCount = 4;

// n bytes, not zeroed, valid until `pool` is cleared or kvrBigFree gives
// them back. Below kKvrBigBuffer (or when the system has no room) from the
// pool itself.
void *kvrBigAlloc(apr_pool_t *pool, size_t n);

// Gives a buffer of kvrBigAlloc(pool, ...) back now; one of the pool's
// stays with the pool. A null p does nothing.
void kvrBigFree(apr_pool_t *pool, void *p);

// A scratch pool under `parent` for work that is cleared after every check.
// Its blocks come from an allocator that keeps only a few freed blocks for
// all such pools of the process: what a check took beyond them goes back to
// the system at the clear (or when the parent is cleared).
apr_status_t kvrWorkPoolCreate(apr_pool_t **work, apr_pool_t *parent);

// Whether a buffer of kvrBigAlloc is the system's (tests).
bool kvrBigIsMapped(const void *p);
// Gives every kept mapping back to the system; returns their bytes.
size_t kvrBigReleaseKept();
