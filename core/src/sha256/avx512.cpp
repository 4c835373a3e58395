// The AVX-512 SHA-256 road: sixteen lanes in zmm registers, and eight in ymm
// (AVX-512VL) for the remainders, with one-instruction rotates and
// three-input logic.
#include "cpu/kernel_align.h"
#include "cpu/targets.h"
#include "sha256/internal/kernels.h"
#include "sha256/internal/ymm.h"

#ifdef ZORVA_X86

namespace zorva::sha256 {
namespace {

// Sixteen lanes in zmm registers, one word of each lane per register. Zen 4
// issues a 512-bit operation as two 256-bit halves, yet the ~1,600 vector
// operations of sixteen compressions still cost a fraction of the sixteen
// serial sha256rnds2 chains they replace.
namespace x16 {
#define ZORVA_LANES_TARGET ZORVA_TARGET_AVX512
using Vec = __m512i;
constexpr std::size_t kLanes = kZmmLanes;

ZORVA_LANES_TARGET inline Vec add(Vec x, Vec y) { return _mm512_add_epi32(x, y); }
template <int n>
ZORVA_LANES_TARGET inline Vec ror(Vec x) {
  return _mm512_ror_epi32(x, n);
}
template <int n>
ZORVA_LANES_TARGET inline Vec shr(Vec x) {
  return _mm512_srli_epi32(x, n);
}
ZORVA_LANES_TARGET inline Vec xor3(Vec x, Vec y, Vec z) { return _mm512_ternarylogic_epi32(x, y, z, 0x96); }
ZORVA_LANES_TARGET inline Vec ch(Vec x, Vec y, Vec z) { return _mm512_ternarylogic_epi32(x, y, z, 0xCA); }
ZORVA_LANES_TARGET inline Vec maj(Vec x, Vec y, Vec z) { return _mm512_ternarylogic_epi32(x, y, z, 0xE8); }
ZORVA_LANES_TARGET inline Vec set1(std::uint32_t x) { return _mm512_set1_epi32(static_cast<int>(x)); }

// Row i becomes column i of a 16x16 matrix of words. Within each 128-bit
// quarter, unpacks transpose 4x4 tiles; then two rounds of quarter shuffles
// move tile (row group g, column group q) to (q, g).
ZORVA_LANES_TARGET inline void transpose(Vec r[16]) {
  Vec c[16];
#pragma GCC unroll 4
  for (int g = 0; g < 16; g += 4) {
    Vec t0 = _mm512_unpacklo_epi32(r[g], r[g + 1]), t1 = _mm512_unpackhi_epi32(r[g], r[g + 1]);
    Vec t2 = _mm512_unpacklo_epi32(r[g + 2], r[g + 3]), t3 = _mm512_unpackhi_epi32(r[g + 2], r[g + 3]);
    c[g] = _mm512_unpacklo_epi64(t0, t2);
    c[g + 1] = _mm512_unpackhi_epi64(t0, t2);
    c[g + 2] = _mm512_unpacklo_epi64(t1, t3);
    c[g + 3] = _mm512_unpackhi_epi64(t1, t3);
  }
  // c[g + p], quarter q: column 4q + p of rows g..g+3.
#pragma GCC unroll 4
  for (int p = 0; p < 4; ++p) {
    Vec x0 = _mm512_shuffle_i32x4(c[p], c[4 + p], 0x44), x1 = _mm512_shuffle_i32x4(c[p], c[4 + p], 0xEE);
    Vec y0 = _mm512_shuffle_i32x4(c[8 + p], c[12 + p], 0x44), y1 = _mm512_shuffle_i32x4(c[8 + p], c[12 + p], 0xEE);
    r[p] = _mm512_shuffle_i32x4(x0, y0, 0x88);
    r[4 + p] = _mm512_shuffle_i32x4(x0, y0, 0xDD);
    r[8 + p] = _mm512_shuffle_i32x4(x1, y1, 0x88);
    r[12 + p] = _mm512_shuffle_i32x4(x1, y1, 0xDD);
  }
}

// A state is half a row; the upper halves are zero and their columns unused.
ZORVA_LANES_TARGET inline void loadStates(const State* states, Vec s[8]) {
  Vec r[16];
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i)
    r[i] = _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(states[i].h)));
  transpose(r);
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) s[i] = r[i];
}

ZORVA_LANES_TARGET inline void storeStates(const Vec s[8], State* states) {
  Vec r[16];
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) r[i] = i < 8 ? s[i] : _mm512_setzero_si512();
  transpose(r);
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(states[i].h), _mm512_castsi512_si256(r[i]));
}

ZORVA_LANES_TARGET inline void loadBlocks(const std::uint8_t* const* blocks, Vec w[16]) {
  const Vec byteSwap = _mm512_broadcast_i32x4(_mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL));
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) w[i] = _mm512_shuffle_epi8(_mm512_loadu_si512(blocks[i]), byteSwap);
  transpose(w);
}

// Each lane's state as its 32-byte big-endian tag.
ZORVA_LANES_TARGET inline void storeTags(const Vec s[8], std::uint8_t* const* tags) {
  const Vec byteSwap = _mm512_broadcast_i32x4(_mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL));
  Vec r[16];
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) r[i] = i < 8 ? s[i] : _mm512_setzero_si512();
  transpose(r);
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(tags[i]),
                        _mm512_castsi512_si256(_mm512_shuffle_epi8(r[i], byteSwap)));
}

// Words across lanes load as they lie, one row per word; lanes past count
// are masked off, so a short group reads nothing beyond its own words.
ZORVA_LANES_TARGET inline void loadWords(const std::uint32_t* words, std::size_t stride, std::size_t count, Vec w[16]) {
  const auto lanes = static_cast<__mmask16>(count >= kLanes ? 0xFFFF : (1u << count) - 1);
#pragma GCC unroll 16
  for (int j = 0; j < 16; ++j) w[j] = _mm512_maskz_loadu_epi32(lanes, words + j * stride);
}

// Each lane's h0 << 32 | h1: the unpacks pair them up as quadwords of lanes
// 0,1,4,5,... and 2,3,6,7,..., which one permute each puts back in order.
ZORVA_LANES_TARGET inline void storeHeads(Vec h0, Vec h1, std::uint64_t* heads, std::size_t count) {
  const Vec low = _mm512_unpacklo_epi32(h1, h0), high = _mm512_unpackhi_epi32(h1, h0);
  const Vec first = _mm512_permutex2var_epi64(low, _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0), high);
  const Vec second = _mm512_permutex2var_epi64(low, _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4), high);
  const unsigned lanes = count >= kLanes ? 0xFFFF : (1u << count) - 1;
  _mm512_mask_storeu_epi64(heads, static_cast<__mmask8>(lanes), first);
  _mm512_mask_storeu_epi64(heads + 8, static_cast<__mmask8>(lanes >> 8), second);
}

#include "sha256/internal/lanes_rounds.inc"
#undef ZORVA_LANES_TARGET
}  // namespace x16

// With AVX-512VL the ymm rounds keep the one-instruction rotates and
// three-input logic.
namespace x8 {
#define ZORVA_LANES_TARGET ZORVA_TARGET_AVX512
using Vec = __m256i;
using y8::loadBlocks, y8::loadStates, y8::storeStates, y8::storeTags, y8::loadWords, y8::storeHeads;
constexpr std::size_t kLanes = kYmmLanes;

ZORVA_LANES_TARGET inline Vec add(Vec x, Vec y) { return _mm256_add_epi32(x, y); }
template <int n>
ZORVA_LANES_TARGET inline Vec ror(Vec x) {
  return _mm256_ror_epi32(x, n);
}
template <int n>
ZORVA_LANES_TARGET inline Vec shr(Vec x) {
  return _mm256_srli_epi32(x, n);
}
ZORVA_LANES_TARGET inline Vec xor3(Vec x, Vec y, Vec z) { return _mm256_ternarylogic_epi32(x, y, z, 0x96); }
ZORVA_LANES_TARGET inline Vec ch(Vec x, Vec y, Vec z) { return _mm256_ternarylogic_epi32(x, y, z, 0xCA); }
ZORVA_LANES_TARGET inline Vec maj(Vec x, Vec y, Vec z) { return _mm256_ternarylogic_epi32(x, y, z, 0xE8); }
ZORVA_LANES_TARGET inline Vec set1(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }

#include "sha256/internal/lanes_rounds.inc"
#undef ZORVA_LANES_TARGET
}  // namespace x8

}  // namespace

void compressAvx512x16(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
  compressGroups<x16::kLanes, x16::compressLanes>(states, blocks, count);
}

void compressAvx512x8(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
  compressGroups<x8::kLanes, x8::compressLanes>(states, blocks, count);
}

void hmacAvx512x16(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                   std::size_t count) noexcept {
  hmacGroups<x16::kLanes, x16::hmacLanes>(inner, outer, blocks, tags, count);
}

void hmacAvx512x8(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                  std::size_t count) noexcept {
  hmacGroups<x8::kLanes, x8::hmacLanes>(inner, outer, blocks, tags, count);
}

void hmacWordsAvx512x16(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                        std::uint64_t* heads, std::size_t count) noexcept {
  hmacWordGroups<x16::kLanes, x16::hmacWordLanes>(inner, outer, words, stride, heads, count);
}

void hmacWordsAvx512x8(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                       std::uint64_t* heads, std::size_t count) noexcept {
  hmacWordGroups<x8::kLanes, x8::hmacWordLanes>(inner, outer, words, stride, heads, count);
}

// Sixteen at a time; a remainder of eight or fewer lanes goes to the ymm kernel.
void compressAvx512(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
  std::size_t whole = count / x16::kLanes * x16::kLanes;
  if (count - whole > x8::kLanes) whole = count;
  compressGroups<x16::kLanes, x16::compressLanes>(states, blocks, whole);
  compressGroups<x8::kLanes, x8::compressLanes>(states + whole, blocks + whole, count - whole);
}

void hmacAvx512(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                std::size_t count) noexcept {
  std::size_t whole = count / x16::kLanes * x16::kLanes;
  if (count - whole > x8::kLanes) whole = count;
  hmacGroups<x16::kLanes, x16::hmacLanes>(inner, outer, blocks, tags, whole);
  hmacGroups<x8::kLanes, x8::hmacLanes>(inner, outer, blocks + whole, tags + whole, count - whole);
}

void hmacWordsAvx512(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                     std::uint64_t* heads, std::size_t count) noexcept {
  std::size_t whole = count / x16::kLanes * x16::kLanes;
  if (count - whole > x8::kLanes) whole = count;
  hmacWordGroups<x16::kLanes, x16::hmacWordLanes>(inner, outer, words, stride, heads, whole);
  hmacWordGroups<x8::kLanes, x8::hmacWordLanes>(inner, outer, words + whole, stride, heads + whole, count - whole);
}

}  // namespace zorva::sha256

#endif  // ZORVA_X86
