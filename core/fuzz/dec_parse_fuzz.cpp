// Dec::parse against an independent reading of the grammar: an optional
// sign, a mantissa with at most one point, an optional signed 64-bit exponent.
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "number.h"

namespace {

using namespace zorva;
using namespace zorva::fuzz;

bool allDigits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

struct Expected {
  std::string digits;  // coefficient digits, leading zeros stripped ("0" for zero)
  __int128 exponent;   // may lie outside 64 bits: then parse must answer nothing
  bool negative;
};

std::optional<Expected> reference(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  std::string_view mantissa = text, exponentText;
  bool hasExponent = false;
  if (auto e = text.find_first_of("eE"); e != std::string_view::npos) {
    mantissa = text.substr(0, e);
    exponentText = text.substr(e + 1);
    hasExponent = true;
  }
  __int128 exponent = 0;
  if (hasExponent) {
    std::string_view t = exponentText;
    bool expNegative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
      expNegative = t[0] == '-';
      t.remove_prefix(1);
    }
    if (t.empty() || !allDigits(t)) return std::nullopt;
    __int128 value = 0;
    for (char c : t) {
      value = value * 10 + (c - '0');
      if (value > (static_cast<__int128>(1) << 64)) return std::nullopt;  // far out of range
    }
    exponent = expNegative ? -value : value;
    if (exponent > INT64_MAX || exponent < INT64_MIN) return std::nullopt;
  }
  std::string_view integer = mantissa, fraction;
  if (auto dot = mantissa.find('.'); dot != std::string_view::npos) {
    integer = mantissa.substr(0, dot);
    fraction = mantissa.substr(dot + 1);
  }
  if (integer.empty() && fraction.empty()) return std::nullopt;
  if (!allDigits(integer) || !allDigits(fraction)) return std::nullopt;
  std::string digits = std::string(integer) + std::string(fraction);
  const auto first = digits.find_first_not_of('0');
  digits = first == std::string::npos ? "0" : digits.substr(first);
  return Expected{digits, exponent - static_cast<__int128>(fraction.size()), negative};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<Dec> parsed = Dec::parse(text);
  const std::optional<Expected> expected = reference(text);

  if (!expected) {
    FUZZ_CHECK(!parsed);
    return 0;
  }
  const bool exponentFits = expected->exponent >= INT64_MIN && expected->exponent <= INT64_MAX;
  if (!exponentFits) {
    FUZZ_CHECK(!parsed);  // refused soundly, never wrapped
    return 0;
  }
  FUZZ_CHECK(parsed.has_value());
  FUZZ_CHECK(view(parsed->coefficient.toDecimal()) == expected->digits);
  FUZZ_CHECK(parsed->exponent == static_cast<std::int64_t>(expected->exponent));
  FUZZ_CHECK(parsed->negative == expected->negative);

  // The text form reads back as the same number, sign of zero included.
  const Text again = parsed->toText();
  const std::optional<Dec> reparsed = Dec::parse(view(again));
  FUZZ_CHECK(reparsed.has_value());
  FUZZ_CHECK(Dec::compare(*parsed, *reparsed) == 0);
  FUZZ_CHECK(reparsed->negative == parsed->negative);

  (void)parsed->toF64();
  return 0;
}
