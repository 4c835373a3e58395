// The number strategy: a keyed random number within [min, max], or within
// +-variance relative to the value, on integers, floats and decimals.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "support/alloc.h"
#include "support/bigint.h"
#include "keyed_hash/keyed_hash.h"
#include "number/dec.h"
#include "number/internal/short.h"
#include "number/wide.h"

namespace zorva {

namespace number_detail {

// The strategy's settings in one number form: bounded mode sets min and max
// (and range, max - min, when it could be formed); relative mode sets only
// variance.
template <class N>
struct Settings {
  std::optional<N> min;
  std::optional<N> max;
  std::optional<N> range;
  std::optional<N> variance;
};

}  // namespace number_detail

// The masked value of a number column.
struct NumberResult {
  enum class Kind : std::uint8_t { Int, Float, Decimal, Fallback } kind = Kind::Fallback;
  BigInt integer;   // Kind::Int
  double real = 0;  // Kind::Float
  Text text;        // Kind::Decimal: Dec::toText form, unless hasNumber
  // Kind::Decimal of a preset input (NumberInput::preset) that the short road
  // settled: the number itself, (-1)^negative * coefficient * 10^exponent
  // with a nonzero coefficient, and no text.
  bool hasNumber = false;
  bool negative = false;
  std::int64_t exponent = 0;
  u128 coefficient = 0;
};

// A value of a number column as the batch road takes it.
struct NumberInput {
  enum class Kind : std::uint8_t { Int, Float, Decimal };
  NumberInput() noexcept = default;
  NumberInput(Kind k, const BigInt* i, double r, std::string_view t) noexcept : kind(k), integer(i), real(r), text(t) {}
  // A Decimal given as its value (see preset).
  static NumberInput ofDecimal(const number_detail::ShortValue& v) noexcept {
    NumberInput in(Kind::Decimal, nullptr, 0, {});
    in.preset = true;
    in.value = v;
    return in;
  }

  Kind kind = Kind::Int;
  const BigInt* integer = nullptr;  // Int
  double real = 0;                  // Float
  // Float: its repr() text, or empty for the repr of real as floatRepr
  // (float_repr.h) writes it, which the strategy then writes itself;
  // Decimal: its str() text.
  std::string_view text;
  // Decimal: the value itself, for a caller that holds its digits rather
  // than its text (text is then not read). Its answer comes as a number
  // where the short road settles it (NumberResult::hasNumber).
  bool preset = false;
  number_detail::ShortValue value;
};

class NumberStrategy {
 public:
  // Returns the strategy or the construction error message.
  static std::variant<NumberStrategy, Text> make(std::optional<std::string_view> min,
                                                 std::optional<std::string_view> max,
                                                 std::optional<std::string_view> variance,
                                                 std::optional<std::uint32_t> decimals);

  NumberResult maskInteger(const KeyedHash& keyedHash, const BigInt& value) const;
  // value is the double, repr its Python repr() text (empty: as floatRepr
  // writes it).
  NumberResult maskFloat(const KeyedHash& keyedHash, double value, std::string_view repr) const;
  // text is the Decimal's str() text.
  NumberResult maskDecimal(const KeyedHash& keyedHash, std::string_view text) const;
  // out[i] is exactly what the one-value maskers answer for values[i], but
  // the value digests of many values run together, interleaved.
  void maskMany(const KeyedHash& keyedHash, std::span<const NumberInput> values, NumberResult* out) const;

  // The hash data of a value: the integer text when it is integral, else the
  // float's repr text when given, else the plain decimal text (nothing when
  // that needs more than 28 significant digits).
  static std::optional<Text> hashData(const Dec& value, std::optional<std::string_view> floatRepr);

 private:
  struct Run;
  // The tests' view of the roads (number/testing.h).
  friend struct NumberStrategyTestPeer;
  NumberStrategy() = default;
  std::optional<std::uint32_t> decimals_;
  // The settings as parsed, and the same in 512 and in 256 bits, converted
  // once; a fixed-width form is absent when one of its settings does not fit,
  // and values then skip that path.
  number_detail::Settings<Dec> exact_;
  std::optional<number_detail::Settings<number_detail::FastDec>> fast_;
  std::optional<number_detail::Settings<number_detail::NarrowDec>> narrow_;
  // Relative mode with a variance of at most 7 digits and an exponent in
  // [-6, 52]: its coefficient and 53 - exponent, for a shorter target.
  bool relativeShortcut_ = false;
  std::uint64_t shortcutVariance_ = 0;
  std::uint64_t shortcutGap_ = 0;
  bool exactOnly_ = false;
  std::optional<number_detail::ShortRoad> short_;
};

}  // namespace zorva
