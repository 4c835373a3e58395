// Decimal texts: reading them as decimal.Decimal(text) does, and writing
// them as str() of the Decimal or as an Arrow decimal's unscaled value.
#include "arrow/c_data/decimal_texts.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "support/bigint.h"
#include "arrow/c_data/imported.h"
#include "support/decimal_digits.h"
#include "number/short_value.h"

namespace zorva::arrow {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool lowerEquals(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t k = 0; k < text.size(); ++k)
    if ((text[k] | 0x20) != lower[k]) return false;
  return true;
}

}  // namespace

bool parseDecimal(std::string_view text, DecimalParts& out) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  out = DecimalParts();
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    out.negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (lowerEquals(text, "inf") || lowerEquals(text, "infinity")) {
    out.special = "Infinity";
    return true;
  }
  for (std::string_view nan : {std::string_view("snan"), std::string_view("nan")}) {
    if (text.size() >= nan.size() && lowerEquals(text.substr(0, nan.size()), nan)) {
      std::string_view payload = text.substr(nan.size());
      if (!std::all_of(payload.begin(), payload.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
      while (!payload.empty() && payload.front() == '0') payload.remove_prefix(1);
      out.special = std::string(nan.size() == 4 ? "sNaN" : "NaN") + std::string(payload);
      return true;
    }
  }
  std::size_t k = 0, fraction = 0;
  bool point = false, any = false;
  for (; k < text.size(); ++k) {
    const char c = text[k];
    if (c >= '0' && c <= '9') {
      any = true;
      if (!(out.digits.empty() && c == '0')) out.digits += c;
      if (point) ++fraction;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return false;
  std::int64_t exponent = 0;
  if (k < text.size()) {
    if (text[k] != 'e' && text[k] != 'E') return false;
    std::string_view rest = text.substr(k + 1);
    if (!rest.empty() && rest[0] == '+') rest.remove_prefix(1);
    if (rest.empty() || rest[0] == '+') return false;
    auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), exponent);
    if (ec != std::errc() || end != rest.data() + rest.size()) return false;
    if (rest[0] == '-' && rest.size() == 1) return false;
  }
  if (out.digits.empty()) out.digits = "0";
  constexpr std::int64_t kLimit = std::int64_t{1} << 60;
  if (exponent > kLimit || exponent < -kLimit || fraction > static_cast<std::size_t>(kLimit)) return false;
  out.exponent = exponent - static_cast<std::int64_t>(fraction);
  return true;
}

std::string canonicalOf(const DecimalParts& parts) {
  if (!parts.special.empty()) return (parts.negative ? "-" : "") + parts.special;
  return decimalString(parts.digits, parts.negative, parts.exponent);
}

// The unscaled value of a decimal at scale, in width bytes; false when it
// needs rounding or more digits than precision.
bool toUnscaled(const DecimalParts& parts, int precision, int scale, int width, std::uint8_t* out) {
  if (!parts.special.empty()) return false;
  std::string digits = parts.digits;
  const std::int64_t shift = parts.exponent + scale;
  if (digits != "0") {
    if (shift >= 0) {
      if (shift > precision) return false;
      digits.append(static_cast<std::size_t>(shift), '0');
    } else {
      for (std::int64_t k = 0; k < -shift; ++k) {
        if (digits.size() <= 1 || digits.back() != '0') return false;
        digits.pop_back();
      }
    }
  }
  if (static_cast<int>(digits.size()) > precision) return false;
  const BigInt value = BigInt::fromDecimal(digits, parts.negative && digits != "0");
  Vec<std::uint8_t> bytes = value.toTwosComplementLE();
  if (bytes.size() > static_cast<std::size_t>(width)) return false;
  std::memcpy(out, bytes.data(), bytes.size());
  std::memset(out + bytes.size(), value.isNegative() ? 0xff : 0, static_cast<std::size_t>(width) - bytes.size());
  return true;
}

std::optional<bool> shortToUnscaled(std::uint64_t coefficient, std::int64_t exponent, bool negative, int precision,
                                    int scale, int width, std::uint8_t* out) {
  if (width < 8 || scale < 0 || coefficient >= kPowersOfTen64[19]) return std::nullopt;
  std::uint64_t unscaled = coefficient;
  if (unscaled != 0) {
    // The coefficient is below 10^19: a shift down past that would drop a
    // nonzero digit, and one up past it is left to the general road.
    const std::int64_t shift = scale + exponent;
    if (shift > 19) return std::nullopt;
    if (shift >= 0) {
      if (__builtin_mul_overflow(unscaled, kPowersOfTen64[shift], &unscaled) || unscaled >> 63 != 0)
        return std::nullopt;
    } else {
      // Only zeros may go: the value has to be exact at the scale.
      if (shift < -19 || unscaled % kPowersOfTen64[-shift] != 0) return false;
      unscaled /= kPowersOfTen64[-shift];
    }
    if (static_cast<int>(decimalDigits64(unscaled)) > precision) return false;
  }
  const std::int64_t value = negative ? -static_cast<std::int64_t>(unscaled) : static_cast<std::int64_t>(unscaled);
  std::memcpy(out, &value, 8);
  std::memset(out + 8, value < 0 ? 0xff : 0, static_cast<std::size_t>(width) - 8);
  return true;
}

std::optional<bool> plainToUnscaled(std::string_view text, int precision, int scale, int width, std::uint8_t* out) {
  if (width < 8 || scale < 0) return std::nullopt;
  const std::optional<number_detail::ShortValue> v = number_detail::parseShort(text);
  if (!v) return std::nullopt;
  return shortToUnscaled(v->coefficient, v->exponent, v->negative, precision, scale, width, out);
}

bool textToUnscaled(std::string_view text, int precision, int scale, int width, std::uint8_t* out) {
  if (std::optional<bool> fits = plainToUnscaled(text, precision, scale, width, out)) return *fits;
  DecimalParts parts;
  return parseDecimal(text, parts) && toUnscaled(parts, precision, scale, width, out);
}

}  // namespace zorva::arrow
