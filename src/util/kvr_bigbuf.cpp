#include "util/kvr_bigbuf.h"

#include <apr_allocator.h>
#include <apr_thread_mutex.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>

namespace {

// Each buffer is preceded by a header: the length of its mapping, 0 for a
// buffer of the pool's. 64 bytes keep the buffer aligned for any use.
constexpr size_t kHeader = 64;

struct Header {
  size_t mapped;
};

size_t pageSize() {
  static const size_t size = [] {
    const long n = sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<size_t>(n) : size_t{4096};
  }();
  return size;
}

// The mappings kept for the next requests.
struct Kept {
  std::mutex lock;
  void *base[kKvrBigKeptCount] = {};
  int count = 0;
  size_t bytes = 0;
};

Kept &kept() {
  static Kept k;
  return k;
}

// A kept mapping of at least len bytes (the smallest), or null.
void *takeKept(size_t len) {
  Kept &k = kept();
  std::lock_guard<std::mutex> hold(k.lock);
  int best = -1;
  for (int i = 0; i < k.count; ++i) {
    const size_t have = static_cast<Header *>(k.base[i])->mapped;
    if (have >= len && (best < 0 || have < static_cast<Header *>(k.base[best])->mapped)) best = i;
  }
  if (best < 0) return nullptr;
  void *base = k.base[best];
  k.base[best] = k.base[--k.count];
  k.bytes -= static_cast<Header *>(base)->mapped;
  return base;
}

apr_status_t unmapBuffer(void *base) {
  const size_t len = static_cast<Header *>(base)->mapped;
  {
    Kept &k = kept();
    std::lock_guard<std::mutex> hold(k.lock);
    if (k.count < kKvrBigKeptCount && k.bytes + len <= kKvrBigKeptBytes) {
      k.base[k.count++] = base;
      k.bytes += len;
      return APR_SUCCESS;
    }
  }
  munmap(base, len);
  return APR_SUCCESS;
}

Header *headerOf(void *p) {
  return reinterpret_cast<Header *>(static_cast<char *>(p) - kHeader);
}

}  // namespace

void *kvrBigAlloc(apr_pool_t *pool, size_t n) {
  if (n >= kKvrBigBuffer && n < SIZE_MAX / 2) {
    const size_t page = pageSize();
    const size_t len = (n + kHeader + page - 1) / page * page;
    void *base = takeKept(len);
    if (!base) {
      base = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (base != MAP_FAILED) static_cast<Header *>(base)->mapped = len;
    }
    if (base != MAP_FAILED) {
      apr_pool_cleanup_register(pool, base, unmapBuffer, apr_pool_cleanup_null);
      return static_cast<char *>(base) + kHeader;
    }
  }
  if (n > SIZE_MAX - kHeader) return nullptr;
  char *base = static_cast<char *>(apr_palloc(pool, n + kHeader));
  if (!base) return nullptr;
  reinterpret_cast<Header *>(base)->mapped = 0;
  return base + kHeader;
}

void kvrBigFree(apr_pool_t *pool, void *p) {
  if (!p || headerOf(p)->mapped == 0) return;
  void *base = headerOf(p);
  apr_pool_cleanup_kill(pool, base, unmapBuffer);
  unmapBuffer(base);
}

size_t kvrBigReleaseKept() {
  Kept &k = kept();
  std::lock_guard<std::mutex> hold(k.lock);
  const size_t bytes = k.bytes;
  while (k.count > 0) {
    void *base = k.base[--k.count];
    munmap(base, static_cast<Header *>(base)->mapped);
  }
  k.bytes = 0;
  return bytes;
}

bool kvrBigIsMapped(const void *p) {
  return p && headerOf(const_cast<void *>(p))->mapped != 0;
}

namespace {

// Freed blocks the checks' scratch pools of the whole process keep for the
// next check; the rest of what a check took goes back to the system.
constexpr apr_size_t kWorkPoolsKeep = kKvrBigBuffer;

// One allocator, with a lock, for the scratch pools of every thread: a
// request may end on another thread than the one that began it, and an
// allocator of each pool's own would map and unmap its first block for
// every request. Made at the first use, in the process that serves; it
// lives as long as that process.
apr_allocator_t *workAllocator() {
  static apr_allocator_t *const allocator = []() -> apr_allocator_t * {
    apr_allocator_t *a = nullptr;
    if (apr_allocator_create(&a) != APR_SUCCESS) return nullptr;
    apr_allocator_max_free_set(a, kWorkPoolsKeep);
#if APR_HAS_THREADS
    apr_pool_t *holder = nullptr;
    apr_thread_mutex_t *lock = nullptr;
    if (apr_pool_create_unmanaged_ex(&holder, nullptr, a) != APR_SUCCESS) {
      apr_allocator_destroy(a);
      return nullptr;
    }
    apr_allocator_owner_set(a, holder);
    if (apr_thread_mutex_create(&lock, APR_THREAD_MUTEX_DEFAULT, holder) != APR_SUCCESS) {
      apr_pool_destroy(holder);
      return nullptr;
    }
    apr_allocator_mutex_set(a, lock);
#endif
    return a;
  }();
  return allocator;
}

}  // namespace

apr_status_t kvrWorkPoolCreate(apr_pool_t **work, apr_pool_t *parent) {
  apr_allocator_t *allocator = workAllocator();
  if (!allocator) return apr_pool_create(work, parent);
  return apr_pool_create_ex(work, parent, nullptr, allocator);
}
