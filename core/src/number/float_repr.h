// repr() of a double, written here as CPython writes it: calling repr()
// costs more than the rest of a float's conversion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorva {

// The number a repr text reads as, digit for digit: coefficient 10^exponent,
// trailing zeros kept ("120.0" is 1200 and -1).
struct ReprNumber {
  std::uint64_t coefficient = 0;
  std::int64_t exponent = 0;
};

// Room floatRepr needs.
inline constexpr std::size_t kFloatReprRoom = 32;

// The shortest digits that read back as the same double, fixed-point when
// the decimal point falls at most 16 places right of the first digit and
// fewer than 4 left of it, "d.ddde-XX" otherwise; ".0" after a whole number;
// nan, inf and -inf by name. Writes at most kFloatReprRoom bytes at out and
// returns their count. For a finite nonzero value, number (when given)
// receives the magnitude the text reads as.
std::size_t floatRepr(double value, char* out, ReprNumber* number = nullptr) noexcept;

}  // namespace zorva
