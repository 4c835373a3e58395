// Dec: parsing, text, and conversions to double and to an integer. The
// arithmetic is the decimal algorithms on BigInt coefficients (big_ops.cpp).
#include "number/dec.h"

#include <limits>
#include <stdexcept>

#include "support/decimal_digits.h"
#include "number/internal/decimal_text.h"
#include "number/limits.h"

namespace zorva {

using number_detail::appendInt;
using number_detail::kMaxScaledDigits;

namespace {

// Text form shared by toText and toF64: sign, coefficient, marker, exponent.
Text numberText(const Dec& d, char marker) {
  Text out;
  if (d.negative) out.push_back('-');
  d.coefficient.appendMagnitudeDecimal(out);
  out.push_back(marker);
  appendInt(out, d.exponent);
  return out;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<Dec> Dec::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  Dec result;
  if (text.front() == '+') {
    text.remove_prefix(1);
  } else if (text.front() == '-') {
    text.remove_prefix(1);
    result.negative = true;
  }

  std::string_view mantissa = text;
  std::int64_t exponent = 0;
  std::size_t mark = 0;
  while (mark < text.size() && text[mark] != 'e' && text[mark] != 'E') ++mark;
  if (mark < text.size()) {
    mantissa = text.substr(0, mark);
    std::string_view digits = text.substr(mark + 1);
    bool negativeExponent = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
      negativeExponent = digits.front() == '-';
      digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    // Accumulated toward the sign so that the most negative value parses.
    for (char c : digits) {
      if (!isDigit(c)) return std::nullopt;
      std::int64_t digit = c - '0';
      if (__builtin_mul_overflow(exponent, 10, &exponent)) return std::nullopt;
      if (negativeExponent ? __builtin_sub_overflow(exponent, digit, &exponent)
                           : __builtin_add_overflow(exponent, digit, &exponent)) {
        return std::nullopt;
      }
    }
  }

  std::string_view integral = mantissa;
  std::string_view fraction;
  if (std::size_t point = mantissa.find('.'); point != std::string_view::npos) {
    integral = mantissa.substr(0, point);
    fraction = mantissa.substr(point + 1);
  }
  if (integral.empty() && fraction.empty()) return std::nullopt;
  for (char c : integral) {
    if (!isDigit(c)) return std::nullopt;
  }
  for (char c : fraction) {
    if (!isDigit(c)) return std::nullopt;
  }
  if (fraction.size() > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()) ||
      __builtin_sub_overflow(exponent, static_cast<std::int64_t>(fraction.size()), &result.exponent)) {
    return std::nullopt;
  }

  // Leading zeros vanish; short coefficients avoid the text round trip.
  while (!integral.empty() && integral.front() == '0') integral.remove_prefix(1);
  if (integral.empty()) {
    while (!fraction.empty() && fraction.front() == '0') fraction.remove_prefix(1);
  }
  if (integral.size() + fraction.size() <= 19) {
    std::uint64_t c = 0;
    for (char d : integral) c = c * 10 + static_cast<std::uint64_t>(d - '0');
    for (char d : fraction) c = c * 10 + static_cast<std::uint64_t>(d - '0');
    result.coefficient = BigInt::fromU64(c);
  } else if (fraction.empty()) {
    result.coefficient = BigInt::fromDecimal(integral);
  } else {
    Text digits;
    digits.reserve(integral.size() + fraction.size());
    digits.append(integral);
    digits.append(fraction);
    result.coefficient = BigInt::fromDecimal(digits);
  }
  return result;
}

Text Dec::toText() const { return numberText(*this, 'E'); }

double Dec::toF64() const {
  const Text text = numberText(*this, 'e');
  return number_detail::textToF64(text.data(), text.data() + text.size(), exponent, decimalDigits(coefficient),
                                  negative);
}

BigInt Dec::toBigInt() const {
  if (coefficient.isZero()) return BigInt();
  BigInt magnitude;
  if (exponent >= 0) {
    std::uint64_t k = static_cast<std::uint64_t>(exponent);
    std::uint64_t n = decimalDigits(coefficient);
    if (n > kMaxScaledDigits || k > kMaxScaledDigits - n) throw std::length_error("Dec::toBigInt: integer too large");
    BigInt scratch;
    magnitude = k == 0 ? coefficient : coefficient * pow10(k, scratch);
  } else {
    std::uint64_t k = 0 - static_cast<std::uint64_t>(exponent);
    // decimalDigits is at most one short: k beyond it leaves nothing.
    if (k - 1 >= decimalDigits(coefficient)) return BigInt();
    BigInt scratch;
    magnitude = coefficient / pow10(k, scratch);
  }
  return negative ? magnitude.negated() : magnitude;
}

}  // namespace zorva
