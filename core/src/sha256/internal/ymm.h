// Internal to the eight-lane kernels (AVX2 and AVX-512VL): eight states,
// blocks and tags moved between memory and ymm registers, transposed so that
// each register holds one word of every lane, and words across lanes and
// tag heads, which need no transposing.
#pragma once

#include "cpu/targets.h"
#include "sha256/internal/kernels.h"

#ifdef ZORVA_X86

namespace zorva::sha256 {

// Internal linkage on purpose: each kernel's file keeps its own copies, so
// they are compiled into that kernel (for its target) rather than shared.
namespace {

// Eight lanes in ymm registers: the same rounds at half the width, so a batch
// of eight pays for eight lanes rather than sixteen. Loading and storing is
// plain AVX2 shared by both eight-lane kernels.
namespace y8 {
#define ZORVA_LANES_TARGET ZORVA_TARGET_AVX2
using Vec = __m256i;

// Row i becomes column i of an 8x8 matrix of words: 4x4 tiles transposed
// within each 128-bit half, then the off-diagonal tiles swapped.
ZORVA_LANES_TARGET inline void transpose(Vec r[8]) {
  Vec c[8];
#pragma GCC unroll 2
  for (int g = 0; g < 8; g += 4) {
    Vec t0 = _mm256_unpacklo_epi32(r[g], r[g + 1]), t1 = _mm256_unpackhi_epi32(r[g], r[g + 1]);
    Vec t2 = _mm256_unpacklo_epi32(r[g + 2], r[g + 3]), t3 = _mm256_unpackhi_epi32(r[g + 2], r[g + 3]);
    c[g] = _mm256_unpacklo_epi64(t0, t2);
    c[g + 1] = _mm256_unpackhi_epi64(t0, t2);
    c[g + 2] = _mm256_unpacklo_epi64(t1, t3);
    c[g + 3] = _mm256_unpackhi_epi64(t1, t3);
  }
#pragma GCC unroll 4
  for (int p = 0; p < 4; ++p) {
    r[p] = _mm256_permute2x128_si256(c[p], c[4 + p], 0x20);
    r[4 + p] = _mm256_permute2x128_si256(c[p], c[4 + p], 0x31);
  }
}

ZORVA_LANES_TARGET inline void loadStates(const State* states, Vec s[8]) {
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) s[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(states[i].h));
  transpose(s);
}

ZORVA_LANES_TARGET inline void storeStates(const Vec s[8], State* states) {
  Vec r[8];
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) r[i] = s[i];
  transpose(r);
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) _mm256_storeu_si256(reinterpret_cast<__m256i*>(states[i].h), r[i]);
}

ZORVA_LANES_TARGET inline void loadBlocks(const std::uint8_t* const* blocks, Vec w[16]) {
  const Vec byteSwap = _mm256_broadcastsi128_si256(_mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL));
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    w[i] = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks[i])), byteSwap);
    w[8 + i] = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks[i] + 32)), byteSwap);
  }
  transpose(w);
  transpose(w + 8);
}

ZORVA_LANES_TARGET inline void storeTags(const Vec s[8], std::uint8_t* const* tags) {
  const Vec byteSwap = _mm256_broadcastsi128_si256(_mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL));
  Vec r[8];
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) r[i] = s[i];
  transpose(r);
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(tags[i]), _mm256_shuffle_epi8(r[i], byteSwap));
}

// Words across lanes load as they lie, one row per word, masked to the lanes
// that exist so a short group reads nothing beyond its own words.
ZORVA_LANES_TARGET inline void loadWords(const std::uint32_t* words, std::size_t stride, std::size_t count, Vec w[16]) {
  const Vec lanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count < 8 ? count : 8)),
                                       _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
#pragma GCC unroll 16
  for (int j = 0; j < 16; ++j) w[j] = _mm256_maskload_epi32(reinterpret_cast<const int*>(words + j * stride), lanes);
}

// Each lane's h0 << 32 | h1: the unpacks pair them up as quadwords of lanes
// 0,1,4,5 and 2,3,6,7, which two half swaps put back in order. Whole groups
// store plainly: a masked store costs many times a plain one on some cores.
ZORVA_LANES_TARGET inline void storeHeads(Vec h0, Vec h1, std::uint64_t* heads, std::size_t count) {
  const Vec low = _mm256_unpacklo_epi32(h1, h0), high = _mm256_unpackhi_epi32(h1, h0);
  const Vec first = _mm256_permute2x128_si256(low, high, 0x20), second = _mm256_permute2x128_si256(low, high, 0x31);
  auto* out = reinterpret_cast<long long*>(heads);
  if (count >= 8) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), first);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4), second);
    return;
  }
  const Vec n = _mm256_set1_epi64x(static_cast<long long>(count));
  _mm256_maskstore_epi64(out, _mm256_cmpgt_epi64(n, _mm256_setr_epi64x(0, 1, 2, 3)), first);
  _mm256_maskstore_epi64(out + 4, _mm256_cmpgt_epi64(n, _mm256_setr_epi64x(4, 5, 6, 7)), second);
}
#undef ZORVA_LANES_TARGET
}  // namespace y8

}  // namespace
}  // namespace zorva::sha256

#endif  // ZORVA_X86
