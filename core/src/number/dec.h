// Exact decimals: the Dec type and its public operations (parsing, text,
// conversion to double and to an integer, comparison, and the 60-digit
// arithmetic the number strategy is defined in, which big_ops.cpp defines).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

#include "support/alloc.h"
#include "support/bigint.h"

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
  static std::optional<Dec> rounded(Dec d);                        // 60 significant digits, half-even
  // Nothing when the result would have more than 60 digits; decided from
  // digit counts before any power of ten is formed.
  static std::optional<Dec> quantize(const Dec& d, std::int64_t target, Rounding mode);
};

}  // namespace zorva
