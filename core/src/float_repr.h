// repr() of a double, written here as CPython writes it: calling repr()
// costs more than the rest of a float's conversion.
#pragma once

#include <cstddef>

namespace zorva {

// Room floatRepr needs.
inline constexpr std::size_t kFloatReprRoom = 32;

// The shortest digits that read back as the same double, fixed-point when
// the decimal point falls at most 16 places right of the first digit and
// fewer than 4 left of it, "d.ddde-XX" otherwise; ".0" after a whole number;
// nan, inf and -inf by name. Writes at most kFloatReprRoom bytes at out and
// returns their count.
std::size_t floatRepr(double value, char* out) noexcept;

}  // namespace zorva
