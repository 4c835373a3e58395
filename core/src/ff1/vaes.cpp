// FF1's vector road for radix^v up to 2^32: sixteen or thirty-two jobs of
// one shape whose ten rounds, AES and arithmetic alike, run in 512-bit
// registers (VAES and AVX-512).
#include <bit>
#include <cstring>

#include "ff1/internal/lanes.h"
#include "ff1/testing.h"
#include "ff1/internal/vector_blocks.h"
#include "cpu/kernel_align.h"
#include "cpu/targets.h"

namespace zorva {

namespace {

#if defined(__x86_64__)
// GCC 12's AVX-512 header builds the unmasked forms of broadcasts and
// unpacks on a deliberately undefined operand, which its own
// uninitialized-value warning then reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// (y mod m) for eight y < 2^64 and one 2^8 <= m <= 2^32, with inverse = 1/m
// as a double, in two estimates. The first, y * (1/m) rounded three times
// on the way, lies within 40 of y/m (< 2^56), so r = y - q m is a signed
// value under 2^38 in magnitude: exact as a double. The second estimate's
// error, a few units in the last place of a number under 41, cannot reach
// across the gap of at least 1/m between r/m and the integer below it, so
// its floor is the quotient, or one less when r is a multiple of m and the
// estimate falls just short: r - q2 m is in [0, m], and one masked subtract
// finishes.
ZORVA_TARGET_VAES inline __m512i reduceVector(__m512i y, __m512i m, __m512d inverse) {
  const __m512i q = _mm512_cvttpd_epu64(_mm512_mul_pd(_mm512_cvtepu64_pd(y), inverse));
  const __m512i r = _mm512_sub_epi64(y, _mm512_mullo_epi64(q, m));
  const __m512i q2 = _mm512_cvt_roundpd_epi64(_mm512_mul_pd(_mm512_cvtepi64_pd(r), inverse),
                                              _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  const __m512i rest = _mm512_sub_epi64(r, _mm512_mullo_epi64(q2, m));
  return _mm512_mask_sub_epi64(rest, _mm512_cmpge_epi64_mask(rest, m), rest, m);
}

ZORVA_TARGET_VAES void vectorRemaindersOn(const std::uint64_t* y, std::size_t count, std::uint64_t m,
                                          std::uint64_t* out) {
  const __m512i modulus = _mm512_set1_epi64(static_cast<long long>(m));
  const __m512d inverse = _mm512_set1_pd(1.0 / static_cast<double>(m));
  for (std::size_t i = 0; i < count; i += 8) {
    const auto lanes = static_cast<__mmask8>(count - i >= 8 ? 0xff : (1u << (count - i)) - 1);
    _mm512_mask_storeu_epi64(out + i, lanes, reduceVector(_mm512_maskz_loadu_epi64(lanes, y + i), modulus, inverse));
  }
}

// Sixteen encryptions of one shape per set (G sets side by side, so that
// the rounds of one set fill the others' waits on the AES chain) on 512-bit
// registers, their ten rounds and all their arithmetic in vector lanes: the
// round blocks four to a register for VAES, A and B eight to a register for
// the reductions. For shapes with b <= 4 (radix^v <= 2^32, so y is R's first
// eight bytes) and radix^u >= 2^8, which reduceVector needs.
//
// Each lane's block is its constant part (its prefix state, k0 and the head
// of T || 0^pad, in `bases`) xor the round byte, at the same place in every
// lane, xor NUM(B) in its last b bytes. Of a set's lanes, 0, 2, 4, 6 sit in
// block register 0, 1, 3, 5, 7 in register 1 (8-15 likewise in 2 and 3):
// that is where unpacking B's words against zeros puts them, and unpacking
// the results' first words puts them back in order.
template <std::size_t G>
ZORVA_TARGET_VAES ZORVA_KERNEL_ALIGN void vectorRounds(const std::uint8_t* roundKeys, const std::uint8_t (*bases)[16],
                                                       std::uint64_t* a, std::uint64_t* bNum, std::uint64_t mu,
                                                       std::uint64_t mv, unsigned b) {
  constexpr std::size_t kBlocks = 4 * G, kWords = 2 * G;
  __m512i k[15], base[kBlocks];
  layVectorBlocks<kBlocks>(roundKeys, bases, k, base);
  // Reverses the bytes of each 64-bit word: NUM(B) and y are big-endian.
  const __m512i swap = _mm512_broadcast_i32x4(_mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7));
  const __m512i zero = _mm512_setzero_si512();
  const __m512i moduli[2] = {_mm512_set1_epi64(static_cast<long long>(mu)),
                             _mm512_set1_epi64(static_cast<long long>(mv))};
  const __m512d inverses[2] = {_mm512_set1_pd(1.0 / static_cast<double>(mu)),
                               _mm512_set1_pd(1.0 / static_cast<double>(mv))};
  __m512i as[kWords], bs[kWords];
  for (std::size_t h = 0; h < kWords; ++h) {
    as[h] = _mm512_loadu_si512(a + 8 * h);
    bs[h] = _mm512_loadu_si512(bNum + 8 * h);
  }
  for (unsigned round = 0; round < 10; ++round) {
    // The round byte sits 7 - b bytes into the block's second word.
    const __m512i roundByte =
        _mm512_broadcast_i32x4(_mm_set_epi64x(static_cast<long long>(std::uint64_t{round} << (8 * (7 - b))), 0));
    __m512i s[kBlocks];
#pragma GCC unroll 4
    for (std::size_t h = 0; h < kWords; ++h) {
      const __m512i swapped = _mm512_shuffle_epi8(bs[h], swap);
      s[2 * h] = _mm512_ternarylogic_epi64(_mm512_unpacklo_epi64(zero, swapped), base[2 * h], roundByte, 0x96);
      s[2 * h + 1] = _mm512_ternarylogic_epi64(_mm512_unpackhi_epi64(zero, swapped), base[2 * h + 1], roundByte, 0x96);
    }
    encryptVectorBlocks<kBlocks>(k, s);
#pragma GCC unroll 4
    for (std::size_t h = 0; h < kWords; ++h) {
      const __m512i y = _mm512_shuffle_epi8(_mm512_unpacklo_epi64(s[2 * h], s[2 * h + 1]), swap);
      const __m512i m = moduli[round & 1];
      __m512i z = _mm512_add_epi64(as[h], reduceVector(y, m, inverses[round & 1]));
      z = _mm512_mask_sub_epi64(z, _mm512_cmpge_epi64_mask(z, m), z, m);
      as[h] = bs[h];
      bs[h] = z;
    }
  }
  for (std::size_t h = 0; h < kWords; ++h) {
    _mm512_storeu_si512(a + 8 * h, as[h]);
    _mm512_storeu_si512(bNum + 8 * h, bs[h]);
  }
}
#pragma GCC diagnostic pop
#endif

}  // namespace

void vectorRemainders(const std::uint64_t* y, std::size_t count, std::uint64_t m, std::uint64_t* out) {
#if defined(__x86_64__)
  vectorRemaindersOn(y, count, m, out);
#else
  (void)y, (void)count, (void)m, (void)out;
#endif
}

void Ff1::runGroup(Group& group) const {
  if (group.count == 0) return;
#if defined(__x86_64__)
  const std::size_t u = group.n / 2, v = group.n - u;
  const std::size_t lanes = setLanes(group);
  const auto b = static_cast<unsigned>((std::bit_width(powers_[v].value() - 1) + 7) / 8);
  (lanes == kSetLanes ? &vectorRounds<1> : &vectorRounds<2>)(roundKeys_, group.bases, group.a, group.bNum,
                                                             powers_[u].value(), powers_[v].value(), b);
  for (std::size_t l = 0; l < group.count; ++l) writeNumerals(*group.owners[l], group.a[l], group.bNum[l]);
#endif
  group.count = 0;
}

}  // namespace zorva
