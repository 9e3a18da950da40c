#include "screen/kvr_known_files.h"

#include <array>
#include <atomic>
#include <mutex>
#include <new>

#include "match/kvr_match.h"

namespace {

struct Known {
  KvrFileIdentity id;
  unsigned groups = 0;  // 0: an empty slot
  unsigned generation = 0;
};

// One slot per hash of device and inode: a file that takes another's slot
// only costs that one a check. On the heap, not among the module's own
// data, whose pages a child shares with its parent until it writes them.
struct KnownFiles {
  std::mutex lock;
  std::array<Known, kKvrKnownFiles> slots;
};
std::atomic<KnownFiles *> gKnown{nullptr};

// Null when no memory could be had for it: files are then checked as they
// come.
KnownFiles *known() {
  if (!kvrKnownFilesPrepare()) return nullptr;
  return gKnown.load(std::memory_order_acquire);
}

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

bool kvrKnownFilesPrepare() {
  if (gKnown.load(std::memory_order_acquire)) return true;
  auto *made = new (std::nothrow) KnownFiles;
  if (!made) return false;
  KnownFiles *none = nullptr;
  if (!gKnown.compare_exchange_strong(none, made, std::memory_order_acq_rel)) delete made;
  return true;
}

bool kvrKnownCleanFile(const KvrFileIdentity &id, unsigned groups) {
  const unsigned generation = kvrTablesGeneration();
  KnownFiles *files = known();
  if (!files) return false;
  std::lock_guard<std::mutex> hold(files->lock);
  const Known &k = files->slots[slotOf(id)];
  return k.groups && (groups & ~k.groups) == 0 && k.generation == generation && same(k.id, id);
}

void kvrNoteCleanFile(const KvrFileIdentity &id, unsigned groups) {
  if (!groups) return;
  const unsigned generation = kvrTablesGeneration();
  KnownFiles *files = known();
  if (!files) return;
  std::lock_guard<std::mutex> hold(files->lock);
  files->slots[slotOf(id)] = Known{id, groups, generation};
}

void kvrForgetCleanFiles() {
  KnownFiles *files = known();
  if (!files) return;
  std::lock_guard<std::mutex> hold(files->lock);
  files->slots.fill(Known{});
}
