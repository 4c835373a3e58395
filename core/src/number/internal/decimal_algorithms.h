// The decimal algorithms (comparison, 60-digit rounding, multiplication,
// addition, quantization), written once over a coefficient arithmetic Ops so
// that the fixed-width path of the number strategy and the BigInt path of Dec
// compute the same steps. Included by the files that instantiate them.
//
// Ops provides Coefficient and Number types, a sticky overflow flag, and
// isZero, isOdd, digits, compare, fromU64, add, sub, mul, mulPow10,
// divModPow10 and twiceCompare on coefficients.
#pragma once

#include <compare>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "support/decimal_digits.h"
#include "number/dec.h"
#include "number/limits.h"

namespace zorva::number_detail {

// Internal linkage on purpose: each file that instantiates the algorithms
// owns its copies, and the compiler may split and specialise them for that
// file's callers (some 30 to 50 instructions fewer a value on the
// fixed-width path than with copies shared between files).
namespace {

// A negligible addend is replaced by a unit this many places below the other
// operand's exponent (see add).
inline constexpr std::uint64_t kStandInPlaces = 62;
// Keeps a stand-in sum inside the table of powers, where digit counts are exact.
inline constexpr std::uint64_t kStandInMaxDigits = kPowersOfTen - 1 - kStandInPlaces;

inline bool roundsUpGiven(bool qOdd, std::strong_ordering twiceRemainder, Rounding mode, bool negative) {
  switch (mode) {
    case Rounding::halfEven:
      if (twiceRemainder == std::strong_ordering::equal) return qOdd;
      return twiceRemainder == std::strong_ordering::greater;
    case Rounding::ceiling: return !negative;
    case Rounding::floor: return negative;
  }
  return false;
}

inline std::strong_ordering reversed(std::strong_ordering o) {
  if (o == std::strong_ordering::less) return std::strong_ordering::greater;
  if (o == std::strong_ordering::greater) return std::strong_ordering::less;
  return o;
}

// Ops::Number is the decimal the algorithms act on: a coefficient, an
// exponent and a sign.
template <class Ops>
using NumberOf = typename Ops::Number;

// |a| against |b| for nonzero a and b, without forming a power of ten larger
// than the operands themselves.
template <class Ops>
std::strong_ordering compareMagnitudes(Ops& ops, const NumberOf<Ops>& a, const NumberOf<Ops>& b) {
  if (a.exponent == b.exponent) return ops.compare(a.coefficient, b.coefficient);
  // Position above the leading digit; decimalDigits may be one short beyond
  // its table, so only a gap of two or more decides.
  __int128 topA = static_cast<__int128>(a.exponent) + ops.digits(a.coefficient);
  __int128 topB = static_cast<__int128>(b.exponent) + ops.digits(b.coefficient);
  if (topA >= topB + 2) return std::strong_ordering::greater;
  if (topB >= topA + 2) return std::strong_ordering::less;
  // Here the exponent gap is at most the digit-count gap plus two.
  if (a.exponent > b.exponent) {
    std::uint64_t d = static_cast<std::uint64_t>(a.exponent) - static_cast<std::uint64_t>(b.exponent);
    return ops.compare(ops.mulPow10(a.coefficient, d), b.coefficient);
  }
  std::uint64_t d = static_cast<std::uint64_t>(b.exponent) - static_cast<std::uint64_t>(a.exponent);
  return ops.compare(a.coefficient, ops.mulPow10(b.coefficient, d));
}

template <class Ops>
std::strong_ordering compareT(Ops& ops, const NumberOf<Ops>& a, const NumberOf<Ops>& b) {
  bool aZero = ops.isZero(a.coefficient);
  bool bZero = ops.isZero(b.coefficient);
  if (aZero && bZero) return std::strong_ordering::equal;
  if (aZero) return b.negative ? std::strong_ordering::greater : std::strong_ordering::less;
  if (bZero || a.negative != b.negative) return a.negative ? std::strong_ordering::less : std::strong_ordering::greater;
  std::strong_ordering magnitude = compareMagnitudes(ops, a, b);
  return a.negative ? reversed(magnitude) : magnitude;
}

template <class Ops>
std::optional<NumberOf<Ops>> roundedT(Ops& ops, NumberOf<Ops> d) {
  std::uint64_t n = ops.digits(d.coefficient);
  if (n <= kPrecision) return d;
  std::uint64_t k = n - kPrecision;
  std::int64_t exponent = 0;
  if (k > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
      __builtin_add_overflow(d.exponent, static_cast<std::int64_t>(k), &exponent)) {
    return std::nullopt;
  }
  typename Ops::Coefficient q;
  typename Ops::Coefficient r;
  ops.divModPow10(d.coefficient, k, q, r);
  if (!ops.isZero(r) && roundsUpGiven(ops.isOdd(q), ops.twiceCompare(r, k), Rounding::halfEven, d.negative)) {
    q = ops.add(q, ops.fromU64(1));
  }
  // A carry can make q 10^60. (Beyond the table the digit count may be one
  // short and leave 61 digits; the loop keeps the 60-digit bound then too.)
  while (!ops.overflow && ops.digits(q) > kPrecision) {
    typename Ops::Coefficient rest;
    ops.divModPow10(q, 1, q, rest);
    if (__builtin_add_overflow(exponent, 1, &exponent)) return std::nullopt;
  }
  return NumberOf<Ops>{std::move(q), exponent, d.negative};
}

template <class Ops>
std::optional<NumberOf<Ops>> multiplyT(Ops& ops, const NumberOf<Ops>& a, const NumberOf<Ops>& b) {
  NumberOf<Ops> product;
  if (__builtin_add_overflow(a.exponent, b.exponent, &product.exponent)) return std::nullopt;
  product.coefficient = ops.mul(a.coefficient, b.coefficient);
  product.negative = a.negative != b.negative;
  return product;
}

// a + (-1)^bNegative * |b|.
template <class Ops>
std::optional<NumberOf<Ops>> addSigned(Ops& ops, const NumberOf<Ops>& a, const NumberOf<Ops>& b, bool bNegative) {
  using C = typename Ops::Coefficient;
  struct Operand {
    const C* coefficient;
    std::int64_t exponent;
    bool negative;
  };
  Operand hi{&a.coefficient, a.exponent, a.negative};
  Operand lo{&b.coefficient, b.exponent, bNegative};
  if (hi.exponent < lo.exponent) std::swap(hi, lo);
  const bool bothNegative = a.negative && bNegative;

  if (ops.isZero(*hi.coefficient)) {
    // Zero scaled by any power is zero: the sum is the other operand at its
    // own exponent, with its sign (it has the larger coefficient when nonzero).
    bool negative = ops.isZero(*lo.coefficient) ? bothNegative : lo.negative;
    return roundedT(ops, NumberOf<Ops>{*lo.coefficient, lo.exponent, negative});
  }

  std::uint64_t gap = static_cast<std::uint64_t>(hi.exponent) - static_cast<std::uint64_t>(lo.exponent);
  C standIn;
  if (gap > kStandInPlaces) {
    std::uint64_t loDigits = ops.digits(*lo.coefficient);  // may be one short
    std::uint64_t hiDigits = ops.digits(*hi.coefficient);
    if (gap - kStandInPlaces > loDigits && hiDigits <= kStandInMaxDigits) {
      // |lo| < 10^(hi.exponent - 61): it lies strictly between hi and the
      // nearest grid point or midpoint of 60 significant digits, on either
      // side, so only its sign matters (no tie can arise). A unit 62 places
      // below hi sits in the same interval and rounds to the same result.
      if (!ops.isZero(*lo.coefficient)) standIn = ops.fromU64(1);
      lo.coefficient = &standIn;
      lo.exponent = hi.exponent - static_cast<std::int64_t>(kStandInPlaces);
      gap = kStandInPlaces;
    } else if (hiDigits > kMaxScaledDigits || gap > kMaxScaledDigits - hiDigits) {
      return std::nullopt;  // refused: the aligned coefficient would be gigantic
    }
  }

  C scaled = gap == 0 ? *hi.coefficient : ops.mulPow10(*hi.coefficient, gap);
  NumberOf<Ops> sum;
  sum.exponent = lo.exponent;
  if (hi.negative == lo.negative) {
    sum.coefficient = ops.add(scaled, *lo.coefficient);
    sum.negative = hi.negative;
  } else if (ops.compare(scaled, *lo.coefficient) == std::strong_ordering::less) {
    sum.coefficient = ops.sub(*lo.coefficient, scaled);
    sum.negative = lo.negative;
  } else {
    sum.coefficient = ops.sub(scaled, *lo.coefficient);
    sum.negative = hi.negative;
  }
  if (ops.isZero(sum.coefficient)) sum.negative = bothNegative;
  return roundedT(ops, std::move(sum));
}

template <class Ops>
std::optional<NumberOf<Ops>> quantizeT(Ops& ops, const NumberOf<Ops>& d, std::int64_t target, Rounding mode) {
  using C = typename Ops::Coefficient;
  // Zero stays zero at any exponent, without a power of ten.
  if (ops.isZero(d.coefficient)) return NumberOf<Ops>{C(), target, d.negative};
  std::uint64_t n = ops.digits(d.coefficient);
  if (d.exponent >= target) {
    std::uint64_t k = static_cast<std::uint64_t>(d.exponent) - static_cast<std::uint64_t>(target);
    // The exact result has n + k digits; refuse before scaling.
    if (n > kPrecision || k > kPrecision - n) return std::nullopt;
    return NumberOf<Ops>{k == 0 ? d.coefficient : ops.mulPow10(d.coefficient, k), target, d.negative};
  }
  std::uint64_t k = static_cast<std::uint64_t>(target) - static_cast<std::uint64_t>(d.exponent);
  C q;
  if (k - 1 > n) {
    // coefficient < 10^(k-1) even if n is one short: q = 0 and 2r < 10^k.
    if (roundsUpGiven(false, std::strong_ordering::less, mode, d.negative)) q = ops.fromU64(1);
  } else {
    C r;
    ops.divModPow10(d.coefficient, k, q, r);
    if (!ops.isZero(r)) {
      std::strong_ordering twice = mode == Rounding::halfEven ? ops.twiceCompare(r, k) : std::strong_ordering::less;
      if (roundsUpGiven(ops.isOdd(q), twice, mode, d.negative)) q = ops.add(q, ops.fromU64(1));
    }
  }
  if (ops.digits(q) > kPrecision) return std::nullopt;
  return NumberOf<Ops>{std::move(q), target, d.negative};
}

}  // namespace
}  // namespace zorva::number_detail
