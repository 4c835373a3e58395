// The limits every layer of the number code shares: the 60-digit precision
// of its arithmetic, the values it masks, and the unit a digest draws.
#pragma once

#include <cstdint>

#include "support/bytes.h"
#include "support/bigint.h"
#include "keyed_hash/keyed_hash.h"

namespace zorva::number_detail {

// Significant digits the decimal arithmetic rounds to.
inline constexpr std::uint64_t kPrecision = 60;
// Largest coefficient, in digits, that add or toBigInt forms by scaling.
inline constexpr std::uint64_t kMaxScaledDigits = std::uint64_t{1} << 20;

// Limits of the values the number strategy masks natively: at most this many
// digits, with an exponent within +-kMaxValueExponent.
inline constexpr std::uint64_t kMaxValueDigits = 38;
inline constexpr std::int64_t kMaxValueExponent = 400;

// 5^53, the scale of unit numbers: u / 2^53 = u 5^53 10^-53.
inline constexpr u128 kFivePow53 = [] {
  u128 p = 1;
  for (int i = 0; i < 53; ++i) p *= 5;
  return p;
}();

// The top 53 bits of a digest: u in u / 2^53.
inline std::uint64_t unitOf(const Digest& digest) { return loadBE64(digest.data()) >> 11; }

}  // namespace zorva::number_detail
