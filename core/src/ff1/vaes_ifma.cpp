// FF1's wide vector road for 2^64 < radix^u <= radix^v <= 2^96: the narrow
// vector road's layout with A, B and the reductions in 52-bit limbs on
// AVX-512 IFMA.
#include <algorithm>
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

// The two-word rounds' numbers in vector lanes: eight values below 2^156 as
// three limbs of 52 bits, the width of IFMA's products.
struct Limbs {
  __m512i l0, l1, l2;
};

// A modulus 2^64 < m <= 2^96 broadcast as limbs (its third is zero), with
// 1/m and 2^64/m as doubles for the quotient estimates.
struct VectorModulus {
  __m512i l0, l1;
  __m512d inverse, inverse64;
};

ZORVA_TARGET_VAES_IFMA inline __m512i low52() { return _mm512_set1_epi64((std::int64_t{1} << 52) - 1); }

// (lo, hi) words (hi < 2^64) as limbs, and back (for values below 2^128).
ZORVA_TARGET_VAES_IFMA inline Limbs limbsOf(__m512i lo, __m512i hi) {
  const __m512i mask = low52();
  return {_mm512_and_si512(lo, mask),
          _mm512_ternarylogic_epi64(_mm512_srli_epi64(lo, 52), _mm512_slli_epi64(hi, 12), mask, 0xf8),
          _mm512_srli_epi64(hi, 40)};
}
ZORVA_TARGET_VAES_IFMA inline __m512i lowWordOf(const Limbs& x) {
  return _mm512_or_si512(x.l0, _mm512_slli_epi64(x.l1, 52));
}
ZORVA_TARGET_VAES_IFMA inline __m512i highWordOf(const Limbs& x) {
  return _mm512_or_si512(_mm512_srli_epi64(x.l1, 12), _mm512_slli_epi64(x.l2, 40));
}

// Carries limbs whose first two may have left [0, 2^52) by a few units of
// 2^52 either way (after an addition or subtraction) into the third, which
// keeps the sign.
ZORVA_TARGET_VAES_IFMA inline Limbs carried(__m512i l0, __m512i l1, __m512i l2) {
  const __m512i mask = low52();
  l1 = _mm512_add_epi64(l1, _mm512_srai_epi64(l0, 52));
  l2 = _mm512_add_epi64(l2, _mm512_srai_epi64(l1, 52));
  return {_mm512_and_si512(l0, mask), _mm512_and_si512(l1, mask), l2};
}

// x - m where that is not negative, else x; for 0 <= x < 2m.
ZORVA_TARGET_VAES_IFMA inline Limbs subtractIfAtLeastVector(const Limbs& x, const VectorModulus& m) {
  const Limbs t = carried(_mm512_sub_epi64(x.l0, m.l0), _mm512_sub_epi64(x.l1, m.l1), x.l2);
  const __mmask8 below = _mm512_cmplt_epi64_mask(t.l2, _mm512_setzero_si512());
  return {_mm512_mask_blend_epi64(below, t.l0, x.l0), _mm512_mask_blend_epi64(below, t.l1, x.l1),
          _mm512_mask_blend_epi64(below, t.l2, x.l2)};
}

// y mod m for eight y < 2^128 (as words) and one 2^64 < m <= 2^96, in two
// quotient estimates as doubles, the products exact on IFMA. The first,
// y * (1/m) with a few roundings on the way, is within 2^13 of y/m (below
// 2^64); 2^14 less, and never below zero, it leaves r = y - q m in
// [0, 2^15 m), below 2^111: exact in three limbs taken modulo 2^156. The
// second, r * (1/m) within 2^-36 of r/m, has a floor at most one off the
// quotient either way, so r - q2 m is in [-m, 2m) and one correction each way
// finishes.
ZORVA_TARGET_VAES_IFMA inline Limbs reduceWide(__m512i lo, __m512i hi, const VectorModulus& m) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i mask = low52();
  const __m512d estimate =
      _mm512_fmadd_pd(_mm512_cvtepu64_pd(hi), m.inverse64, _mm512_mul_pd(_mm512_cvtepu64_pd(lo), m.inverse));
  const __m512i margin = _mm512_set1_epi64(std::int64_t{1} << 14);
  const __m512i q = _mm512_sub_epi64(_mm512_max_epu64(_mm512_cvttpd_epu64(estimate), margin), margin);
  const __m512i q0 = _mm512_and_si512(q, mask), q1 = _mm512_srli_epi64(q, 52);
  const __m512i p0 = _mm512_madd52lo_epu64(zero, q0, m.l0);
  __m512i p1 = _mm512_madd52hi_epu64(zero, q0, m.l0);
  p1 = _mm512_madd52lo_epu64(p1, q0, m.l1);
  p1 = _mm512_madd52lo_epu64(p1, q1, m.l0);
  __m512i p2 = _mm512_madd52hi_epu64(zero, q0, m.l1);
  p2 = _mm512_madd52hi_epu64(p2, q1, m.l0);
  p2 = _mm512_madd52lo_epu64(p2, q1, m.l1);
  const Limbs y = limbsOf(lo, hi);
  Limbs r = carried(_mm512_sub_epi64(y.l0, p0), _mm512_sub_epi64(y.l1, p1), _mm512_sub_epi64(y.l2, p2));
  r.l2 = _mm512_and_si512(r.l2, mask);
  const __m512d rest =
      _mm512_fmadd_pd(_mm512_cvtepu64_pd(r.l2), _mm512_set1_pd(0x1p104),
                      _mm512_fmadd_pd(_mm512_cvtepu64_pd(r.l1), _mm512_set1_pd(0x1p52), _mm512_cvtepu64_pd(r.l0)));
  const __m512i q2 =
      _mm512_cvt_roundpd_epu64(_mm512_mul_pd(rest, m.inverse), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  const __m512i s0 = _mm512_madd52lo_epu64(zero, q2, m.l0);
  const __m512i s1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(zero, q2, m.l0), q2, m.l1);
  const __m512i s2 = _mm512_madd52hi_epu64(zero, q2, m.l1);
  r = carried(_mm512_sub_epi64(r.l0, s0), _mm512_sub_epi64(r.l1, s1), _mm512_sub_epi64(r.l2, s2));
  const __mmask8 negative = _mm512_cmplt_epi64_mask(r.l2, zero);
  const Limbs up = carried(_mm512_add_epi64(r.l0, m.l0), _mm512_add_epi64(r.l1, m.l1), r.l2);
  r = {_mm512_mask_blend_epi64(negative, r.l0, up.l0), _mm512_mask_blend_epi64(negative, r.l1, up.l1),
       _mm512_mask_blend_epi64(negative, r.l2, up.l2)};
  return subtractIfAtLeastVector(r, m);
}

ZORVA_TARGET_VAES_IFMA VectorModulus vectorModulus(u128 m) {
  const auto lo = static_cast<std::uint64_t>(m), hi = static_cast<std::uint64_t>(m >> 64);
  const Limbs limbs =
      limbsOf(_mm512_set1_epi64(static_cast<std::int64_t>(lo)), _mm512_set1_epi64(static_cast<std::int64_t>(hi)));
  const double value = static_cast<double>(m);
  return {limbs.l0, limbs.l1, _mm512_set1_pd(1 / value), _mm512_set1_pd(0x1p64 / value)};
}

ZORVA_TARGET_VAES_IFMA void vectorWideRemaindersOn(const u128* y, std::size_t count, u128 m, u128* out) {
  const VectorModulus modulus = vectorModulus(m);
  for (std::size_t i = 0; i < count; i += 8) {
    alignas(64) std::uint64_t lo[8] = {}, hi[8] = {};
    const std::size_t n = std::min<std::size_t>(8, count - i);
    for (std::size_t j = 0; j < n; ++j) {
      lo[j] = static_cast<std::uint64_t>(y[i + j]);
      hi[j] = static_cast<std::uint64_t>(y[i + j] >> 64);
    }
    const Limbs r = reduceWide(_mm512_load_si512(lo), _mm512_load_si512(hi), modulus);
    _mm512_store_si512(lo, lowWordOf(r));
    _mm512_store_si512(hi, highWordOf(r));
    for (std::size_t j = 0; j < n; ++j) out[i + j] = (u128(hi[j]) << 64) | lo[j];
  }
}

// The vector rounds for shapes with 2^64 < radix^u <= radix^v <= 2^96
// (b = 9 to 12, so y is all of R): as vectorRounds lays them, sixteen lanes a
// set, with A and B in limbs and NUM(B)'s two words, byte-reversed, in the
// block's two halves (its high word's bytes after the head, as b > 8). a and
// b hold each lane's A and B as low and high words, in and out.
template <std::size_t G>
ZORVA_TARGET_VAES_IFMA ZORVA_KERNEL_ALIGN void wideVectorRounds(const std::uint8_t* roundKeys,
                                                                const std::uint8_t (*bases)[16],
                                                                std::uint64_t (*a)[kGroupLanes],
                                                                std::uint64_t (*bNum)[kGroupLanes], u128 mu, u128 mv,
                                                                unsigned b) {
  constexpr std::size_t kBlocks = 4 * G, kWords = 2 * G;
  __m512i k[15], base[kBlocks];
  layVectorBlocks<kBlocks>(roundKeys, bases, k, base);
  const __m512i swap = _mm512_broadcast_i32x4(_mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7));
  const VectorModulus moduli[2] = {vectorModulus(mu), vectorModulus(mv)};
  Limbs as[kWords], bs[kWords];
  for (std::size_t h = 0; h < kWords; ++h) {
    as[h] = limbsOf(_mm512_loadu_si512(a[0] + 8 * h), _mm512_loadu_si512(a[1] + 8 * h));
    bs[h] = limbsOf(_mm512_loadu_si512(bNum[0] + 8 * h), _mm512_loadu_si512(bNum[1] + 8 * h));
  }
  for (unsigned round = 0; round < 10; ++round) {
    // The round byte sits 15 - b bytes into the block's first word.
    const __m512i roundByte =
        _mm512_broadcast_i32x4(_mm_set_epi64x(0, static_cast<long long>(std::uint64_t{round} << (8 * (15 - b)))));
    __m512i s[kBlocks];
#pragma GCC unroll 4
    for (std::size_t h = 0; h < kWords; ++h) {
      const __m512i high = _mm512_shuffle_epi8(highWordOf(bs[h]), swap);
      const __m512i low = _mm512_shuffle_epi8(lowWordOf(bs[h]), swap);
      s[2 * h] = _mm512_ternarylogic_epi64(_mm512_unpacklo_epi64(high, low), base[2 * h], roundByte, 0x96);
      s[2 * h + 1] = _mm512_ternarylogic_epi64(_mm512_unpackhi_epi64(high, low), base[2 * h + 1], roundByte, 0x96);
    }
    encryptVectorBlocks<kBlocks>(k, s);
#pragma GCC unroll 4
    for (std::size_t h = 0; h < kWords; ++h) {
      const __m512i yHigh = _mm512_shuffle_epi8(_mm512_unpacklo_epi64(s[2 * h], s[2 * h + 1]), swap);
      const __m512i yLow = _mm512_shuffle_epi8(_mm512_unpackhi_epi64(s[2 * h], s[2 * h + 1]), swap);
      const VectorModulus& m = moduli[round & 1];
      const Limbs r = reduceWide(yLow, yHigh, m);
      // A < m and r < m: the sum is below 2m.
      const Limbs z = subtractIfAtLeastVector(
          carried(_mm512_add_epi64(as[h].l0, r.l0), _mm512_add_epi64(as[h].l1, r.l1), _mm512_add_epi64(as[h].l2, r.l2)),
          m);
      as[h] = bs[h];
      bs[h] = z;
    }
  }
  for (std::size_t h = 0; h < kWords; ++h) {
    _mm512_storeu_si512(a[0] + 8 * h, lowWordOf(as[h]));
    _mm512_storeu_si512(a[1] + 8 * h, highWordOf(as[h]));
    _mm512_storeu_si512(bNum[0] + 8 * h, lowWordOf(bs[h]));
    _mm512_storeu_si512(bNum[1] + 8 * h, highWordOf(bs[h]));
  }
}
#pragma GCC diagnostic pop
#endif

}  // namespace

void vectorWideRemainders(const u128* y, std::size_t count, u128 m, u128* out) {
#if defined(__x86_64__)
  vectorWideRemaindersOn(y, count, m, out);
#else
  (void)y, (void)count, (void)m, (void)out;
#endif
}

void Ff1::runWideGroup(WideGroup& group) const {
  if (group.count == 0) return;
#if defined(__x86_64__)
  const std::size_t u = group.n / 2, v = group.n - u;
  const std::size_t lanes = setLanes(group);
  const u128 mu = widePowers_[u + 1 - powerCount_].value(), mv = widePowers_[v + 1 - powerCount_].value();
  const auto top = static_cast<std::uint64_t>((mv - 1) >> 64);
  const auto b = static_cast<unsigned>((128 - std::countl_zero(top) + 7) / 8);
  (lanes == kSetLanes ? &wideVectorRounds<1> : &wideVectorRounds<2>)(roundKeys_, group.bases, group.a, group.bNum, mu,
                                                                     mv, b);
  for (std::size_t l = 0; l < group.count; ++l)
    writeNumerals(*group.owners[l], (u128(group.a[1][l]) << 64) | group.a[0][l],
                  (u128(group.bNum[1][l]) << 64) | group.bNum[0][l]);
#endif
  group.count = 0;
}

}  // namespace zorva
