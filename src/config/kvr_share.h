// One load for the whole server: the parent process loads the configuration
// before it forks, and each child adopts what it inherited (shared
// copy-on-write) when every file that load read is still as it was and
// readable by the child. Otherwise the child loads its own, as it would
// without a parent's load.
#pragma once

#include <apr_pools.h>

#include <cstddef>

// The parent's load: everything but the status page, which only children
// write. Writes no file and no message. Remembers each file the load opens
// or tries to open (present or not) as it stood before it was read.
// Returns 1 when the tables are ready to be shared.
// The directories are those of kvrReadConfig unless given (tests give
// their own); the child's own load then uses them too.
int kvrLoadShared(apr_pool_t *ptemp, const char *configDir = nullptr, const char *logDir = nullptr);

// The child's load: adopts the shared tables, or loads its own, then writes
// the status page either way. Returns what kvrReadConfig would; tells
// whether the tables were adopted.
int kvrAdoptOrLoad(apr_pool_t *p, bool *adopted = nullptr);

// Whether the files of the shared load are all unchanged and readable now
// (false when there is no shared load).
bool kvrSharedFilesCurrent();
// How many files the shared load looked at.
size_t kvrSharedFileCount();

// Frees the automata and prefilter of the shared load, in the process that
// built them only, and forgets the load. The parent calls it when its
// configuration ends (a restart), before the next load.
void kvrReleaseShared();
