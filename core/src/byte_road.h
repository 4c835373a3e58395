// The byte road: AVX-512's byte permutes (VBMI) and byte compress and expand
// (VBMI2), which map, gather and scatter the characters of a short text a
// register (64 bytes) at a time where plain loops take several instructions
// per character. Maskers that have such loops take a ByteRoad: automatic uses
// these instructions where the CPU has them, portable the plain loops
// everywhere. Both give the same bytes; tests hold the one to the other.
#pragma once

#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zorva {

enum class ByteRoad { automatic, portable };

// The longest text the byte road takes in one register.
inline constexpr std::size_t kByteRoadText = 64;

#if defined(__x86_64__)
#define ZORVA_BYTES_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi2,popcnt")))

inline bool cpuHasByteRoad() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  }();
  return has;
}

// The first n (at most 64) bytes of a register.
ZORVA_BYTES_TARGET inline __mmask64 firstBytes(std::size_t n) noexcept {
  return _bzhi_u64(~0ULL, static_cast<unsigned>(n));
}
#else
inline bool cpuHasByteRoad() noexcept { return false; }
#endif

inline bool takesByteRoad(ByteRoad road) noexcept { return road == ByteRoad::automatic && cpuHasByteRoad(); }

}  // namespace zorva
