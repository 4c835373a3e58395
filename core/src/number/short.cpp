// The short road: the number strategy's steps on fixed arrays of five 64-bit
// words, for values of at most 19 digits. Division by powers of ten uses
// precomputed reciprocals; the two roundings of a quantized target (to 60
// digits, then to the grid) are told apart only where they can differ.
#include "number/internal/short.h"

#include <algorithm>
#include <limits>

#include "support/decimal_digits.h"
#include "number/limits.h"
#include "number/internal/powers.h"
#include "number/internal/short_float.h"
#include "number/internal/short_words.h"

namespace zorva::number_detail {

namespace {

// Exponents of the bounded settings the road takes, at most, either way.
constexpr std::int64_t kMaxSettingExponent = 1000;
// An addend this many places below the other is handled by the general road
// (its negligible-operand rule).
constexpr std::uint64_t kMaxAlignment = 62;

// A signed coefficient on Words with its exponent, as the sums are formed.
struct Wide {
  Words coefficient;
  std::int64_t exponent = 0;
  bool negative = false;
};

// rounded(s), then quantize to exponent grid with half-even: from the
// quotient A = floor(s / 10^T) for T = grid - exponent and its remainder R,
// which decides both roundings in turn except in a band of width 2 10^k
// around the midpoint (k digits dropped by the first rounding).
void quantized(const Tables& t, const Wide& s, std::int64_t grid, ShortResult& out) {
  out.exponent = grid;
  out.negative = s.negative;
  if (compare(s.coefficient, t.pow[kTopPower - 1]) >= 0) return;  // general
  const std::uint64_t n = digitsOf(t, s.coefficient);
  const std::uint64_t k = n > kPrecision ? n - kPrecision : 0;
  const std::int64_t total = grid - s.exponent;
  if (isZero(s.coefficient) || total > static_cast<std::int64_t>(n)) {
    // Zero, or below a tenth of the grid step: quantizes to zero.
    out.kind = ShortResult::Kind::number;
    return;
  }
  // The grid at or below the 60-digit target's last place: either exact
  // scaling to 60 digits or more, or a refusal; both for the general road.
  if (total <= static_cast<std::int64_t>(k) || k > 19) return;
  const auto places = static_cast<unsigned>(total);
  std::uint64_t a = 0;
  Words r;
  if (!divPow10(t, s.coefficient, places, a, r)) return;
  bool up = false;
  if (k == 0) {
    const int c = compare(r, t.half[places]);
    up = c > 0 || (c == 0 && (a & 1) != 0);
  } else {
    // r = B 10^k + C with B the digits the first rounding keeps below the
    // grid and H = 5 10^(j-1) half the grid step in them, j = T - k. B > H
    // rounds up and B < H - 1 down whatever C is; B in {H - 1, H} (a tie or
    // next to one) goes to the general road.
    const Words& unit = t.pow[k];
    const Words& midpoint = t.half[places];  // H 10^k
    if (compare(r, add(midpoint, unit)) >= 0) {
      up = true;
    } else if (compare(r, sub(midpoint, unit)) >= 0) {
      return;
    }
  }
  if (up && a == std::numeric_limits<std::uint64_t>::max()) return;
  out.kind = ShortResult::Kind::number;
  out.coefficient = a + (up ? 1 : 0);
}

// a + (-1)^bNegative |b|, the general road's addSigned before its rounding,
// for operands whose exponents lie within kMaxAlignment; nothing otherwise or
// when the sum would reach 10^80.
std::optional<Wide> addSigned(const Tables& t, const Wide& a, const Wide& b, bool bNegative) {
  const Wide* hi = &a;
  const Wide* lo = &b;
  bool hiNegative = a.negative, loNegative = bNegative;
  if (hi->exponent < lo->exponent) {
    std::swap(hi, lo);
    std::swap(hiNegative, loNegative);
  }
  const bool bothNegative = a.negative && bNegative;
  Wide sum;
  sum.exponent = lo->exponent;
  if (isZero(hi->coefficient)) {
    sum.coefficient = lo->coefficient;
    sum.negative = isZero(lo->coefficient) ? bothNegative : loNegative;
    return sum;
  }
  const auto gap = static_cast<std::uint64_t>(hi->exponent - lo->exponent);
  if (gap > kMaxAlignment || digitsOf(t, hi->coefficient) + gap >= kTopPower - 1) return std::nullopt;
  Words scaled = hi->coefficient;
  for (std::uint64_t left = gap; left > 0;) {
    const std::uint64_t step = left < 19 ? left : 19;
    scaled = mulWord(scaled, kPowersOfTen64[step]);
    left -= step;
  }
  if (hiNegative == loNegative) {
    sum.coefficient = add(scaled, lo->coefficient);
    sum.negative = hiNegative;
  } else if (compare(scaled, lo->coefficient) < 0) {
    sum.coefficient = sub(lo->coefficient, scaled);
    sum.negative = loNegative;
  } else {
    sum.coefficient = sub(scaled, lo->coefficient);
    sum.negative = hiNegative;
  }
  if (isZero(sum.coefficient)) sum.negative = bothNegative;
  return sum;
}

// The magnitude of quantize(d, grid, mode) for mode ceiling or floor, when it
// is below 2^64.
std::optional<std::uint64_t> quantizeBound(std::uint64_t c, std::int64_t e, bool negative, std::int64_t grid,
                                           bool ceiling) {
  if (c == 0) return 0;
  const bool upward = ceiling ? !negative : negative;
  if (e >= grid) {
    if (e - grid > 19) return std::nullopt;
    std::uint64_t out = 0;
    if (__builtin_mul_overflow(c, kPowersOfTen64[e - grid], &out)) return std::nullopt;
    return out;
  }
  if (grid - e > 19) return upward ? 1 : 0;  // c < 10^20: only the direction matters
  std::uint64_t rem = 0;
  const std::uint64_t q = pow10Modulus(grid - e).divide(0, c, rem);
  return q + (rem != 0 && upward ? 1 : 0);
}
// Signed value of a magnitude, for comparing numbers on one grid.
__int128 signedOf(u128 magnitude, bool negative) {
  const auto v = static_cast<__int128>(magnitude);
  return negative ? -v : v;
}

}  // namespace

std::optional<ShortRoad> ShortRoad::make(const std::optional<Dec>& min, const std::optional<Dec>& max,
                                         const std::optional<Dec>& range, const Dec& variance) {
  ShortRoad road;
  auto decimal = [](const Dec& d, Decimal& out) {
    if (!d.coefficient.magnitudeFitsU64() || d.exponent > kMaxSettingExponent || d.exponent < -kMaxSettingExponent)
      return false;
    out = Decimal{d.coefficient.magnitudeU64(), d.exponent, d.negative};
    return true;
  };
  if (min) {
    road.bounded_ = true;
    if (!range || !decimal(*min, road.min_) || !decimal(*max, road.max_) || !decimal(*range, road.range_))
      return std::nullopt;
    return road;
  }
  // 1 + (2f - 1) variance is then exact within 60 digits, or found not to be
  // per value (see mask).
  if (!variance.coefficient.magnitudeFitsU64() || variance.coefficient.magnitudeU64() >= 10000000 ||
      variance.exponent < -6 || variance.exponent > 52)
    return std::nullopt;
  road.variance_ = variance.coefficient.magnitudeU64();
  road.gap_ = 53 - variance.exponent;
  road.varianceNegative_ = variance.negative;
  return road;
}

ShortResult ShortRoad::mask(const ShortValue& value, std::uint64_t u, std::optional<std::int64_t> grid,
                            const KeyedHash& keyedHash, std::string_view data) const {
  const Tables& t = tables();
  // Every return gives this one object, built in the caller's slot: copying
  // a result whose flags were just stored byte by byte stalls the loads that
  // copy it.
  ShortResult out;  // Kind::general until settled
  bool onGrid = false;
  if (!bounded_ && gap_ >= 53) {
    // A variance exponent of at most 0: the target on two words.
    BinaryTarget b;
    if (binaryTarget(value.coefficient, value.exponent, value.negative, u, variance_, gap_, varianceNegative_, b)) {
      if (!grid) {
        if (b.n == 0) {
          out.kind = ShortResult::Kind::fallback;
          return out;
        }
        if (std::optional<double> y = binaryToF64(t, b)) {
          out.kind = ShortResult::Kind::real;
          out.real = *y;
          return out;
        }
      } else {
        onGrid = binaryOnGrid(t, b, *grid, out);
      }
    }
  }
  // The target on five words, then (with a grid) quantized into out: false
  // when out is then an answer or a hand-over to return.
  auto wideTarget = [&]() -> bool {
    Wide target;  // before its rounding to 60 digits
    if (!bounded_) {
      // With f = u / 2^53 = u 5^53 10^-53, 2f - 1 = s 5^53 10^-53 for
      // s = 2u - 2^53, and 1 + m = (10^g +- |s| V 5^53) 10^-g with g the gap:
      // every step before the last product is exact while that stays below 10^60.
      const std::int64_t s = static_cast<std::int64_t>(2 * u) - (std::int64_t{1} << 53);
      const bool mNegative = (s < 0) != varianceNegative_;  // s = 0 counts as positive
      const Words m = mulU128(static_cast<u128>(s < 0 ? -s : s) * variance_, fromU128(kFivePow53));
      const Words& one = t.pow[gap_];
      Words k;
      bool kNegative = false;
      if (!mNegative) {
        k = add(one, m);
      } else if (compare(one, m) < 0) {
        k = sub(m, one);
        kNegative = true;
      } else {
        k = sub(one, m);
      }
      if (compare(k, t.pow[kPrecision]) >= 0 || value.coefficient >= kPowersOfTen64[19]) return false;
      target.coefficient = mulWord(k, value.coefficient);
      target.exponent = value.exponent - gap_;
      target.negative = value.negative != kNegative;
    } else {
      // min + rounded(range f): the product is exact, then rounded as the
      // general road rounds it, then added.
      Wide scaled;
      scaled.coefficient = mulU128(static_cast<u128>(range_.coefficient) * u, fromU128(kFivePow53));
      scaled.exponent = range_.exponent - 53;
      scaled.negative = range_.negative;
      const std::uint64_t n = digitsOf(t, scaled.coefficient);
      if (n > kPrecision) {
        const auto k = static_cast<unsigned>(n - kPrecision);
        const std::uint64_t rem = divWord(scaled.coefficient, k);
        const std::uint64_t halfUnit = t.half[k].w[0];
        if (rem > halfUnit || (rem == halfUnit && (scaled.coefficient.w[0] & 1) != 0)) {
          scaled.coefficient = add(scaled.coefficient, fromU128(1));
        }
        scaled.exponent += k;
        if (compare(scaled.coefficient, t.pow[kPrecision]) == 0) {
          scaled.coefficient = t.pow[kPrecision - 1];
          scaled.exponent += 1;
        }
      }
      const Wide lowest{fromU128(min_.coefficient), min_.exponent, min_.negative};
      std::optional<Wide> sum = addSigned(t, lowest, scaled, scaled.negative);
      if (!sum) return false;
      target = *sum;
    }

    if (!grid) {
      // A float without decimals: the target converted directly.
      if (compare(target.coefficient, t.pow[kTopPower - 1]) >= 0) return false;
      if (isZero(target.coefficient)) {
        out.kind = ShortResult::Kind::fallback;
        return false;
      }
      const std::optional<double> y =
          targetToF64(t, target.coefficient, digitsOf(t, target.coefficient), target.exponent, target.negative);
      if (!y) return false;
      out.kind = ShortResult::Kind::real;
      out.real = *y;
      return false;
    }

    quantized(t, target, *grid, out);
    return out.kind == ShortResult::Kind::number;
  };
  if (!onGrid && !wideTarget()) return out;
  if (bounded_) {
    // clamp: lo = quantize(min, grid, ceiling), hi = quantize(max, grid, floor).
    const std::optional<std::uint64_t> lo = quantizeBound(min_.coefficient, min_.exponent, min_.negative, *grid, true);
    const std::optional<std::uint64_t> hi = quantizeBound(max_.coefficient, max_.exponent, max_.negative, *grid, false);
    if (!lo || !hi) {
      out = ShortResult{};
      return out;
    }
    if (signedOf(*lo, min_.negative) > signedOf(out.coefficient, out.negative)) {
      out.coefficient = *lo;
      out.negative = min_.negative;
    }
    if (signedOf(*hi, max_.negative) < signedOf(out.coefficient, out.negative)) {
      out.coefficient = *hi;
      out.negative = max_.negative;
    }
    return out;
  }

  // moved: a nonzero value equal to its quantized target steps off it.
  if (value.coefficient == 0 || out.coefficient == 0 || out.negative != value.negative) return out;
  const std::int64_t e = value.exponent;
  const std::int64_t d = *grid >= e ? *grid - e : e - *grid;
  if (d > 19) return out;  // one side has 20 digits more than the other: unequal
  const u128 scale = kPowersOfTen64[d];
  const bool equal =
      *grid >= e ? out.coefficient * scale == value.coefficient : out.coefficient == value.coefficient * scale;
  if (!equal) return out;
  const bool upward = unitOf(keyedHash.digest(data, "step")) >= (std::uint64_t{1} << 52);
  // value + step or value - step, the step 10^grid: the general road's
  // addSigned, here with a coefficient below 10^39 and nothing to round.
  const bool stepNegative = !upward;
  const bool valueHi = e >= *grid;
  const u128 hiMagnitude = valueHi ? value.coefficient * scale : scale;
  const u128 loMagnitude = valueHi ? 1 : value.coefficient;
  const bool hiNegative = valueHi ? value.negative : stepNegative;
  const bool loNegative = valueHi ? stepNegative : value.negative;
  out.kind = ShortResult::Kind::number;
  out.exponent = valueHi ? *grid : e;
  if (hiNegative == loNegative) {
    out.coefficient = hiMagnitude + loMagnitude;
    out.negative = hiNegative;
  } else if (hiMagnitude < loMagnitude) {
    out.coefficient = loMagnitude - hiMagnitude;
    out.negative = loNegative;
  } else {
    out.coefficient = hiMagnitude - loMagnitude;
    out.negative = hiNegative;
  }
  if (out.coefficient == 0) out.negative = value.negative && stepNegative;
  return out;
}

}  // namespace zorva::number_detail
