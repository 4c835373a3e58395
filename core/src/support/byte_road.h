// The byte road: AVX-512's byte permutes (VBMI) and byte compress and expand
// (VBMI2), which map, gather and scatter the characters of a short text a
// register (64 bytes) at a time where plain loops take several instructions
// per character. Maskers that have such loops take a ByteRoad: automatic uses
// these instructions where the CPU has them, portable the plain loops
// everywhere. Both give the same bytes; tests hold the one to the other.
#pragma once

#include <cstddef>
#include <string_view>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu/targets.h"

namespace zorva {

enum class ByteRoad { automatic, portable };

// The longest text the byte road takes in one register.
inline constexpr std::size_t kByteRoadText = 64;

#if defined(__x86_64__)
// GCC 12's AVX-512 headers build some intrinsics (byte permutes, quarter
// extracts) on a deliberately undefined operand, which its own
// uninitialized-value warning then reports at every use: the byte road's
// code sits between these two.
#ifdef __clang__
#define ZORVA_BYTE_ROAD_BEGIN _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")
#else
#define ZORVA_BYTE_ROAD_BEGIN                                                          \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wuninitialized\"") \
      _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#endif
#define ZORVA_BYTE_ROAD_END _Pragma("GCC diagnostic pop")

inline bool cpuHasByteRoad() noexcept {
  static const bool has = cpu::hasBytes();
  return has;
}

// The first n (at most 64) bytes of a register.
ZORVA_TARGET_BYTES inline __mmask64 firstBytes(std::size_t n) noexcept {
  return _bzhi_u64(~0ULL, static_cast<unsigned>(n));
}

// A text of at most 64 bytes in a register, zeros past it, read with the
// narrowest masked load that holds it. On the AMD Zen 5 this was measured
// on, a masked load still fetches the cache lines of the bytes it leaves
// out: 64 bytes loaded from a short text's address reached into a line of
// memory that nothing else wanted, and nine tenths of the gathering's time
// went to waiting for it. Phone numbers and the like fit 16 or 32 bytes.
ZORVA_TARGET_BYTES inline __m512i loadText(std::string_view text) noexcept {
  const std::size_t n = text.size();
  if (n <= 16) return _mm512_zextsi128_si512(_mm_maskz_loadu_epi8(static_cast<__mmask16>(firstBytes(n)), text.data()));
  if (n <= 32)
    return _mm512_zextsi256_si512(_mm256_maskz_loadu_epi8(static_cast<__mmask32>(firstBytes(n)), text.data()));
  return _mm512_maskz_loadu_epi8(firstBytes(n), text.data());
}
#else
inline bool cpuHasByteRoad() noexcept { return false; }
#endif

inline bool takesByteRoad(ByteRoad road) noexcept { return road == ByteRoad::automatic && cpuHasByteRoad(); }

}  // namespace zorva
