#include "number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "digits.h"
#include "quote.h"

namespace zorva {

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

const BigInt& one() {
  static const BigInt* const value = new (memAlloc(sizeof(BigInt))) BigInt(BigInt::fromU64(1));
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

// |a| against |b| for nonzero a and b, without forming a power of ten larger
// than the operands themselves.
std::strong_ordering compareMagnitudes(const Dec& a, const Dec& b) {
  if (a.exponent == b.exponent) return BigInt::compareMagnitude(a.coefficient, b.coefficient);
  // Position above the leading digit; decimalDigits may be one short beyond
  // its table, so only a gap of two or more decides.
  __int128 topA = static_cast<__int128>(a.exponent) + decimalDigits(a.coefficient);
  __int128 topB = static_cast<__int128>(b.exponent) + decimalDigits(b.coefficient);
  if (topA >= topB + 2) return std::strong_ordering::greater;
  if (topB >= topA + 2) return std::strong_ordering::less;
  // Here the exponent gap is at most the digit-count gap plus two.
  BigInt scratch;
  if (a.exponent > b.exponent) {
    std::uint64_t d = static_cast<std::uint64_t>(a.exponent) - static_cast<std::uint64_t>(b.exponent);
    return BigInt::compareMagnitude(a.coefficient * pow10(d, scratch), b.coefficient);
  }
  std::uint64_t d = static_cast<std::uint64_t>(b.exponent) - static_cast<std::uint64_t>(a.exponent);
  return BigInt::compareMagnitude(a.coefficient, b.coefficient * pow10(d, scratch));
}

// a + (-1)^bNegative * |b|.
std::optional<Dec> addSigned(const Dec& a, const Dec& b, bool bNegative) {
  struct Operand {
    const BigInt* coefficient;
    std::int64_t exponent;
    bool negative;
  };
  Operand hi{&a.coefficient, a.exponent, a.negative};
  Operand lo{&b.coefficient, b.exponent, bNegative};
  if (hi.exponent < lo.exponent) std::swap(hi, lo);
  const bool bothNegative = a.negative && bNegative;

  if (hi.coefficient->isZero()) {
    // Zero scaled by any power is zero: the sum is the other operand at its
    // own exponent, with its sign (it has the larger coefficient when nonzero).
    bool negative = lo.coefficient->isZero() ? bothNegative : lo.negative;
    return Dec::rounded(Dec{*lo.coefficient, lo.exponent, negative});
  }

  std::uint64_t gap = static_cast<std::uint64_t>(hi.exponent) - static_cast<std::uint64_t>(lo.exponent);
  BigInt standIn;
  if (gap > kStandInPlaces) {
    std::uint64_t loDigits = decimalDigits(*lo.coefficient);  // may be one short
    std::uint64_t hiDigits = decimalDigits(*hi.coefficient);
    if (gap - kStandInPlaces > loDigits && hiDigits <= kStandInMaxDigits) {
      // |lo| < 10^(hi.exponent - 61): it lies strictly between hi and the
      // nearest grid point or midpoint of 60 significant digits, on either
      // side, so only its sign matters (no tie can arise). A unit 62 places
      // below hi sits in the same interval and rounds to the same result.
      if (!lo.coefficient->isZero()) standIn = one();
      lo.coefficient = &standIn;
      lo.exponent = hi.exponent - static_cast<std::int64_t>(kStandInPlaces);
      gap = kStandInPlaces;
    } else if (hiDigits > kMaxScaledDigits || gap > kMaxScaledDigits - hiDigits) {
      return std::nullopt;  // refused: the aligned coefficient would be gigantic
    }
  }

  BigInt scratch;
  BigInt scaled = gap == 0 ? *hi.coefficient : *hi.coefficient * pow10(gap, scratch);
  Dec sum;
  sum.exponent = lo.exponent;
  if (hi.negative == lo.negative) {
    sum.coefficient = scaled + *lo.coefficient;
    sum.negative = hi.negative;
  } else if (BigInt::compareMagnitude(scaled, *lo.coefficient) == std::strong_ordering::less) {
    sum.coefficient = *lo.coefficient - scaled;
    sum.negative = lo.negative;
  } else {
    sum.coefficient = scaled - *lo.coefficient;
    sum.negative = hi.negative;
  }
  if (sum.coefficient.isZero()) sum.negative = bothNegative;
  return Dec::rounded(std::move(sum));
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

bool isDigit(char c) { return c >= '0' && c <= '9'; }

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
  if (std::size_t mark = text.find_first_of("eE"); mark != std::string_view::npos) {
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
  Text text = numberText(*this, 'e');
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    // Only values that round to zero or to infinity are out of range; which
    // one follows from the position of the leading digit.
    __int128 top = static_cast<__int128>(exponent) + decimalDigits(coefficient);
    value = top > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    if (negative) value = -value;
  }
  return value;
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
  bool aZero = a.isZero();
  bool bZero = b.isZero();
  if (aZero && bZero) return std::strong_ordering::equal;
  if (aZero) return b.negative ? std::strong_ordering::greater : std::strong_ordering::less;
  if (bZero || a.negative != b.negative) return a.negative ? std::strong_ordering::less : std::strong_ordering::greater;
  std::strong_ordering magnitude = compareMagnitudes(a, b);
  return a.negative ? reversed(magnitude) : magnitude;
}

std::optional<Dec> Dec::add(const Dec& a, const Dec& b) { return addSigned(a, b, b.negative); }

std::optional<Dec> Dec::subtract(const Dec& a, const Dec& b) { return addSigned(a, b, !b.negative); }

std::optional<Dec> Dec::multiply(const Dec& a, const Dec& b) {
  Dec product;
  if (__builtin_add_overflow(a.exponent, b.exponent, &product.exponent)) return std::nullopt;
  product.coefficient = a.coefficient * b.coefficient;
  product.negative = a.negative != b.negative;
  return product;
}

std::optional<Dec> Dec::rounded(Dec d) {
  std::uint64_t n = decimalDigits(d.coefficient);
  if (n <= kPrecision) return d;
  std::uint64_t k = n - kPrecision;
  std::int64_t exponent = 0;
  if (k > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
      __builtin_add_overflow(d.exponent, static_cast<std::int64_t>(k), &exponent)) {
    return std::nullopt;
  }
  BigInt scratch;
  const BigInt& divisor = pow10(k, scratch);
  BigInt q;
  BigInt r;
  BigInt::divMod(d.coefficient, divisor, q, r);
  if (roundsUp(q, r, divisor, Rounding::halfEven, d.negative)) q = q + one();
  // A carry can make q 10^60. (Beyond the table the digit count may be one
  // short and leave 61 digits; the loop keeps the 60-digit bound then too.)
  while (decimalDigits(q) > kPrecision) {
    q = q / powersOfTen()[1];
    if (__builtin_add_overflow(exponent, 1, &exponent)) return std::nullopt;
  }
  return Dec{std::move(q), exponent, d.negative};
}

std::optional<Dec> Dec::quantize(const Dec& d, std::int64_t target, Rounding mode) {
  // Zero stays zero at any exponent, without a power of ten.
  if (d.isZero()) return Dec{BigInt(), target, d.negative};
  std::uint64_t n = decimalDigits(d.coefficient);
  if (d.exponent >= target) {
    std::uint64_t k = static_cast<std::uint64_t>(d.exponent) - static_cast<std::uint64_t>(target);
    // The exact result has n + k digits; refuse before scaling.
    if (n > kPrecision || k > kPrecision - n) return std::nullopt;
    return Dec{k == 0 ? d.coefficient : d.coefficient * powersOfTen()[k], target, d.negative};
  }
  std::uint64_t k = static_cast<std::uint64_t>(target) - static_cast<std::uint64_t>(d.exponent);
  BigInt q;
  if (k - 1 > n) {
    // coefficient < 10^(k-1) even if n is one short: q = 0 and 2r < 10^k.
    if (roundsUpGiven(false, std::strong_ordering::less, mode, d.negative)) q = one();
  } else {
    BigInt scratch;
    const BigInt& divisor = pow10(k, scratch);
    BigInt r;
    BigInt::divMod(d.coefficient, divisor, q, r);
    if (roundsUp(q, r, divisor, mode, d.negative)) q = q + one();
  }
  if (decimalDigits(q) > kPrecision) return std::nullopt;
  return Dec{std::move(q), target, d.negative};
}

bool Dec::roundsUp(const BigInt& q, const BigInt& r, const BigInt& divisor, Rounding mode, bool negative) {
  if (r.isZero()) return false;
  std::strong_ordering twice = mode == Rounding::halfEven ? BigInt::compareMagnitude(r + r, divisor)
                                                          : std::strong_ordering::less;
  return roundsUpGiven(q.isOdd(), twice, mode, negative);
}

Dec Dec::fromUnit(std::uint64_t u) {
  // Built once and never destroyed: masking threads may still use it at exit.
  static const BigInt* const fivePow53 =
      new (memAlloc(sizeof(BigInt))) BigInt(BigInt::pow(BigInt::fromU64(5), 53));
  return Dec{BigInt::fromU64(u) * *fivePow53, -53, false};
}

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
  return strategy;
}

std::optional<Dec> NumberStrategy::target(const Dec& value, const KeyedHash& keyedHash,
                                          std::string_view data) const {
  Dec f = Dec::fromUnit(unitOf(keyedHash.digest(data, std::string_view())));
  if (min_) {
    if (!range_) return std::nullopt;
    std::optional<Dec> product = Dec::multiply(*range_, f);
    if (!product) return std::nullopt;
    std::optional<Dec> s = Dec::rounded(std::move(*product));
    if (!s) return std::nullopt;
    return Dec::add(*min_, *s);
  }
  // w in [-1, 1): 2f - 1.
  f.coefficient = f.coefficient + f.coefficient;
  std::optional<Dec> a = Dec::rounded(std::move(f));
  if (!a) return std::nullopt;
  std::optional<Dec> w = Dec::add(*a, Dec{one(), 0, true});
  if (!w) return std::nullopt;
  std::optional<Dec> product = Dec::multiply(*w, variance_);
  if (!product) return std::nullopt;
  std::optional<Dec> m = Dec::rounded(std::move(*product));
  if (!m) return std::nullopt;
  std::optional<Dec> k = Dec::add(Dec{one(), 0, false}, *m);
  if (!k) return std::nullopt;
  product = Dec::multiply(value, *k);
  if (!product) return std::nullopt;
  return Dec::rounded(std::move(*product));
}

std::optional<Dec> NumberStrategy::clamp(const Dec& q, std::int64_t exponent) const {
  if (!min_) return q;
  std::optional<Dec> lo = Dec::quantize(*min_, exponent, Rounding::ceiling);
  if (!lo) return std::nullopt;
  std::optional<Dec> hi = Dec::quantize(*max_, exponent, Rounding::floor);
  if (!hi) return std::nullopt;
  const Dec& x = Dec::compare(*lo, q) != std::strong_ordering::greater ? q : *lo;
  return Dec::compare(*hi, x) == std::strong_ordering::less ? *hi : x;
}

std::optional<Dec> NumberStrategy::moved(const Dec& value, const Dec& z, const Dec& step, const KeyedHash& keyedHash,
                                         std::string_view data) const {
  if (min_ || value.isZero() || Dec::compare(z, value) != std::strong_ordering::equal) return z;
  // f >= 1/2 exactly when u >= 2^52.
  if (unitOf(keyedHash.digest(data, "step")) >= (std::uint64_t{1} << 52)) return Dec::add(value, step);
  return Dec::subtract(value, step);
}

std::optional<Text> NumberStrategy::hashData(const Dec& value, std::optional<std::string_view> floatRepr) {
  if (value.isZero()) return Text("0");
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
  std::optional<Dec> t = target(dec, keyedHash, data);
  if (!t) return fallback();
  std::optional<Dec> q = Dec::quantize(*t, 0, Rounding::halfEven);
  if (!q) return fallback();
  std::optional<Dec> z = clamp(*q, 0);
  if (!z) return fallback();
  std::optional<Dec> m = moved(dec, *z, Dec{one(), 0, false}, keyedHash, data);
  if (!m) return fallback();
  NumberResult result;
  result.kind = NumberResult::Kind::Int;
  result.integer = m->toBigInt();
  return result;
}

NumberResult NumberStrategy::maskFloat(const KeyedHash& keyedHash, double value, std::string_view repr) const {
  if (!std::isfinite(value) || value == 0) return fallback();
  std::optional<Dec> dec = Dec::parse(repr);
  if (!dec || !withinValueLimits(*dec)) return fallback();
  std::optional<Text> data = hashData(*dec, repr);
  if (!data) return fallback();
  std::optional<Dec> t = target(*dec, keyedHash, *data);
  if (!t) return fallback();
  double y = 0;
  if (!decimals_) {
    y = t->toF64();
  } else {
    const std::int64_t e = -static_cast<std::int64_t>(*decimals_);
    std::optional<Dec> q = Dec::quantize(*t, e, Rounding::halfEven);
    if (!q) return fallback();
    std::optional<Dec> z = clamp(*q, e);
    if (!z) return fallback();
    std::optional<Dec> m = moved(*dec, *z, Dec{one(), e, false}, keyedHash, *data);
    if (!m) return fallback();
    y = m->toF64();
  }
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
  const std::int64_t e = decimals_ ? -static_cast<std::int64_t>(*decimals_) : std::min<std::int64_t>(dec->exponent, 0);
  std::optional<Dec> t = target(*dec, keyedHash, *data);
  if (!t) return fallback();
  std::optional<Dec> q = Dec::quantize(*t, e, Rounding::halfEven);
  if (!q) return fallback();
  std::optional<Dec> z = clamp(*q, e);
  if (!z) return fallback();
  std::optional<Dec> m = moved(*dec, *z, Dec{one(), e, false}, keyedHash, *data);
  if (!m || m->isZero()) return fallback();
  NumberResult result;
  result.kind = NumberResult::Kind::Decimal;
  result.text = m->toText();
  return result;
}

}  // namespace zorva
