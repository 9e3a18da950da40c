#include "util/kvr_cpu.h"

#include <atomic>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

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

namespace {

bool fastBitExtract() {
  static const bool fast = [] {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0, &a, &b, &c, &d)) return false;
    // "AuthenticAMD" and "HygonGenuine": families before 0x19 microcode it.
    const bool amd = (b == 0x68747541 && d == 0x69746e65 && c == 0x444d4163) ||
                     (b == 0x6f677948 && d == 0x6e65476e && c == 0x656e6975);
    if (!amd) return true;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    unsigned family = (a >> 8) & 0xF;
    if (family == 0xF) family += (a >> 20) & 0xFF;
    return family >= 0x19;
#else
    return false;
#endif
  }();
  return fast;
}

std::atomic<int> gExtract{-1};

}  // namespace

bool kvrUseBitExtract() {
  int use = gExtract.load(std::memory_order_relaxed);
  if (use < 0) {
    use = fastBitExtract() ? 1 : 0;
    gExtract.store(use, std::memory_order_relaxed);
  }
  return use != 0;
}

bool kvrForceBitExtract(bool use) {
  const bool before = kvrUseBitExtract();
  gExtract.store(use && fastBitExtract() ? 1 : 0, std::memory_order_relaxed);
  return before;
}
