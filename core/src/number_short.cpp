// The short road: the number strategy's steps on fixed arrays of six 64-bit
// words, for values of at most 19 digits. Division by powers of ten uses
// precomputed reciprocals; the two roundings of a quantized target (to 60
// digits, then to the grid) are told apart only where they can differ.
#include "number_short.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "bytes.h"
#include "decimal_text.h"
#include "digits.h"
#include "divide.h"

namespace zorva::number_detail {

namespace {

constexpr int kWords = 5;
// Largest power of ten in the tables; every number the road divides or
// counts the digits of stays below 10^kTopPower (< 2^270).
constexpr unsigned kTopPower = 81;
constexpr std::uint64_t kPrecision = 60;
constexpr std::int64_t kMaxValueExponent = 400;
constexpr std::int64_t kMaxSettingExponent = 1000;
// An addend this many places below the other is handled by the general road
// (its negligible-operand rule).
constexpr std::uint64_t kMaxAlignment = 62;

// Largest power of five a relative target on two words divides by (below 2^63).
constexpr unsigned kMaxFivePower = 27;

// An unsigned integer below 2^320, little-endian words.
struct Words {
  std::uint64_t w[kWords] = {};
};

constexpr u128 kFivePow53 = [] {
  u128 p = 1;
  for (int i = 0; i < 53; ++i) p *= 5;
  return p;
}();

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
  Modulus word[20];  // 10^0 .. 10^19
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
    for (unsigned k = 0; k < 20; ++k) word[k] = Modulus(kPowersOfTen64[k]);
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
      Words p;
      p.w[(b - 1) / 64] = std::uint64_t{1} << ((b - 1) % 64);
      while (d <= kTopPower && compare(p, pow[d]) >= 0) ++d;
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
std::uint64_t divWord(const Tables& t, Words& x, unsigned k) {
  std::uint64_t rem = 0;
#pragma GCC unroll 8
  for (int i = kWords - 1; i >= 0; --i) {
    if (rem == 0 && x.w[i] == 0) continue;
    x.w[i] = t.word[k].divide(rem, x.w[i], rem);
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
    q = t.word[k].divide(x.w[1], x.w[0], rem);
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

// The 19 leading digits of a positive value s 10^e (of n digits) and the
// exponent of their last one; exact when nothing nonzero lies below them.
struct Leading {
  std::uint64_t digits = 0;
  std::int64_t exponent = 0;
  bool exact = true;
};

std::optional<Leading> leadingDigits(const Tables& t, const Words& s, std::uint64_t n, std::int64_t e) {
  Leading l;
  if (n <= 19) {
    l.digits = s.w[0];
    l.exponent = e;
    return l;
  }
  Words r;
  if (!divPow10(t, s, static_cast<unsigned>(n - 19), l.digits, r)) return std::nullopt;
  l.exponent = e + static_cast<std::int64_t>(n - 19);
  l.exact = isZero(r);
  return l;
}

constexpr double kExactPowers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                     1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// digits 10^e as the nearest double, when it lies in the double range.
std::optional<double> nearestDouble(std::uint64_t digits, std::int64_t e) {
  char text[48];
  char* end = std::to_chars(text, text + 24, digits).ptr;
  *end++ = 'e';
  end = std::to_chars(end, text + sizeof text, e).ptr;
  double value = 0;
  auto [stop, ec] = std::from_chars(text, end, value);
  (void)stop;
  if (ec != std::errc()) return std::nullopt;
  return value;
}

// The double nearest to every number in [d 10^e, (d + width) 10^e], width 0
// or 1, for 0 < d < 10^19 and |e| <= 22, when they all round alike by a
// clear margin; nothing otherwise. With d = dh + dl exactly (dl below 2^11)
// and 10^|e| exact, fma gives the exact error of the one product or
// quotient, so d 10^e = s + r with |r| about ulp(s) / 2 at most, known to
// some 2^-100 s; the margin is 2^-20 ulp(s).
std::optional<double> nearestByParts(std::uint64_t d, std::int64_t e, bool exact) {
  const double dh = static_cast<double>(d);
  const auto dl = static_cast<double>(static_cast<std::int64_t>(d - static_cast<std::uint64_t>(dh)));
  const double p = kExactPowers[e < 0 ? -e : e];
  double hi = 0, lo = 0, width = 0;
  if (e >= 0) {
    hi = dh * p;
    lo = std::fma(dh, p, -hi) + dl * p;
    width = exact ? 0 : p;
  } else {
    hi = dh / p;
    lo = (std::fma(-hi, p, dh) + dl) / p;
    width = exact ? 0 : 1 / p;
  }
  const double s = hi + lo;
  const double r = lo - (s - hi);
  const auto bits = std::bit_cast<std::uint64_t>(s);
  // At a power of two the double below lies closer than ulp(s).
  if ((bits & ((std::uint64_t{1} << 52) - 1)) == 0) return std::nullopt;
  const double ulp = std::bit_cast<double>(bits + 1) - s;
  const double bound = ulp / 2 - ulp * 0x1p-20;
  if (r > -bound && r + width < bound) return s;
  return std::nullopt;
}

// The double nearest to the value rounded(s) 10^e of the target, from the
// leading digits of s alone: rounded(s) lies between them and the next
// number of 19 digits, so where those two convert alike, so does it.
std::optional<double> targetToF64(const Tables& t, const Words& s, std::uint64_t n, std::int64_t e, bool negative) {
  const std::optional<Leading> leading = leadingDigits(t, s, n, e);
  if (!leading) return std::nullopt;
  const Leading& l = *leading;
  double value = 0;
  if (l.exact && l.digits < (std::uint64_t{1} << 53) && l.exponent >= -22 && l.exponent <= 22) {
    const auto mantissa = static_cast<double>(l.digits);
    value = l.exponent < 0 ? mantissa / kExactPowers[-l.exponent] : mantissa * kExactPowers[l.exponent];
  } else if (std::optional<double> near =
                 l.exponent >= -22 && l.exponent <= 22 ? nearestByParts(l.digits, l.exponent, l.exact) : std::nullopt) {
    value = *near;
  } else {
    std::optional<double> low = nearestDouble(l.digits, l.exponent);
    if (!low) return std::nullopt;
    if (!l.exact) {
      std::optional<double> high = nearestDouble(l.digits + 1, l.exponent);
      if (!high || *high != *low) return std::nullopt;
    }
    value = *low;
  }
  return negative ? -value : value;
}

// A relative target before its rounding to 60 digits, n 2^-53 10^exponent.
// With the variance V 10^v for v <= 0 and g = 53 - v, 1 + m is
// (10^g +- |s| V 5^53) 10^-g = 5^53 J 10^-g for J = 10^-v 2^53 +- |s| V,
// since 10^g = 5^53 10^-v 2^53; so value * (1 + m) = c J 2^-53 10^(e + v).
struct BinaryTarget {
  u128 n = 0;
  std::int64_t exponent = 0;
  bool negative = false;
};

// False when 1 + m reaches 10^60 (then it is not exact) or c J passes 2^128.
bool binaryTarget(std::uint64_t c, std::int64_t e, bool negative, std::uint64_t u, std::uint64_t variance,
                  std::int64_t gap, bool varianceNegative, BinaryTarget& out) {
  const std::int64_t s = static_cast<std::int64_t>(2 * u) - (std::int64_t{1} << 53);
  const bool mNegative = (s < 0) != varianceNegative;  // s = 0 counts as positive
  const u128 sv = static_cast<u128>(s < 0 ? -s : s) * variance;
  const u128 one = static_cast<u128>(kPowersOfTen64[gap - 53]) << 53;
  u128 j = 0;
  bool kNegative = false;
  if (!mNegative) {
    j = one + sv;
  } else if (one < sv) {
    j = sv - one;
    kNegative = true;
  } else {
    j = one - sv;
  }
  // 5^53 J < 10^60 = 5^53 10^7 2^53.
  if (j >= (static_cast<u128>(10000000) << 53)) return false;
  if (__builtin_mul_overflow(static_cast<u128>(c), j, &out.n)) return false;
  out.exponent = e + 53 - gap;
  out.negative = negative != kNegative;
  return true;
}

int n128LeadingZeros(u128 x) {
  const auto hi = static_cast<std::uint64_t>(x >> 64);
  return hi != 0 ? std::countl_zero(hi) : 64 + std::countl_zero(static_cast<std::uint64_t>(x));
}

// x / 5^a and x mod 5^a.
u128 divideByFive(const Tables& t, u128 x, unsigned a, std::uint64_t& rem) {
  const Modulus& m = t.five[a];
  std::uint64_t high = 0;
  const std::uint64_t qh = m.divide(0, static_cast<std::uint64_t>(x >> 64), high);
  const std::uint64_t ql = m.divide(high, static_cast<std::uint64_t>(x), rem);
  return (static_cast<u128>(qh) << 64) | ql;
}

// The double nearest to the target rounded to 60 digits, for a nonzero n and
// -27 <= exponent <= 0. Rounding to 60 digits moves the target by at most
// 5 10^-60 of it, under 2^-143 of a unit in the double's last place, while a
// target off a midpoint between doubles lies at least 2^-76 units from it
// (see below): both round alike. An exact midpoint goes to the general road.
std::optional<double> binaryToF64(const Tables& t, const BinaryTarget& b) {
  if (b.exponent > 0 || b.exponent < -static_cast<std::int64_t>(kMaxFivePower)) return std::nullopt;
  const auto a = static_cast<unsigned>(-b.exponent);
  // x = n 2^shift has its top bit set; the target is (x / 5^a) 2^(-53-a-shift).
  const int shift = n128LeadingZeros(b.n);
  std::uint64_t rem = 0;
  const u128 q = divideByFive(t, b.n << shift, a, rem);
  // q >= 2^127 / 5^27 > 2^64: drop >= 11 bits below the 53 kept. The exact
  // quotient q + rem/5^a lies off the midpoint by a multiple of 1/5^a, and
  // 5^a 2^drop < 2^76 since q 5^a < 2^128.
  const int drop = 128 - n128LeadingZeros(q) - 53;
  const u128 dropped = q & ((static_cast<u128>(1) << drop) - 1);
  const u128 half = static_cast<u128>(1) << (drop - 1);
  if (dropped == half && rem == 0) return std::nullopt;
  const std::uint64_t mantissa = static_cast<std::uint64_t>(q >> drop) + (dropped >= half ? 1 : 0);
  // Scaling by 2^(drop - 53 - a - shift), which lies within [-196, 22], is exact.
  const double y = static_cast<double>(mantissa) *
                   std::bit_cast<double>(static_cast<std::uint64_t>(1023 + drop - 53 - static_cast<int>(a) - shift) << 52);
  return b.negative ? -y : y;
}

// quantize(rounded(target), grid, half-even) when 0 <= grid - exponent <=
// 27: the target over the grid step is n / (5^a 2^(a+53)). Rounding to 60
// digits first moves the target by at most 5 10^-60 of it, which in grid
// steps is below 10^-20 / D for D = 5^a 2^(a+53), while a target off a
// midpoint lies at least 1 / (2 D) from it: the two roundings agree but at an
// exact midpoint, which goes to the general road.
bool binaryOnGrid(const Tables& t, const BinaryTarget& b, std::int64_t grid, ShortResult& out) {
  if (grid < b.exponent || grid - b.exponent > static_cast<std::int64_t>(kMaxFivePower)) return false;
  const auto a = static_cast<unsigned>(grid - b.exponent);
  const unsigned s = a + 53;
  // n = (q 5^a + r) 2^s + low.
  std::uint64_t r = 0;
  const u128 q = divideByFive(t, b.n >> s, a, r);
  const u128 low = b.n & ((static_cast<u128>(1) << s) - 1);
  const std::uint64_t five = t.five[a].value();
  // Twice the remainder against D: (2r - 5^a) 2^s + 2 low, with 2r - 5^a odd.
  bool up = 2 * r > five;
  if (2 * r + 1 == five) {
    const u128 half = static_cast<u128>(1) << (s - 1);
    if (low == half) return false;
    up = low > half;
  }
  out.kind = ShortResult::Kind::number;
  out.coefficient = q + (up ? 1 : 0);
  out.exponent = grid;
  out.negative = b.negative;
  return true;
}

// A signed coefficient on Words with its exponent, as the sums are formed.
struct Wide {
  Words coefficient;
  std::int64_t exponent = 0;
  bool negative = false;
};

// rounded(s), then quantize to exponent grid with half-even: from the
// quotient A = floor(s / 10^T) for T = grid - exponent and its remainder R,
// which decides both roundings in turn except in a band of width 2 10^k
// around the midpoint (k digits dropped by the first rounding).
void quantized(const Tables& t, const Wide& s, std::int64_t grid, ShortResult& out) {
  out.exponent = grid;
  out.negative = s.negative;
  if (compare(s.coefficient, t.pow[kTopPower - 1]) >= 0) return;  // general
  const std::uint64_t n = digitsOf(t, s.coefficient);
  const std::uint64_t k = n > kPrecision ? n - kPrecision : 0;
  const std::int64_t total = grid - s.exponent;
  if (isZero(s.coefficient) || total > static_cast<std::int64_t>(n)) {
    // Zero, or below a tenth of the grid step: quantizes to zero.
    out.kind = ShortResult::Kind::number;
    return;
  }
  // The grid at or below the 60-digit target's last place: either exact
  // scaling to 60 digits or more, or a refusal; both for the general road.
  if (total <= static_cast<std::int64_t>(k) || k > 19) return;
  const auto places = static_cast<unsigned>(total);
  std::uint64_t a = 0;
  Words r;
  if (!divPow10(t, s.coefficient, places, a, r)) return;
  bool up = false;
  if (k == 0) {
    const int c = compare(r, t.half[places]);
    up = c > 0 || (c == 0 && (a & 1) != 0);
  } else {
    // r = B 10^k + C with B the digits the first rounding keeps below the
    // grid and H = 5 10^(j-1) half the grid step in them, j = T - k. B > H
    // rounds up and B < H - 1 down whatever C is; B in {H - 1, H} (a tie or
    // next to one) goes to the general road.
    const Words& unit = t.pow[k];
    const Words& midpoint = t.half[places];  // H 10^k
    if (compare(r, add(midpoint, unit)) >= 0) {
      up = true;
    } else if (compare(r, sub(midpoint, unit)) >= 0) {
      return;
    }
  }
  if (up && a == std::numeric_limits<std::uint64_t>::max()) return;
  out.kind = ShortResult::Kind::number;
  out.coefficient = a + (up ? 1 : 0);
}

// The top 53 bits of a digest.
std::uint64_t unitOf(const Digest& digest) { return loadBE64(digest.data()) >> 11; }

// a + (-1)^bNegative |b|, the general road's addSigned before its rounding,
// for operands whose exponents lie within kMaxAlignment; nothing otherwise or
// when the sum would reach 10^80.
std::optional<Wide> addSigned(const Tables& t, const Wide& a, const Wide& b, bool bNegative) {
  const Wide* hi = &a;
  const Wide* lo = &b;
  bool hiNegative = a.negative, loNegative = bNegative;
  if (hi->exponent < lo->exponent) {
    std::swap(hi, lo);
    std::swap(hiNegative, loNegative);
  }
  const bool bothNegative = a.negative && bNegative;
  Wide sum;
  sum.exponent = lo->exponent;
  if (isZero(hi->coefficient)) {
    sum.coefficient = lo->coefficient;
    sum.negative = isZero(lo->coefficient) ? bothNegative : loNegative;
    return sum;
  }
  const auto gap = static_cast<std::uint64_t>(hi->exponent - lo->exponent);
  if (gap > kMaxAlignment || digitsOf(t, hi->coefficient) + gap >= kTopPower - 1) return std::nullopt;
  Words scaled = hi->coefficient;
  for (std::uint64_t left = gap; left > 0;) {
    const std::uint64_t step = left < 19 ? left : 19;
    scaled = mulWord(scaled, kPowersOfTen64[step]);
    left -= step;
  }
  if (hiNegative == loNegative) {
    sum.coefficient = add(scaled, lo->coefficient);
    sum.negative = hiNegative;
  } else if (compare(scaled, lo->coefficient) < 0) {
    sum.coefficient = sub(lo->coefficient, scaled);
    sum.negative = loNegative;
  } else {
    sum.coefficient = sub(scaled, lo->coefficient);
    sum.negative = hiNegative;
  }
  if (isZero(sum.coefficient)) sum.negative = bothNegative;
  return sum;
}

// The magnitude of quantize(d, grid, mode) for mode ceiling or floor, when it
// is below 2^64.
std::optional<std::uint64_t> quantizeBound(const Tables& t, std::uint64_t c, std::int64_t e, bool negative,
                                           std::int64_t grid, bool ceiling) {
  if (c == 0) return 0;
  const bool upward = ceiling ? !negative : negative;
  if (e >= grid) {
    if (e - grid > 19) return std::nullopt;
    std::uint64_t out = 0;
    if (__builtin_mul_overflow(c, kPowersOfTen64[e - grid], &out)) return std::nullopt;
    return out;
  }
  if (grid - e > 19) return upward ? 1 : 0;  // c < 10^20: only the direction matters
  std::uint64_t rem = 0;
  const std::uint64_t q = t.word[grid - e].divide(0, c, rem);
  return q + (rem != 0 && upward ? 1 : 0);
}

// The decimal digits of v at out (room 44); returns the end.
char* writeDecimal(char* out, u128 v) {
  if (v >> 64 == 0) return writeDigits64(out, static_cast<std::uint64_t>(v));
  Words x = fromU128(v);
  const std::uint64_t low = divWord(tables(), x, 19);
  out = writeDecimal(out, (static_cast<u128>(x.w[1]) << 64) | x.w[0]);
  // Zero-padded to 19 digits.
  char* end = out + 19;
  std::uint64_t rest = low;
  for (char* p = end; p != out; rest /= 10) *--p = static_cast<char>('0' + rest % 10);
  return end;
}

// Signed value of a magnitude, for comparing numbers on one grid.
__int128 signedOf(u128 magnitude, bool negative) {
  const auto v = static_cast<__int128>(magnitude);
  return negative ? -v : v;
}

}  // namespace

namespace {

// The value of 8 digit values (bytes 0-9), the first byte most significant:
// pairs, then quadruples, then the whole, by multiplications.
std::uint64_t eightDigitsValue(std::uint64_t chunk) {
  chunk = chunk * 10 + (chunk >> 8);
  return (((chunk & 0x000000FF000000FF) * (100 + (std::uint64_t{1000000} << 32))) +
          (((chunk >> 16) & 0x000000FF000000FF) * (1 + (std::uint64_t{10000} << 32)))) >>
         32;
}

// Reads the run of digits at p into c (modulo 2^64: a coefficient of more
// than 19 significant digits is refused by its count, not its value), up to
// 8 at a time: the next bytes of [begin, end) in the low bytes of one word
// (read forward, or backward from end near it), zero above them.
const char* readDigits(const char* begin, const char* p, const char* end, std::uint64_t& c) {
  if constexpr (std::endian::native == std::endian::little) {
    while (p != end) {
      std::uint64_t chunk;
      if (end - p >= 8) {
        std::memcpy(&chunk, p, 8);
      } else if (end - begin >= 8) {
        std::memcpy(&chunk, end - 8, 8);
        chunk >>= 8 * (8 - (end - p));
      } else {
        break;
      }
      // A byte is a digit when it differs from '0' by less than 10.
      const std::uint64_t offset = chunk ^ 0x3030303030303030;
      const std::uint64_t nonDigits = ((offset + 0x7676767676767676) | offset) & 0x8080808080808080;
      const unsigned k = nonDigits == 0 ? 8 : static_cast<unsigned>(std::countr_zero(nonDigits)) / 8;
      if (k == 0) return p;
      // Bytes below 0x30 borrow only from the bytes above them, which the
      // shift drops; the k digits land on top, zero digits below them.
      c = c * kPowersOfTen64[k] + eightDigitsValue((chunk - 0x3030303030303030) << (8 * (8 - k)));
      p += k;
      if (k < 8) return p;
    }
  }
  for (; p != end; ++p) {
    const auto digit = static_cast<unsigned>(*p - '0');
    if (digit > 9) break;
    c = c * 10 + digit;
  }
  return p;
}

}  // namespace

std::optional<ShortValue> parseShort(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  ShortValue v;
  const bool plus = p != end && *p == '+';
  if (p != end && (*p == '+' || *p == '-')) v.negative = *p++ == '-';
  // The digits before the point, then (after one point) those after it;
  // leading zeros count as digits but not as significant ones.
  const char* const start = p;
  std::uint64_t coefficient = 0;
  p = readDigits(text.data(), p, end, coefficient);
  const auto wholeDigits = static_cast<std::size_t>(p - start);
  std::size_t mantissaDigits = wholeDigits;
  std::int64_t fraction = 0;
  if (p != end && *p == '.') {
    const char* const fractionStart = ++p;
    p = readDigits(text.data(), p, end, coefficient);
    fraction = p - fractionStart;
    mantissaDigits += static_cast<std::size_t>(fraction);
  }
  if (mantissaDigits == 0 || fraction > 1000) return std::nullopt;
  std::size_t zeros = 0;
  for (const char* q = start; q != p && (*q == '0' || *q == '.'); ++q) zeros += *q == '0';
  if (mantissaDigits - zeros > 19) return std::nullopt;
  std::int64_t exponent = 0;
  v.plain = p == end && !plus && fraction > 0 && end[-1] != '0' && wholeDigits > 0 &&
            (*start != '0' || wholeDigits == 1);
  if (p != end) {
    if (*p != 'e' && *p != 'E') return std::nullopt;
    ++p;
    bool negativeExponent = false;
    if (p != end && (*p == '+' || *p == '-')) negativeExponent = *p++ == '-';
    const char* const first = p;
    for (; p != end; ++p) {
      const char c = *p;
      if (c < '0' || c > '9' || p - first >= 6) return std::nullopt;
      exponent = exponent * 10 + (c - '0');
    }
    if (p == first) return std::nullopt;
    if (negativeExponent) exponent = -exponent;
  }
  v.coefficient = coefficient;
  v.exponent = exponent - fraction;
  if (v.exponent > kMaxValueExponent || v.exponent < -kMaxValueExponent) return std::nullopt;
  return v;
}

bool writeHashData(const ShortValue& v, const std::string_view* ownText, char* out, std::string_view& data) {
  if (v.coefficient == 0) {
    out[0] = '0';
    data = std::string_view(out, 1);
    return true;
  }
  // A float's shortest repr (and a plain Decimal text) ends in a nonzero
  // digit unless it is integral: a last digit that is not 0 after the point
  // makes a fraction, whose hash data is the text itself, known without
  // writing the digits out.
  if (ownText && v.exponent < 0 && v.coefficient % 10 != 0) {
    data = *ownText;
    return true;
  }
  char digits[24];
  const auto n = static_cast<std::size_t>(writeDigits64(digits, v.coefficient) - digits);
  char* end = out;
  if (v.negative) *end++ = '-';
  if (v.exponent >= 0) {
    const auto zeros = static_cast<std::size_t>(v.exponent);
    if (1 + n + zeros > kShortDataRoom) return false;
    std::memcpy(end, digits, n);
    std::memset(end + n, '0', zeros);
    data = std::string_view(out, static_cast<std::size_t>(end - out) + n + zeros);
    return true;
  }
  const auto k = static_cast<std::size_t>(-v.exponent);
  std::size_t kept = n;
  while (digits[kept - 1] == '0') --kept;
  if (k <= n - kept) {  // the fraction digits are all zeros: integral
    std::memcpy(end, digits, n - k);
    data = std::string_view(out, static_cast<std::size_t>(end - out) + n - k);
    return true;
  }
  if (ownText) {
    data = *ownText;
    return true;
  }
  if (k >= n) {
    if (1 + 2 + (k - n) + kept > kShortDataRoom) return false;
    *end++ = '0';
    *end++ = '.';
    std::memset(end, '0', k - n);
    end += k - n;
    std::memcpy(end, digits, kept);
    end += kept;
  } else {
    const std::size_t p = n - k;
    std::memcpy(end, digits, p);
    end += p;
    *end++ = '.';
    std::memcpy(end, digits + p, kept - p);
    end += kept - p;
  }
  data = std::string_view(out, static_cast<std::size_t>(end - out));
  return true;
}

std::optional<ShortRoad> ShortRoad::make(const std::optional<Dec>& min, const std::optional<Dec>& max,
                                         const std::optional<Dec>& range, const Dec& variance) {
  ShortRoad road;
  auto decimal = [](const Dec& d, Decimal& out) {
    if (!d.coefficient.magnitudeFitsU64() || d.exponent > kMaxSettingExponent || d.exponent < -kMaxSettingExponent)
      return false;
    out = Decimal{d.coefficient.magnitudeU64(), d.exponent, d.negative};
    return true;
  };
  if (min) {
    road.bounded_ = true;
    if (!range || !decimal(*min, road.min_) || !decimal(*max, road.max_) || !decimal(*range, road.range_))
      return std::nullopt;
    return road;
  }
  // 1 + (2f - 1) variance is then exact within 60 digits, or found not to be
  // per value (see mask).
  if (!variance.coefficient.magnitudeFitsU64() || variance.coefficient.magnitudeU64() >= 10000000 ||
      variance.exponent < -6 || variance.exponent > 52)
    return std::nullopt;
  road.variance_ = variance.coefficient.magnitudeU64();
  road.gap_ = 53 - variance.exponent;
  road.varianceNegative_ = variance.negative;
  return road;
}

ShortResult ShortRoad::mask(const ShortValue& value, std::uint64_t u, std::optional<std::int64_t> grid,
                            const KeyedHash& keyedHash, std::string_view data) const {
  const Tables& t = tables();
  // Every return gives this one object, built in the caller's slot: copying
  // a result whose flags were just stored byte by byte stalls the loads that
  // copy it.
  ShortResult out;  // Kind::general until settled
  bool onGrid = false;
  if (!bounded_ && gap_ >= 53) {
    // A variance exponent of at most 0: the target on two words.
    BinaryTarget b;
    if (binaryTarget(value.coefficient, value.exponent, value.negative, u, variance_, gap_, varianceNegative_, b)) {
      if (!grid) {
        if (b.n == 0) {
          out.kind = ShortResult::Kind::fallback;
          return out;
        }
        if (std::optional<double> y = binaryToF64(t, b)) {
          out.kind = ShortResult::Kind::real;
          out.real = *y;
          return out;
        }
      } else {
        onGrid = binaryOnGrid(t, b, *grid, out);
      }
    }
  }
  // The target on five words, then (with a grid) quantized into out: false
  // when out is then an answer or a hand-over to return.
  auto wideTarget = [&]() -> bool {
    Wide target;  // before its rounding to 60 digits
    if (!bounded_) {
      // With f = u / 2^53 = u 5^53 10^-53, 2f - 1 = s 5^53 10^-53 for
      // s = 2u - 2^53, and 1 + m = (10^g +- |s| V 5^53) 10^-g with g the gap:
      // every step before the last product is exact while that stays below 10^60.
      const std::int64_t s = static_cast<std::int64_t>(2 * u) - (std::int64_t{1} << 53);
      const bool mNegative = (s < 0) != varianceNegative_;  // s = 0 counts as positive
      const Words m = mulU128(static_cast<u128>(s < 0 ? -s : s) * variance_, fromU128(kFivePow53));
      const Words& one = t.pow[gap_];
      Words k;
      bool kNegative = false;
      if (!mNegative) {
        k = add(one, m);
      } else if (compare(one, m) < 0) {
        k = sub(m, one);
        kNegative = true;
      } else {
        k = sub(one, m);
      }
      if (compare(k, t.pow[kPrecision]) >= 0 || value.coefficient >= kPowersOfTen64[19]) return false;
      target.coefficient = mulWord(k, value.coefficient);
      target.exponent = value.exponent - gap_;
      target.negative = value.negative != kNegative;
    } else {
      // min + rounded(range f): the product is exact, then rounded as the
      // general road rounds it, then added.
      Wide scaled;
      scaled.coefficient = mulU128(static_cast<u128>(range_.coefficient) * u, fromU128(kFivePow53));
      scaled.exponent = range_.exponent - 53;
      scaled.negative = range_.negative;
      const std::uint64_t n = digitsOf(t, scaled.coefficient);
      if (n > kPrecision) {
        const auto k = static_cast<unsigned>(n - kPrecision);
        const std::uint64_t rem = divWord(t, scaled.coefficient, k);
        const std::uint64_t halfUnit = t.half[k].w[0];
        if (rem > halfUnit || (rem == halfUnit && (scaled.coefficient.w[0] & 1) != 0)) {
          scaled.coefficient = add(scaled.coefficient, fromU128(1));
        }
        scaled.exponent += k;
        if (compare(scaled.coefficient, t.pow[kPrecision]) == 0) {
          scaled.coefficient = t.pow[kPrecision - 1];
          scaled.exponent += 1;
        }
      }
      const Wide lowest{fromU128(min_.coefficient), min_.exponent, min_.negative};
      std::optional<Wide> sum = addSigned(t, lowest, scaled, scaled.negative);
      if (!sum) return false;
      target = *sum;
    }

    if (!grid) {
      // A float without decimals: the target converted directly.
      if (compare(target.coefficient, t.pow[kTopPower - 1]) >= 0) return false;
      if (isZero(target.coefficient)) {
        out.kind = ShortResult::Kind::fallback;
        return false;
      }
      const std::optional<double> y =
          targetToF64(t, target.coefficient, digitsOf(t, target.coefficient), target.exponent, target.negative);
      if (!y) return false;
      out.kind = ShortResult::Kind::real;
      out.real = *y;
      return false;
    }

    quantized(t, target, *grid, out);
    return out.kind == ShortResult::Kind::number;
  };
  if (!onGrid && !wideTarget()) return out;
  if (bounded_) {
    // clamp: lo = quantize(min, grid, ceiling), hi = quantize(max, grid, floor).
    const std::optional<std::uint64_t> lo =
        quantizeBound(t, min_.coefficient, min_.exponent, min_.negative, *grid, true);
    const std::optional<std::uint64_t> hi =
        quantizeBound(t, max_.coefficient, max_.exponent, max_.negative, *grid, false);
    if (!lo || !hi) {
      out = ShortResult{};
      return out;
    }
    if (signedOf(*lo, min_.negative) > signedOf(out.coefficient, out.negative)) {
      out.coefficient = *lo;
      out.negative = min_.negative;
    }
    if (signedOf(*hi, max_.negative) < signedOf(out.coefficient, out.negative)) {
      out.coefficient = *hi;
      out.negative = max_.negative;
    }
    return out;
  }

  // moved: a nonzero value equal to its quantized target steps off it.
  if (value.coefficient == 0 || out.coefficient == 0 || out.negative != value.negative) return out;
  const std::int64_t e = value.exponent;
  const std::int64_t d = *grid >= e ? *grid - e : e - *grid;
  if (d > 19) return out;  // one side has 20 digits more than the other: unequal
  const u128 scale = kPowersOfTen64[d];
  const bool equal =
      *grid >= e ? out.coefficient * scale == value.coefficient : out.coefficient == value.coefficient * scale;
  if (!equal) return out;
  const bool upward = unitOf(keyedHash.digest(data, "step")) >= (std::uint64_t{1} << 52);
  // value + step or value - step, the step 10^grid: the general road's
  // addSigned, here with a coefficient below 10^39 and nothing to round.
  const bool stepNegative = !upward;
  const bool valueHi = e >= *grid;
  const u128 hiMagnitude = valueHi ? value.coefficient * scale : scale;
  const u128 loMagnitude = valueHi ? 1 : value.coefficient;
  const bool hiNegative = valueHi ? value.negative : stepNegative;
  const bool loNegative = valueHi ? stepNegative : value.negative;
  out.kind = ShortResult::Kind::number;
  out.exponent = valueHi ? *grid : e;
  if (hiNegative == loNegative) {
    out.coefficient = hiMagnitude + loMagnitude;
    out.negative = hiNegative;
  } else if (hiMagnitude < loMagnitude) {
    out.coefficient = loMagnitude - hiMagnitude;
    out.negative = loNegative;
  } else {
    out.coefficient = hiMagnitude - loMagnitude;
    out.negative = hiNegative;
  }
  if (out.coefficient == 0) out.negative = value.negative && stepNegative;
  return out;
}

double ShortRoad::toF64(const ShortResult& r) {
  if (r.coefficient < (u128{1} << 53) && r.exponent >= -22 && r.exponent <= 22) {
    const auto mantissa = static_cast<double>(static_cast<std::uint64_t>(r.coefficient));
    const double value = r.exponent < 0 ? mantissa / kExactPowers[-r.exponent] : mantissa * kExactPowers[r.exponent];
    return r.negative ? -value : value;
  }
  // Sign, at most 39 digits, the marker and a 64-bit exponent.
  char text[1 + 40 + 1 + 24];
  char* end = text;
  if (r.negative) *end++ = '-';
  const char* digits = end;
  end = writeDecimal(end, r.coefficient);
  const auto count = static_cast<std::uint64_t>(end - digits);
  *end++ = 'e';
  end = std::to_chars(end, text + sizeof text, r.exponent).ptr;
  return textToF64(text, end, r.exponent, count, r.negative);
}

Text ShortRoad::toText(const ShortResult& r) {
  char text[1 + 40 + 1 + 24];
  char* end = text;
  if (r.negative) *end++ = '-';
  end = writeDecimal(end, r.coefficient);
  *end++ = 'E';
  end = std::to_chars(end, text + sizeof text, r.exponent).ptr;
  return Text(text, end);
}

}  // namespace zorva::number_detail
