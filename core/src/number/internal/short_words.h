// The short road's integers: unsigned numbers below 2^320 on five fixed
// 64-bit words, their arithmetic, and their table of powers of ten with what
// dividing by them takes. Included only by number/short.cpp: internal linkage
// on purpose, so that the road's hot loops own their copies to inline.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>

#include "support/alloc.h"
#include "support/bigint.h"
#include "support/decimal_digits.h"
#include "support/divide.h"
#include "number/internal/powers.h"

namespace zorva::number_detail {

namespace {

constexpr int kWords = 5;
// Largest power of ten in the tables; every number the road divides or
// counts the digits of stays below 10^kTopPower (< 2^270).
constexpr unsigned kTopPower = 81;

// Largest power of five a relative target on two words divides by (below 2^63).
constexpr unsigned kMaxFivePower = 27;

// An unsigned integer below 2^320, little-endian words.
struct Words {
  std::uint64_t w[kWords] = {};
};

Words fromU128(u128 v) {
  Words x;
  x.w[0] = static_cast<std::uint64_t>(v);
  x.w[1] = static_cast<std::uint64_t>(v >> 64);
  return x;
}

bool isZero(const Words& x) {
  std::uint64_t any = 0;
  for (std::uint64_t w : x.w) any |= w;
  return any == 0;
}

int compare(const Words& a, const Words& b) {
#pragma GCC unroll 8
  for (int i = kWords - 1; i >= 0; --i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  }
  return 0;
}

unsigned bitLength(const Words& x) {
#pragma GCC unroll 8
  for (int i = kWords - 1; i >= 0; --i) {
    if (x.w[i] != 0) return 64 * static_cast<unsigned>(i) + static_cast<unsigned>(std::bit_width(x.w[i]));
  }
  return 0;
}

// a + b; the caller knows the sum fits.
Words add(const Words& a, const Words& b) {
  Words out;
  std::uint64_t carry = 0;
#pragma GCC unroll 8
  for (int i = 0; i < kWords; ++i) {
    const u128 s = static_cast<u128>(a.w[i]) + b.w[i] + carry;
    out.w[i] = static_cast<std::uint64_t>(s);
    carry = static_cast<std::uint64_t>(s >> 64);
  }
  return out;
}

// a - b for a >= b.
Words sub(const Words& a, const Words& b) {
  Words out;
  std::uint64_t borrow = 0;
#pragma GCC unroll 8
  for (int i = 0; i < kWords; ++i) {
    const u128 d = static_cast<u128>(a.w[i]) - b.w[i] - borrow;
    out.w[i] = static_cast<std::uint64_t>(d);
    borrow = static_cast<std::uint64_t>(d >> 64) & 1;
  }
  return out;
}

// a * m; the caller knows the product fits.
Words mulWord(const Words& a, std::uint64_t m) {
  Words out;
  std::uint64_t carry = 0;
#pragma GCC unroll 8
  for (int i = 0; i < kWords; ++i) {
    const u128 p = static_cast<u128>(a.w[i]) * m + carry;
    out.w[i] = static_cast<std::uint64_t>(p);
    carry = static_cast<std::uint64_t>(p >> 64);
  }
  return out;
}

// a * b for a of at most two words; the caller knows the product fits.
Words mulU128(u128 a, const Words& b) {
  const Words lo = mulWord(b, static_cast<std::uint64_t>(a));
  const Words hi = mulWord(b, static_cast<std::uint64_t>(a >> 64));
  Words shifted;
#pragma GCC unroll 8
  for (int i = 1; i < kWords; ++i) shifted.w[i] = hi.w[i - 1];
  return add(lo, shifted);
}

// Powers of ten and what dividing by them takes, built once.
struct Tables {
  Words pow[kTopPower + 1];
  Words half[kTopPower + 1];  // 5 * 10^(k-1), half of 10^k (entry 0 unused)
  // Digits of 2^(b-1): a number of b bits has that many digits or one more.
  std::uint8_t digitsAtBits[kWords * 64 + 1] = {};
  Modulus five[kMaxFivePower + 1];  // 5^0 .. 5^27
  // For 10^k above one word: its top 64 bits (top bit set) as a modulus, and
  // the bits below them.
  Modulus top[kTopPower + 1];
  unsigned shift[kTopPower + 1] = {};

  Tables() {
    pow[0].w[0] = 1;
    for (unsigned k = 1; k <= kTopPower; ++k) {
      pow[k] = mulWord(pow[k - 1], 10);
      half[k] = mulWord(pow[k - 1], 5);
    }
    std::uint64_t p = 1;
    for (unsigned k = 0; k <= kMaxFivePower; ++k, p *= 5) five[k] = Modulus(p);
    for (unsigned k = 20; k <= kTopPower; ++k) {
      // 10^20 and above have more than 64 bits, so the top 64 start in a
      // word of the table (which the compiler cannot see for itself).
      shift[k] = std::max(bitLength(pow[k]), 64u) - 64;
      const unsigned limb = std::min<unsigned>(shift[k] / 64, kWords - 1), bit = shift[k] % 64;
      std::uint64_t t = pow[k].w[limb] >> bit;
      if (bit != 0 && limb + 1 < kWords) t |= pow[k].w[limb + 1] << (64 - bit);
      top[k] = Modulus(t);
    }
    unsigned d = 1;
    for (unsigned b = 1; b <= kWords * 64; ++b) {
      // 2^(b-1) against 10^d.
      Words low;
      low.w[(b - 1) / 64] = std::uint64_t{1} << ((b - 1) % 64);
      while (d <= kTopPower && compare(low, pow[d]) >= 0) ++d;
      digitsAtBits[b] = static_cast<std::uint8_t>(d);
    }
  }
};

const Tables& tables() {
  static const Tables* const t = new (memAlloc(sizeof(Tables))) Tables();  // never destroyed
  return *t;
}

// Decimal digits of x < 10^kTopPower (1 for zero).
std::uint64_t digitsOf(const Tables& t, const Words& x) {
  const unsigned b = bitLength(x);
  if (b == 0) return 1;
  const unsigned d = t.digitsAtBits[b];
  return d + (d <= kTopPower && compare(x, t.pow[d]) >= 0 ? 1 : 0);
}

// x / 10^k in place for k <= 19, returning the remainder.
std::uint64_t divWord(Words& x, unsigned k) {
  std::uint64_t rem = 0;
#pragma GCC unroll 8
  for (int i = kWords - 1; i >= 0; --i) {
    if (rem == 0 && x.w[i] == 0) continue;
    x.w[i] = pow10Modulus(k).divide(rem, x.w[i], rem);
  }
  return rem;
}

// q = floor(x / 10^k) and r = x - q 10^k for 1 <= k <= kTopPower, when q is
// below 2^64; false otherwise.
bool divPow10(const Tables& t, const Words& x, unsigned k, std::uint64_t& q, Words& r) {
  if (k <= 19) {
    for (int i = 2; i < kWords; ++i) {
      if (x.w[i] != 0) return false;
    }
    if (x.w[1] >= kPowersOfTen64[k]) return false;
    std::uint64_t rem = 0;
    q = pow10Modulus(k).divide(x.w[1], x.w[0], rem);
    r = Words();
    r.w[0] = rem;
    return true;
  }
  // The top word of 10^k divides the bits of x at the same position: the
  // estimate is never below the quotient and at most three above it.
  const unsigned limb = t.shift[k] / 64, bit = t.shift[k] % 64;
  auto bitsAt = [&](unsigned i) -> std::uint64_t {
    const std::uint64_t lo = i < kWords ? x.w[i] : 0, hi = i + 1 < kWords ? x.w[i + 1] : 0;
    return bit == 0 ? lo : (lo >> bit) | (hi << (64 - bit));
  };
  for (unsigned i = limb + 2; i < kWords; ++i) {
    if (bitsAt(i) != 0) return false;
  }
  const std::uint64_t hi = bitsAt(limb + 1);
  if (hi >= t.top[k].value()) return false;
  std::uint64_t rem = 0;
  std::uint64_t estimate = t.top[k].divide(hi, bitsAt(limb), rem);
  Words product = mulWord(t.pow[k], estimate);
  while (compare(product, x) > 0) {
    --estimate;
    product = sub(product, t.pow[k]);
  }
  q = estimate;
  r = sub(x, product);
  return true;
}

}  // namespace
}  // namespace zorva::number_detail
