// Coefficient arithmetic on BigInt: the exact path of the decimal algorithms,
// which never runs out of room.
#pragma once

#include <compare>
#include <cstdint>
#include <new>

#include "support/bigint.h"
#include "support/decimal_digits.h"
#include "number/dec.h"
#include "number/limits.h"

namespace zorva::number_detail {

// 5^53, the scale of unit numbers (u / 2^53 = u 5^53 10^-53) on every path:
// built once and never destroyed, since masking threads may still use it
// while the process exits.
inline const BigInt& fivePow53() {
  static const BigInt* const value = new (memAlloc(sizeof(BigInt))) BigInt(BigInt::fromU128(kFivePow53));
  return *value;
}

struct BigOps {
  using Coefficient = BigInt;
  using Number = Dec;
  bool overflow = false;  // never set

  static bool isZero(const BigInt& c) { return c.isZero(); }
  static bool isOdd(const BigInt& c) { return c.isOdd(); }
  static std::uint64_t digits(const BigInt& c) { return decimalDigits(c); }
  static std::strong_ordering compare(const BigInt& a, const BigInt& b) { return BigInt::compareMagnitude(a, b); }
  static BigInt fromU64(std::uint64_t v) { return BigInt::fromU64(v); }
  BigInt add(const BigInt& a, const BigInt& b) { return a + b; }
  BigInt sub(const BigInt& a, const BigInt& b) { return a - b; }
  BigInt mul(const BigInt& a, const BigInt& b) { return a * b; }
  BigInt mulPow10(const BigInt& a, std::uint64_t k) {
    BigInt scratch;
    return a * pow10(k, scratch);
  }
  void divModPow10(const BigInt& a, std::uint64_t k, BigInt& q, BigInt& r) {
    BigInt scratch;
    BigInt::divMod(a, pow10(k, scratch), q, r);
  }
  std::strong_ordering twiceCompare(const BigInt& r, std::uint64_t k) {
    BigInt scratch;
    return BigInt::compareMagnitude(r + r, pow10(k, scratch));
  }
};

}  // namespace zorva::number_detail
