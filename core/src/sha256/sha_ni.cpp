// The SHA-instructions road (SHA-NI): two or four lanes' rounds interleaved in
// one instruction stream, for whole compressions and for fused one-block HMACs.
#include "cpu/kernel_align.h"
#include "cpu/targets.h"
#include "sha256/internal/kernels.h"

#ifdef ZORVA_X86

namespace zorva::sha256 {
namespace {

// The 64 rounds of N lanes in one body: every step is issued for all lanes
// before the next, so the lanes' sha256rnds2 chains sit side by side in the
// instruction stream and the CPU overlaps their latencies. The rounds take
// the state as ABEF/CDGH and the message as four quads of host-order words;
// the caller adds the starting state back.
template <int N>
ZORVA_TARGET_SHA_NI __attribute__((always_inline)) inline void roundsShaNi(__m128i* abef, __m128i* cdgh,
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

ZORVA_TARGET_SHA_NI inline __m128i byteSwapWords() noexcept {
  return _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
}

// A state's words a..h as the rounds take them, ABEF and CDGH.
ZORVA_TARGET_SHA_NI inline void toAbefCdgh(const State& state, __m128i& abef, __m128i& cdgh) noexcept {
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.h));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.h + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  abef = _mm_alignr_epi8(cdab, efgh, 8);
  cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
}

// And back: words a..d and e..h, in state order.
ZORVA_TARGET_SHA_NI inline void fromAbefCdgh(__m128i abef, __m128i cdgh, __m128i& dcba, __m128i& hgfe) noexcept {
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
}

// A block's sixteen message words, big-endian, four to a register.
ZORVA_TARGET_SHA_NI inline void loadMessage(const std::uint8_t* block, __m128i byteSwap, __m128i* w) noexcept {
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i)
    w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), byteSwap);
}

template <int N>
ZORVA_TARGET_SHA_NI inline void compressShaNi(State* states, const std::uint8_t* const* blocks) noexcept {
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

// Lane l's message words from words across lanes (word j at words[j *
// stride + l]), four to a register. They load as the 32-bit values the
// caller stored, so the loads take them straight from its stores.
ZORVA_TARGET_SHA_NI inline void loadWords(const std::uint32_t* words, std::size_t stride, __m128i* w) noexcept {
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i)
    w[i] = _mm_set_epi32(static_cast<int>(words[(4 * i + 3) * stride]), static_cast<int>(words[(4 * i + 2) * stride]),
                         static_cast<int>(words[(4 * i + 1) * stride]), static_cast<int>(words[4 * i * stride]));
}

// N one-block HMACs from their message words w to the outer states' final
// words a..d and e..h: the inner tag goes into the outer block's message
// words in registers, never through memory.
template <int N>
ZORVA_TARGET_SHA_NI __attribute__((always_inline)) inline void hmacRoundsShaNi(const State& inner, const State& outer,
                                                                               __m128i (*w)[4], __m128i* low,
                                                                               __m128i* high) noexcept {
  __m128i innerAbef, innerCdgh, outerAbef, outerCdgh;
  toAbefCdgh(inner, innerAbef, innerCdgh);
  toAbefCdgh(outer, outerAbef, outerCdgh);
  __m128i abef[N], cdgh[N];
#pragma GCC unroll 4
  for (int l = 0; l < N; ++l) {
    abef[l] = innerAbef;
    cdgh[l] = innerCdgh;
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
  for (int l = 0; l < N; ++l)
    fromAbefCdgh(_mm_add_epi32(abef[l], outerAbef), _mm_add_epi32(cdgh[l], outerCdgh), low[l], high[l]);
}

// N one-block HMACs from blocks to whole tags.
template <int N>
ZORVA_TARGET_SHA_NI inline void hmacShaNi(const State& inner, const State& outer, const std::uint8_t* const* blocks,
                                          std::uint8_t* const* tags) noexcept {
  const __m128i byteSwap = byteSwapWords();
  __m128i w[N][4], low[N], high[N];
#pragma GCC unroll 4
  for (int l = 0; l < N; ++l) loadMessage(blocks[l], byteSwap, w[l]);
  hmacRoundsShaNi<N>(inner, outer, w, low, high);
#pragma GCC unroll 4
  for (int l = 0; l < N; ++l) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(tags[l]), _mm_shuffle_epi8(low[l], byteSwap));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(tags[l] + 16), _mm_shuffle_epi8(high[l], byteSwap));
  }
}

// N one-block HMACs from words across lanes to the heads of their tags.
template <int N>
ZORVA_TARGET_SHA_NI inline void hmacWordsShaNi(const State& inner, const State& outer, const std::uint32_t* words,
                                               std::size_t stride, std::uint64_t* heads) noexcept {
  __m128i w[N][4], low[N], high[N];
#pragma GCC unroll 4
  for (int l = 0; l < N; ++l) loadWords(words + l, stride, w[l]);
  hmacRoundsShaNi<N>(inner, outer, w, low, high);
  // Words a, b swapped into one quadword: a << 32 | b.
#pragma GCC unroll 4
  for (int l = 0; l < N; ++l) heads[l] = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_shuffle_epi32(low[l], 0xB1)));
}

}  // namespace

// Pairs, then a last single lane. On Zen 4 the rounds are bound by
// sha256rnds2 throughput (one per ~3 cycles, against a latency of 4), which
// two lanes already nearly reach; four lanes need more than the 16 xmm
// registers, spill, and measured 2-3% slower than pairs there.
ZORVA_TARGET_SHA_NI ZORVA_KERNEL_ALIGN void compressShaNiBatch(State* states, const std::uint8_t* const* blocks,
                                                               std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) compressShaNi<2>(states + i, blocks + i);
  if (i < count) compressShaNi<1>(states + i, blocks + i);
}

ZORVA_TARGET_SHA_NI ZORVA_KERNEL_ALIGN void hmacShaNiBatch(const State& inner, const State& outer,
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
ZORVA_TARGET_SHA_NI ZORVA_KERNEL_ALIGN void compressShaNiQuadBatch(State* states, const std::uint8_t* const* blocks,
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

ZORVA_TARGET_SHA_NI ZORVA_KERNEL_ALIGN void hmacShaNiQuadBatch(const State& inner, const State& outer,
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

ZORVA_TARGET_SHA_NI ZORVA_KERNEL_ALIGN void hmacWordsShaNiBatch(const State& inner, const State& outer,
                                                                const std::uint32_t* words, std::size_t stride,
                                                                std::uint64_t* heads, std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) hmacWordsShaNi<2>(inner, outer, words + i, stride, heads + i);
  if (i < count) hmacWordsShaNi<1>(inner, outer, words + i, stride, heads + i);
}

ZORVA_TARGET_SHA_NI ZORVA_KERNEL_ALIGN void hmacWordsShaNiQuadBatch(const State& inner, const State& outer,
                                                                    const std::uint32_t* words, std::size_t stride,
                                                                    std::uint64_t* heads, std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) hmacWordsShaNi<4>(inner, outer, words + i, stride, heads + i);
  switch (count - i) {
    case 3: return hmacWordsShaNi<3>(inner, outer, words + i, stride, heads + i);
    case 2: return hmacWordsShaNi<2>(inner, outer, words + i, stride, heads + i);
    case 1: return hmacWordsShaNi<1>(inner, outer, words + i, stride, heads + i);
    default: return;
  }
}

}  // namespace zorva::sha256

#endif  // ZORVA_X86
