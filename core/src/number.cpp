#include "number.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "digits.h"
#include "divide.h"
#include "quote.h"

namespace zorva {

using number_detail::FastDec;
using number_detail::NarrowDec;
using number_detail::FastDecT;
using number_detail::WideT;
using number_detail::Wide;

namespace {

constexpr std::uint64_t kPrecision = 60;
// Largest coefficient, in digits, that add or toBigInt forms by scaling.
constexpr std::uint64_t kMaxScaledDigits = std::uint64_t{1} << 20;
// A negligible addend is replaced by a unit this many places below the other
// operand's exponent (see add).
constexpr std::uint64_t kStandInPlaces = 62;
// Keeps a stand-in sum inside the table of powers, where digit counts are exact.
constexpr std::uint64_t kStandInMaxDigits = kPowersOfTen - 1 - kStandInPlaces;
// Limits of the values the number strategy masks.
constexpr std::uint64_t kMaxValueDigits = 38;
constexpr std::int64_t kMaxValueExponent = 400;
constexpr std::size_t kMaxFractionDigits = 28;

// 5^53, the scale of fromUnit: built once and never destroyed, since masking
// threads may still use it while the process exits.
const BigInt& fivePow53() {
  static const BigInt* const value = new (memAlloc(sizeof(BigInt))) BigInt(BigInt::pow(BigInt::fromU64(5), 53));
  return *value;
}

// 10^k, borrowed from the shared table when it is there.
const BigInt& pow10(std::uint64_t k, BigInt& scratch) {
  if (k < kPowersOfTen) return powersOfTen()[k];
  scratch = powerOfTen(k);
  return scratch;
}

bool roundsUpGiven(bool qOdd, std::strong_ordering twiceRemainder, Rounding mode, bool negative) {
  switch (mode) {
    case Rounding::halfEven:
      if (twiceRemainder == std::strong_ordering::equal) return qOdd;
      return twiceRemainder == std::strong_ordering::greater;
    case Rounding::ceiling: return !negative;
    case Rounding::floor: return negative;
  }
  return false;
}

std::strong_ordering reversed(std::strong_ordering o) {
  if (o == std::strong_ordering::less) return std::strong_ordering::greater;
  if (o == std::strong_ordering::greater) return std::strong_ordering::less;
  return o;
}

// Coefficient arithmetic on BigInt: never runs out of room.
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

// The shared algorithms, written once over a coefficient arithmetic so that
// the machine-integer path and the BigInt path compute the same steps.
template <class Ops>
using NumberOf = typename Ops::Number;

// |a| against |b| for nonzero a and b, without forming a power of ten larger
// than the operands themselves.
template <class Ops>
std::strong_ordering compareMagnitudes(Ops& ops, const NumberOf<Ops>& a, const NumberOf<Ops>& b) {
  if (a.exponent == b.exponent) return ops.compare(a.coefficient, b.coefficient);
  // Position above the leading digit; decimalDigits may be one short beyond
  // its table, so only a gap of two or more decides.
  __int128 topA = static_cast<__int128>(a.exponent) + ops.digits(a.coefficient);
  __int128 topB = static_cast<__int128>(b.exponent) + ops.digits(b.coefficient);
  if (topA >= topB + 2) return std::strong_ordering::greater;
  if (topB >= topA + 2) return std::strong_ordering::less;
  // Here the exponent gap is at most the digit-count gap plus two.
  if (a.exponent > b.exponent) {
    std::uint64_t d = static_cast<std::uint64_t>(a.exponent) - static_cast<std::uint64_t>(b.exponent);
    return ops.compare(ops.mulPow10(a.coefficient, d), b.coefficient);
  }
  std::uint64_t d = static_cast<std::uint64_t>(b.exponent) - static_cast<std::uint64_t>(a.exponent);
  return ops.compare(a.coefficient, ops.mulPow10(b.coefficient, d));
}

template <class Ops>
std::strong_ordering compareT(Ops& ops, const NumberOf<Ops>& a, const NumberOf<Ops>& b) {
  bool aZero = ops.isZero(a.coefficient);
  bool bZero = ops.isZero(b.coefficient);
  if (aZero && bZero) return std::strong_ordering::equal;
  if (aZero) return b.negative ? std::strong_ordering::greater : std::strong_ordering::less;
  if (bZero || a.negative != b.negative) return a.negative ? std::strong_ordering::less : std::strong_ordering::greater;
  std::strong_ordering magnitude = compareMagnitudes(ops, a, b);
  return a.negative ? reversed(magnitude) : magnitude;
}

template <class Ops>
std::optional<NumberOf<Ops>> roundedT(Ops& ops, NumberOf<Ops> d) {
  std::uint64_t n = ops.digits(d.coefficient);
  if (n <= kPrecision) return d;
  std::uint64_t k = n - kPrecision;
  std::int64_t exponent = 0;
  if (k > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
      __builtin_add_overflow(d.exponent, static_cast<std::int64_t>(k), &exponent)) {
    return std::nullopt;
  }
  typename Ops::Coefficient q;
  typename Ops::Coefficient r;
  ops.divModPow10(d.coefficient, k, q, r);
  if (!ops.isZero(r) && roundsUpGiven(ops.isOdd(q), ops.twiceCompare(r, k), Rounding::halfEven, d.negative)) {
    q = ops.add(q, ops.fromU64(1));
  }
  // A carry can make q 10^60. (Beyond the table the digit count may be one
  // short and leave 61 digits; the loop keeps the 60-digit bound then too.)
  while (!ops.overflow && ops.digits(q) > kPrecision) {
    typename Ops::Coefficient rest;
    ops.divModPow10(q, 1, q, rest);
    if (__builtin_add_overflow(exponent, 1, &exponent)) return std::nullopt;
  }
  return NumberOf<Ops>{std::move(q), exponent, d.negative};
}

template <class Ops>
std::optional<NumberOf<Ops>> multiplyT(Ops& ops, const NumberOf<Ops>& a, const NumberOf<Ops>& b) {
  NumberOf<Ops> product;
  if (__builtin_add_overflow(a.exponent, b.exponent, &product.exponent)) return std::nullopt;
  product.coefficient = ops.mul(a.coefficient, b.coefficient);
  product.negative = a.negative != b.negative;
  return product;
}

// a + (-1)^bNegative * |b|.
template <class Ops>
std::optional<NumberOf<Ops>> addSigned(Ops& ops, const NumberOf<Ops>& a, const NumberOf<Ops>& b, bool bNegative) {
  using C = typename Ops::Coefficient;
  struct Operand {
    const C* coefficient;
    std::int64_t exponent;
    bool negative;
  };
  Operand hi{&a.coefficient, a.exponent, a.negative};
  Operand lo{&b.coefficient, b.exponent, bNegative};
  if (hi.exponent < lo.exponent) std::swap(hi, lo);
  const bool bothNegative = a.negative && bNegative;

  if (ops.isZero(*hi.coefficient)) {
    // Zero scaled by any power is zero: the sum is the other operand at its
    // own exponent, with its sign (it has the larger coefficient when nonzero).
    bool negative = ops.isZero(*lo.coefficient) ? bothNegative : lo.negative;
    return roundedT(ops, NumberOf<Ops>{*lo.coefficient, lo.exponent, negative});
  }

  std::uint64_t gap = static_cast<std::uint64_t>(hi.exponent) - static_cast<std::uint64_t>(lo.exponent);
  C standIn;
  if (gap > kStandInPlaces) {
    std::uint64_t loDigits = ops.digits(*lo.coefficient);  // may be one short
    std::uint64_t hiDigits = ops.digits(*hi.coefficient);
    if (gap - kStandInPlaces > loDigits && hiDigits <= kStandInMaxDigits) {
      // |lo| < 10^(hi.exponent - 61): it lies strictly between hi and the
      // nearest grid point or midpoint of 60 significant digits, on either
      // side, so only its sign matters (no tie can arise). A unit 62 places
      // below hi sits in the same interval and rounds to the same result.
      if (!ops.isZero(*lo.coefficient)) standIn = ops.fromU64(1);
      lo.coefficient = &standIn;
      lo.exponent = hi.exponent - static_cast<std::int64_t>(kStandInPlaces);
      gap = kStandInPlaces;
    } else if (hiDigits > kMaxScaledDigits || gap > kMaxScaledDigits - hiDigits) {
      return std::nullopt;  // refused: the aligned coefficient would be gigantic
    }
  }

  C scaled = gap == 0 ? *hi.coefficient : ops.mulPow10(*hi.coefficient, gap);
  NumberOf<Ops> sum;
  sum.exponent = lo.exponent;
  if (hi.negative == lo.negative) {
    sum.coefficient = ops.add(scaled, *lo.coefficient);
    sum.negative = hi.negative;
  } else if (ops.compare(scaled, *lo.coefficient) == std::strong_ordering::less) {
    sum.coefficient = ops.sub(*lo.coefficient, scaled);
    sum.negative = lo.negative;
  } else {
    sum.coefficient = ops.sub(scaled, *lo.coefficient);
    sum.negative = hi.negative;
  }
  if (ops.isZero(sum.coefficient)) sum.negative = bothNegative;
  return roundedT(ops, std::move(sum));
}

template <class Ops>
std::optional<NumberOf<Ops>> quantizeT(Ops& ops, const NumberOf<Ops>& d, std::int64_t target, Rounding mode) {
  using C = typename Ops::Coefficient;
  // Zero stays zero at any exponent, without a power of ten.
  if (ops.isZero(d.coefficient)) return NumberOf<Ops>{C(), target, d.negative};
  std::uint64_t n = ops.digits(d.coefficient);
  if (d.exponent >= target) {
    std::uint64_t k = static_cast<std::uint64_t>(d.exponent) - static_cast<std::uint64_t>(target);
    // The exact result has n + k digits; refuse before scaling.
    if (n > kPrecision || k > kPrecision - n) return std::nullopt;
    return NumberOf<Ops>{k == 0 ? d.coefficient : ops.mulPow10(d.coefficient, k), target, d.negative};
  }
  std::uint64_t k = static_cast<std::uint64_t>(target) - static_cast<std::uint64_t>(d.exponent);
  C q;
  if (k - 1 > n) {
    // coefficient < 10^(k-1) even if n is one short: q = 0 and 2r < 10^k.
    if (roundsUpGiven(false, std::strong_ordering::less, mode, d.negative)) q = ops.fromU64(1);
  } else {
    C r;
    ops.divModPow10(d.coefficient, k, q, r);
    if (!ops.isZero(r)) {
      std::strong_ordering twice =
          mode == Rounding::halfEven ? ops.twiceCompare(r, k) : std::strong_ordering::less;
      if (roundsUpGiven(ops.isOdd(q), twice, mode, d.negative)) q = ops.add(q, ops.fromU64(1));
    }
  }
  if (ops.digits(q) > kPrecision) return std::nullopt;
  return NumberOf<Ops>{std::move(q), target, d.negative};
}

// --- machine-integer path ---

constexpr std::uint64_t kPow10Limb = 10000000000000000000ULL;  // 10^19
// 10^0 .. 10^(n-1) all below 2^(64L): 10^154 < 2^512, 10^77 < 2^256.
template <int L>
constexpr unsigned kWidePowers = L == 8 ? 155 : L == 4 ? 78 : 0;

int bitWidth(std::uint64_t v) { return v == 0 ? 0 : 64 - __builtin_clzll(v); }

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

// 10^0 .. 10^19 with their reciprocals, for dividing by a power of ten a
// word at a time without the divide instruction.
inline const Modulus& pow10Modulus(std::uint64_t k) {
  static constexpr auto table = [] {
    std::array<Modulus, 20> t{};
    std::uint64_t p = 1;
    for (std::size_t j = 0; j < t.size(); ++j, p *= 10) t[j] = Modulus(p);
    return t;
  }();
  return table[k];
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
  std::uint64_t rem = 0;  // always below d
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
    std::uint64_t bits = 64 * static_cast<std::uint64_t>(c.size - 1) + bitWidth(c.limb[c.size - 1]);
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
    for (int j = 0; j < 8; ++j) limb = (limb << 8) | bytes[sizeof bytes - 8 * static_cast<std::size_t>(i) - 8 + static_cast<std::size_t>(j)];
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

BigInt toBig(const Wide& w) {
  if (w.size <= 2) return BigInt::fromU128((static_cast<u128>(w.limb[1]) << 64) | w.limb[0]);
  std::uint8_t bytes[8 * Wide::kLimbs];
  for (int i = 0; i < Wide::kLimbs; ++i) {
    for (int j = 0; j < 8; ++j) {
      bytes[8 * (Wide::kLimbs - 1 - i) + (7 - j)] = static_cast<std::uint8_t>(w.limb[i] >> (8 * j));
    }
  }
  return BigInt::fromBytesBE(bytes, sizeof bytes);
}


// The top 53 bits of a digest: u in u / 2^53.
std::uint64_t unitOf(const Digest& digest) {
  std::uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u = (u << 8) | digest[static_cast<std::size_t>(i)];
  return u >> 11;
}

void appendInt(Text& out, std::int64_t v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  out.append(buf, end);
}

// Text form shared by toText and toF64: sign, coefficient, marker, exponent.
Text numberText(const Dec& d, char marker) {
  Text out;
  if (d.negative) out.push_back('-');
  d.coefficient.appendMagnitudeDecimal(out);
  out.push_back(marker);
  appendInt(out, d.exponent);
  return out;
}

// Correctly rounded conversion of "{sign}{digits}e{exponent}".
double textToF64(const char* begin, const char* stop, std::int64_t exponent, std::uint64_t digits,
                 bool negative) {
  double value = 0;
  auto [end, ec] = std::from_chars(begin, stop, value);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    // Only values that round to zero or to infinity are out of range; which
    // one follows from the position of the leading digit.
    __int128 top = static_cast<__int128>(exponent) + digits;
    value = top > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    if (negative) value = -value;
  }
  return value;
}

double textToF64(const Text& text, std::int64_t exponent, std::uint64_t digits, bool negative) {
  return textToF64(text.data(), text.data() + text.size(), exponent, digits, negative);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }


// Correctly rounded, as textToF64 of its text. A coefficient below 2^53 and
// a power 10^e with |e| <= 22 are both exact doubles, so one IEEE division
// or multiplication rounds the exact value once, correctly; anything else
// goes through the text.
double fastToF64(const FastDec& d) {
  static constexpr double kExactPowers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
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

// --- Dec ---

std::optional<Dec> Dec::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  Dec result;
  if (text.front() == '+') {
    text.remove_prefix(1);
  } else if (text.front() == '-') {
    text.remove_prefix(1);
    result.negative = true;
  }

  std::string_view mantissa = text;
  std::int64_t exponent = 0;
  std::size_t mark = 0;
  while (mark < text.size() && text[mark] != 'e' && text[mark] != 'E') ++mark;
  if (mark < text.size()) {
    mantissa = text.substr(0, mark);
    std::string_view digits = text.substr(mark + 1);
    bool negativeExponent = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
      negativeExponent = digits.front() == '-';
      digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    // Accumulated toward the sign so that the most negative value parses.
    for (char c : digits) {
      if (!isDigit(c)) return std::nullopt;
      std::int64_t digit = c - '0';
      if (__builtin_mul_overflow(exponent, 10, &exponent)) return std::nullopt;
      if (negativeExponent ? __builtin_sub_overflow(exponent, digit, &exponent)
                           : __builtin_add_overflow(exponent, digit, &exponent)) {
        return std::nullopt;
      }
    }
  }

  std::string_view integral = mantissa;
  std::string_view fraction;
  if (std::size_t point = mantissa.find('.'); point != std::string_view::npos) {
    integral = mantissa.substr(0, point);
    fraction = mantissa.substr(point + 1);
  }
  if (integral.empty() && fraction.empty()) return std::nullopt;
  for (char c : integral) {
    if (!isDigit(c)) return std::nullopt;
  }
  for (char c : fraction) {
    if (!isDigit(c)) return std::nullopt;
  }
  if (fraction.size() > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()) ||
      __builtin_sub_overflow(exponent, static_cast<std::int64_t>(fraction.size()), &result.exponent)) {
    return std::nullopt;
  }

  // Leading zeros vanish; short coefficients avoid the text round trip.
  while (!integral.empty() && integral.front() == '0') integral.remove_prefix(1);
  if (integral.empty()) {
    while (!fraction.empty() && fraction.front() == '0') fraction.remove_prefix(1);
  }
  if (integral.size() + fraction.size() <= 19) {
    std::uint64_t c = 0;
    for (char d : integral) c = c * 10 + static_cast<std::uint64_t>(d - '0');
    for (char d : fraction) c = c * 10 + static_cast<std::uint64_t>(d - '0');
    result.coefficient = BigInt::fromU64(c);
  } else if (fraction.empty()) {
    result.coefficient = BigInt::fromDecimal(integral);
  } else {
    Text digits;
    digits.reserve(integral.size() + fraction.size());
    digits.append(integral);
    digits.append(fraction);
    result.coefficient = BigInt::fromDecimal(digits);
  }
  return result;
}

Text Dec::toText() const { return numberText(*this, 'E'); }

double Dec::toF64() const {
  return textToF64(numberText(*this, 'e'), exponent, decimalDigits(coefficient), negative);
}

BigInt Dec::toBigInt() const {
  if (coefficient.isZero()) return BigInt();
  BigInt magnitude;
  if (exponent >= 0) {
    std::uint64_t k = static_cast<std::uint64_t>(exponent);
    std::uint64_t n = decimalDigits(coefficient);
    if (n > kMaxScaledDigits || k > kMaxScaledDigits - n) throw std::length_error("Dec::toBigInt: integer too large");
    BigInt scratch;
    magnitude = k == 0 ? coefficient : coefficient * pow10(k, scratch);
  } else {
    std::uint64_t k = 0 - static_cast<std::uint64_t>(exponent);
    // decimalDigits is at most one short: k beyond it leaves nothing.
    if (k - 1 >= decimalDigits(coefficient)) return BigInt();
    BigInt scratch;
    magnitude = coefficient / pow10(k, scratch);
  }
  return negative ? magnitude.negated() : magnitude;
}

std::strong_ordering Dec::compare(const Dec& a, const Dec& b) {
  BigOps ops;
  return compareT(ops, a, b);
}

std::optional<Dec> Dec::add(const Dec& a, const Dec& b) {
  BigOps ops;
  return addSigned(ops, a, b, b.negative);
}

std::optional<Dec> Dec::subtract(const Dec& a, const Dec& b) {
  BigOps ops;
  return addSigned(ops, a, b, !b.negative);
}

std::optional<Dec> Dec::multiply(const Dec& a, const Dec& b) {
  BigOps ops;
  return multiplyT(ops, a, b);
}

std::optional<Dec> Dec::rounded(Dec d) {
  BigOps ops;
  return roundedT(ops, std::move(d));
}

std::optional<Dec> Dec::quantize(const Dec& d, std::int64_t target, Rounding mode) {
  BigOps ops;
  return quantizeT(ops, d, target, mode);
}

Dec Dec::fromUnit(std::uint64_t u) { return Dec{BigInt::fromU64(u) * fivePow53(), -53, false}; }

// --- NumberStrategy ---

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
  if (min.has_value()) {
    strategy.min_ = Dec::parse(*min);
    if (!strategy.min_) return notFinite("min", *min);
    strategy.max_ = Dec::parse(*max);
    if (!strategy.max_) return notFinite("max", *max);
  }
  if (variance.has_value()) {
    std::optional<Dec> parsed = Dec::parse(*variance);
    if (!parsed) return notFinite("variance", *variance);
    strategy.variance_ = std::move(*parsed);
  } else {
    strategy.variance_ = Dec{BigInt::fromU64(1), -1, false};
  }
  strategy.decimals_ = decimals;
  // The same for every value; a range that cannot be formed makes every
  // value a fallback rather than failing construction.
  if (strategy.min_) strategy.range_ = Dec::subtract(*strategy.max_, *strategy.min_);
  if (strategy.min_) {
    strategy.fastMin_ = toFast(*strategy.min_);
    strategy.fastMax_ = toFast(*strategy.max_);
    if (strategy.range_) strategy.fastRange_ = toFast(*strategy.range_);
    strategy.fastFits_ = strategy.fastMin_ && strategy.fastMax_ && (strategy.fastRange_ || !strategy.range_);
  } else {
    strategy.fastVariance_ = toFast(strategy.variance_);
    strategy.fastFits_ = strategy.fastVariance_.has_value();
  }
  if (strategy.min_) {
    strategy.narrowMin_ = toFast<4>(*strategy.min_);
    strategy.narrowMax_ = toFast<4>(*strategy.max_);
    if (strategy.range_) strategy.narrowRange_ = toFast<4>(*strategy.range_);
    strategy.narrowFits_ =
        strategy.narrowMin_ && strategy.narrowMax_ && (strategy.narrowRange_ || !strategy.range_);
  } else {
    strategy.narrowVariance_ = toFast<4>(strategy.variance_);
    strategy.narrowFits_ = strategy.narrowVariance_.has_value();
    const Dec& v = strategy.variance_;
    if (v.coefficient.magnitudeFitsU64() && v.coefficient.magnitudeU64() < 10000000 && v.exponent >= -6 &&
        v.exponent <= 52) {
      strategy.relativeShortcut_ = true;
      strategy.shortcutVariance_ = v.coefficient.magnitudeU64();
      strategy.shortcutGap_ = static_cast<std::uint64_t>(53 - v.exponent);
    }
  }
  return strategy;
}

namespace {

// The strategy's settings seen through one arithmetic.
template <class N>
struct Settings {
  const N* min = nullptr;  // null in relative mode
  const N* max = nullptr;
  const N* range = nullptr;  // null when max - min could not be formed
  const N* variance = nullptr;
};


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
  if (s.min != nullptr) {
    if (s.range == nullptr) return std::nullopt;
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
  if (s.min == nullptr) return q;
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
  if (s.min != nullptr || ops.isZero(value.coefficient) || compareT(ops, z, value) != std::strong_ordering::equal) {
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
  std::uint64_t v = 0;  // variance coefficient, below 10^7
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

namespace {

// A masked number from either path; nothing when the value falls back.
struct Masked {
  std::optional<FastDec> fast;
  std::optional<Dec> big;

  bool present() const { return fast || big; }
  bool isZero() const { return fast ? fast->coefficient.size == 0 : big->isZero(); }
  Text text(char marker) const {
    if (big) return numberText(*big, marker);
    Text out;
    if (fast->negative) out.push_back('-');
    appendWideDecimal(out, fast->coefficient);
    out.push_back(marker);
    appendInt(out, fast->exponent);
    return out;
  }
  Dec dec() const { return big ? *big : Dec{toBig(fast->coefficient), fast->exponent, fast->negative}; }
};

}  // namespace

struct NumberStrategy::Run {
  // Runs the steps in 512 bits when the operands fit and nothing overflows,
  // else on BigInt; both give the same number.
  static Masked steps(const NumberStrategy& strategy, const Dec& value, const KeyedHash& keyedHash,
                                  std::string_view data, std::optional<std::int64_t> grid, bool exactOnly) {
    const std::uint64_t u = unitOf(keyedHash.digest(data, ""));
    StepDraw draw{keyedHash, data, std::nullopt};
    if (!exactOnly && strategy.narrowFits_ && value.coefficient.magnitudeFitsU64()) {
      std::optional<NarrowDec> narrowValue = toFast<4>(value);
      Settings<NarrowDec> s;
      if (strategy.min_) {
        s.min = &*strategy.narrowMin_;
        s.max = &*strategy.narrowMax_;
        s.range = strategy.narrowRange_ ? &*strategy.narrowRange_ : nullptr;
      } else {
        s.variance = &*strategy.narrowVariance_;
      }
      WideOps<4> ops;
      std::optional<NarrowDec> result;
      if (strategy.relativeShortcut_) {
        const RelativeShortcut r{strategy.shortcutVariance_, strategy.shortcutGap_, strategy.variance_.negative};
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
    if (!exactOnly) {
      std::optional<FastDec> fastValue;
      if (strategy.fastFits_) fastValue = toFast(value);
      if (fastValue) {
        Settings<FastDec> s;
        if (strategy.min_) {
          s.min = &*strategy.fastMin_;
          s.max = &*strategy.fastMax_;
          s.range = strategy.fastRange_ ? &*strategy.fastRange_ : nullptr;
        } else {
          s.variance = &*strategy.fastVariance_;
        }
        WideOps<8> ops;
        std::optional<FastDec> result = maskSteps(ops, s, *fastValue, u, grid, draw);
        if (!ops.overflow) return Masked{std::move(result), std::nullopt};
      }
    }
    BigOps ops;
    return Masked{std::nullopt, maskSteps(ops, settings(strategy), value, u, grid, draw)};
  }

  static Settings<Dec> settings(const NumberStrategy& strategy) {
    Settings<Dec> s;
    if (strategy.min_) {
      s.min = &*strategy.min_;
      s.max = &*strategy.max_;
      s.range = strategy.range_ ? &*strategy.range_ : nullptr;
    } else {
      s.variance = &strategy.variance_;
    }
    return s;
  }
};

std::optional<Dec> NumberStrategy::target(const Dec& value, const KeyedHash& keyedHash,
                                          std::string_view data) const {
  BigOps ops;
  return targetT(ops, Run::settings(*this), value, unitOf(keyedHash.digest(data, "")));
}

std::optional<Dec> NumberStrategy::clamp(const Dec& q, std::int64_t exponent) const {
  BigOps ops;
  return clampT(ops, Run::settings(*this), q, exponent);
}

std::optional<Dec> NumberStrategy::moved(const Dec& value, const Dec& z, const Dec& step, const KeyedHash& keyedHash,
                                         std::string_view data) const {
  BigOps ops;
  StepDraw draw{keyedHash, data, std::nullopt};
  return movedT(ops, Run::settings(*this), value, z, step, draw);
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

NumberResult NumberStrategy::maskInteger(const KeyedHash& keyedHash, const BigInt& value) const {
  if (decimalDigits(value) > kMaxValueDigits) return fallback();
  const Dec dec{value.abs(), 0, value.isNegative()};
  const Text data = value.toDecimal();
  Masked m = Run::steps(*this, dec, keyedHash, data, 0, exactOnly_);
  if (!m.present()) return fallback();
  NumberResult result;
  result.kind = NumberResult::Kind::Int;
  result.integer = m.dec().toBigInt();
  return result;
}

NumberResult NumberStrategy::maskFloat(const KeyedHash& keyedHash, double value, std::string_view repr) const {
  if (!std::isfinite(value) || value == 0) return fallback();
  std::optional<Dec> dec = Dec::parse(repr);
  if (!dec || !withinValueLimits(*dec)) return fallback();
  std::optional<Text> data = hashData(*dec, repr);
  if (!data) return fallback();
  // Without decimals the target is converted directly.
  std::optional<std::int64_t> grid;
  if (decimals_) grid = -static_cast<std::int64_t>(*decimals_);
  Masked m = Run::steps(*this, *dec, keyedHash, *data, grid, exactOnly_);
  if (!m.present()) return fallback();
  double y = m.big ? m.big->toF64() : fastToF64(*m.fast);
  if (!std::isfinite(y) || y == 0) return fallback();
  NumberResult result;
  result.kind = NumberResult::Kind::Float;
  result.real = y;
  return result;
}

NumberResult NumberStrategy::maskDecimal(const KeyedHash& keyedHash, std::string_view text) const {
  std::optional<Dec> dec = Dec::parse(text);
  if (!dec || !withinValueLimits(*dec)) return fallback();
  std::optional<Text> data = hashData(*dec, std::nullopt);
  if (!data) return fallback();
  const std::int64_t grid =
      decimals_ ? -static_cast<std::int64_t>(*decimals_) : std::min<std::int64_t>(dec->exponent, 0);
  Masked m = Run::steps(*this, *dec, keyedHash, *data, grid, exactOnly_);
  if (!m.present() || m.isZero()) return fallback();
  NumberResult result;
  result.kind = NumberResult::Kind::Decimal;
  result.text = m.text('E');
  return result;
}

std::optional<Dec> NumberStrategy::targetForTesting(const Dec& value, const KeyedHash& keyedHash,
                                                    std::string_view data) const {
  Masked m = Run::steps(*this, value, keyedHash, data, std::nullopt, exactOnly_);
  if (!m.present()) return std::nullopt;
  return m.dec();
}

NumberStrategy NumberStrategy::exactOnlyForTesting() const {
  NumberStrategy copy = *this;
  copy.exactOnly_ = true;
  return copy;
}

}  // namespace zorva
