// Decimal texts (a database's numeric as text): read as decimal.Decimal(text)
// reads them, written as str() of the Decimal or as an Arrow decimal's
// unscaled value. No Python in here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorva::arrow {

// A decimal read into its parts: the digits without leading zeros (a single
// "0" for zero) and the exponent, or a special value's canonical text.
struct DecimalParts {
  bool negative = false;
  std::string digits;
  std::int64_t exponent = 0;
  std::string special;  // "NaN", "sNaN12", "Infinity" (without the sign)
};

// Reads text as decimal.Decimal(text) does: surrounding whitespace, a sign,
// digits with at most one point, an exponent; Inf, Infinity, NaN and sNaN
// (with a payload) in any case. False for anything else (underscores
// between digits included, which Decimal would take: such a value falls
// back to the Python layer rather than being read differently).
bool parseDecimal(std::string_view text, DecimalParts& out);

// str() of the Decimal.
std::string canonicalOf(const DecimalParts& parts);

// The unscaled value at scale in width bytes (two's complement, little-
// endian); false when it needs rounding or more digits than precision, or is
// special.
bool toUnscaled(const DecimalParts& parts, int precision, int scale, int width, std::uint8_t* out);

// parseDecimal then toUnscaled, on machine integers, for the texts masked
// Decimals mostly are: those the number strategy's own short reading takes
// (at most 19 significant digits). Nothing for any other text, which takes
// the general road.
std::optional<bool> plainToUnscaled(std::string_view text, int precision, int scale, int width, std::uint8_t* out);

// toUnscaled of (-1)^negative * coefficient * 10^exponent, on machine
// integers: nothing when that is not enough (a coefficient of 10^19 or more,
// a shift up past 19 places, a width below 8 bytes, a negative scale).
std::optional<bool> shortToUnscaled(std::uint64_t coefficient, std::int64_t exponent, bool negative, int precision,
                                    int scale, int width, std::uint8_t* out);

// A decimal text's unscaled value at scale, by whichever of the above takes
// it; false when it needs rounding, more digits than precision, or is not a
// finite decimal.
bool textToUnscaled(std::string_view text, int precision, int scale, int width, std::uint8_t* out);

}  // namespace zorva::arrow
