// Exact decimals (Dec) and the number strategy.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "alloc.h"
#include "bigint.h"
#include "keyed_hash.h"

namespace zorva {

enum class Rounding : std::uint8_t { halfEven = 0, ceiling = 1, floor = 2 };

// (-1)^negative * coefficient * 10^exponent, at most 60 significant digits
// after arithmetic; not normalised (1.50 keeps its trailing zero).
struct Dec {
  BigInt coefficient;  // non-negative
  std::int64_t exponent = 0;
  bool negative = false;

  // Optional sign, mantissa, optional exponent; nothing otherwise.
  static std::optional<Dec> parse(std::string_view text);
  Text toText() const;  // "{}{}E{}"
  // Correctly rounded; overflow gives +-infinity, underflow +-0.
  double toF64() const;
  // Truncates toward zero. Precondition: a nonzero coefficient with a positive
  // exponent stays below about a million digits (throws std::length_error
  // otherwise); the number strategy only asks for exponent 0.
  BigInt toBigInt() const;
  bool isZero() const noexcept { return coefficient.isZero(); }

  static std::strong_ordering compare(const Dec& a, const Dec& b);
  // add and subtract return nothing where the exponent arithmetic would leave
  // the signed 64-bit range. Operands whose exponents lie far apart are never
  // aligned by a giant power: an operand too small to reach the 60th digit of
  // the other is replaced by a one-digit stand-in that rounds identically; if
  // neither that nor an alignment of at most about a million digits applies,
  // the sum is refused (nothing) rather than formed.
  static std::optional<Dec> add(const Dec& a, const Dec& b);
  static std::optional<Dec> subtract(const Dec& a, const Dec& b);
  static std::optional<Dec> multiply(const Dec& a, const Dec& b);  // exact
  static std::optional<Dec> rounded(Dec d);  // 60 significant digits, half-even
  // Nothing when the result would have more than 60 digits; decided from
  // digit counts before any power of ten is formed.
  static std::optional<Dec> quantize(const Dec& d, std::int64_t target, Rounding mode);
  static Dec fromUnit(std::uint64_t u);  // u / 2^53, u < 2^53
};

namespace number_detail {

// An unsigned integer of up to 64 * L bits in fixed storage (little-endian
// limbs). 512 bits hold the products and alignments of 60-digit operands and
// values of up to 38 digits; 256 bits hold those of short values and options
// at half the copying.
template <int L>
struct WideT {
  static constexpr int kLimbs = L;
  std::uint64_t limb[kLimbs] = {};
  int size = 0;  // limbs in use; the top one is nonzero

  void trim() {
    while (size > 0 && limb[size - 1] == 0) --size;
  }
};

template <int L>
struct FastDecT {
  WideT<L> coefficient;
  std::int64_t exponent = 0;
  bool negative = false;
};

using Wide = WideT<8>;
using FastDec = FastDecT<8>;
using NarrowDec = FastDecT<4>;

}  // namespace number_detail

// The masked value of a number column.
struct NumberResult {
  enum class Kind : std::uint8_t { Int, Float, Decimal, Fallback } kind = Kind::Fallback;
  BigInt integer;   // Kind::Int
  double real = 0;  // Kind::Float
  Text text;        // Kind::Decimal: Dec::toText form
};

class NumberStrategy {
 public:
  // Returns the strategy or the construction error message.
  static std::variant<NumberStrategy, Text> make(std::optional<std::string_view> min,
                                                 std::optional<std::string_view> max,
                                                 std::optional<std::string_view> variance,
                                                 std::optional<std::uint32_t> decimals);

  NumberResult maskInteger(const KeyedHash& keyedHash, const BigInt& value) const;
  // value is the double, repr its Python repr() text.
  NumberResult maskFloat(const KeyedHash& keyedHash, double value, std::string_view repr) const;
  // text is the Decimal's str() text.
  NumberResult maskDecimal(const KeyedHash& keyedHash, std::string_view text) const;

  // The steps of the per-value treatment, exposed for tests. Nothing means the
  // value is not masked natively (a fallback).
  std::optional<Dec> target(const Dec& value, const KeyedHash& keyedHash, std::string_view data) const;
  std::optional<Dec> clamp(const Dec& q, std::int64_t exponent) const;
  std::optional<Dec> moved(const Dec& value, const Dec& z, const Dec& step, const KeyedHash& keyedHash,
                           std::string_view data) const;
  // The hash data of a value: the integer text when it is integral, else the
  // float's repr text when given, else the plain decimal text (nothing when
  // that needs more than 28 significant digits).
  static std::optional<Text> hashData(const Dec& value, std::optional<std::string_view> floatRepr);

  // The per-value steps run in 512-bit machine integers when the operands fit
  // and on BigInt otherwise, with identical results; this copy always takes
  // the BigInt path, so tests can compare the two.
  NumberStrategy exactOnlyForTesting() const;
  // target as the per-value run computes it (on machine integers where they
  // apply), for comparison with target.
  std::optional<Dec> targetForTesting(const Dec& value, const KeyedHash& keyedHash, std::string_view data) const;

 private:
  struct Run;
  NumberStrategy() = default;
  Dec variance_;
  std::optional<Dec> min_;
  std::optional<Dec> max_;
  std::optional<std::uint32_t> decimals_;
  std::optional<Dec> range_;  // max - min, computed once (bounded mode)
  // The settings in 512-bit form, converted once; fastFits_ is false when one
  // of them does not fit, and every value then takes the BigInt path.
  std::optional<number_detail::FastDec> fastMin_, fastMax_, fastRange_, fastVariance_;
  bool fastFits_ = false;
  // The same in 256 bits, tried first for values of one limb.
  std::optional<number_detail::NarrowDec> narrowMin_, narrowMax_, narrowRange_, narrowVariance_;
  bool narrowFits_ = false;
  // Relative mode with a variance of at most 7 digits and an exponent in
  // [-6, 52]: its coefficient and 53 - exponent, for a shorter target.
  bool relativeShortcut_ = false;
  std::uint64_t shortcutVariance_ = 0;
  std::uint64_t shortcutGap_ = 0;
  bool exactOnly_ = false;
};

}  // namespace zorva
