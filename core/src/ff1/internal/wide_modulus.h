// Ff1::WideModulus's arithmetic: remainders by radix^m below 2^128 on two
// machine words, inline for the rounds that take one per value.
#pragma once

#include <cstdint>

#include "ff1/ff1.h"

namespace zorva {

// (r1 r0) - (d1 d0) where that is not negative, else (r1 r0) unchanged: a
// select on the subtraction's borrow, since a branch on it would be
// mispredicted as often as not.
inline void subtractIfAtLeast(std::uint64_t& r0, std::uint64_t& r1, std::uint64_t d0, std::uint64_t d1) noexcept {
  std::uint64_t t0, t1;
  const bool borrow0 = __builtin_sub_overflow(r0, d0, &t0);
  const bool borrow1 = __builtin_sub_overflow(r1, d1, &t1);
  const bool borrow2 = __builtin_sub_overflow(t1, static_cast<std::uint64_t>(borrow0), &t1);
  const std::uint64_t keep = 0 - static_cast<std::uint64_t>(borrow1 | borrow2);
  r0 = (r0 & keep) | (t0 & ~keep);
  r1 = (r1 & keep) | (t1 & ~keep);
}

// The three-by-two word step (Moller and Granlund): the quotient estimate
// from the reciprocal is at most one off either way, and only the
// remainder is kept. Written on single words: on 128-bit values the
// compiler keeps the selects' masks and borrows in memory.
inline u128 Ff1::WideModulus::step(std::uint64_t u2, std::uint64_t u1, std::uint64_t u0) const noexcept {
  const u128 q = u128(reciprocal_) * u2 + ((u128(u2) << 64) | u1);
  const auto q1 = static_cast<std::uint64_t>(q >> 64);
  const auto q0 = static_cast<std::uint64_t>(q);
  const u128 t = u128(d0_) * q1;
  const auto t0 = static_cast<std::uint64_t>(t), t1 = static_cast<std::uint64_t>(t >> 64);
  // r = (u1 - q1 d1, u0) - t - d.
  std::uint64_t r0 = u0 - t0;
  std::uint64_t r1 = u1 - q1 * d1_ - t1 - static_cast<std::uint64_t>(u0 < t0);
  r1 -= d1_ + static_cast<std::uint64_t>(r0 < d0_);
  r0 -= d0_;
  // Both corrections as selects: the first goes either way with the data.
  const std::uint64_t add = 0 - static_cast<std::uint64_t>(r1 >= q0);
  const std::uint64_t a0 = d0_ & add;
  r0 += a0;
  r1 += (d1_ & add) + static_cast<std::uint64_t>(r0 < a0);
  subtractIfAtLeast(r0, r1, d0_, d1_);
  return (u128(r1) << 64) | r0;
}

// Words shifted left by s across their boundary, s < 64.
inline std::uint64_t shiftIn(std::uint64_t high, std::uint64_t low, unsigned s) noexcept {
  return (high << s) | ((low >> 1) >> (63 - s));
}

inline u128 Ff1::WideModulus::reduce(u128 y) const noexcept {
  const auto hi = static_cast<std::uint64_t>(y >> 64);
  const auto lo = static_cast<std::uint64_t>(y);
  if (barrett_) {
    // y >> s is hi >> (s - 64), and s - 64 = 63 - shift.
    const auto q = static_cast<std::uint64_t>((u128(hi >> (63 - shift_)) * mu_) >> 64);
    const auto m0 = static_cast<std::uint64_t>(m_), m1 = static_cast<std::uint64_t>(m_ >> 64);
    const u128 low = u128(q) * m0;
    // q m <= y < 2^128, so q m1 fits a word.
    std::uint64_t r0, r1;
    const bool borrow = __builtin_sub_overflow(lo, static_cast<std::uint64_t>(low), &r0);
    r1 = hi - static_cast<std::uint64_t>(low >> 64) - q * m1 - static_cast<std::uint64_t>(borrow);
    subtractIfAtLeast(r0, r1, m0, m1);
    subtractIfAtLeast(r0, r1, m0, m1);
    return (u128(r1) << 64) | r0;
  }
  if (!wide_) return narrow_.reduce(hi, lo);
  // y << shift as three words; the top one is below 2^shift <= d1.
  const u128 r = step(shiftIn(0, hi, shift_), shiftIn(hi, lo, shift_), lo << shift_);
  const auto r1 = static_cast<std::uint64_t>(r >> 64), r0 = static_cast<std::uint64_t>(r);
  return (u128(r1 >> shift_) << 64) | ((r0 >> shift_) | ((r1 << 1) << (63 - shift_)));
}

inline u128 Ff1::WideModulus::reduceLong(u128 y, std::uint32_t low) const noexcept {
  const auto w2 = static_cast<std::uint64_t>(y >> 96);
  const auto w1 = static_cast<std::uint64_t>(y >> 32);
  const auto w0 = (static_cast<std::uint64_t>(y) << 32) | low;
  if (!wide_) {
    const std::uint64_t top = narrow_.reduce(w2, w1);
    return narrow_.reduce(top, w0);
  }
  // Four shifted words, one step each after the top two (0 u3 < d).
  const u128 r = step(0, shiftIn(0, w2, shift_), shiftIn(w2, w1, shift_));
  const u128 s = step(static_cast<std::uint64_t>(r >> 64), static_cast<std::uint64_t>(r), shiftIn(w1, w0, shift_));
  return step(static_cast<std::uint64_t>(s >> 64), static_cast<std::uint64_t>(s), w0 << shift_) >> shift_;
}

}  // namespace zorva
