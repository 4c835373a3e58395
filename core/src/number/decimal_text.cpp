// Exponent digits and the reading of decimal text as a double.
#include "number/internal/decimal_text.h"

#include <charconv>
#include <limits>
#include <system_error>

namespace zorva::number_detail {

void appendInt(Text& out, std::int64_t v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  out.append(buf, end);
}

double textToF64(const char* begin, const char* stop, std::int64_t exponent, std::uint64_t digits, bool negative) {
  double value = 0;
  auto [end, ec] = std::from_chars(begin, stop, value);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    // Only values that round to zero or to infinity are out of range; which
    // one follows from the position of the leading digit.
    __int128 top = static_cast<__int128>(exponent) + digits;
    value = top > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    if (negative) value = -value;
  }
  return value;
}

}  // namespace zorva::number_detail
