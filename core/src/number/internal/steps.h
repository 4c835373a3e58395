// The number strategy's per-value steps over any coefficient width (256 or
// 512 bits, or BigInt): the unit draw, the target, clamp and moved. Included
// only by number.cpp: internal linkage on purpose, as for the decimal
// algorithms, so that the strategy's file owns copies to specialise.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "keyed_hash/keyed_hash.h"
#include "number/internal/big_ops.h"
#include "number/dec.h"
#include "number/internal/decimal_algorithms.h"
#include "number/limits.h"
#include "number/number.h"
#include "number/internal/wide_ops.h"

namespace zorva::number_detail {

namespace {

template <class Ops>
NumberOf<Ops> unitNumber(Ops& ops, std::uint64_t u) {
  if constexpr (std::is_same_v<Ops, BigOps>) {
    return Dec{BigInt::fromU64(u) * fivePow53(), -53, false};  // u / 2^53
  } else {
    using C = typename Ops::Coefficient;
    static const C scale = [] {
      C w;
      toWide(fivePow53(), w);
      return w;
    }();
    return NumberOf<Ops>{ops.mul(Ops::fromU64(u), scale), -53, false};
  }
}

template <class Ops>
NumberOf<Ops> unitAt(std::int64_t exponent, bool negative) {
  return NumberOf<Ops>{Ops::fromU64(1), exponent, negative};
}

template <class Ops>
std::optional<NumberOf<Ops>> targetT(Ops& ops, const Settings<NumberOf<Ops>>& s, const NumberOf<Ops>& value,
                                     std::uint64_t u) {
  using N = NumberOf<Ops>;
  N f = unitNumber(ops, u);
  if (s.min) {
    if (!s.range) return std::nullopt;
    std::optional<N> product = multiplyT(ops, *s.range, f);
    if (!product) return std::nullopt;
    std::optional<N> scaled = roundedT(ops, std::move(*product));
    if (!scaled) return std::nullopt;
    return addSigned(ops, *s.min, *scaled, scaled->negative);
  }
  // w in [-1, 1): 2f - 1.
  f.coefficient = ops.add(f.coefficient, f.coefficient);
  std::optional<N> a = roundedT(ops, std::move(f));
  if (!a) return std::nullopt;
  std::optional<N> w = addSigned(ops, *a, unitAt<Ops>(0, true), true);
  if (!w) return std::nullopt;
  std::optional<N> product = multiplyT(ops, *w, *s.variance);
  if (!product) return std::nullopt;
  std::optional<N> m = roundedT(ops, std::move(*product));
  if (!m) return std::nullopt;
  std::optional<N> k = addSigned(ops, unitAt<Ops>(0, false), *m, m->negative);
  if (!k) return std::nullopt;
  product = multiplyT(ops, value, *k);
  if (!product) return std::nullopt;
  return roundedT(ops, std::move(*product));
}

template <class Ops>
std::optional<NumberOf<Ops>> clampT(Ops& ops, const Settings<NumberOf<Ops>>& s, const NumberOf<Ops>& q,
                                    std::int64_t exponent) {
  using N = NumberOf<Ops>;
  if (!s.min) return q;
  std::optional<N> lo = quantizeT(ops, *s.min, exponent, Rounding::ceiling);
  if (!lo) return std::nullopt;
  std::optional<N> hi = quantizeT(ops, *s.max, exponent, Rounding::floor);
  if (!hi) return std::nullopt;
  const N& x = compareT(ops, *lo, q) != std::strong_ordering::greater ? q : *lo;
  return compareT(ops, *hi, x) == std::strong_ordering::less ? *hi : x;
}

// The "step" draw, made at most once per value whichever path asks for it.
struct StepDraw {
  const KeyedHash& keyedHash;
  std::string_view data;
  std::optional<bool> up;

  bool upward() {
    // f >= 1/2 exactly when u >= 2^52.
    if (!up) up = unitOf(keyedHash.digest(data, "step")) >= (std::uint64_t{1} << 52);
    return *up;
  }
};

template <class Ops>
std::optional<NumberOf<Ops>> movedT(Ops& ops, const Settings<NumberOf<Ops>>& s, const NumberOf<Ops>& value,
                                    const NumberOf<Ops>& z, const NumberOf<Ops>& step, StepDraw& draw) {
  if (s.min || ops.isZero(value.coefficient) || compareT(ops, z, value) != std::strong_ordering::equal) {
    return z;
  }
  return addSigned(ops, value, step, draw.upward() ? step.negative : !step.negative);
}

template <class Ops>
std::optional<NumberOf<Ops>> finishSteps(Ops& ops, const Settings<NumberOf<Ops>>& s, const NumberOf<Ops>& value,
                                         std::optional<NumberOf<Ops>> t, std::optional<std::int64_t> grid,
                                         StepDraw& draw);

// The relative target value * (1 + (2f - 1) * variance) in 256 bits, for a
// variance of few digits whose exponent keeps 1 + m within 60 digits. Then
// 2f, 2f - 1, their product with the variance and 1 + m are all exact: with
// f = u / 2^53 = u 5^53 10^-53, 2f - 1 = s 5^53 10^-53 for s = 2u - 2^53, so
// 1 + m = (10^g +- |s| V 5^53) 10^-g with g = 53 - (variance exponent), and
// only the final product is rounded. Sets ops.overflow where that does not
// hold, and the caller takes the general path.
struct RelativeShortcut {
  std::uint64_t v = 0;    // variance coefficient, below 10^7
  std::uint64_t gap = 0;  // 53 - variance exponent, 1..59
  bool negative = false;  // variance sign
};

std::optional<NarrowDec> relativeTarget(WideOps<4>& ops, const RelativeShortcut& r, const NarrowDec& value,
                                        std::uint64_t u) {
  using W = WideT<4>;
  static const W scale = [] {
    W w;
    toWide(fivePow53(), w);
    return w;
  }();
  const std::int64_t s = static_cast<std::int64_t>(2 * u) - (std::int64_t{1} << 53);
  // Sign of m = w * variance; w = 0 counts as positive.
  const bool mNegative = (s < 0) != r.negative;
  const u128 sv = static_cast<u128>(s < 0 ? -s : s) * r.v;  // below 2^77
  W small;
  small.limb[0] = static_cast<std::uint64_t>(sv);
  small.limb[1] = static_cast<std::uint64_t>(sv >> 64);
  small.size = 2;
  small.trim();
  const W m = ops.mul(small, scale);  // below 10^60
  const W& one = widePowers<4>()[r.gap];
  NarrowDec k;
  k.exponent = -static_cast<std::int64_t>(r.gap);
  if (!mNegative) {
    k.coefficient = ops.add(one, m);
  } else if (compareWide(one, m) == std::strong_ordering::less) {
    k.coefficient = ops.sub(m, one);
    k.negative = true;
  } else {
    k.coefficient = ops.sub(one, m);
  }
  // 1 + m is exact only within 60 digits.
  if (compareWide(k.coefficient, widePowers<4>()[kPrecision]) != std::strong_ordering::less) {
    ops.overflow = true;
    return std::nullopt;
  }
  std::optional<NarrowDec> product = multiplyT(ops, value, k);
  if (!product) return std::nullopt;
  return roundedT(ops, std::move(*product));
}

// target, then (with a grid exponent) quantize, clamp and moved.
template <class Ops>
std::optional<NumberOf<Ops>> maskSteps(Ops& ops, const Settings<NumberOf<Ops>>& s, const NumberOf<Ops>& value,
                                       std::uint64_t u, std::optional<std::int64_t> grid, StepDraw& draw) {
  return finishSteps(ops, s, value, targetT(ops, s, value, u), grid, draw);
}

// Quantize, clamp and moved after the target t.
template <class Ops>
std::optional<NumberOf<Ops>> finishSteps(Ops& ops, const Settings<NumberOf<Ops>>& s, const NumberOf<Ops>& value,
                                         std::optional<NumberOf<Ops>> t, std::optional<std::int64_t> grid,
                                         StepDraw& draw) {
  if (!t || !grid) return t;
  std::optional<NumberOf<Ops>> q = quantizeT(ops, *t, *grid, Rounding::halfEven);
  if (!q) return std::nullopt;
  std::optional<NumberOf<Ops>> z = clampT(ops, s, *q, *grid);
  if (!z) return std::nullopt;
  return movedT(ops, s, value, *z, unitAt<Ops>(*grid, false), draw);
}

}  // namespace
}  // namespace zorva::number_detail
