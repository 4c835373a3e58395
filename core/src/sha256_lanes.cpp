// SHA-256 compressions of independent states side by side: the portable road, SHA-NI pairs, AVX2 and AVX-512 lanes.
#include "sha256_lanes.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "kernel_align.h"

#if defined(__x86_64__) || defined(__i386__)
#define ZORVA_X86 1
// GCC 12's AVX-512 headers build their "undefined" vectors by self-assignment,
// which -W(maybe-)uninitialized reports at the header's lines once inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <cpuid.h>
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

namespace zorva::sha256 {
namespace {

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compressPortable(State& state, const std::uint8_t* block) noexcept {
  std::uint32_t w[64];
  for (int t = 0; t < 16; ++t) {
    const std::uint8_t* p = block + 4 * t;
    w[t] = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
  }
  for (int t = 16; t < 64; ++t) {
    std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  std::uint32_t a = state.h[0], b = state.h[1], c = state.h[2], d = state.h[3];
  std::uint32_t e = state.h[4], f = state.h[5], g = state.h[6], h = state.h[7];
  for (int t = 0; t < 64; ++t) {
    std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[t] + w[t];
    std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state.h[0] += a;
  state.h[1] += b;
  state.h[2] += c;
  state.h[3] += d;
  state.h[4] += e;
  state.h[5] += f;
  state.h[6] += g;
  state.h[7] += h;
}

void putBE32(std::uint8_t* out, std::uint32_t v) noexcept {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

// The outer block of a one-block HMAC after the 64-byte key block: the
// 32-byte inner tag, 0x80, zeros, and the bit length 768.
void layOuterBlock(const State& innerTag, std::uint8_t* block) noexcept {
  for (int i = 0; i < 8; ++i) putBE32(block + 4 * i, innerTag.h[i]);
  std::fill(block + 32, block + 64, std::uint8_t{0});
  block[32] = 0x80;
  block[62] = 0x03;
}

void hmacPortable(const State& inner, const State& outer, const std::uint8_t* block, std::uint8_t* tag) noexcept {
  State state = inner;
  compressPortable(state, block);
  std::uint8_t outerBlock[64];
  layOuterBlock(state, outerBlock);
  state = outer;
  compressPortable(state, outerBlock);
  for (int i = 0; i < 8; ++i) putBE32(tag + 4 * i, state.h[i]);
}

#ifdef ZORVA_X86

#define ZORVA_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// The 64 rounds of N lanes in one body: every step is issued for all lanes
// before the next, so the lanes' sha256rnds2 chains sit side by side in the
// instruction stream and the CPU overlaps their latencies. The rounds take
// the state as ABEF/CDGH and the message as four quads of host-order words;
// the caller adds the starting state back.
template <int N>
ZORVA_SHA_TARGET __attribute__((always_inline)) inline void roundsShaNi(__m128i* abef, __m128i* cdgh,
                                                                        __m128i (*w)[4]) noexcept {
  // Quad q holds message words 4q..4q+3 in slot q % 4; from quad 4 on, it is
  // built from the four quads before it, which are exactly the slots it reuses.
#pragma GCC unroll 16
  for (int q = 0; q < 16; ++q) {
    const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * q));
    __m128i msg[N];
#pragma GCC unroll 4
    for (int l = 0; l < N; ++l) {
      __m128i* x = w[l];
      if (q >= 4) {
        __m128i s = _mm_sha256msg1_epu32(x[q & 3], x[(q + 1) & 3]);
        s = _mm_add_epi32(s, _mm_alignr_epi8(x[(q + 3) & 3], x[(q + 2) & 3], 4));
        x[q & 3] = _mm_sha256msg2_epu32(s, x[(q + 3) & 3]);
      }
      msg[l] = _mm_add_epi32(x[q & 3], k);
    }
#pragma GCC unroll 4
    for (int l = 0; l < N; ++l) cdgh[l] = _mm_sha256rnds2_epu32(cdgh[l], abef[l], msg[l]);
#pragma GCC unroll 4
    for (int l = 0; l < N; ++l) abef[l] = _mm_sha256rnds2_epu32(abef[l], cdgh[l], _mm_shuffle_epi32(msg[l], 0x0E));
  }
}

ZORVA_SHA_TARGET inline __m128i byteSwapWords() noexcept {
  return _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
}

// A state's words a..h as the rounds take them, ABEF and CDGH.
ZORVA_SHA_TARGET inline void toAbefCdgh(const State& state, __m128i& abef, __m128i& cdgh) noexcept {
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.h));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.h + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  abef = _mm_alignr_epi8(cdab, efgh, 8);
  cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
}

// And back: words a..d and e..h, in state order.
ZORVA_SHA_TARGET inline void fromAbefCdgh(__m128i abef, __m128i cdgh, __m128i& dcba, __m128i& hgfe) noexcept {
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
}

// A block's sixteen message words, big-endian, four to a register.
ZORVA_SHA_TARGET inline void loadMessage(const std::uint8_t* block, __m128i byteSwap, __m128i* w) noexcept {
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i)
    w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), byteSwap);
}

template <int N>
ZORVA_SHA_TARGET inline void compressShaNi(State* states, const std::uint8_t* const* blocks) noexcept {
  const __m128i byteSwap = byteSwapWords();
  __m128i abef[N], cdgh[N], w[N][4];
#pragma GCC unroll 4
  for (int l = 0; l < N; ++l) {
    toAbefCdgh(states[l], abef[l], cdgh[l]);
    loadMessage(blocks[l], byteSwap, w[l]);
  }
  roundsShaNi<N>(abef, cdgh, w);
#pragma GCC unroll 4
  for (int l = 0; l < N; ++l) {
    __m128i low, high;
    fromAbefCdgh(abef[l], cdgh[l], low, high);
    __m128i* out = reinterpret_cast<__m128i*>(states[l].h);
    _mm_storeu_si128(out, _mm_add_epi32(_mm_loadu_si128(out), low));
    _mm_storeu_si128(out + 1, _mm_add_epi32(_mm_loadu_si128(out + 1), high));
  }
}

// N one-block HMACs: the inner tag goes into the outer block's message words
// in registers, never through memory.
template <int N>
ZORVA_SHA_TARGET inline void hmacShaNi(const State& inner, const State& outer, const std::uint8_t* const* blocks,
                                       std::uint8_t* const* tags) noexcept {
  const __m128i byteSwap = byteSwapWords();
  __m128i innerAbef, innerCdgh, outerAbef, outerCdgh;
  toAbefCdgh(inner, innerAbef, innerCdgh);
  toAbefCdgh(outer, outerAbef, outerCdgh);
  __m128i abef[N], cdgh[N], w[N][4];
#pragma GCC unroll 4
  for (int l = 0; l < N; ++l) {
    abef[l] = innerAbef;
    cdgh[l] = innerCdgh;
    loadMessage(blocks[l], byteSwap, w[l]);
  }
  roundsShaNi<N>(abef, cdgh, w);
#pragma GCC unroll 4
  for (int l = 0; l < N; ++l) {
    // The padding of a 32-byte message after the 64-byte key block: 0x80, zeros, 768 bits.
    fromAbefCdgh(_mm_add_epi32(abef[l], innerAbef), _mm_add_epi32(cdgh[l], innerCdgh), w[l][0], w[l][1]);
    w[l][2] = _mm_set_epi32(0, 0, 0, static_cast<int>(0x80000000u));
    w[l][3] = _mm_set_epi32(768, 0, 0, 0);
    abef[l] = outerAbef;
    cdgh[l] = outerCdgh;
  }
  roundsShaNi<N>(abef, cdgh, w);
#pragma GCC unroll 4
  for (int l = 0; l < N; ++l) {
    __m128i low, high;
    fromAbefCdgh(_mm_add_epi32(abef[l], outerAbef), _mm_add_epi32(cdgh[l], outerCdgh), low, high);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(tags[l]), _mm_shuffle_epi8(low, byteSwap));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(tags[l] + 16), _mm_shuffle_epi8(high, byteSwap));
  }
}

// Pairs, then a last single lane. On Zen 4 the rounds are bound by
// sha256rnds2 throughput (one per ~3 cycles, against a latency of 4), which
// two lanes already nearly reach; four lanes need more than the 16 xmm
// registers, spill, and measured 2-3% slower than pairs there.
ZORVA_SHA_TARGET ZORVA_KERNEL_ALIGN void compressShaNiBatch(State* states, const std::uint8_t* const* blocks,
                                                            std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) compressShaNi<2>(states + i, blocks + i);
  if (i < count) compressShaNi<1>(states + i, blocks + i);
}

ZORVA_SHA_TARGET ZORVA_KERNEL_ALIGN void hmacShaNiBatch(const State& inner, const State& outer,
                                                        const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                                                        std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) hmacShaNi<2>(inner, outer, blocks + i, tags + i);
  if (i < count) hmacShaNi<1>(inner, outer, blocks + i, tags + i);
}

// Fours, then the rest as one group of three, two or one: for benches and
// tests, never the default. On the Zen cores without AVX-512 the rounds
// alone do run twice as fast with four chains as with two (sha256rnds2
// issues about once a cycle against a latency of four), but the message
// schedule's sha256msg1/sha256msg2 share the SHA unit with them: whole
// compressions measured 23 ns each in fours against 21 ns in pairs.
ZORVA_SHA_TARGET ZORVA_KERNEL_ALIGN void compressShaNiQuadBatch(State* states, const std::uint8_t* const* blocks,
                                                                std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) compressShaNi<4>(states + i, blocks + i);
  switch (count - i) {
    case 3: return compressShaNi<3>(states + i, blocks + i);
    case 2: return compressShaNi<2>(states + i, blocks + i);
    case 1: return compressShaNi<1>(states + i, blocks + i);
    default: return;
  }
}

ZORVA_SHA_TARGET ZORVA_KERNEL_ALIGN void hmacShaNiQuadBatch(const State& inner, const State& outer,
                                                            const std::uint8_t* const* blocks,
                                                            std::uint8_t* const* tags, std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) hmacShaNi<4>(inner, outer, blocks + i, tags + i);
  switch (count - i) {
    case 3: return hmacShaNi<3>(inner, outer, blocks + i, tags + i);
    case 2: return hmacShaNi<2>(inner, outer, blocks + i, tags + i);
    case 1: return hmacShaNi<1>(inner, outer, blocks + i, tags + i);
    default: return;
  }
}

// Sixteen lanes in zmm registers, one word of each lane per register. Zen 4
// issues a 512-bit operation as two 256-bit halves, yet the ~1,600 vector
// operations of sixteen compressions still cost a fraction of the sixteen
// serial sha256rnds2 chains they replace.
namespace x16 {
#define ZORVA_LANES_TARGET __attribute__((target("avx512f,avx512bw,avx512vl")))
using Vec = __m512i;
constexpr std::size_t kLanes = 16;

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

#include "sha256_lanes_rounds.inc"
#undef ZORVA_LANES_TARGET
}  // namespace x16

// Eight lanes in ymm registers: the same rounds at half the width, so a batch
// of eight pays for eight lanes rather than sixteen. Loading and storing is
// plain AVX2 shared by both eight-lane kernels.
namespace y8 {
#define ZORVA_LANES_TARGET __attribute__((target("avx2")))
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
#undef ZORVA_LANES_TARGET
}  // namespace y8

// With AVX-512VL the ymm rounds keep the one-instruction rotates and
// three-input logic.
namespace x8 {
#define ZORVA_LANES_TARGET __attribute__((target("avx512f,avx512bw,avx512vl")))
using Vec = __m256i;
using y8::loadBlocks, y8::loadStates, y8::storeStates, y8::storeTags;
constexpr std::size_t kLanes = 8;

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

#include "sha256_lanes_rounds.inc"
#undef ZORVA_LANES_TARGET
}  // namespace x8

// Plain AVX2 spells each rotate as two shifts and an or, and each logic
// function as two or three instructions.
namespace a8 {
#define ZORVA_LANES_TARGET __attribute__((target("avx2")))
using Vec = __m256i;
using y8::loadBlocks, y8::loadStates, y8::storeStates, y8::storeTags;
constexpr std::size_t kLanes = 8;

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

#include "sha256_lanes_rounds.inc"
#undef ZORVA_LANES_TARGET
}  // namespace a8

bool cpuHasAvx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

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

// Sixteen at a time; a remainder of eight or fewer lanes goes to the ymm kernel.
void compressAvx512(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
  std::size_t whole = count / x16::kLanes * x16::kLanes;
  if (count - whole > x8::kLanes) whole = count;
  compressGroups<x16::kLanes, x16::compressLanes>(states, blocks, whole);
  compressGroups<x8::kLanes, x8::compressLanes>(states + whole, blocks + whole, count - whole);
}

// Per batch, whichever mix of kernels costs least, from costs measured on Zen 4
// (ns per call): sixteen-lane kernel ~260, eight-lane ~180, SHA pair ~54, lone
// SHA lane ~35. Whole sixteens go to the wide kernel; of the rest, 12-15 lanes
// are cheaper padded to sixteen, 8-11 as eight plus SHA for what is left, and 7
// or fewer on SHA alone.
void compressMixed(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
  std::size_t wide = count / x16::kLanes * x16::kLanes;
  if (count - wide >= 12) wide = count;
  compressGroups<x16::kLanes, x16::compressLanes>(states, blocks, wide);
  std::size_t narrow = count - wide >= x8::kLanes ? x8::kLanes : 0;
  compressGroups<x8::kLanes, x8::compressLanes>(states + wide, blocks + wide, narrow);
  compressShaNiBatch(states + wide + narrow, blocks + wide + narrow, count - wide - narrow);
}

void hmacAvx512(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                std::size_t count) noexcept {
  std::size_t whole = count / x16::kLanes * x16::kLanes;
  if (count - whole > x8::kLanes) whole = count;
  hmacGroups<x16::kLanes, x16::hmacLanes>(inner, outer, blocks, tags, whole);
  hmacGroups<x8::kLanes, x8::hmacLanes>(inner, outer, blocks + whole, tags + whole, count - whole);
}

// The split of compressMixed: an HMAC is two compressions on the same road.
void hmacMixed(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
               std::size_t count) noexcept {
  std::size_t wide = count / x16::kLanes * x16::kLanes;
  if (count - wide >= 12) wide = count;
  hmacGroups<x16::kLanes, x16::hmacLanes>(inner, outer, blocks, tags, wide);
  std::size_t narrow = count - wide >= x8::kLanes ? x8::kLanes : 0;
  hmacGroups<x8::kLanes, x8::hmacLanes>(inner, outer, blocks + wide, tags + wide, narrow);
  hmacShaNiBatch(inner, outer, blocks + wide + narrow, tags + wide + narrow, count - wide - narrow);
}

bool cpuHasAvx512() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
}

// Read from CPUID itself: not every compiler's __builtin_cpu_supports knows
// the SHA extensions (clang's, which builds the fuzzers, does not).
bool cpuHasShaNi() noexcept {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c >> 9) & 1, sse41 = (c >> 19) & 1;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, a, b, c, d);
  return ssse3 && sse41 && ((b >> 29) & 1);
}

#endif  // ZORVA_X86

}  // namespace

bool available(Road road) noexcept {
#ifdef ZORVA_X86
  static const bool hasShaNi = cpuHasShaNi(), hasAvx512 = cpuHasAvx512(), hasAvx2 = cpuHasAvx2();
#else
  constexpr bool hasShaNi = false, hasAvx512 = false, hasAvx2 = false;
#endif
  switch (road) {
    case Road::portable: return true;
    case Road::shaNi:
    case Road::shaNiQuad: return hasShaNi;
    case Road::avx512: return hasAvx512;
    case Road::avx2: return hasAvx2;
  }
  return false;
}

namespace {

// In test and bench builds (ZORVA_ROAD_SWITCH), ZORVA_SHA256_ROAD names a
// road to take instead (when this CPU has it), so that whole-engine tests can
// run every road on the same inputs. Every road gives the same bytes; only the
// speed differs. A shipped module reads no environment variable of its own.
std::optional<Road> forcedRoad() noexcept {
#ifndef ZORVA_ROAD_SWITCH
  return std::nullopt;
#else
  const char* name = std::getenv("ZORVA_SHA256_ROAD");
  if (name == nullptr) return std::nullopt;
  constexpr std::pair<std::string_view, Road> kNames[] = {{"portable", Road::portable},
                                                          {"shaNi", Road::shaNi},
                                                          {"avx512", Road::avx512},
                                                          {"avx2", Road::avx2},
                                                          {"shaNiQuad", Road::shaNiQuad}};
  for (const auto& [text, road] : kNames)
    if (text == name && available(road)) return road;
  return std::nullopt;
#endif
}

}  // namespace

Road bestRoad() noexcept {
  // With AVX-512 its lanes take whole batches and SHA pairs the remainders
  // (see compressMixed); without it, SHA pairs (see compressShaNiQuadBatch
  // for why not fours).
  static const Road best = forcedRoad().value_or(available(Road::avx512)  ? Road::avx512
                                                 : available(Road::shaNi) ? Road::shaNi
                                                 : available(Road::avx2)  ? Road::avx2
                                                                          : Road::portable);
  return best;
}

bool fastRoad() noexcept { return bestRoad() != Road::portable; }

void compress(Road road, State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
#ifdef ZORVA_X86
  if (road == Road::shaNi) return compressShaNiBatch(states, blocks, count);
  if (road == Road::shaNiQuad) return compressShaNiQuadBatch(states, blocks, count);
  if (road == Road::avx512) return compressAvx512(states, blocks, count);
  if (road == Road::avx2) return compressGroups<a8::kLanes, a8::compressLanes>(states, blocks, count);
#endif
  (void)road;
  for (std::size_t i = 0; i < count; ++i) compressPortable(states[i], blocks[i]);
}

void compress(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
#ifdef ZORVA_X86
  static const bool shaNi = available(Road::shaNi);
  switch (bestRoad()) {
    case Road::avx512:
      if (shaNi) return compressMixed(states, blocks, count);
      return compressAvx512(states, blocks, count);
    case Road::avx2:
      // A lone lane padded out to eight costs more than the plain rounds.
      if (count % a8::kLanes == 1) {
        --count;
        compressPortable(states[count], blocks[count]);
      }
      return compressGroups<a8::kLanes, a8::compressLanes>(states, blocks, count);
    default: break;
  }
#endif
  compress(bestRoad(), states, blocks, count);
}

void hmacOneBlock(Road road, const State& inner, const State& outer, const std::uint8_t* const* blocks,
                  std::uint8_t* const* tags, std::size_t count) noexcept {
#ifdef ZORVA_X86
  if (road == Road::shaNi) return hmacShaNiBatch(inner, outer, blocks, tags, count);
  if (road == Road::shaNiQuad) return hmacShaNiQuadBatch(inner, outer, blocks, tags, count);
  if (road == Road::avx512) return hmacAvx512(inner, outer, blocks, tags, count);
  if (road == Road::avx2) return hmacGroups<a8::kLanes, a8::hmacLanes>(inner, outer, blocks, tags, count);
#endif
  (void)road;
  for (std::size_t i = 0; i < count; ++i) hmacPortable(inner, outer, blocks[i], tags[i]);
}

void hmacOneBlock(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                  std::size_t count) noexcept {
#ifdef ZORVA_X86
  static const bool shaNi = available(Road::shaNi);
  switch (bestRoad()) {
    case Road::avx512:
      if (shaNi) return hmacMixed(inner, outer, blocks, tags, count);
      return hmacAvx512(inner, outer, blocks, tags, count);
    case Road::avx2:
      if (count % a8::kLanes == 1) {
        --count;
        hmacPortable(inner, outer, blocks[count], tags[count]);
      }
      return hmacGroups<a8::kLanes, a8::hmacLanes>(inner, outer, blocks, tags, count);
    default: break;
  }
#endif
  hmacOneBlock(bestRoad(), inner, outer, blocks, tags, count);
}

}  // namespace zorva::sha256
