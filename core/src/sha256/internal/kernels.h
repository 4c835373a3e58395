// Internal to the SHA-256 lane files: what every road shares (the round
// constants, and how a kernel of fixed width takes a batch of any size), and
// each road's entry points, which the road choice (sha256/road.cpp) calls.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "sha256/lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#define ZORVA_X86 1
// GCC 12's AVX-512 headers build their "undefined" vectors by self-assignment,
// which -W(maybe-)uninitialized reports at the header's lines once inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

namespace zorva::sha256 {

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// The portable road (sha256/portable.cpp): the reference, one block at a time.
void compressPortable(State& state, const std::uint8_t* block) noexcept;
void hmacPortable(const State& inner, const State& outer, const std::uint8_t* block, std::uint8_t* tag) noexcept;

#ifdef ZORVA_X86

// The SHA instructions (sha256/sha_ni.cpp), two lanes at a time or four.
void compressShaNiBatch(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept;
void hmacShaNiBatch(const State& inner, const State& outer, const std::uint8_t* const* blocks,
                    std::uint8_t* const* tags, std::size_t count) noexcept;
void compressShaNiQuadBatch(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept;
void hmacShaNiQuadBatch(const State& inner, const State& outer, const std::uint8_t* const* blocks,
                        std::uint8_t* const* tags, std::size_t count) noexcept;
// And the HMACs from words across lanes (see hmacOneBlockWords).
void hmacWordsShaNiBatch(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                         std::uint64_t* heads, std::size_t count) noexcept;
void hmacWordsShaNiQuadBatch(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                             std::uint64_t* heads, std::size_t count) noexcept;

// Lanes per call of the vector kernels: sixteen in zmm registers, eight in ymm.
inline constexpr std::size_t kZmmLanes = 16;
inline constexpr std::size_t kYmmLanes = 8;

// AVX-512 (sha256/avx512.cpp): sixteen lanes in zmm registers, eight in ymm
// (AVX-512VL), and the road itself, sixteens with an eight-lane remainder.
void compressAvx512x16(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept;
void compressAvx512x8(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept;
void compressAvx512(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept;
void hmacAvx512x16(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                   std::size_t count) noexcept;
void hmacAvx512x8(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                  std::size_t count) noexcept;
void hmacAvx512(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                std::size_t count) noexcept;
// And the HMACs from words across lanes (see hmacOneBlockWords).
void hmacWordsAvx512x16(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                        std::uint64_t* heads, std::size_t count) noexcept;
void hmacWordsAvx512x8(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                       std::uint64_t* heads, std::size_t count) noexcept;
void hmacWordsAvx512(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                     std::uint64_t* heads, std::size_t count) noexcept;

// AVX2 (sha256/avx2.cpp): eight lanes in ymm registers.
void compressAvx2(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept;
void hmacAvx2(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
              std::size_t count) noexcept;
void hmacWordsAvx2(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                   std::uint64_t* heads, std::size_t count) noexcept;

#endif  // ZORVA_X86

// Whole groups of kLanes, then the rest padded out with copies of lane 0 in
// scratch, whose results are dropped.
template <std::size_t kLanes, void (*kernel)(State*, const std::uint8_t* const*) noexcept>
void compressGroups(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) kernel(states + i, blocks + i);
  if (i == count) return;
  State scratch[kLanes];
  const std::uint8_t* padded[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) {
    scratch[l] = states[i + (i + l < count ? l : 0)];
    padded[l] = blocks[i + (i + l < count ? l : 0)];
  }
  kernel(scratch, padded);
  std::copy(scratch, scratch + (count - i), states + i);
}

// The same for one-block HMACs: padding lanes hash lane 0's block again and
// write their tags to scratch.
template <std::size_t kLanes,
          void (*kernel)(const State&, const State&, const std::uint8_t* const*, std::uint8_t* const*) noexcept>
void hmacGroups(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) kernel(inner, outer, blocks + i, tags + i);
  if (i == count) return;
  std::uint8_t scratch[kLanes][32];
  const std::uint8_t* padded[kLanes];
  std::uint8_t* paddedTags[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) {
    padded[l] = blocks[i + (i + l < count ? l : 0)];
    paddedTags[l] = i + l < count ? tags[i + l] : scratch[l];
  }
  kernel(inner, outer, padded, paddedTags);
}

// And for HMACs from words across lanes: the kernels mask their loads and
// stores to the lanes that exist, so a last group short of kLanes needs no
// padding copies, only its count.
template <std::size_t kLanes, void (*kernel)(const State&, const State&, const std::uint32_t*, std::size_t,
                                             std::uint64_t*, std::size_t) noexcept>
void hmacWordGroups(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                    std::uint64_t* heads, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; i += kLanes)
    kernel(inner, outer, words + i, stride, heads + i, std::min(kLanes, count - i));
}

}  // namespace zorva::sha256
