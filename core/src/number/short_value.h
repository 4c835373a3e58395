// The short road's values: a decimal of at most 19 digits on machine words,
// and the parser that reads one from a text exactly as Dec::parse would.
// Public beside the number strategy because the columnar door reads its
// decimal texts with the same parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zorva::number_detail {

// (-1)^negative * coefficient * 10^exponent with a coefficient below 10^19
// and an exponent within [-400, 400]: a value the short road takes.
struct ShortValue {
  std::uint64_t coefficient = 0;
  std::int64_t exponent = 0;
  bool negative = false;
  // Read from a text that is its own hash data: digits with a point, the
  // last a nonzero one, no leading zero but the one before the point, no
  // exponent and no plus sign ("12.5", "-0.05").
  bool plain = false;
};

// What Dec::parse gives for text, when that is a ShortValue (leading zeros
// dropped, "-0" a negative zero); nothing for any other text, valid or not.
std::optional<ShortValue> parseShort(std::string_view text);

}  // namespace zorva::number_detail
