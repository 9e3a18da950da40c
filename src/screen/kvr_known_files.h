// Static files whose text a check found clean, and that have not changed
// since: a response that is one whole such file goes out unread.
//
// A file is known by what the file system says of it: device, inode, size,
// and the times of its last change of contents (mtime) and of any change at
// all (ctime, which no one can set back). A write or a replacement changes
// at least one of them, as long as it falls in a later tick of the file
// system's clock than the one the times show; so a file is noted only when
// both times lie at least kKvrSettled before the moment its identity was
// taken, before its bytes were read. A write after that moment moves ctime
// past the noted one. This is the same test that tells a client, by the
// ETag httpd makes of inode, mtime and size, that a page has not changed.
//
// Each process keeps its own small table (kKvrKnownFiles entries), shared by
// its threads; a build of the keyword tables makes every entry stale.
#pragma once

#include <cstddef>
#include <cstdint>

struct KvrFileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtime = 0;  // microseconds since the epoch
  int64_t ctime = 0;
};

constexpr size_t kKvrKnownFiles = 256;
constexpr int64_t kKvrSettled = 2000000;  // microseconds

// Whether a file of this identity, taken at `now`, has been still long
// enough to be noted.
bool kvrFileSettled(const KvrFileIdentity &id, int64_t now);
// Whether a check that searched the tables of `groups` (1 record, 2 block)
// found the text of a file of this identity clean, with the tables built now.
bool kvrKnownCleanFile(const KvrFileIdentity &id, unsigned groups);
// Notes such a finding (the identity must be settled; see above).
void kvrNoteCleanFile(const KvrFileIdentity &id, unsigned groups);
// Makes the table; a child does this as it starts, so that its first
// request does not write the module's data pages, which it shares with the
// parent until it does. The other calls make it if need be. False when no
// memory could be had: files are then checked as they come.
bool kvrKnownFilesPrepare();
// Forgets every file (for tests).
void kvrForgetCleanFiles();
