// What this CPU offers the SHA-256 roads: the one place that asks the
// processor, read once per process by the road choice.
#include "sha256_cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zorva::sha256 {

CpuRoads detectCpuRoads() noexcept {
  CpuRoads cpu;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  cpu.avx2 = __builtin_cpu_supports("avx2");
  cpu.avx512 =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
  // Read from CPUID itself: not every compiler's __builtin_cpu_supports knows
  // the SHA extensions (clang's, which builds the fuzzers, does not).
  unsigned a, b, c, d;
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    const bool ssse3 = (c >> 9) & 1, sse41 = (c >> 19) & 1;
    if (__get_cpuid_max(0, nullptr) >= 7) {
      __cpuid_count(7, 0, a, b, c, d);
      cpu.shaNi = ssse3 && sse41 && ((b >> 29) & 1);
    }
  }
#endif
  return cpu;
}

}  // namespace zorva::sha256
