// repr() of a double as CPython writes it.
#include "number/float_repr.h"

#include "support/decimal_digits.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace zorva {

namespace {

using u128 = unsigned __int128;

// The shortest digits of a positive finite double: digits 10^exponent.
struct Shortest {
  std::uint64_t digits = 0;
  int exponent = 0;
};

// 5^0 .. 5^19, the powers the finest grid of a double below 2^49 needs.
constexpr auto kPowersOfFive = [] {
  std::array<std::uint64_t, 20> powers{};
  std::uint64_t p = 1;
  for (std::uint64_t& power : powers) {
    power = p;
    p *= 5;
  }
  return powers;
}();

// x / 10^k and whether it is exact, for k < 20: x is a multiple of 10^k
// exactly when rotating x 5^-k (mod 2^64) right by k leaves at most
// (2^64 - 1) / 10^k, and that rotation is then the quotient.
struct ExactTen {
  std::uint64_t inverse;  // 5^-k mod 2^64
  std::uint64_t limit;
  int k;
};

constexpr ExactTen exactTen(int k) {
  std::uint64_t five = 1;
  for (int i = 0; i < k; ++i) five *= 5;
  std::uint64_t inverse = five;  // right to 3 bits, as any odd number is its own inverse mod 8
  for (int i = 0; i < 5; ++i) inverse *= 2 - five * inverse;
  return ExactTen{inverse, ~std::uint64_t{0} / (five << k), k};
}

// Removes x's trailing decimal zeros (x nonzero) and returns their count.
unsigned stripZeros(std::uint64_t& x) {
  static constexpr ExactTen kSteps[] = {exactTen(16), exactTen(8), exactTen(4), exactTen(2), exactTen(1)};
  unsigned zeros = 0;
  for (const ExactTen& step : kSteps) {
    const std::uint64_t r = std::rotr(x * step.inverse, step.k);
    const bool divides = r <= step.limit;
    x = divides ? r : x;
    zeros += divides ? static_cast<unsigned>(step.k) : 0;
  }
  return zeros;
}

// The shortest digits by exact integer arithmetic, for doubles in
// [2^-10, 2^49) with a fraction (where repr never uses the exponent form).
// v = m 2^e reads back from any number strictly inside (v - 2^e / 2,
// v + 2^e / 2). Counted in units of 10^-n, n = floor(-e log10 2) + 1 (the
// finest grid needed: 10^-n < 2^e <= 10^(1-n)), that interval is
// ((2m - 1) 5^n, (2m + 1) 5^n) / 2^s for s = 1 - e - n >= 2, longer than
// one unit and shorter than ten; its ends are never whole (an odd number
// over a power of two), and every integer in it lies in [L, U], with U - L
// at most 9. Grid 10^-k is the multiples of 10^j for j = n - k, and the
// coarsest with a point wants the largest j for which U mod 10^j <= U - L:
// for j >= 1 that is U's last digit at most U - L and the j - 1 digits
// before it zero, and such a multiple is then the only one inside. With no
// multiple of ten inside, the nearest integer to the middle is the answer.
// Powers of two (a narrower lower half), whole numbers and ties between two
// nearest points are left to the general conversion: false.
bool shortestByIntegers(double v, Shortest& out) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const int e = static_cast<int>(bits >> 52) - 1075;
  if (fraction == 0 || e < -62 || e > -4) return false;
  const std::uint64_t m = fraction | (std::uint64_t{1} << 52);
  // n <= 19 and (2m + 1) 5^n < 2^99; the interval's ends lie below
  // 10 2^53, so U and L take one word.
  const int n = ((-e * 78913) >> 18) + 1;
  const auto s = static_cast<unsigned>(1 - e - n);
  const u128 five = kPowersOfFive[n];
  const u128 middle = m * five;  // the middle of the interval is middle / 2^(s - 1)
  const auto upper = static_cast<std::uint64_t>((2 * middle + five) >> s);
  const auto lower = static_cast<std::uint64_t>((2 * middle - five) >> s) + 1;
  std::uint64_t q = upper / 10;
  const std::uint64_t last = upper - 10 * q;
  if (last <= upper - lower) {
    // A multiple of 10^j, j = 1 + the zeros ending q: q over them.
    const unsigned j = 1 + stripZeros(q);
    if (j >= static_cast<unsigned>(n)) return false;  // a whole number would do
    out.digits = q;
    out.exponent = static_cast<int>(j) - n;
    return true;
  }
  const unsigned t = s - 1;
  const u128 half = static_cast<u128>(1) << (t - 1);
  const u128 rest = middle & ((static_cast<u128>(1) << t) - 1);
  if (rest == half) return false;
  out.digits = static_cast<std::uint64_t>(middle >> t) + (rest > half ? 1 : 0);
  out.exponent = -n;
  return true;
}

// The shortest digits from the standard library's shortest round trip.
Shortest shortestByLibrary(double v) {
  // Scientific form: d[.ddd]e(+|-)XX[X].
  char scientific[32];
  const char* end = std::to_chars(scientific, scientific + sizeof scientific, v, std::chars_format::scientific).ptr;
  // The exponent's sign stands 3 or 4 places before the end.
  const char* sign = end[-3] == '+' || end[-3] == '-' ? end - 3 : end - 4;
  Shortest out;
  int count = 0;
  for (const char* p = scientific; *p != 'e'; ++p) {
    if (*p == '.') continue;
    out.digits = out.digits * 10 + static_cast<unsigned>(*p - '0');
    ++count;
  }
  int exponent = (sign[1] - '0') * 10 + (sign[2] - '0');
  if (sign + 3 != end) exponent = exponent * 10 + (sign[3] - '0');
  if (*sign == '-') exponent = -exponent;
  out.exponent = exponent + 1 - count;
  return out;
}

// The fixed form of a value from the integer road (between 2^-10 and 2^49,
// with a fraction): its digits written straight to out (room 32), never
// through a copy of them. The integer part is the value's own: the shortest
// digits never reach the next integer, which would be a shorter answer.
char* writeFixed(double magnitude, const Shortest& s, char* p) {
  const auto fraction = static_cast<unsigned>(-s.exponent);
  const auto whole = static_cast<std::uint64_t>(magnitude);
  if (whole == 0) {
    // At most three zeros after the point, as the value is at least 2^-10.
    std::memcpy(p, "0.000000", 8);
    const unsigned count = decimalDigits64(s.digits);
    return writeDigits64(p + 2 + (fraction - count), s.digits);
  }
  p = writeDigits64(p, whole);
  *p++ = '.';
  const std::uint64_t rest = s.digits - whole * kPowersOfTen64[fraction];
  const unsigned count = decimalDigits64(rest), zeros = fraction - count;
  std::memcpy(p, "00000000", 8);
  if (zeros > 8) std::memcpy(p + 8, "00000000", 8);
  return writeDigits64(p + zeros, rest);
}

std::size_t writeRepr(bool negative, double magnitude, bool fast, char* out, ReprNumber* number) {
  char* p = out;
  if (negative) *p++ = '-';
  if (std::isinf(magnitude) || magnitude == 0) {
    std::memcpy(p, magnitude == 0 ? "0.0" : "inf", 3);
    return static_cast<std::size_t>(p + 3 - out);
  }
  Shortest s;
  if (fast && shortestByIntegers(magnitude, s)) {
    if (number != nullptr) *number = ReprNumber{s.digits, s.exponent};
    return static_cast<std::size_t>(writeFixed(magnitude, s, p) - out);
  }
  s = shortestByLibrary(magnitude);
  char digits[24];
  const auto n = static_cast<std::size_t>(writeDigits64(digits, s.digits) - digits);
  const int point = s.exponent + static_cast<int>(n);  // digits before the decimal point
  const int exponent = point - 1;
  if (number != nullptr) {
    std::uint64_t coefficient = s.digits;
    // A whole number in fixed form ends in ".0", one more digit: at most 17.
    const bool whole = point > 0 && point <= 16 && static_cast<std::size_t>(point) >= n;
    for (std::size_t i = n; whole && i <= static_cast<std::size_t>(point); ++i) coefficient *= 10;
    number->coefficient = coefficient;
    number->exponent = whole ? -1 : s.exponent;
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
    int magnitudeOfExponent = std::abs(exponent);
    if (magnitudeOfExponent >= 100) {
      *p++ = static_cast<char>('0' + magnitudeOfExponent / 100);
      magnitudeOfExponent %= 100;
    }
    *p++ = static_cast<char>('0' + magnitudeOfExponent / 10);
    *p++ = static_cast<char>('0' + magnitudeOfExponent % 10);
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

std::size_t reprOf(double value, bool fast, char* out, ReprNumber* number) {
  if (std::isnan(value)) {
    std::memcpy(out, "nan", 3);
    return 3;
  }
  return writeRepr(std::signbit(value), std::fabs(value), fast, out, number);
}

}  // namespace

std::size_t floatRepr(double value, char* out, ReprNumber* number) noexcept { return reprOf(value, true, out, number); }

// The tests' road (declared in number/testing.h).
std::size_t floatReprByLibraryForTesting(double value, char* out, ReprNumber* number) noexcept {
  return reprOf(value, false, out, number);
}

}  // namespace zorva
