// Large buffers of a request go back with it (or earlier), never to a
// pool's free list where they would stay for good: to the system, or to the
// few kept for the next requests, within their bound for the process.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "config/kvr_config.h"
#include "screen/kvr_post_scan.h"
#include "screen/kvr_stream.h"
#include "test_support.h"
#include "util/kvr_bigbuf.h"

namespace {

// Whether the page that holds p is mapped.
bool mapped(const void *p) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  unsigned char v = 0;
  return mincore(reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(p) & ~(page - 1)), 1, &v) ==
         0;
}

}  // namespace

class BigBufferTest : public PoolTest {};

TEST_F(BigBufferTest, LargeBuffersAreTheSystemsUntilThePoolIsCleared) {
  struct Case {
    size_t size;
    bool system;
  };
  const Case cases[] = {{1, false},
                        {4096, false},
                        {kKvrBigBuffer - 1, false},
                        {kKvrBigBuffer, true},
                        {600 * 1024, true}};
  void *got[sizeof cases / sizeof cases[0]];
  for (size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k) {
    got[k] = kvrBigAlloc(pool, cases[k].size);
    ASSERT_NE(nullptr, got[k]);
    EXPECT_EQ(cases[k].system, kvrBigIsMapped(got[k])) << cases[k].size;
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(got[k]) % 8) << cases[k].size;
    std::memset(got[k], 0x5a, cases[k].size);  // every byte is the caller's
  }
  apr_pool_clear(pool);
  // What is kept stays within its bound, and goes when given back.
  size_t stillMapped = 0;
  for (size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k)
    if (cases[k].system && mapped(got[k])) stillMapped += cases[k].size;
  EXPECT_LE(stillMapped, kKvrBigKeptBytes);
  kvrBigReleaseKept();
  for (size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k)
    if (cases[k].system) {
      EXPECT_FALSE(mapped(got[k])) << cases[k].size;
      EXPECT_FALSE(mapped(static_cast<char *>(got[k]) + cases[k].size - 1)) << cases[k].size;
    }
}

TEST_F(BigBufferTest, KeptMappingsServeTheNextRequestsWithinTheirBound) {
  kvrBigReleaseKept();
  // One given back serves the next of its size or less.
  char *a = static_cast<char *>(kvrBigAlloc(pool, 300000));
  kvrBigFree(pool, a);
  EXPECT_EQ(a, kvrBigAlloc(pool, 200000));
  apr_pool_clear(pool);
  // More than the bound: the rest is unmapped.
  char *many[kKvrBigKeptCount + 2];
  for (char *&m : many) m = static_cast<char *>(kvrBigAlloc(pool, 100000));
  apr_pool_clear(pool);
  int kept = 0;
  for (char *m : many) kept += mapped(m);
  EXPECT_EQ(kKvrBigKeptCount, kept);
  EXPECT_LE(kvrBigReleaseKept(), kKvrBigKeptBytes);
  for (char *m : many) EXPECT_FALSE(mapped(m));
}

TEST_F(BigBufferTest, FreedEarlyIsGivenBackOnce) {
  char *p = static_cast<char *>(kvrBigAlloc(pool, 100000));
  p[99999] = 1;
  kvrBigFree(pool, p);
  kvrBigReleaseKept();
  EXPECT_FALSE(mapped(p));
  // A mapping that takes its place afterwards is not the pool's to end.
  const size_t len = 200000;
  void *other = mmap(p - 64, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, other);
  apr_pool_clear(pool);
  EXPECT_TRUE(mapped(other));
  munmap(other, len);
  // Null, and buffers of the pool's, are nothing to give back.
  kvrBigFree(pool, nullptr);
  char *small = static_cast<char *>(kvrBigAlloc(pool, 100));
  kvrBigFree(pool, small);
  std::memset(small, 1, 100);
}

TEST_F(BigBufferTest, WorkPoolKeepsOnlyItsSmallBlocks) {
  apr_pool_t *work = nullptr;
  ASSERT_EQ(APR_SUCCESS, kvrWorkPoolCreate(&work, pool));
  EXPECT_NE(apr_pool_allocator_get(pool), apr_pool_allocator_get(work));
  char *large = static_cast<char *>(apr_palloc(work, 1 << 20));
  std::memset(large, 1, 1 << 20);
  apr_pool_clear(work);
  EXPECT_FALSE(mapped(large + (1 << 19)));
  // Small blocks stay for the next check; everything goes with the parent.
  char *small = static_cast<char *>(apr_palloc(work, 100));
  apr_pool_clear(work);
  EXPECT_EQ(small, apr_palloc(work, 100));
  apr_pool_clear(pool);
}

TEST_F(BigBufferTest, StreamBuffersGoWithTheRequest) {
  kvrTestLoadGetTables({"qz"}, {"zq"});
  nVazidezChkGetKeyWord = nVazidezBlockGetKeyWord = 1;
  nVazidezChkPostKeyWord = nVazidezBlockPostKeyWord = 1;
  const std::string text(kKvrSegmentMax, 'x');
  KvrGetStream g;
  ASSERT_TRUE(kvrGetStreamInit(&g, pool, false, true));
  for (size_t at = 0; at < text.size(); at += 8000)
    kvrGetStreamAdd(&g, text.data() + at, std::min<size_t>(8000, text.size() - at));
  KvrEvent ev;
  EXPECT_EQ(0, kvrGetStreamEnd(&g, true, &ev));
  KvrPostStream p;
  ASSERT_TRUE(kvrPostStreamInit(&p, pool, true));
  for (size_t at = 0; at < text.size(); at += 8000)
    kvrPostStreamAdd(&p, text.data() + at, std::min<size_t>(8000, text.size() - at));
  KvrEvent evs[8];
  int num = 0;
  EXPECT_EQ(1, kvrPostStreamEnd(&p, true, evs, &num));
  const void *bufs[] = {g.seg.buf, g.scratch.data, p.seg.buf};
  for (const void *b : bufs) EXPECT_TRUE(kvrBigIsMapped(b) && mapped(b));
  apr_pool_clear(pool);
  kvrBigReleaseKept();
  for (const void *b : bufs) EXPECT_FALSE(mapped(b));
}
