// The AVX2 SHA-256 road: eight lanes in ymm registers, each rotate spelled
// as two shifts and an or.
#include "cpu/kernel_align.h"
#include "cpu/targets.h"
#include "sha256/internal/kernels.h"
#include "sha256/internal/ymm.h"

#ifdef ZORVA_X86

namespace zorva::sha256 {
namespace {

// Plain AVX2 spells each rotate as two shifts and an or, and each logic
// function as two or three instructions.
namespace a8 {
#define ZORVA_LANES_TARGET ZORVA_TARGET_AVX2
using Vec = __m256i;
using y8::loadBlocks, y8::loadStates, y8::storeStates, y8::storeTags, y8::loadWords, y8::storeHeads;
constexpr std::size_t kLanes = kYmmLanes;

ZORVA_LANES_TARGET inline Vec add(Vec x, Vec y) { return _mm256_add_epi32(x, y); }
template <int n>
ZORVA_LANES_TARGET inline Vec ror(Vec x) {
  return _mm256_or_si256(_mm256_srli_epi32(x, n), _mm256_slli_epi32(x, 32 - n));
}
template <int n>
ZORVA_LANES_TARGET inline Vec shr(Vec x) {
  return _mm256_srli_epi32(x, n);
}
ZORVA_LANES_TARGET inline Vec xor3(Vec x, Vec y, Vec z) { return _mm256_xor_si256(_mm256_xor_si256(x, y), z); }
ZORVA_LANES_TARGET inline Vec ch(Vec x, Vec y, Vec z) {
  return _mm256_xor_si256(z, _mm256_and_si256(x, _mm256_xor_si256(y, z)));
}
ZORVA_LANES_TARGET inline Vec maj(Vec x, Vec y, Vec z) {
  return _mm256_or_si256(_mm256_and_si256(x, y), _mm256_and_si256(z, _mm256_or_si256(x, y)));
}
ZORVA_LANES_TARGET inline Vec set1(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }

#include "sha256/internal/lanes_rounds.inc"
#undef ZORVA_LANES_TARGET
}  // namespace a8

}  // namespace

void compressAvx2(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
  compressGroups<a8::kLanes, a8::compressLanes>(states, blocks, count);
}

void hmacAvx2(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
              std::size_t count) noexcept {
  hmacGroups<a8::kLanes, a8::hmacLanes>(inner, outer, blocks, tags, count);
}

void hmacWordsAvx2(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                   std::uint64_t* heads, std::size_t count) noexcept {
  hmacWordGroups<a8::kLanes, a8::hmacWordLanes>(inner, outer, words, stride, heads, count);
}

}  // namespace zorva::sha256

#endif  // ZORVA_X86
