// Conversions of the fixed-width forms that are not templates: to BigInt and
// to double.
#include "wide_ops.h"

#include <charconv>

#include "decimal_text.h"

namespace zorva::number_detail {

BigInt toBig(const Wide& w) {
  if (w.size <= 2) return BigInt::fromU128((static_cast<u128>(w.limb[1]) << 64) | w.limb[0]);
  std::uint8_t bytes[8 * Wide::kLimbs];
  for (int i = 0; i < Wide::kLimbs; ++i) {
    for (int j = 0; j < 8; ++j) {
      bytes[8 * (Wide::kLimbs - 1 - i) + (7 - j)] = static_cast<std::uint8_t>(w.limb[i] >> (8 * j));
    }
  }
  return BigInt::fromBytesBE(bytes, sizeof bytes);
}

// A coefficient below 2^53 and a power 10^e with |e| <= 22 are both exact
// doubles, so one IEEE division or multiplication rounds the exact value
// once, correctly; anything else goes through the text.
double fastToF64(const FastDec& d) {
  static constexpr double kExactPowers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const Wide& c = d.coefficient;
  if (c.size <= 1 && c.limb[0] < (std::uint64_t{1} << 53) && d.exponent >= -22 && d.exponent <= 22) {
    const auto mantissa = static_cast<double>(c.limb[0]);
    const double value = d.exponent < 0 ? mantissa / kExactPowers[-d.exponent] : mantissa * kExactPowers[d.exponent];
    return d.negative ? -value : value;
  }
  // Sign, at most 155 digits, the marker and a 64-bit exponent.
  char text[1 + Wide::kLimbs * 2 * 19 + 1 + 24];
  char* end = text;
  if (d.negative) *end++ = '-';
  const char* digits = end;
  end = writeWideDecimal(end, c);
  const auto count = static_cast<std::uint64_t>(end - digits);
  *end++ = 'e';
  end = std::to_chars(end, end + 24, d.exponent).ptr;
  return textToF64(text, end, d.exponent, count, d.negative);
}

}  // namespace zorva::number_detail
