// CPU feature detection: CPUID and the compiler's view of it, read once.
#include "cpu/features.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace zorva {

CpuFeatures detectCpuFeatures() noexcept {
  CpuFeatures f;
#if defined(__x86_64__)
  __builtin_cpu_init();
  // The compiler's checks of the vector extensions include the OS's saving
  // of their registers.
  f.aes = __builtin_cpu_supports("aes");
  f.avx2 = __builtin_cpu_supports("avx2");
  f.avx512f = __builtin_cpu_supports("avx512f");
  f.avx512dq = __builtin_cpu_supports("avx512dq");
  f.avx512bw = __builtin_cpu_supports("avx512bw");
  f.avx512vl = __builtin_cpu_supports("avx512vl");
  f.avx512ifma = __builtin_cpu_supports("avx512ifma");
  f.avx512vbmi = __builtin_cpu_supports("avx512vbmi");
  f.avx512vbmi2 = __builtin_cpu_supports("avx512vbmi2");
  f.bmi2 = __builtin_cpu_supports("bmi2");
  f.popcnt = __builtin_cpu_supports("popcnt");
  f.ssse3 = __builtin_cpu_supports("ssse3");
  f.sse41 = __builtin_cpu_supports("sse4.1");
  // VAES (leaf 7, ECX bit 9) and SHA (leaf 7, EBX bit 29) from CPUID
  // itself: not every compiler's __builtin_cpu_supports knows them. VAES
  // works on the AVX registers, so it counts only where the OS saves those.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    f.vaes = (ecx & (1u << 9)) != 0 && __builtin_cpu_supports("avx");
    f.shaNi = (ebx & (1u << 29)) != 0;
  }
#endif
  return f;
}

}  // namespace zorva
