#include "util/kvr_cpu.h"

#include <atomic>

namespace {

KvrSimdLevel detect() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  // The compiler's run-time checks also ask the system whether it saves the
  // wider registers.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi2"))
    return kKvrSimdAvx512;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2")) return kKvrSimdAvx2;
#endif
  return kKvrSimdScalar;
}

std::atomic<int> gLevel{-1};

}  // namespace

KvrSimdLevel kvrSimdLevelOffered() {
  static const KvrSimdLevel offered = detect();
  return offered;
}

KvrSimdLevel kvrSimdLevel() {
  int level = gLevel.load(std::memory_order_relaxed);
  if (level < 0) {
    level = kvrSimdLevelOffered();
    gLevel.store(level, std::memory_order_relaxed);
  }
  return static_cast<KvrSimdLevel>(level);
}

KvrSimdLevel kvrForceSimdLevel(KvrSimdLevel level) {
  const KvrSimdLevel before = kvrSimdLevel();
  gLevel.store(level < kvrSimdLevelOffered() ? level : kvrSimdLevelOffered(),
               std::memory_order_relaxed);
  return before;
}
