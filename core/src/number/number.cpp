// The number strategy: per value, a target drawn from the keyed hash (within
// [min, max] or relative to the value), then quantized, clamped and moved
// off the value. The steps run on 256-bit, then 512-bit coefficients where
// they fit and on BigInt otherwise, with identical results.
#include "number/number.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "support/decimal_digits.h"
#include "number/internal/decimal_text.h"
#include "number/float_repr.h"
#include "number/limits.h"
#include "number/internal/steps.h"
#include "number/testing.h"
#include "support/quote.h"

namespace zorva {

using namespace number_detail;

namespace {

// Significant digits of a fraction's hash data, at most.
constexpr std::size_t kMaxFractionDigits = 28;

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
// A preset Decimal's answer keeps the number rather than its text.
bool answerShort(const NumberInput& input, const ShortResult& r, NumberResult& result) {
  const NumberInput::Kind kind = input.kind;
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
      if (input.preset) {
        result.hasNumber = true;
        result.coefficient = r.coefficient;
        result.exponent = r.exponent;
        result.negative = r.negative;
      } else {
        result.text = ShortRoad::toText(r);
      }
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
        } else if (in.preset) {
          p.value = in.value;
          p.value.plain = false;  // no text to borrow: the hash data is written
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
          std::optional<Dec> dec =
              in.preset
                  ? std::optional<Dec>(Dec{BigInt::fromU64(in.value.coefficient), in.value.exponent, in.value.negative})
                  : Dec::parse(text);
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
        if (answerShort(values[p.index], self.short_->mask(p.value, u, p.grid, keyedHash, p.data), result)) continue;
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

NumberStrategy NumberStrategyTestPeer::exactOnly(const NumberStrategy& strategy) {
  NumberStrategy copy = strategy;
  copy.exactOnly_ = true;
  copy.short_.reset();
  return copy;
}

NumberStrategy NumberStrategyTestPeer::generalOnly(const NumberStrategy& strategy) {
  NumberStrategy copy = strategy;
  copy.short_.reset();
  return copy;
}

void NumberStrategyTestPeer::maskManyWithUnits(const NumberStrategy& strategy, const KeyedHash& keyedHash,
                                               std::span<const NumberInput> values, const std::uint64_t* units,
                                               NumberResult* out) {
  NumberStrategy::Run::maskBatches<32>(strategy, keyedHash, values, out, units);
}

std::optional<Dec> NumberStrategyTestPeer::target(const NumberStrategy& strategy, const Dec& value,
                                                  const KeyedHash& keyedHash, std::string_view data) {
  BigOps ops;
  return targetT(ops, strategy.exact_, value, unitOf(keyedHash.digest(data, "")));
}

std::optional<Dec> NumberStrategyTestPeer::clamp(const NumberStrategy& strategy, const Dec& q, std::int64_t exponent) {
  BigOps ops;
  return clampT(ops, strategy.exact_, q, exponent);
}

std::optional<Dec> NumberStrategyTestPeer::moved(const NumberStrategy& strategy, const Dec& value, const Dec& z,
                                                 const Dec& step, const KeyedHash& keyedHash, std::string_view data) {
  BigOps ops;
  StepDraw draw{keyedHash, data, std::nullopt};
  return movedT(ops, strategy.exact_, value, z, step, draw);
}

Dec NumberStrategyTestPeer::unit(std::uint64_t u) {
  BigOps ops;
  return unitNumber(ops, u);
}

std::optional<Dec> NumberStrategyTestPeer::runTarget(const NumberStrategy& strategy, const Dec& value,
                                                     const KeyedHash& keyedHash, std::string_view data) {
  Masked m = NumberStrategy::Run::steps(strategy, value, keyedHash, data, unitOf(keyedHash.digest(data, "")),
                                        std::nullopt, strategy.exactOnly_);
  if (!m.present()) return std::nullopt;
  return m.dec();
}

}  // namespace zorva
