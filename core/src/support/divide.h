// Remainders by an invariant modulus without a division instruction: the
// modulus is set up once (one division then), and every remainder after
// that costs a few multiplications.
#pragma once

#include <bit>
#include <cstdint>

#include "support/bigint.h"

namespace zorva {

class Modulus {
 public:
  constexpr Modulus() noexcept = default;
  // m >= 1.
  constexpr explicit Modulus(std::uint64_t m) noexcept
      : m_(m),
        inverse_(~std::uint64_t{0} / m),
        // (2^128 - 1) / d lies in [2^64, 2^65) for a normalised d: keeping
        // the low word subtracts the 2^64.
        reciprocal_(static_cast<std::uint64_t>(~u128{0} / (u128(m) << std::countl_zero(m)))),
        shift_(static_cast<unsigned>(std::countl_zero(m))) {}

  constexpr std::uint64_t value() const noexcept { return m_; }

  // y mod m. inverse = floor((2^64 - 1) / m), so inverse * m > 2^64 - m and
  // y inverse / 2^64 > y/m - 1: the estimated quotient is at most one below
  // the true one, and one conditional subtraction (a select, not a branch
  // the data would mispredict) finishes.
  std::uint64_t reduce(std::uint64_t y) const noexcept {
    auto q = static_cast<std::uint64_t>((u128(y) * inverse_) >> 64);
    std::uint64_t r = y - q * m_;
    return r - (m_ & (0 - static_cast<std::uint64_t>(r >= m_)));
  }

  // (hi * 2^64 + lo) mod m for any hi: the remainder step of division by an
  // invariant integer (Moller and Granlund) on m << shift, two
  // multiplications and two selects.
  std::uint64_t reduce(std::uint64_t hi, std::uint64_t lo) const noexcept {
    hi = reduce(hi);
    const std::uint64_t d = m_ << shift_;
    // lo >> (64 - shift) without the undefined shift by 64 when shift is 0.
    const std::uint64_t n1 = (hi << shift_) | ((lo >> 1) >> (63 - shift_));
    const std::uint64_t n0 = lo << shift_;
    const u128 q = u128(reciprocal_) * n1 + ((u128(n1 + 1) << 64) | n0);
    const auto q1 = static_cast<std::uint64_t>(q >> 64);
    const auto q0 = static_cast<std::uint64_t>(q);
    std::uint64_t r = n0 - q1 * d;
    r += d & (0 - static_cast<std::uint64_t>(r > q0));
    r -= d & (0 - static_cast<std::uint64_t>(r >= d));
    return r >> shift_;
  }

  // (hi * 2^64 + lo) / m for hi < m, the remainder in rem: the same step
  // with the quotient kept.
  std::uint64_t divide(std::uint64_t hi, std::uint64_t lo, std::uint64_t& rem) const noexcept {
    const std::uint64_t d = m_ << shift_;
    const std::uint64_t n1 = (hi << shift_) | ((lo >> 1) >> (63 - shift_));
    const std::uint64_t n0 = lo << shift_;
    const u128 q = u128(reciprocal_) * n1 + ((u128(n1 + 1) << 64) | n0);
    auto q1 = static_cast<std::uint64_t>(q >> 64);
    const auto q0 = static_cast<std::uint64_t>(q);
    std::uint64_t r = n0 - q1 * d;
    const std::uint64_t under = 0 - static_cast<std::uint64_t>(r > q0);
    q1 += under;
    r += d & under;
    const std::uint64_t over = 0 - static_cast<std::uint64_t>(r >= d);
    q1 -= over;
    r -= d & over;
    rem = r >> shift_;
    return q1;
  }

 private:
  std::uint64_t m_ = 1;
  std::uint64_t inverse_ = ~std::uint64_t{0};
  std::uint64_t reciprocal_ = 0;
  unsigned shift_ = 63;
};

}  // namespace zorva
