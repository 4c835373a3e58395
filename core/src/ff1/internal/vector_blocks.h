// Internal to the ff1 vector roads: the AES-256 rounds over 512-bit block
// registers (VAES) that the narrow and the wide vector rounds share, inlined
// into each road's kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>

#include "cpu/targets.h"

// GCC 12's AVX-512 header builds the unmasked forms of broadcasts and
// unpacks on a deliberately undefined operand, which its own
// uninitialized-value warning then reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace zorva {

// The vector rounds' round keys, one per register lane, and each lane's
// constant block xor k0: lanes 0, 2, 4, 6 of a set in block register 0,
// 1, 3, 5, 7 in register 1 (8-15 likewise in 2 and 3).
template <std::size_t kBlocks>
ZORVA_TARGET_VAES __attribute__((always_inline)) inline void layVectorBlocks(const std::uint8_t* roundKeys,
                                                                             const std::uint8_t (*bases)[16],
                                                                             __m512i* k, __m512i* base) {
  for (int i = 0; i < 15; ++i)
    k[i] = _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * i)));
  for (std::size_t z = 0; z < kBlocks; ++z) {
    alignas(64) std::uint8_t laid[4][16];
    for (std::size_t j = 0; j < 4; ++j) std::memcpy(laid[j], bases[(z / 2) * 8 + 2 * j + (z & 1)], 16);
    base[z] = _mm512_xor_si512(_mm512_load_si512(laid), k[0]);
  }
}

// AES-256's thirteen middle rounds and the last over the block registers,
// all in flight (k0 is already in them).
template <std::size_t kBlocks>
ZORVA_TARGET_VAES __attribute__((always_inline)) inline void encryptVectorBlocks(const __m512i* k, __m512i* s) {
#pragma GCC unroll 13
  for (int i = 1; i < 14; ++i) {
#pragma GCC unroll 8
    for (std::size_t z = 0; z < kBlocks; ++z) s[z] = _mm512_aesenc_epi128(s[z], k[i]);
  }
#pragma GCC unroll 8
  for (std::size_t z = 0; z < kBlocks; ++z) s[z] = _mm512_aesenclast_epi128(s[z], k[14]);
}

}  // namespace zorva

#pragma GCC diagnostic pop
#endif
