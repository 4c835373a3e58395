// repr() of a double as CPython writes it.
#include "float_repr.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace zorva {

std::size_t floatRepr(double value, char* out, ReprNumber* number) noexcept {
  char* p = out;
  if (std::isnan(value)) {
    std::memcpy(p, "nan", 3);
    return 3;
  }
  if (std::signbit(value)) *p++ = '-';
  value = std::fabs(value);
  if (std::isinf(value) || value == 0) {
    std::memcpy(p, value == 0 ? "0.0" : "inf", 3);
    return static_cast<std::size_t>(p + 3 - out);
  }
  // The shortest round trip in scientific form: d[.ddd]e(+|-)XX[X].
  char scientific[32];
  const char* end = std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
  // The exponent's sign stands 3 or 4 places before the end.
  const char* sign = end[-3] == '+' || end[-3] == '-' ? end - 3 : end - 4;
  char digits[17];
  digits[0] = scientific[0];
  // Without a point the 'e' follows the one digit.
  const std::size_t n = sign - 1 == scientific + 1 ? 1 : static_cast<std::size_t>(sign - 1 - scientific) - 1;
  std::memcpy(digits + 1, scientific + 2, n - 1);
  int exponent = (sign[1] - '0') * 10 + (sign[2] - '0');
  if (sign + 3 != end) exponent = exponent * 10 + (sign[3] - '0');
  if (*sign == '-') exponent = -exponent;
  const int point = exponent + 1;  // digits before the decimal point
  if (number != nullptr) {
    std::uint64_t coefficient = 0;
    for (std::size_t i = 0; i < n; ++i) coefficient = coefficient * 10 + static_cast<unsigned>(digits[i] - '0');
    // A whole number in fixed form ends in ".0", one more digit: at most 17.
    const bool whole = point > 0 && point <= 16 && static_cast<std::size_t>(point) >= n;
    for (std::size_t i = n; whole && i <= static_cast<std::size_t>(point); ++i) coefficient *= 10;
    number->coefficient = coefficient;
    number->exponent = whole ? -1 : point - static_cast<int>(n);
  }
  if (point <= -4 || point > 16) {
    *p++ = digits[0];
    if (n > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, n - 1);
      p += n - 1;
    }
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    int magnitude = std::abs(exponent);
    if (magnitude >= 100) {
      *p++ = static_cast<char>('0' + magnitude / 100);
      magnitude %= 100;
    }
    *p++ = static_cast<char>('0' + magnitude / 10);
    *p++ = static_cast<char>('0' + magnitude % 10);
  } else if (point <= 0) {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', static_cast<std::size_t>(-point));
    p += -point;
    std::memcpy(p, digits, n);
    p += n;
  } else if (static_cast<std::size_t>(point) < n) {
    std::memcpy(p, digits, static_cast<std::size_t>(point));
    p += point;
    *p++ = '.';
    std::memcpy(p, digits + point, n - static_cast<std::size_t>(point));
    p += n - static_cast<std::size_t>(point);
  } else {
    std::memcpy(p, digits, n);
    p += n;
    std::memset(p, '0', static_cast<std::size_t>(point) - n);
    p += static_cast<std::size_t>(point) - n;
    *p++ = '.';
    *p++ = '0';
  }
  return static_cast<std::size_t>(p - out);
}

}  // namespace zorva
