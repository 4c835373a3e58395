// The small powers of ten every width of the number code shares: as exact
// doubles, and as 64-bit divisors with their reciprocals.
#pragma once

#include <array>
#include <cstdint>

#include "support/decimal_digits.h"
#include "support/divide.h"

namespace zorva::number_detail {

// 10^0 .. 10^22, every power of ten a double holds exactly.
inline constexpr double kExactPowers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                            1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// 10^0 .. 10^19 (kPowersOfTen64) with their reciprocals, for dividing by a power of ten a
// word at a time without the divide instruction.
inline constexpr std::array<Modulus, 20> kPow10Moduli = [] {
  std::array<Modulus, 20> t{};
  for (std::size_t j = 0; j < t.size(); ++j) t[j] = Modulus(kPowersOfTen64[j]);
  return t;
}();

inline const Modulus& pow10Modulus(std::uint64_t k) { return kPow10Moduli[k]; }

}  // namespace zorva::number_detail
