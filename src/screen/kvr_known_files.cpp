#include "screen/kvr_known_files.h"

#include <array>
#include <mutex>

#include "match/kvr_match.h"

namespace {

struct Known {
  KvrFileIdentity id;
  unsigned groups = 0;  // 0: an empty slot
  unsigned generation = 0;
};

// One slot per hash of device and inode: a file that takes another's slot
// only costs that one a check.
std::mutex gLock;
std::array<Known, kKvrKnownFiles> gKnown;

size_t slotOf(const KvrFileIdentity &id) {
  const uint64_t h = (id.inode * 0x9E3779B97F4A7C15ull) ^ (id.device * 0xC2B2AE3D27D4EB4Full);
  return static_cast<size_t>(h >> 32) % kKvrKnownFiles;
}

bool same(const KvrFileIdentity &a, const KvrFileIdentity &b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && a.mtime == b.mtime &&
         a.ctime == b.ctime;
}

}  // namespace

bool kvrFileSettled(const KvrFileIdentity &id, int64_t now) {
  return id.mtime <= now - kKvrSettled && id.ctime <= now - kKvrSettled;
}

bool kvrKnownCleanFile(const KvrFileIdentity &id, unsigned groups) {
  const unsigned generation = kvrTablesGeneration();
  std::lock_guard<std::mutex> hold(gLock);
  const Known &k = gKnown[slotOf(id)];
  return k.groups && (groups & ~k.groups) == 0 && k.generation == generation && same(k.id, id);
}

void kvrNoteCleanFile(const KvrFileIdentity &id, unsigned groups) {
  if (!groups) return;
  const unsigned generation = kvrTablesGeneration();
  std::lock_guard<std::mutex> hold(gLock);
  gKnown[slotOf(id)] = Known{id, groups, generation};
}

void kvrForgetCleanFiles() {
  std::lock_guard<std::mutex> hold(gLock);
  gKnown.fill(Known{});
}
