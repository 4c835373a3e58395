// BigInt: machine-word values inline, GMP beyond; conversions and arithmetic.
#include "support/bigint.h"

#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "support/scratch.h"

namespace zorva {

namespace {

mpz_ptr newMpz() {
  auto* p = static_cast<mpz_ptr>(memAlloc(sizeof(__mpz_struct)));
  mpz_init(p);
  return p;
}

void deleteMpz(mpz_ptr p) noexcept {
  if (p == nullptr) return;
  mpz_clear(p);
  memFree(p);
}

}  // namespace

BigInt::BigInt(const BigInt& other) : small_(other.small_), negative_(other.negative_) {
  if (other.big_ != nullptr) {
    big_ = newMpz();
    mpz_set(big_, other.big_);
  }
}

BigInt& BigInt::operator=(const BigInt& other) {
  if (this == &other) return *this;
  if (other.big_ == nullptr) {
    deleteMpz(big_);
    big_ = nullptr;
  } else {
    if (big_ == nullptr) big_ = newMpz();
    mpz_set(big_, other.big_);
  }
  small_ = other.small_;
  negative_ = other.negative_;
  return *this;
}

void BigInt::freeBig(mpz_ptr big) noexcept { deleteMpz(big); }

void BigInt::normalise() noexcept {
  if (big_ != nullptr && mpz_size(big_) <= 1) {
    small_ = mpz_size(big_) == 0 ? 0 : mpz_getlimbn(big_, 0);
    deleteMpz(big_);
    big_ = nullptr;
  }
  if (big_ == nullptr && small_ == 0) negative_ = false;
}

BigInt BigInt::fromI64(std::int64_t v) {
  BigInt r;
  r.negative_ = v < 0;
  // Unsigned negation is defined for INT64_MIN as well.
  r.small_ = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  return r;
}

BigInt BigInt::fromU64(std::uint64_t magnitude, bool negative) {
  BigInt r;
  r.small_ = magnitude;
  r.negative_ = negative && magnitude != 0;
  return r;
}

BigInt BigInt::fromU128(u128 magnitude, bool negative) {
  auto high = static_cast<std::uint64_t>(magnitude >> 64);
  if (high == 0) return fromU64(static_cast<std::uint64_t>(magnitude), negative);
  BigInt r;
  r.big_ = newMpz();
  mpz_set_ui(r.big_, high);
  mpz_mul_2exp(r.big_, r.big_, 64);
  mpz_add_ui(r.big_, r.big_, static_cast<std::uint64_t>(magnitude));
  r.negative_ = negative;
  return r;
}

BigInt BigInt::fromBytesBE(const std::uint8_t* data, std::size_t len, bool negative) {
  while (len > 0 && *data == 0) {
    ++data;
    --len;
  }
  if (len <= 8) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < len; ++i) v = (v << 8) | data[i];
    return fromU64(v, negative);
  }
  BigInt r;
  r.big_ = newMpz();
  mpz_import(r.big_, len, 1, 1, 1, 0, data);
  r.negative_ = negative;
  return r;
}

BigInt BigInt::fromTwosComplementLE(const std::uint8_t* data, std::size_t len) {
  if (len == 0) return BigInt();
  bool negative = (data[len - 1] & 0x80) != 0;
  if (len <= 16) {
    u128 raw = 0;
    for (std::size_t i = len; i-- > 0;) raw = (raw << 8) | data[i];
    // raw - 2^(8 len) for a negative value; its magnitude is 2^(8 len) - raw,
    // which the 128-bit wrap of -raw gives after masking to len bytes.
    u128 magnitude = raw;
    if (negative) {
      magnitude = 0 - raw;
      if (len < 16) magnitude &= (u128(1) << (8 * len)) - 1;
    }
    return fromU128(magnitude, negative);
  }
  Mpz value;
  mpz_import(value, len, -1, 1, 0, 0, data);
  if (negative) {
    Mpz modulus;
    mpz_setbit(modulus, 8 * len);
    mpz_sub(value, modulus, value);  // the magnitude
  }
  BigInt r = fromMpz(value);
  r.negative_ = negative && !r.isZero();
  return r;
}

BigInt BigInt::fromDecimal(std::string_view digits, bool negative) {
  if (digits.size() <= 19) {
    std::uint64_t v = 0;
    for (char c : digits) v = v * 10 + static_cast<std::uint64_t>(c - '0');
    return fromU64(v, negative);
  }
  Text buffer(digits);  // mpz_set_str wants a terminated string
  BigInt r;
  r.big_ = newMpz();
  mpz_set_str(r.big_, buffer.c_str(), 10);
  r.negative_ = negative;
  r.normalise();
  return r;
}

BigInt BigInt::fromMpz(mpz_srcptr value) {
  BigInt r;
  if (mpz_size(value) <= 1) {
    r.small_ = mpz_size(value) == 0 ? 0 : mpz_getlimbn(value, 0);
    r.negative_ = mpz_sgn(value) < 0;
    return r;
  }
  r.big_ = newMpz();
  mpz_abs(r.big_, value);
  r.negative_ = mpz_sgn(value) < 0;
  return r;
}

int BigInt::sign() const noexcept {
  if (isZero()) return 0;
  return negative_ ? -1 : 1;
}

BigInt BigInt::abs() const {
  BigInt r(*this);
  r.negative_ = false;
  return r;
}

BigInt BigInt::negated() const {
  BigInt r(*this);
  r.negative_ = !negative_ && !isZero();
  return r;
}

std::uint64_t BigInt::bitLength() const noexcept {
  if (big_ == nullptr) return static_cast<std::uint64_t>(std::bit_width(small_));
  return mpz_sizeinbase(big_, 2);
}

bool BigInt::magnitudeFitsU128() const noexcept { return big_ == nullptr || mpz_size(big_) <= 2; }

u128 BigInt::magnitudeU128() const noexcept {
  if (big_ == nullptr) return small_;
  return (u128(mpz_getlimbn(big_, 1)) << 64) | mpz_getlimbn(big_, 0);
}

void BigInt::magnitudeBytesBE(std::uint8_t* out, std::size_t len) const {
  std::memset(out, 0, len);
  if (big_ == nullptr) {
    std::uint64_t v = small_;
    for (std::size_t i = len; i-- > 0 && v != 0;) {
      out[i] = static_cast<std::uint8_t>(v);
      v >>= 8;
    }
    return;
  }
  std::size_t bytes = byteLength();
  if (bytes > len) return;  // precondition broken: leave zeros rather than overrun
  std::size_t written = 0;
  mpz_export(out + (len - bytes), &written, 1, 1, 1, 0, big_);
}

Vec<std::uint8_t> BigInt::toTwosComplementLE() const {
  // Minimal length k: the value must lie in [-2^(8k-1), 2^(8k-1)).
  std::uint64_t bits;
  if (!negative_) {
    bits = bitLength();
  } else if (big_ == nullptr) {
    bits = static_cast<std::uint64_t>(std::bit_width(small_ - 1));
  } else {
    Mpz t;
    mpz_sub_ui(t, big_, 1);
    bits = mpz_sizeinbase(t, 2);
  }
  std::size_t k = static_cast<std::size_t>(bits / 8 + 1);
  Vec<std::uint8_t> out(k, 0);
  if (big_ == nullptr) {
    std::uint64_t v = small_;
    for (std::size_t i = 0; i < k && v != 0; ++i) {
      out[i] = static_cast<std::uint8_t>(v);
      v >>= 8;
    }
  } else {
    std::size_t written = 0;
    mpz_export(out.data(), &written, -1, 1, 0, 0, big_);
  }
  if (negative_) {
    unsigned carry = 1;
    for (auto& byte : out) {
      unsigned s = static_cast<std::uint8_t>(~byte) + carry;
      byte = static_cast<std::uint8_t>(s);
      carry = s >> 8;
    }
  }
  return out;
}

void BigInt::appendMagnitudeDecimal(Text& out) const {
  if (big_ == nullptr) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, small_);
    out.append(buffer, result.ptr);
    return;
  }
  std::size_t start = out.size();
  std::size_t room = mpz_sizeinbase(big_, 10) + 2;
  out.resize(start + room);
  mpz_get_str(out.data() + start, 10, big_);
  out.resize(start + std::strlen(out.data() + start));  // sizeinbase may overcount by one
}

Text BigInt::toDecimal() const {
  Text out;
  if (negative_) out.push_back('-');
  appendMagnitudeDecimal(out);
  return out;
}

void BigInt::toMpz(mpz_ptr out) const {
  if (big_ == nullptr) {
    mpz_set_ui(out, small_);
  } else {
    mpz_set(out, big_);
  }
  if (negative_) mpz_neg(out, out);
}

namespace {

// |a| + |b| or |a| - |b| with the sign worked out, both magnitudes below 2^64.
BigInt addSmall(std::uint64_t a, bool aNeg, std::uint64_t b, bool bNeg) {
  if (aNeg == bNeg) return BigInt::fromU128(u128(a) + b, aNeg);
  if (a >= b) return BigInt::fromU64(a - b, aNeg);
  return BigInt::fromU64(b - a, bNeg);
}

}  // namespace

BigInt operator+(const BigInt& a, const BigInt& b) {
  if (a.big_ == nullptr && b.big_ == nullptr) return addSmall(a.small_, a.negative_, b.small_, b.negative_);
  Mpz x, y;
  a.toMpz(x);
  b.toMpz(y);
  mpz_add(x, x, y);
  return BigInt::fromMpz(x);
}

BigInt operator-(const BigInt& a, const BigInt& b) {
  if (a.big_ == nullptr && b.big_ == nullptr)
    return addSmall(a.small_, a.negative_, b.small_, !b.negative_ && b.small_ != 0);
  Mpz x, y;
  a.toMpz(x);
  b.toMpz(y);
  mpz_sub(x, x, y);
  return BigInt::fromMpz(x);
}

BigInt operator*(const BigInt& a, const BigInt& b) {
  bool negative = a.negative_ != b.negative_;
  if (a.big_ == nullptr && b.big_ == nullptr) return BigInt::fromU128(u128(a.small_) * b.small_, negative);
  Mpz x, y;
  a.toMpz(x);
  b.toMpz(y);
  mpz_mul(x, x, y);
  return BigInt::fromMpz(x);
}

void BigInt::divMod(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder) {
  if (a.big_ == nullptr && b.big_ == nullptr && b.small_ != 0) {
    std::uint64_t q = a.small_ / b.small_;
    std::uint64_t r = a.small_ % b.small_;
    bool aNeg = a.negative_;
    bool qNeg = a.negative_ != b.negative_;
    quotient = fromU64(q, qNeg);
    remainder = fromU64(r, aNeg);
    return;
  }
  // Checked rather than left to the hardware trap or GMP's abort.
  if (b.isZero()) throw std::domain_error("BigInt division by zero");
  Mpz x, y, q, r;
  a.toMpz(x);
  b.toMpz(y);
  mpz_tdiv_qr(q, r, x, y);
  quotient = fromMpz(q);
  remainder = fromMpz(r);
}

BigInt operator/(const BigInt& a, const BigInt& b) {
  BigInt q, r;
  BigInt::divMod(a, b, q, r);
  return q;
}

BigInt operator%(const BigInt& a, const BigInt& b) {
  if (a.big_ != nullptr && b.big_ == nullptr && b.small_ != 0) {
    // Common in the strategies: a large value reduced by a machine modulus.
    std::uint64_t r = mpz_tdiv_ui(a.big_, b.small_);
    return BigInt::fromU64(r, a.negative_);
  }
  BigInt q, r;
  BigInt::divMod(a, b, q, r);
  return r;
}

BigInt BigInt::operator<<(std::uint64_t bits) const {
  if (big_ == nullptr) {
    if (small_ == 0) return BigInt();
    if (bits < 64 && (bits == 0 || (small_ >> (64 - bits)) == 0)) return fromU64(small_ << bits, negative_);
    if (bits < 128 && std::bit_width(small_) + bits <= 128) return fromU128(u128(small_) << bits, negative_);
  }
  Mpz x;
  toMpz(x);
  mpz_mul_2exp(x, x, bits);
  return fromMpz(x);
}

BigInt BigInt::pow(const BigInt& base, std::uint64_t exponent) {
  if (base.big_ == nullptr) {
    std::uint64_t result = 1;
    std::uint64_t b = base.small_;
    std::uint64_t e = exponent;
    bool overflow = false;
    while (e != 0 && !overflow) {
      if ((e & 1) != 0) overflow = __builtin_mul_overflow(result, b, &result);
      e >>= 1;
      if (e != 0 && !overflow) overflow = __builtin_mul_overflow(b, b, &b);
    }
    if (!overflow) return fromU64(result, base.negative_ && (exponent & 1) != 0);
  }
  Mpz x;
  base.toMpz(x);
  mpz_pow_ui(x, x, exponent);
  return fromMpz(x);
}

bool BigInt::isOdd() const noexcept {
  if (big_ == nullptr) return (small_ & 1) != 0;
  return mpz_odd_p(big_) != 0;
}

std::strong_ordering BigInt::compareMagnitude(const BigInt& a, const BigInt& b) noexcept {
  if (a.big_ == nullptr && b.big_ == nullptr) return a.small_ <=> b.small_;
  if (a.big_ == nullptr) return std::strong_ordering::less;  // normalised: big means >= 2^64
  if (b.big_ == nullptr) return std::strong_ordering::greater;
  return mpz_cmp(a.big_, b.big_) <=> 0;
}

bool operator==(const BigInt& a, const BigInt& b) noexcept {
  return a.negative_ == b.negative_ && BigInt::compareMagnitude(a, b) == std::strong_ordering::equal;
}

std::strong_ordering operator<=>(const BigInt& a, const BigInt& b) noexcept {
  if (a.negative_ != b.negative_) return a.negative_ ? std::strong_ordering::less : std::strong_ordering::greater;
  auto magnitude = BigInt::compareMagnitude(a, b);
  if (!a.negative_) return magnitude;
  return 0 <=> magnitude;
}

std::size_t BigInt::hash() const noexcept {
  // Normalisation makes the representation unique, so equal values hash equally.
  std::uint64_t h = negative_ ? 0x9e3779b97f4a7c15ULL : 0;
  auto mix = [&h](std::uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
  };
  if (big_ == nullptr) {
    mix(small_);
  } else {
    for (std::size_t i = 0; i < mpz_size(big_); ++i) mix(mpz_getlimbn(big_, i));
  }
  return static_cast<std::size_t>(h);
}

}  // namespace zorva
