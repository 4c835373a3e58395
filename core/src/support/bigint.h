// BigInt: an arbitrary-precision signed integer (sign and magnitude).
//
// Magnitudes below 2^64 are held inline and never touch GMP; larger ones live
// in a GMP integer. Values compare equal exactly when they are numerically
// equal, whatever their representation.
#pragma once

#include <gmp.h>

#include <compare>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "support/alloc.h"

namespace zorva {

using u128 = unsigned __int128;

class BigInt {
 public:
  BigInt() noexcept = default;  // zero
  BigInt(const BigInt& other);
  // Moves and destruction are inline: a column of small integers moves and
  // frees one per value, and only a big magnitude needs the out-of-line part.
  BigInt(BigInt&& other) noexcept : small_(other.small_), big_(other.big_), negative_(other.negative_) {
    other.small_ = 0;
    other.big_ = nullptr;
    other.negative_ = false;
  }
  BigInt& operator=(const BigInt& other);
  BigInt& operator=(BigInt&& other) noexcept {
    if (this == &other) return *this;
    if (big_ != nullptr) freeBig(big_);
    small_ = other.small_;
    big_ = other.big_;
    negative_ = other.negative_;
    other.small_ = 0;
    other.big_ = nullptr;
    other.negative_ = false;
    return *this;
  }
  ~BigInt() {
    if (big_ != nullptr) freeBig(big_);
  }

  static BigInt fromI64(std::int64_t v);
  static BigInt fromU64(std::uint64_t magnitude, bool negative = false);
  static BigInt fromU128(u128 magnitude, bool negative = false);
  // Unsigned big-endian magnitude bytes (empty is zero).
  static BigInt fromBytesBE(const std::uint8_t* data, std::size_t len, bool negative = false);
  // Little-endian two's complement, as Python's int.to_bytes(k, "little", signed=True).
  static BigInt fromTwosComplementLE(const std::uint8_t* data, std::size_t len);
  // Magnitude from ASCII decimal digits (precondition: non-empty, all '0'-'9').
  static BigInt fromDecimal(std::string_view digits, bool negative = false);
  static BigInt fromMpz(mpz_srcptr value);

  int sign() const noexcept;  // -1, 0 or 1
  bool isZero() const noexcept { return big_ == nullptr && small_ == 0; }
  bool isNegative() const noexcept { return negative_; }
  BigInt abs() const;
  BigInt negated() const;

  // Number of significant bits of the magnitude (0 for zero).
  std::uint64_t bitLength() const noexcept;
  // ceil(bitLength() / 8).
  std::size_t byteLength() const noexcept { return static_cast<std::size_t>((bitLength() + 7) / 8); }
  bool magnitudeFitsU64() const noexcept { return big_ == nullptr; }
  std::uint64_t magnitudeU64() const noexcept { return small_; }  // precondition: fits
  bool magnitudeFitsU128() const noexcept;
  u128 magnitudeU128() const noexcept;  // precondition: fits
  // Inline: the writers of integer columns call it once per value.
  std::optional<std::int64_t> toI64() const noexcept {
    if (big_ != nullptr) return std::nullopt;
    constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative_) {
      if (small_ > limit) return std::nullopt;
      return static_cast<std::int64_t>(small_);
    }
    if (small_ > limit + 1) return std::nullopt;
    return static_cast<std::int64_t>(0 - small_);  // modular conversion, defined in C++20
  }

  // The magnitude big-endian in exactly len bytes (precondition: len >= byteLength()).
  void magnitudeBytesBE(std::uint8_t* out, std::size_t len) const;
  // Minimal little-endian two's complement, for Python's int.from_bytes(..., signed=True):
  // zero is one 0 byte; -2^(8m-1) needs no extra byte.
  Vec<std::uint8_t> toTwosComplementLE() const;
  // Decimal text: "-" for negative values, no leading zeros, "0" for zero.
  Text toDecimal() const;
  // Appends the magnitude's decimal digits (no sign).
  void appendMagnitudeDecimal(Text& out) const;
  // Writes the value into an initialised mpz.
  void toMpz(mpz_ptr out) const;

  friend BigInt operator+(const BigInt& a, const BigInt& b);
  friend BigInt operator-(const BigInt& a, const BigInt& b);
  friend BigInt operator*(const BigInt& a, const BigInt& b);
  // Truncating division and its remainder (the remainder has the sign of a); b nonzero.
  static void divMod(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder);
  friend BigInt operator/(const BigInt& a, const BigInt& b);
  friend BigInt operator%(const BigInt& a, const BigInt& b);
  // value * 2^bits.
  BigInt operator<<(std::uint64_t bits) const;
  // base^exponent for a non-negative base.
  static BigInt pow(const BigInt& base, std::uint64_t exponent);
  bool isOdd() const noexcept;

  friend bool operator==(const BigInt& a, const BigInt& b) noexcept;
  friend std::strong_ordering operator<=>(const BigInt& a, const BigInt& b) noexcept;
  // Compares magnitudes only.
  static std::strong_ordering compareMagnitude(const BigInt& a, const BigInt& b) noexcept;
  std::size_t hash() const noexcept;

 private:
  // Invariant: big_ is null exactly when the magnitude is below 2^64; then the
  // magnitude is small_. Otherwise big_ holds the (positive) magnitude.
  // negative_ is false for zero.
  std::uint64_t small_ = 0;
  mpz_ptr big_ = nullptr;
  bool negative_ = false;

  void normalise() noexcept;
  static void freeBig(mpz_ptr big) noexcept;
};

}  // namespace zorva
