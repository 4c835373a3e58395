// Each fast road's compile target beside the runtime check that guards it.
//
// A function compiled for a target may use every instruction the target
// names, so it runs only where its check has said yes: a target wider than
// its check is an illegal instruction on some CPU. The two are therefore
// written here once, side by side, and nothing else in the core spells a
// target or tests a feature; scripts/check_layout.py holds every other file
// to that. A road takes the pair's macro for its functions and asks the
// pair's has*() before it calls them.
#pragma once

#include "cpu/features.h"

#if defined(__x86_64__)
// AES-NI: FF1's key schedule, CBC-MAC and 128-bit lanes.
#define ZORVA_TARGET_AES __attribute__((target("aes,sse2")))
// VAES on AVX-512 (F, DQ, BW, VL): FF1's vector road.
#define ZORVA_TARGET_VAES __attribute__((target("aes,vaes,avx512f,avx512dq,avx512bw,avx512vl")))
// The same with AVX-512 IFMA's 52-bit multiply-add: FF1's wide vector road.
#define ZORVA_TARGET_VAES_IFMA __attribute__((target("aes,vaes,avx512f,avx512dq,avx512bw,avx512vl,avx512ifma")))
// The SHA-256 round instructions with the SSSE3 and SSE4.1 shuffles and
// blends their kernels also use: the shaNi and shaNiQuad roads.
#define ZORVA_TARGET_SHA_NI __attribute__((target("sha,sse4.1,ssse3")))
// SSSE3's byte shuffle alone: the keyed hash's state stores on the SHA-NI roads.
#define ZORVA_TARGET_SSSE3 __attribute__((target("ssse3")))
// Eight SHA-256 lanes in ymm registers: the avx2 road.
#define ZORVA_TARGET_AVX2 __attribute__((target("avx2")))
// Sixteen (or eight) SHA-256 lanes with AVX-512's rotates and three-input
// logic: the avx512 road.
#define ZORVA_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))
// The byte road: AVX-512's byte permutes (VBMI), byte compress and expand
// (VBMI2), with BMI2's bzhi and popcnt for the masks.
#define ZORVA_TARGET_BYTES __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi2,popcnt")))
#endif

namespace zorva::cpu {

inline bool hasAes() noexcept { return cpuFeatures().aes; }

inline bool hasVaes() noexcept {
  const CpuFeatures& f = cpuFeatures();
  return f.vaes && f.avx512f && f.avx512dq && f.avx512bw && f.avx512vl;
}

inline bool hasVaesIfma() noexcept { return hasVaes() && cpuFeatures().avx512ifma; }

inline bool hasShaNi() noexcept {
  const CpuFeatures& f = cpuFeatures();
  return f.shaNi && f.ssse3 && f.sse41;
}

inline bool hasSsse3() noexcept { return cpuFeatures().ssse3; }

inline bool hasAvx2() noexcept { return cpuFeatures().avx2; }

inline bool hasAvx512() noexcept {
  const CpuFeatures& f = cpuFeatures();
  return f.avx512f && f.avx512bw && f.avx512vl;
}

inline bool hasBytes() noexcept {
  const CpuFeatures& f = cpuFeatures();
  return f.avx512f && f.avx512bw && f.avx512vl && f.avx512vbmi && f.avx512vbmi2 && f.bmi2 && f.popcnt;
}

}  // namespace zorva::cpu
