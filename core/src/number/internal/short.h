// The short road of the number strategy: values of at most 19 digits under
// short settings, masked on a few machine words with the same results as the
// general road (Dec on 256-bit, 512-bit or BigInt coefficients). Whatever it
// cannot settle exactly it hands back to the general road.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "support/bigint.h"
#include "keyed_hash/keyed_hash.h"
#include "number/dec.h"
#include "number/short_value.h"

namespace zorva::number_detail {

// Room for the hash data writeHashData writes.
inline constexpr std::size_t kShortDataRoom = 64;

// The hash data of v exactly as NumberStrategy::hashData gives it, into
// data: written at out (kShortDataRoom bytes), or for a value with a
// fraction borrowed from ownText, the text v was read from when that is its
// hash data there (a float's repr, a plain Decimal text; null otherwise).
// False when it does not fit the room.
bool writeHashData(const ShortValue& v, const std::string_view* ownText, char* out, std::string_view& data);

// A masked number on the short road: at most 128 bits of coefficient.
struct ShortResult {
  enum class Kind : std::uint8_t { number, real, fallback, general } kind = Kind::general;
  u128 coefficient = 0;  // number
  std::int64_t exponent = 0;
  bool negative = false;
  double real = 0;  // real: the converted target of a float without a grid
};

class ShortRoad {
 public:
  // The road for these settings, or nothing when they are not short: in
  // relative mode a variance below 10^7 with an exponent in [-6, 52]; in
  // bounded mode min, max and their range below 2^64 with exponents within
  // +-1000.
  static std::optional<ShortRoad> make(const std::optional<Dec>& min, const std::optional<Dec>& max,
                                       const std::optional<Dec>& range, const Dec& variance);

  // target, then with a grid quantize, clamp and moved, as the general road
  // computes them from the unit u of the value's digest. Without a grid (a
  // float without decimals) the target comes back converted to a double.
  // Kind::general: hand the value to the general road.
  ShortResult mask(const ShortValue& value, std::uint64_t u, std::optional<std::int64_t> grid,
                   const KeyedHash& keyedHash, std::string_view data) const;

  // Dec::toF64 and Dec::toText of a masked number.
  static double toF64(const ShortResult& r);
  static Text toText(const ShortResult& r);

 private:
  struct Decimal {
    std::uint64_t coefficient = 0;
    std::int64_t exponent = 0;
    bool negative = false;
  };
  ShortRoad() = default;

  bool bounded_ = false;
  // Relative mode: the variance coefficient and 53 - its exponent.
  std::uint64_t variance_ = 0;
  std::int64_t gap_ = 0;
  bool varianceNegative_ = false;
  // Bounded mode.
  Decimal min_, max_, range_;
};

}  // namespace zorva::number_detail
