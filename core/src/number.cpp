// The number strategy: per value, a target drawn from the keyed hash (within
// [min, max] or relative to the value), then quantized, clamped and moved
// off the value. The steps run on 256-bit, then 512-bit coefficients where
// they fit and on BigInt otherwise, with identical results.
#include "number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <type_traits>
#include <utility>

#include "big_ops.h"
#include "decimal_algorithms.h"
#include "bytes.h"
#include "decimal_text.h"
#include "digits.h"
#include "float_repr.h"
#include "quote.h"
#include "wide_ops.h"

namespace zorva {

using namespace number_detail;

namespace {

// Limits of the values the number strategy masks.
constexpr std::uint64_t kMaxValueDigits = 38;
constexpr std::int64_t kMaxValueExponent = 400;
constexpr std::size_t kMaxFractionDigits = 28;

// The top 53 bits of a digest: u in u / 2^53.
std::uint64_t unitOf(const Digest& digest) { return loadBE64(digest.data()) >> 11; }

// The settings in 64 L bits; nothing when one of them does not fit.
template <int L>
std::optional<Settings<FastDecT<L>>> fixedWidth(const Settings<Dec>& s) {
  Settings<FastDecT<L>> out;
  auto convert = [](const std::optional<Dec>& from, std::optional<FastDecT<L>>& to) {
    if (from) to = toFast<L>(*from);
    return to.has_value() == from.has_value();
  };
  if (!convert(s.min, out.min) || !convert(s.max, out.max) || !convert(s.range, out.range) ||
      !convert(s.variance, out.variance)) {
    return std::nullopt;
  }
  return out;
}

template <class Ops>
NumberOf<Ops> unitNumber(Ops& ops, std::uint64_t u) {
  if constexpr (std::is_same_v<Ops, BigOps>) {
    return Dec::fromUnit(u);
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

// A masked number from either path; nothing when the value falls back.
struct Masked {
  std::optional<FastDec> fast;
  std::optional<Dec> big;

  bool present() const { return fast || big; }
  bool isZero() const { return fast ? fast->coefficient.size == 0 : big->isZero(); }
  // The Dec::toText form.
  Text text() const {
    if (big) return big->toText();
    Text out;
    if (fast->negative) out.push_back('-');
    appendWideDecimal(out, fast->coefficient);
    out.push_back('E');
    appendInt(out, fast->exponent);
    return out;
  }
  Dec dec() const { return big ? *big : Dec{toBig(fast->coefficient), fast->exponent, fast->negative}; }
};

}  // namespace

struct NumberStrategy::Run {
  template <std::size_t kBatch>
  static void maskBatches(const NumberStrategy& strategy, const KeyedHash& keyedHash,
                          std::span<const NumberInput> values, NumberResult* out, const std::uint64_t* units);

  // Runs the steps in 256 bits for a value of one limb, else in 512 bits,
  // when the operands fit and nothing overflows, else on BigInt; all give the
  // same number.
  // u is the unit of the value's digest under the empty label.
  static Masked steps(const NumberStrategy& strategy, const Dec& value, const KeyedHash& keyedHash,
                      std::string_view data, std::uint64_t u, std::optional<std::int64_t> grid, bool exactOnly) {
    StepDraw draw{keyedHash, data, std::nullopt};
    if (!exactOnly && strategy.narrow_ && value.coefficient.magnitudeFitsU64()) {
      std::optional<NarrowDec> narrowValue = toFast<4>(value);
      const Settings<NarrowDec>& s = *strategy.narrow_;
      WideOps<4> ops;
      std::optional<NarrowDec> result;
      if (strategy.relativeShortcut_) {
        const RelativeShortcut r{strategy.shortcutVariance_, strategy.shortcutGap_, strategy.exact_.variance->negative};
        std::optional<NarrowDec> t = relativeTarget(ops, r, *narrowValue, u);
        if (!ops.overflow) result = finishSteps(ops, s, *narrowValue, std::move(t), grid, draw);
      } else {
        result = maskSteps(ops, s, *narrowValue, u, grid, draw);
      }
      if (!ops.overflow) {
        if (!result) return Masked{};
        FastDec widened;
        for (int i = 0; i < 4; ++i) widened.coefficient.limb[i] = result->coefficient.limb[i];
        widened.coefficient.size = result->coefficient.size;
        widened.exponent = result->exponent;
        widened.negative = result->negative;
        return Masked{widened, std::nullopt};
      }
    }
    if (!exactOnly && strategy.fast_) {
      if (std::optional<FastDec> fastValue = toFast(value)) {
        WideOps<8> ops;
        std::optional<FastDec> result = maskSteps(ops, *strategy.fast_, *fastValue, u, grid, draw);
        if (!ops.overflow) return Masked{std::move(result), std::nullopt};
      }
    }
    BigOps ops;
    return Masked{std::nullopt, maskSteps(ops, strategy.exact_, value, u, grid, draw)};
  }
};

std::variant<NumberStrategy, Text> NumberStrategy::make(std::optional<std::string_view> min,
                                                        std::optional<std::string_view> max,
                                                        std::optional<std::string_view> variance,
                                                        std::optional<std::uint32_t> decimals) {
  if (min.has_value() != max.has_value()) return Text("number needs both min and max, or neither");
  auto notFinite = [](std::string_view option, std::string_view text) {
    Text message("number ");
    message.append(option);
    message.append(" is not a finite decimal: ");
    message.append(debugQuote(text));
    return message;
  };
  NumberStrategy strategy;
  Settings<Dec>& s = strategy.exact_;
  if (min.has_value()) {
    s.min = Dec::parse(*min);
    if (!s.min) return notFinite("min", *min);
    s.max = Dec::parse(*max);
    if (!s.max) return notFinite("max", *max);
  }
  Dec v{BigInt::fromU64(1), -1, false};
  if (variance.has_value()) {
    std::optional<Dec> parsed = Dec::parse(*variance);
    if (!parsed) return notFinite("variance", *variance);
    v = std::move(*parsed);
  }
  strategy.decimals_ = decimals;
  if (s.min) {
    // The same for every value; a range that cannot be formed makes every
    // value a fallback rather than failing construction.
    s.range = Dec::subtract(*s.max, *s.min);
  } else {
    if (v.coefficient.magnitudeFitsU64() && v.coefficient.magnitudeU64() < 10000000 && v.exponent >= -6 &&
        v.exponent <= 52) {
      strategy.relativeShortcut_ = true;
      strategy.shortcutVariance_ = v.coefficient.magnitudeU64();
      strategy.shortcutGap_ = static_cast<std::uint64_t>(53 - v.exponent);
    }
    s.variance = std::move(v);
  }
  strategy.fast_ = fixedWidth<8>(s);
  strategy.narrow_ = fixedWidth<4>(s);
  strategy.short_ = ShortRoad::make(s.min, s.max, s.range, s.variance ? *s.variance : v);
  return strategy;
}

std::optional<Dec> NumberStrategy::target(const Dec& value, const KeyedHash& keyedHash, std::string_view data) const {
  BigOps ops;
  return targetT(ops, exact_, value, unitOf(keyedHash.digest(data, "")));
}

std::optional<Dec> NumberStrategy::clamp(const Dec& q, std::int64_t exponent) const {
  BigOps ops;
  return clampT(ops, exact_, q, exponent);
}

std::optional<Dec> NumberStrategy::moved(const Dec& value, const Dec& z, const Dec& step, const KeyedHash& keyedHash,
                                         std::string_view data) const {
  BigOps ops;
  StepDraw draw{keyedHash, data, std::nullopt};
  return movedT(ops, exact_, value, z, step, draw);
}

std::optional<Text> NumberStrategy::hashData(const Dec& value, std::optional<std::string_view> floatRepr) {
  if (value.isZero()) return Text("0");
  // A float with a nonzero fraction hashes its repr: for a small coefficient
  // that is decided by one remainder, without writing the digits out.
  if (floatRepr && value.exponent < 0 && value.exponent >= -19 && value.coefficient.magnitudeFitsU64() &&
      value.coefficient.magnitudeU64() % kPowersOfTen64[-value.exponent] != 0) {
    return Text(*floatRepr);
  }
  Text digits;
  value.coefficient.appendMagnitudeDecimal(digits);
  const std::uint64_t n = digits.size();
  Text out;
  if (value.negative) out.push_back('-');
  if (value.exponent >= 0) {
    std::uint64_t zeros = static_cast<std::uint64_t>(value.exponent);
    if (zeros > kMaxScaledDigits) return std::nullopt;
    out.append(digits);
    out.append(zeros, '0');
    return out;
  }
  const std::uint64_t k = 0 - static_cast<std::uint64_t>(value.exponent);
  std::size_t kept = n;
  while (kept > 0 && digits[kept - 1] == '0') --kept;
  if (k <= n - kept) {  // the fraction digits are all zeros: integral
    out.append(digits.data(), n - k);
    return out;
  }
  if (floatRepr) return Text(*floatRepr);
  if (kept > kMaxFractionDigits) return std::nullopt;
  // Point position p = n + exponent; here p < kept.
  if (k >= n) {
    out.append("0.");
    out.append(k - n, '0');
    out.append(digits.data(), kept);
  } else {
    std::size_t p = n - k;
    out.append(digits.data(), p);
    out.push_back('.');
    out.append(digits.data() + p, kept - p);
  }
  return out;
}

namespace {

NumberResult fallback() { return NumberResult{}; }

// The value limits shared by floats and decimals.
bool withinValueLimits(const Dec& value) {
  return decimalDigits(value.coefficient) <= kMaxValueDigits && value.exponent <= kMaxValueExponent &&
         value.exponent >= -kMaxValueExponent;
}

}  // namespace

namespace {

// A value read and checked, waiting for its digest. A short one keeps its
// hash data in room (or borrows the float's repr); any other has its Dec and
// data in the batch's general slot of the same index.
struct Prepared {
  std::size_t index;  // in the batch
  std::optional<std::int64_t> grid;
  bool isShort;
  ShortValue value;
  std::string_view data;
  char room[kShortDataRoom];
  char repr[kFloatReprRoom];  // a float's repr when written here
};

struct GeneralValue {
  Dec value;
  Text data;
};

// The answer for a value of the given kind from its masked number on either
// road; it stays a fallback when the number is missing or not representable.
void answer(NumberInput::Kind kind, const Masked& m, NumberResult& result) {
  if (!m.present()) return;
  switch (kind) {
    case NumberInput::Kind::Int:
      result.kind = NumberResult::Kind::Int;
      result.integer = m.dec().toBigInt();
      break;
    case NumberInput::Kind::Float: {
      const double y = m.big ? m.big->toF64() : fastToF64(*m.fast);
      if (!std::isfinite(y) || y == 0) break;
      result.kind = NumberResult::Kind::Float;
      result.real = y;
      break;
    }
    case NumberInput::Kind::Decimal:
      if (m.isZero()) break;
      result.kind = NumberResult::Kind::Decimal;
      result.text = m.text();
      break;
  }
}

// The same from the short road; false hands the value to the general road.
bool answerShort(NumberInput::Kind kind, const ShortResult& r, NumberResult& result) {
  if (r.kind == ShortResult::Kind::general) return false;
  if (r.kind == ShortResult::Kind::fallback) return true;
  switch (kind) {
    case NumberInput::Kind::Int:
      if (r.kind != ShortResult::Kind::number || r.exponent != 0) return false;
      result.kind = NumberResult::Kind::Int;
      result.integer = BigInt::fromU128(r.coefficient, r.negative && r.coefficient != 0);
      break;
    case NumberInput::Kind::Float: {
      const double y = r.kind == ShortResult::Kind::real ? r.real : ShortRoad::toF64(r);
      if (!std::isfinite(y) || y == 0) break;
      result.kind = NumberResult::Kind::Float;
      result.real = y;
      break;
    }
    case NumberInput::Kind::Decimal:
      if (r.kind != ShortResult::Kind::number) return false;
      if (r.coefficient == 0) break;
      result.kind = NumberResult::Kind::Decimal;
      result.text = ShortRoad::toText(r);
      break;
  }
  return true;
}

}  // namespace

NumberResult NumberStrategy::maskInteger(const KeyedHash& keyedHash, const BigInt& value) const {
  NumberResult result;
  const NumberInput input{NumberInput::Kind::Int, &value, 0, {}};
  maskMany(keyedHash, {&input, 1}, &result);
  return result;
}

NumberResult NumberStrategy::maskFloat(const KeyedHash& keyedHash, double value, std::string_view repr) const {
  NumberResult result;
  const NumberInput input{NumberInput::Kind::Float, nullptr, value, repr};
  maskMany(keyedHash, {&input, 1}, &result);
  return result;
}

NumberResult NumberStrategy::maskDecimal(const KeyedHash& keyedHash, std::string_view text) const {
  NumberResult result;
  const NumberInput input{NumberInput::Kind::Decimal, nullptr, 0, text};
  maskMany(keyedHash, {&input, 1}, &result);
  return result;
}

// Batches of up to kBatch values; a call for one value sets up room for one.
template <std::size_t kBatch>
void NumberStrategy::Run::maskBatches(const NumberStrategy& strategy, const KeyedHash& keyedHash,
                                      std::span<const NumberInput> values, NumberResult* out,
                                      const std::uint64_t* units) {
  const NumberStrategy& self = strategy;
  Prepared prepared[kBatch];
  // Formed only for values off the short road.
  std::optional<GeneralValue> general[kBatch];
  std::string_view data[kBatch];
  Digest digests[kBatch];
  for (std::size_t from = 0; from < values.size(); from += kBatch) {
    const std::size_t n = std::min(kBatch, values.size() - from);
    // Read and check each value, its answer a fallback until it is masked.
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const NumberInput& in = values[from + i];
      // A result that is already a fallback (as every fresh one is) holds
      // nothing to clear.
      if (out[from + i].kind != NumberResult::Kind::Fallback) out[from + i] = fallback();
      Prepared& p = prepared[count];
      p.index = from + i;
      p.isShort = false;
      if (in.kind == NumberInput::Kind::Int) {
        const BigInt& integer = *in.integer;
        p.grid = 0;
        if (self.short_ && integer.magnitudeFitsU64() && integer.magnitudeU64() < kPowersOfTen64[19]) {
          p.isShort = true;
          p.value = ShortValue{integer.magnitudeU64(), 0, integer.isNegative()};
          char* end = p.room;
          if (p.value.negative) *end++ = '-';
          end = writeDigits64(end, p.value.coefficient);
          p.data = std::string_view(p.room, static_cast<std::size_t>(end - p.room));
        } else {
          if (decimalDigits(integer) > kMaxValueDigits) continue;
          general[count].emplace(GeneralValue{Dec{integer.abs(), 0, integer.isNegative()}, integer.toDecimal()});
        }
      } else {
        const bool isFloat = in.kind == NumberInput::Kind::Float;
        if (isFloat && (!std::isfinite(in.real) || in.real == 0)) continue;
        std::string_view text = in.text;
        // The short value goes straight into p: copying one whose fields were
        // just stored one by one stalls the loads that copy it.
        bool haveShort = false;
        if (isFloat && text.empty()) {
          // The repr written here gives the number it reads as with it: at
          // most 17 digits and an exponent within [-340, 308], short.
          ReprNumber number;
          text = std::string_view(p.repr, floatRepr(in.real, p.repr, &number));
          p.value.coefficient = number.coefficient;
          p.value.exponent = number.exponent;
          p.value.negative = in.real < 0;
          p.value.plain = false;
          haveShort = self.short_.has_value();
        } else if (self.short_) {
          if (std::optional<ShortValue> parsed = parseShort(text)) {
            p.value = *parsed;
            haveShort = true;
          }
        }
        std::int64_t exponent = 0;
        // A float's repr, or a plain Decimal text, is the hash data of a
        // value with a fraction: borrowed, not written again.
        if (haveShort && writeHashData(p.value, isFloat || p.value.plain ? &text : nullptr, p.room, p.data)) {
          p.isShort = true;
          exponent = p.value.exponent;
        }
        if (!p.isShort) {
          std::optional<Dec> dec = Dec::parse(text);
          if (!dec || !withinValueLimits(*dec)) continue;
          const std::optional<std::string_view> repr = isFloat ? std::optional<std::string_view>(text) : std::nullopt;
          std::optional<Text> hashed = NumberStrategy::hashData(*dec, repr);
          if (!hashed) continue;
          exponent = dec->exponent;
          general[count].emplace(GeneralValue{std::move(*dec), std::move(*hashed)});
        }
        // Without decimals a float's target is converted directly, and a
        // Decimal keeps its own places (at most to the unit).
        if (self.decimals_) {
          p.grid = -static_cast<std::int64_t>(*self.decimals_);
        } else {
          p.grid = isFloat ? std::nullopt : std::optional<std::int64_t>(std::min<std::int64_t>(exponent, 0));
        }
      }
      data[count] = p.isShort ? p.data : std::string_view(general[count]->data);
      ++count;
    }
    keyedHash.digestMany({data, count}, "", digests);
    for (std::size_t k = 0; k < count; ++k) {
      const Prepared& p = prepared[k];
      const NumberInput::Kind kind = values[p.index].kind;
      NumberResult& result = out[p.index];
      const std::uint64_t u = units ? units[p.index] : unitOf(digests[k]);
      if (p.isShort) {
        if (answerShort(kind, self.short_->mask(p.value, u, p.grid, keyedHash, p.data), result)) continue;
        // Handed over: the general road from the same value.
        const Dec value{BigInt::fromU64(p.value.coefficient), p.value.exponent, p.value.negative};
        answer(kind, steps(self, value, keyedHash, p.data, u, p.grid, self.exactOnly_), result);
      } else {
        answer(kind, steps(self, general[k]->value, keyedHash, general[k]->data, u, p.grid, self.exactOnly_), result);
        general[k].reset();
      }
    }
  }
}

void NumberStrategy::maskMany(const KeyedHash& keyedHash, std::span<const NumberInput> values,
                              NumberResult* out) const {
  if (values.size() == 1) {
    Run::maskBatches<1>(*this, keyedHash, values, out, nullptr);
  } else {
    Run::maskBatches<32>(*this, keyedHash, values, out, nullptr);
  }
}

void NumberStrategy::maskManyWithUnitsForTesting(const KeyedHash& keyedHash, std::span<const NumberInput> values,
                                                 const std::uint64_t* units, NumberResult* out) const {
  Run::maskBatches<32>(*this, keyedHash, values, out, units);
}

std::optional<Dec> NumberStrategy::targetForTesting(const Dec& value, const KeyedHash& keyedHash,
                                                    std::string_view data) const {
  Masked m = Run::steps(*this, value, keyedHash, data, unitOf(keyedHash.digest(data, "")), std::nullopt, exactOnly_);
  if (!m.present()) return std::nullopt;
  return m.dec();
}

NumberStrategy NumberStrategy::exactOnlyForTesting() const {
  NumberStrategy copy = *this;
  copy.exactOnly_ = true;
  copy.short_.reset();
  return copy;
}

NumberStrategy NumberStrategy::generalOnlyForTesting() const {
  NumberStrategy copy = *this;
  copy.short_.reset();
  return copy;
}

}  // namespace zorva
