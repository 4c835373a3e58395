// Arithmetic on the fixed-width integers of wide.h: small multipliers and
// divisors, division by powers of ten without the divide instruction, the
// tables of powers of ten in each width, the coefficient arithmetic WideOps for the decimal
// algorithms, and conversions from BigInt and Dec and back to BigInt, to
// decimal digits and to double.
#pragma once

#include <algorithm>
#include <bit>
#include <charconv>
#include <compare>
#include <cstdint>
#include <new>
#include <optional>

#include "support/alloc.h"
#include "support/bigint.h"
#include "support/divide.h"
#include "number/dec.h"
#include "number/internal/decimal_text.h"
#include "number/internal/powers.h"
#include "number/wide.h"

namespace zorva::number_detail {

// Internal linkage on purpose, as for the decimal algorithms: the strategy's
// file, the one file that includes this (through number/internal/steps.h), owns its
// copies for the compiler to specialise.
namespace {

inline constexpr std::uint64_t kPow10Limb = 10000000000000000000ULL;  // 10^19
// 10^0 .. 10^(n-1) all below 2^(64L): 10^154 < 2^512, 10^77 < 2^256.
template <int L>
inline constexpr unsigned kWidePowers = L == 8   ? 155
                                        : L == 4 ? 78
                                                 : 0;

// x = x * m + carry; false when the result needs more than 64 L bits.
template <int L>
bool mulSmall(WideT<L>& x, std::uint64_t m) {
  u128 carry = 0;
  for (int i = 0; i < x.size; ++i) {
    u128 p = static_cast<u128>(x.limb[i]) * m + carry;
    x.limb[i] = static_cast<std::uint64_t>(p);
    carry = p >> 64;
  }
  if (carry != 0) {
    if (x.size == L) return false;
    x.limb[x.size++] = static_cast<std::uint64_t>(carry);
  }
  x.trim();
  return true;
}

// x = x + v; the caller knows it fits.
template <int L>
void addSmall(WideT<L>& x, std::uint64_t v) {
  for (int i = 0; v != 0; ++i) {
    const std::uint64_t sum = x.limb[i] + v;
    v = sum < v ? 1 : 0;
    x.limb[i] = sum;
    if (i >= x.size) x.size = i + 1;
  }
}

// x = x / d, returning the remainder (d nonzero).
template <int L>
std::uint64_t divSmall(WideT<L>& x, const Modulus& d) {
  std::uint64_t rem = 0;
  for (int i = x.size - 1; i >= 0; --i) x.limb[i] = d.divide(rem, x.limb[i], rem);
  x.trim();
  return rem;
}

// x = x / 10^19, returning the remainder. 10^19 has its top bit set, so each
// word is divided by two multiplications with a precomputed inverse
// (Moller and Granlund, "Improved division by invariant integers"), not by
// the much slower divide instruction.
template <int L>
std::uint64_t divPow19(WideT<L>& x) {
  constexpr std::uint64_t d = kPow10Limb;
  static_assert(d >> 63 == 1);
  constexpr auto inverse = static_cast<std::uint64_t>(~u128{0} / d);  // floor((2^128 - 1) / d) - 2^64
  std::uint64_t rem = 0;                                              // always below d
  for (int i = x.size - 1; i >= 0; --i) {
    const std::uint64_t lo = x.limb[i];
    const u128 p = static_cast<u128>(inverse) * rem + ((static_cast<u128>(rem) << 64) | lo);
    std::uint64_t q = static_cast<std::uint64_t>(p >> 64) + 1;
    const auto p0 = static_cast<std::uint64_t>(p);
    std::uint64_t r = lo - q * d;
    if (r > p0) {
      --q;
      r += d;
    }
    if (r >= d) {
      ++q;
      r -= d;
    }
    x.limb[i] = q;
    rem = r;
  }
  x.trim();
  return rem;
}

template <int L>
const WideT<L>* buildWidePowers() {
  auto* table = static_cast<WideT<L>*>(memAlloc(sizeof(WideT<L>) * kWidePowers<L>));
  for (unsigned k = 0; k < kWidePowers<L>; ++k) {
    new (&table[k]) WideT<L>();
    if (k == 0) {
      table[0].limb[0] = 1;
      table[0].size = 1;
    } else {
      table[k] = table[k - 1];
      mulSmall(table[k], 10);
    }
  }
  return table;
}

template <int L>
const WideT<L>* widePowers() {
  static const WideT<L>* const table = buildWidePowers<L>();  // never destroyed
  return table;
}

// 5 * 10^(k-1) for 1 <= k < kWidePowers (entry 0 unused): half of 10^k, the
// bound of half-even rounding, without forming it per value.
template <int L>
const WideT<L>* buildHalfPowers() {
  auto* table = static_cast<WideT<L>*>(memAlloc(sizeof(WideT<L>) * kWidePowers<L>));
  new (&table[0]) WideT<L>();
  for (unsigned k = 1; k < kWidePowers<L>; ++k) {
    new (&table[k]) WideT<L>(widePowers<L>()[k - 1]);
    mulSmall(table[k], 5);  // 5 * 10^153 < 2^512, 5 * 10^76 < 2^256
  }
  return table;
}

template <int L>
const WideT<L>* halfPowers() {
  static const WideT<L>* const table = buildHalfPowers<L>();  // never destroyed
  return table;
}

template <int L>
std::strong_ordering compareWide(const WideT<L>& a, const WideT<L>& b) {
  if (a.size != b.size) return a.size <=> b.size;
  for (int i = a.size - 1; i >= 0; --i) {
    if (a.limb[i] != b.limb[i]) return a.limb[i] <=> b.limb[i];
  }
  return std::strong_ordering::equal;
}

// Coefficient arithmetic in 64 L bits. An operation that would need more sets
// overflow; the caller then discards the whole computation and repeats it
// wider or on BigInt, so all paths give identical results.
template <int L>
struct WideOps {
  using Wide = WideT<L>;
  using Coefficient = Wide;
  using Number = FastDecT<L>;
  static constexpr unsigned kPowers = kWidePowers<L>;
  bool overflow = false;

  static bool isZero(const Wide& c) { return c.size == 0; }
  static bool isOdd(const Wide& c) { return c.size != 0 && (c.limb[0] & 1) != 0; }
  static std::strong_ordering compare(const Wide& a, const Wide& b) { return compareWide(a, b); }
  static Wide fromU64(std::uint64_t v) {
    Wide w;
    w.limb[0] = v;
    w.size = v != 0 ? 1 : 0;
    return w;
  }
  // Exact for every value (below 10^kPowers).
  static std::uint64_t digits(const Wide& c) {
    if (c.size == 0) return 1;
    const Wide* powers = widePowers<L>();
    std::uint64_t bits =
        64 * static_cast<std::uint64_t>(c.size - 1) + static_cast<std::uint64_t>(std::bit_width(c.limb[c.size - 1]));
    std::uint64_t k = static_cast<std::uint64_t>(static_cast<double>(bits - 1) * 0.3010299956639812) + 1;
    while (k < kPowers && compareWide(c, powers[k]) != std::strong_ordering::less) ++k;
    while (k >= 2 && compareWide(c, powers[k - 1]) == std::strong_ordering::less) --k;
    return k;
  }
  Wide add(const Wide& a, const Wide& b) {
    Wide out;
    const int n = std::max(a.size, b.size);
    std::uint64_t carry = 0;
    for (int i = 0; i < n; ++i) {
      u128 s = static_cast<u128>(a.limb[i]) + b.limb[i] + carry;
      out.limb[i] = static_cast<std::uint64_t>(s);
      carry = static_cast<std::uint64_t>(s >> 64);
    }
    out.size = n;
    if (carry != 0) {
      if (n == Wide::kLimbs) return fail();
      out.limb[out.size++] = carry;
    }
    return out;
  }
  // Precondition: a >= b.
  Wide sub(const Wide& a, const Wide& b) {
    Wide out;
    std::uint64_t borrow = 0;
    for (int i = 0; i < a.size; ++i) {
      std::uint64_t d = a.limb[i] - b.limb[i];
      std::uint64_t nb = a.limb[i] < b.limb[i] ? 1 : 0;
      if (d < borrow) nb = 1;
      out.limb[i] = d - borrow;
      borrow = nb;
    }
    out.size = a.size;
    out.trim();
    return out;
  }
  Wide mul(const Wide& a, const Wide& b) {
    if (a.size == 0 || b.size == 0) return Wide();
    if (a.size + b.size > Wide::kLimbs + 1) return fail();
    // Not cleared as a whole: row i reads only entries that row i - 1 (or the
    // zeros below, for row 0) wrote.
    std::uint64_t full[2 * Wide::kLimbs];
    for (int j = 0; j < b.size; ++j) full[j] = 0;
    for (int i = 0; i < a.size; ++i) {
      u128 carry = 0;
      for (int j = 0; j < b.size; ++j) {
        u128 p = static_cast<u128>(a.limb[i]) * b.limb[j] + full[i + j] + carry;
        full[i + j] = static_cast<std::uint64_t>(p);
        carry = p >> 64;
      }
      full[i + b.size] = static_cast<std::uint64_t>(carry);
    }
    int n = a.size + b.size;
    while (n > 0 && full[n - 1] == 0) --n;
    if (n > Wide::kLimbs) return fail();
    Wide out;
    for (int i = 0; i < n; ++i) out.limb[i] = full[i];
    out.size = n;
    return out;
  }
  Wide mulPow10(const Wide& a, std::uint64_t k) {
    if (a.size == 0) return a;
    if (k >= kPowers) return fail();
    Wide out = a;
    for (; k >= 19; k -= 19) {
      if (!mulSmall(out, kPow10Limb)) return fail();
    }
    if (k > 0 && !mulSmall(out, widePowers<L>()[k].limb[0])) return fail();
    return out;
  }
  void divModPow10(const Wide& a, std::uint64_t k, Wide& q, Wide& r) {
    if (k >= kPowers) {  // 10^k exceeds every value
      r = a;
      q = Wide();
      return;
    }
    // Dividing by 10^19 at a time leaves remainders r_1, r_2, ... with
    // r = r_1 + r_2 10^s_1 + r_3 10^(s_1 + s_2) + ..., put together below
    // rather than found as a - q 10^k.
    Wide quotient = a;
    std::uint64_t parts[(kPowers + 18) / 19];
    std::uint64_t steps[(kPowers + 18) / 19];
    int count = 0;
    for (std::uint64_t left = k; left > 0; ++count) {
      std::uint64_t step = std::min<std::uint64_t>(left, 19);
      steps[count] = step;
      parts[count] = divSmall(quotient, pow10Modulus(step));
      left -= step;
    }
    Wide rest;
    for (int j = count - 1; j >= 0; --j) {
      // rest < 10^(k - s_1 - ... - s_j), so the result stays below 10^k < 2^(64L).
      mulSmall(rest, widePowers<L>()[steps[j]].limb[0]);
      addSmall(rest, parts[j]);
    }
    r = rest;
    q = quotient;
  }
  // 2r against 10^k, as r against 5 * 10^(k-1) so that 2r never overflows.
  std::strong_ordering twiceCompare(const Wide& r, std::uint64_t k) {
    if (k == 0) return r.size == 0 ? std::strong_ordering::less : std::strong_ordering::greater;
    if (k >= kPowers) return std::strong_ordering::less;
    return compareWide(r, halfPowers<L>()[k]);
  }

 private:
  Wide fail() {
    overflow = true;
    return Wide();
  }
};

template <int L>
bool toWide(const BigInt& value, WideT<L>& out) {
  using Wide = WideT<L>;
  out = Wide();
  if (value.magnitudeFitsU128()) {
    u128 m = value.magnitudeU128();
    out.limb[0] = static_cast<std::uint64_t>(m);
    out.limb[1] = static_cast<std::uint64_t>(m >> 64);
    out.size = 2;
    out.trim();
    return true;
  }
  std::size_t len = value.byteLength();
  if (len > 8 * Wide::kLimbs) return false;
  std::uint8_t bytes[8 * Wide::kLimbs] = {};
  value.magnitudeBytesBE(bytes, sizeof bytes);
  for (int i = 0; i < Wide::kLimbs; ++i) {
    std::uint64_t limb = 0;
    for (int j = 0; j < 8; ++j)
      limb = (limb << 8) | bytes[sizeof bytes - 8 * static_cast<std::size_t>(i) - 8 + static_cast<std::size_t>(j)];
    out.limb[i] = limb;
  }
  out.size = Wide::kLimbs;
  out.trim();
  return true;
}

// Decimal digits of w at out; returns the end. Room: 19 per limb pair.
template <int L>
char* writeWideDecimal(char* out, WideT<L> w) {
  std::uint64_t chunks[L * 2];
  int n = 0;
  do {
    chunks[n++] = divPow19(w);
  } while (w.size > 0);
  out = std::to_chars(out, out + 20, chunks[n - 1]).ptr;
  for (int i = n - 2; i >= 0; --i) {
    // Zero-padded to 19 digits, written from the right.
    std::uint64_t c = chunks[i];
    for (int j = 18; j >= 0; --j) {
      out[j] = static_cast<char>('0' + c % 10);
      c /= 10;
    }
    out += 19;
  }
  return out;
}

template <int L>
void appendWideDecimal(Text& out, const WideT<L>& w) {
  char buf[L * 2 * 19 + 1];
  out.append(buf, writeWideDecimal(buf, w));
}

template <int L = 8>
std::optional<FastDecT<L>> toFast(const Dec& d) {
  FastDecT<L> f;
  if (!toWide(d.coefficient, f.coefficient)) return std::nullopt;
  f.exponent = d.exponent;
  f.negative = d.negative;
  return f;
}

// The coefficient as a BigInt.
inline BigInt toBig(const Wide& w) {
  if (w.size <= 2) return BigInt::fromU128((static_cast<u128>(w.limb[1]) << 64) | w.limb[0]);
  std::uint8_t bytes[8 * Wide::kLimbs];
  for (int i = 0; i < Wide::kLimbs; ++i) {
    for (int j = 0; j < 8; ++j) {
      bytes[8 * (Wide::kLimbs - 1 - i) + (7 - j)] = static_cast<std::uint8_t>(w.limb[i] >> (8 * j));
    }
  }
  return BigInt::fromBytesBE(bytes, sizeof bytes);
}

// Correctly rounded, as textToF64 of its text. A coefficient below 2^53 and
// a power 10^e with |e| <= 22 are both exact doubles, so one IEEE division
// or multiplication rounds the exact value once, correctly; anything else
// goes through the text.
double fastToF64(const FastDec& d) {
  const Wide& c = d.coefficient;
  if (c.size <= 1 && c.limb[0] < (std::uint64_t{1} << 53) && d.exponent >= -22 && d.exponent <= 22) {
    const auto mantissa = static_cast<double>(c.limb[0]);
    const double value = d.exponent < 0 ? mantissa / kExactPowers[-d.exponent] : mantissa * kExactPowers[d.exponent];
    return d.negative ? -value : value;
  }
  // Sign, at most 155 digits, the marker and a 64-bit exponent.
  char text[1 + Wide::kLimbs * 2 * 19 + 1 + 24];
  char* end = text;
  if (d.negative) *end++ = '-';
  const char* digits = end;
  end = writeWideDecimal(end, c);
  const auto count = static_cast<std::uint64_t>(end - digits);
  *end++ = 'e';
  end = std::to_chars(end, end + 24, d.exponent).ptr;
  return textToF64(text, end, d.exponent, count, d.negative);
}

}  // namespace
}  // namespace zorva::number_detail
