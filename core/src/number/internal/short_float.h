// The short road's float road: a target converted straight to the nearest
// double, or rounded onto a grid, from its leading digits or from its binary
// form, wherever that is settled exactly. Included only by number/short.cpp.
#pragma once

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <system_error>

#include "number/internal/short.h"
#include "number/internal/powers.h"
#include "number/internal/short_words.h"

namespace zorva::number_detail {

namespace {

// The 19 leading digits of a positive value s 10^e (of n digits) and the
// exponent of their last one; exact when nothing nonzero lies below them.
struct Leading {
  std::uint64_t digits = 0;
  std::int64_t exponent = 0;
  bool exact = true;
};

std::optional<Leading> leadingDigits(const Tables& t, const Words& s, std::uint64_t n, std::int64_t e) {
  Leading l;
  if (n <= 19) {
    l.digits = s.w[0];
    l.exponent = e;
    return l;
  }
  Words r;
  if (!divPow10(t, s, static_cast<unsigned>(n - 19), l.digits, r)) return std::nullopt;
  l.exponent = e + static_cast<std::int64_t>(n - 19);
  l.exact = isZero(r);
  return l;
}

// digits 10^e as the nearest double, when it lies in the double range.
std::optional<double> nearestDouble(std::uint64_t digits, std::int64_t e) {
  char text[48];
  char* end = std::to_chars(text, text + 24, digits).ptr;
  *end++ = 'e';
  end = std::to_chars(end, text + sizeof text, e).ptr;
  double value = 0;
  auto [stop, ec] = std::from_chars(text, end, value);
  (void)stop;
  if (ec != std::errc()) return std::nullopt;
  return value;
}

// The double nearest to every number in [d 10^e, (d + width) 10^e], width 0
// or 1, for 0 < d < 10^19 and |e| <= 22, when they all round alike by a
// clear margin; nothing otherwise. With d = dh + dl exactly (dl below 2^11)
// and 10^|e| exact, fma gives the exact error of the one product or
// quotient, so d 10^e = s + r with |r| about ulp(s) / 2 at most, known to
// some 2^-100 s; the margin is 2^-20 ulp(s).
std::optional<double> nearestByParts(std::uint64_t d, std::int64_t e, bool exact) {
  const double dh = static_cast<double>(d);
  const auto dl = static_cast<double>(static_cast<std::int64_t>(d - static_cast<std::uint64_t>(dh)));
  const double p = kExactPowers[e < 0 ? -e : e];
  double hi = 0, lo = 0, width = 0;
  if (e >= 0) {
    hi = dh * p;
    lo = std::fma(dh, p, -hi) + dl * p;
    width = exact ? 0 : p;
  } else {
    hi = dh / p;
    lo = (std::fma(-hi, p, dh) + dl) / p;
    width = exact ? 0 : 1 / p;
  }
  const double s = hi + lo;
  const double r = lo - (s - hi);
  const auto bits = std::bit_cast<std::uint64_t>(s);
  // At a power of two the double below lies closer than ulp(s).
  if ((bits & ((std::uint64_t{1} << 52) - 1)) == 0) return std::nullopt;
  const double ulp = std::bit_cast<double>(bits + 1) - s;
  const double bound = ulp / 2 - ulp * 0x1p-20;
  if (r > -bound && r + width < bound) return s;
  return std::nullopt;
}

// The double nearest to the value rounded(s) 10^e of the target, from the
// leading digits of s alone: rounded(s) lies between them and the next
// number of 19 digits, so where those two convert alike, so does it.
std::optional<double> targetToF64(const Tables& t, const Words& s, std::uint64_t n, std::int64_t e, bool negative) {
  const std::optional<Leading> leading = leadingDigits(t, s, n, e);
  if (!leading) return std::nullopt;
  const Leading& l = *leading;
  double value = 0;
  if (l.exact && l.digits < (std::uint64_t{1} << 53) && l.exponent >= -22 && l.exponent <= 22) {
    const auto mantissa = static_cast<double>(l.digits);
    value = l.exponent < 0 ? mantissa / kExactPowers[-l.exponent] : mantissa * kExactPowers[l.exponent];
  } else if (std::optional<double> near =
                 l.exponent >= -22 && l.exponent <= 22 ? nearestByParts(l.digits, l.exponent, l.exact) : std::nullopt) {
    value = *near;
  } else {
    std::optional<double> low = nearestDouble(l.digits, l.exponent);
    if (!low) return std::nullopt;
    if (!l.exact) {
      std::optional<double> high = nearestDouble(l.digits + 1, l.exponent);
      if (!high || *high != *low) return std::nullopt;
    }
    value = *low;
  }
  return negative ? -value : value;
}

// A relative target before its rounding to 60 digits, n 2^-53 10^exponent.
// With the variance V 10^v for v <= 0 and g = 53 - v, 1 + m is
// (10^g +- |s| V 5^53) 10^-g = 5^53 J 10^-g for J = 10^-v 2^53 +- |s| V,
// since 10^g = 5^53 10^-v 2^53; so value * (1 + m) = c J 2^-53 10^(e + v).
struct BinaryTarget {
  u128 n = 0;
  std::int64_t exponent = 0;
  bool negative = false;
};

// False when 1 + m reaches 10^60 (then it is not exact) or c J passes 2^128.
bool binaryTarget(std::uint64_t c, std::int64_t e, bool negative, std::uint64_t u, std::uint64_t variance,
                  std::int64_t gap, bool varianceNegative, BinaryTarget& out) {
  const std::int64_t s = static_cast<std::int64_t>(2 * u) - (std::int64_t{1} << 53);
  const bool mNegative = (s < 0) != varianceNegative;  // s = 0 counts as positive
  const u128 sv = static_cast<u128>(s < 0 ? -s : s) * variance;
  const u128 one = static_cast<u128>(kPowersOfTen64[gap - 53]) << 53;
  u128 j = 0;
  bool kNegative = false;
  if (!mNegative) {
    j = one + sv;
  } else if (one < sv) {
    j = sv - one;
    kNegative = true;
  } else {
    j = one - sv;
  }
  // 5^53 J < 10^60 = 5^53 10^7 2^53.
  if (j >= (static_cast<u128>(10000000) << 53)) return false;
  if (__builtin_mul_overflow(static_cast<u128>(c), j, &out.n)) return false;
  out.exponent = e + 53 - gap;
  out.negative = negative != kNegative;
  return true;
}

int n128LeadingZeros(u128 x) {
  const auto hi = static_cast<std::uint64_t>(x >> 64);
  return hi != 0 ? std::countl_zero(hi) : 64 + std::countl_zero(static_cast<std::uint64_t>(x));
}

// x / 5^a and x mod 5^a.
u128 divideByFive(const Tables& t, u128 x, unsigned a, std::uint64_t& rem) {
  const Modulus& m = t.five[a];
  std::uint64_t high = 0;
  const std::uint64_t qh = m.divide(0, static_cast<std::uint64_t>(x >> 64), high);
  const std::uint64_t ql = m.divide(high, static_cast<std::uint64_t>(x), rem);
  return (static_cast<u128>(qh) << 64) | ql;
}

// The double nearest to the target rounded to 60 digits, for a nonzero n and
// -27 <= exponent <= 0. Rounding to 60 digits moves the target by at most
// 5 10^-60 of it, under 2^-143 of a unit in the double's last place, while a
// target off a midpoint between doubles lies at least 2^-76 units from it
// (see below): both round alike. An exact midpoint goes to the general road.
std::optional<double> binaryToF64(const Tables& t, const BinaryTarget& b) {
  if (b.exponent > 0 || b.exponent < -static_cast<std::int64_t>(kMaxFivePower)) return std::nullopt;
  const auto a = static_cast<unsigned>(-b.exponent);
  // x = n 2^shift has its top bit set; the target is (x / 5^a) 2^(-53-a-shift).
  const int shift = n128LeadingZeros(b.n);
  std::uint64_t rem = 0;
  const u128 q = divideByFive(t, b.n << shift, a, rem);
  // q >= 2^127 / 5^27 > 2^64: drop >= 11 bits below the 53 kept. The exact
  // quotient q + rem/5^a lies off the midpoint by a multiple of 1/5^a, and
  // 5^a 2^drop < 2^76 since q 5^a < 2^128.
  const int drop = 128 - n128LeadingZeros(q) - 53;
  const u128 dropped = q & ((static_cast<u128>(1) << drop) - 1);
  const u128 half = static_cast<u128>(1) << (drop - 1);
  if (dropped == half && rem == 0) return std::nullopt;
  const std::uint64_t mantissa = static_cast<std::uint64_t>(q >> drop) + (dropped >= half ? 1 : 0);
  // Scaling by 2^(drop - 53 - a - shift), which lies within [-196, 22], is exact.
  const double y =
      static_cast<double>(mantissa) *
      std::bit_cast<double>(static_cast<std::uint64_t>(1023 + drop - 53 - static_cast<int>(a) - shift) << 52);
  return b.negative ? -y : y;
}

// quantize(rounded(target), grid, half-even) when 0 <= grid - exponent <=
// 27: the target over the grid step is n / (5^a 2^(a+53)). Rounding to 60
// digits first moves the target by at most 5 10^-60 of it, which in grid
// steps is below 10^-20 / D for D = 5^a 2^(a+53), while a target off a
// midpoint lies at least 1 / (2 D) from it: the two roundings agree but at an
// exact midpoint, which goes to the general road.
bool binaryOnGrid(const Tables& t, const BinaryTarget& b, std::int64_t grid, ShortResult& out) {
  if (grid < b.exponent || grid - b.exponent > static_cast<std::int64_t>(kMaxFivePower)) return false;
  const auto a = static_cast<unsigned>(grid - b.exponent);
  const unsigned s = a + 53;
  // n = (q 5^a + r) 2^s + low.
  std::uint64_t r = 0;
  const u128 q = divideByFive(t, b.n >> s, a, r);
  const u128 low = b.n & ((static_cast<u128>(1) << s) - 1);
  const std::uint64_t five = t.five[a].value();
  // Twice the remainder against D: (2r - 5^a) 2^s + 2 low, with 2r - 5^a odd.
  bool up = 2 * r > five;
  if (2 * r + 1 == five) {
    const u128 half = static_cast<u128>(1) << (s - 1);
    if (low == half) return false;
    up = low > half;
  }
  out.kind = ShortResult::Kind::number;
  out.coefficient = q + (up ? 1 : 0);
  out.exponent = grid;
  out.negative = b.negative;
  return true;
}

}  // namespace
}  // namespace zorva::number_detail
