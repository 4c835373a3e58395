// The short road's text: reading a value of at most 19 digits, writing its
// hash data, and writing a masked number as text and as a double.
#include "number/internal/short.h"

#include <bit>
#include <charconv>
#include <cstring>

#include "support/decimal_digits.h"
#include "number/internal/decimal_text.h"
#include "number/limits.h"
#include "number/internal/powers.h"

namespace zorva::number_detail {

namespace {

// The decimal digits of v at out (room 44); returns the end.
char* writeDecimal(char* out, u128 v) {
  if (v >> 64 == 0) return writeDigits64(out, static_cast<std::uint64_t>(v));
  // v / 10^19 a word at a time, the high word first.
  const Modulus& pow19 = pow10Modulus(19);
  std::uint64_t low = 0;
  const std::uint64_t high = pow19.divide(0, static_cast<std::uint64_t>(v >> 64), low);
  const std::uint64_t rest = pow19.divide(low, static_cast<std::uint64_t>(v), low);
  out = writeDecimal(out, (static_cast<u128>(high) << 64) | rest);
  // Zero-padded to 19 digits.
  char* end = out + 19;
  std::uint64_t digits = low;
  for (char* p = end; p != out; digits /= 10) *--p = static_cast<char>('0' + digits % 10);
  return end;
}

// The value of 8 digit values (bytes 0-9), the first byte most significant:
// pairs, then quadruples, then the whole, by multiplications.
std::uint64_t eightDigitsValue(std::uint64_t chunk) {
  chunk = chunk * 10 + (chunk >> 8);
  return (((chunk & 0x000000FF000000FF) * (100 + (std::uint64_t{1000000} << 32))) +
          (((chunk >> 16) & 0x000000FF000000FF) * (1 + (std::uint64_t{10000} << 32)))) >>
         32;
}

// Reads the run of digits at p into c (modulo 2^64: a coefficient of more
// than 19 significant digits is refused by its count, not its value), up to
// 8 at a time: the next bytes of [begin, end) in the low bytes of one word
// (read forward, or backward from end near it), zero above them.
const char* readDigits(const char* begin, const char* p, const char* end, std::uint64_t& c) {
  if constexpr (std::endian::native == std::endian::little) {
    while (p != end) {
      std::uint64_t chunk;
      if (end - p >= 8) {
        std::memcpy(&chunk, p, 8);
      } else if (end - begin >= 8) {
        std::memcpy(&chunk, end - 8, 8);
        chunk >>= 8 * (8 - (end - p));
      } else {
        break;
      }
      // A byte is a digit when it differs from '0' by less than 10.
      const std::uint64_t offset = chunk ^ 0x3030303030303030;
      const std::uint64_t nonDigits = ((offset + 0x7676767676767676) | offset) & 0x8080808080808080;
      const unsigned k = nonDigits == 0 ? 8 : static_cast<unsigned>(std::countr_zero(nonDigits)) / 8;
      if (k == 0) return p;
      // Bytes below 0x30 borrow only from the bytes above them, which the
      // shift drops; the k digits land on top, zero digits below them.
      c = c * kPowersOfTen64[k] + eightDigitsValue((chunk - 0x3030303030303030) << (8 * (8 - k)));
      p += k;
      if (k < 8) return p;
    }
  }
  for (; p != end; ++p) {
    const auto digit = static_cast<unsigned>(*p - '0');
    if (digit > 9) break;
    c = c * 10 + digit;
  }
  return p;
}

}  // namespace

std::optional<ShortValue> parseShort(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  ShortValue v;
  const bool plus = p != end && *p == '+';
  if (p != end && (*p == '+' || *p == '-')) v.negative = *p++ == '-';
  // The digits before the point, then (after one point) those after it;
  // leading zeros count as digits but not as significant ones.
  const char* const start = p;
  std::uint64_t coefficient = 0;
  p = readDigits(text.data(), p, end, coefficient);
  const auto wholeDigits = static_cast<std::size_t>(p - start);
  std::size_t mantissaDigits = wholeDigits;
  std::int64_t fraction = 0;
  if (p != end && *p == '.') {
    const char* const fractionStart = ++p;
    p = readDigits(text.data(), p, end, coefficient);
    fraction = p - fractionStart;
    mantissaDigits += static_cast<std::size_t>(fraction);
  }
  if (mantissaDigits == 0 || fraction > 1000) return std::nullopt;
  std::size_t zeros = 0;
  for (const char* q = start; q != p && (*q == '0' || *q == '.'); ++q) zeros += *q == '0';
  if (mantissaDigits - zeros > 19) return std::nullopt;
  std::int64_t exponent = 0;
  v.plain =
      p == end && !plus && fraction > 0 && end[-1] != '0' && wholeDigits > 0 && (*start != '0' || wholeDigits == 1);
  if (p != end) {
    if (*p != 'e' && *p != 'E') return std::nullopt;
    ++p;
    bool negativeExponent = false;
    if (p != end && (*p == '+' || *p == '-')) negativeExponent = *p++ == '-';
    const char* const first = p;
    for (; p != end; ++p) {
      const char c = *p;
      if (c < '0' || c > '9' || p - first >= 6) return std::nullopt;
      exponent = exponent * 10 + (c - '0');
    }
    if (p == first) return std::nullopt;
    if (negativeExponent) exponent = -exponent;
  }
  v.coefficient = coefficient;
  v.exponent = exponent - fraction;
  if (v.exponent > kMaxValueExponent || v.exponent < -kMaxValueExponent) return std::nullopt;
  return v;
}

bool writeHashData(const ShortValue& v, const std::string_view* ownText, char* out, std::string_view& data) {
  if (v.coefficient == 0) {
    out[0] = '0';
    data = std::string_view(out, 1);
    return true;
  }
  // A float's shortest repr (and a plain Decimal text) ends in a nonzero
  // digit unless it is integral: a last digit that is not 0 after the point
  // makes a fraction, whose hash data is the text itself, known without
  // writing the digits out.
  if (ownText && v.exponent < 0 && v.coefficient % 10 != 0) {
    data = *ownText;
    return true;
  }
  char digits[24];
  const auto n = static_cast<std::size_t>(writeDigits64(digits, v.coefficient) - digits);
  char* end = out;
  if (v.negative) *end++ = '-';
  if (v.exponent >= 0) {
    const auto zeros = static_cast<std::size_t>(v.exponent);
    if (1 + n + zeros > kShortDataRoom) return false;
    std::memcpy(end, digits, n);
    std::memset(end + n, '0', zeros);
    data = std::string_view(out, static_cast<std::size_t>(end - out) + n + zeros);
    return true;
  }
  const auto k = static_cast<std::size_t>(-v.exponent);
  std::size_t kept = n;
  while (digits[kept - 1] == '0') --kept;
  if (k <= n - kept) {  // the fraction digits are all zeros: integral
    std::memcpy(end, digits, n - k);
    data = std::string_view(out, static_cast<std::size_t>(end - out) + n - k);
    return true;
  }
  if (ownText) {
    data = *ownText;
    return true;
  }
  if (k >= n) {
    if (1 + 2 + (k - n) + kept > kShortDataRoom) return false;
    *end++ = '0';
    *end++ = '.';
    std::memset(end, '0', k - n);
    end += k - n;
    std::memcpy(end, digits, kept);
    end += kept;
  } else {
    const std::size_t p = n - k;
    std::memcpy(end, digits, p);
    end += p;
    *end++ = '.';
    std::memcpy(end, digits + p, kept - p);
    end += kept - p;
  }
  data = std::string_view(out, static_cast<std::size_t>(end - out));
  return true;
}

double ShortRoad::toF64(const ShortResult& r) {
  if (r.coefficient < (u128{1} << 53) && r.exponent >= -22 && r.exponent <= 22) {
    const auto mantissa = static_cast<double>(static_cast<std::uint64_t>(r.coefficient));
    const double value = r.exponent < 0 ? mantissa / kExactPowers[-r.exponent] : mantissa * kExactPowers[r.exponent];
    return r.negative ? -value : value;
  }
  // Sign, at most 39 digits, the marker and a 64-bit exponent.
  char text[1 + 40 + 1 + 24];
  char* end = text;
  if (r.negative) *end++ = '-';
  const char* digits = end;
  end = writeDecimal(end, r.coefficient);
  const auto count = static_cast<std::uint64_t>(end - digits);
  *end++ = 'e';
  end = std::to_chars(end, text + sizeof text, r.exponent).ptr;
  return textToF64(text, end, r.exponent, count, r.negative);
}

Text ShortRoad::toText(const ShortResult& r) {
  char text[1 + 40 + 1 + 24];
  char* end = text;
  if (r.negative) *end++ = '-';
  end = writeDecimal(end, r.coefficient);
  *end++ = 'E';
  end = std::to_chars(end, text + sizeof text, r.exponent).ptr;
  return Text(text, end);
}

}  // namespace zorva::number_detail
