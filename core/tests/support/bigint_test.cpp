// BigInt against GMP and Python's integer semantics on the machine-word boundaries.
#include "support/bigint.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace zorva {
namespace {

// Values around the representation boundaries (2^63, 2^64, 2^128), both signs.
std::vector<std::string> boundaryValues() {
  std::vector<std::string> out = {"0",
                                  "1",
                                  "2",
                                  "255",
                                  "256",
                                  "9223372036854775807",
                                  "9223372036854775808",
                                  "18446744073709551615",
                                  "18446744073709551616",
                                  "18446744073709551617",
                                  "36893488147419103232",
                                  "340282366920938463463374607431768211455",
                                  "340282366920938463463374607431768211456",
                                  "123456789012345678901234567890123456789012345678901234567890"};
  for (std::size_t i = 1, n = out.size(); i < n; ++i) out.push_back("-" + out[i]);
  return out;
}

struct Mpz {
  mpz_t v;
  explicit Mpz(const std::string& s) { mpz_init_set_str(v, s.c_str(), 10); }
  Mpz() { mpz_init(v); }
  ~Mpz() { mpz_clear(v); }
  std::string str() const {
    std::vector<char> buf(mpz_sizeinbase(v, 10) + 2);
    return mpz_get_str(buf.data(), 10, v);
  }
};

BigInt parse(const std::string& s) { return BigInt::fromDecimal(s.substr(s[0] == '-'), s[0] == '-'); }
std::string str(const BigInt& v) { return std::string(v.toDecimal()); }

TEST(BigInt, ArithmeticAgreesWithGmpAcrossTheBoundaries) {
  const auto values = boundaryValues();
  for (const auto& as : values) {
    const BigInt a = parse(as);
    const Mpz x(as);
    Mpz r;
    for (const auto& bs : values) {
      const BigInt b = parse(bs);
      const Mpz y(bs);
      mpz_add(r.v, x.v, y.v);
      EXPECT_EQ(str(a + b), r.str()) << as << " + " << bs;
      mpz_sub(r.v, x.v, y.v);
      EXPECT_EQ(str(a - b), r.str()) << as << " - " << bs;
      mpz_mul(r.v, x.v, y.v);
      EXPECT_EQ(str(a * b), r.str()) << as << " * " << bs;
      if (!b.isZero()) {
        Mpz q;
        mpz_tdiv_qr(q.v, r.v, x.v, y.v);
        EXPECT_EQ(str(a / b), q.str()) << as << " / " << bs;
        EXPECT_EQ(str(a % b), r.str()) << as << " % " << bs;
      }
      EXPECT_EQ(a <=> b, mpz_cmp(x.v, y.v) <=> 0) << as << " <=> " << bs;
      EXPECT_EQ(a == b, mpz_cmp(x.v, y.v) == 0);
    }
    for (std::uint64_t k : {0, 1, 3, 63, 64, 65, 127, 128, 129, 300}) {
      mpz_mul_2exp(r.v, x.v, k);
      EXPECT_EQ(str(a << k), r.str()) << as << " << " << k;
      if (k < 5) {
        mpz_pow_ui(r.v, x.v, k);
        EXPECT_EQ(str(BigInt::pow(a, k)), r.str()) << as << " ^ " << k;
      }
    }
    EXPECT_EQ(a.bitLength(), a.isZero() ? 0 : mpz_sizeinbase(x.v, 2)) << as;
    EXPECT_EQ(a.magnitudeFitsU128(), a.bitLength() <= 128) << as;
  }
}

// Results that come back below 2^64 are held like values built there (equal,
// hashing alike, zero never negative); division by zero is refused.
TEST(BigInt, SmallResultsAndZeroDivisors) {
  const BigInt two64 = BigInt::fromU64(1) << 64, back = (two64 + BigInt::fromU64(5)) - two64;
  EXPECT_TRUE(back.magnitudeFitsU64() && back.magnitudeU64() == 5 && back.hash() == BigInt::fromU64(5).hash());
  EXPECT_TRUE((two64 / two64).magnitudeFitsU64());
  const BigInt zero = two64.negated() + two64;
  EXPECT_TRUE(zero.isZero() && !zero.isNegative() && zero.hash() == BigInt().hash());
  EXPECT_EQ(BigInt::fromBytesBE(std::vector<std::uint8_t>(20, 0).data(), 20), BigInt());
  EXPECT_THROW(two64 / BigInt(), std::domain_error);
  EXPECT_THROW(BigInt::fromU64(5) % BigInt(), std::domain_error);
}

TEST(BigInt, ByteAndTextConversionsRoundTrip) {
  for (const auto& s : boundaryValues()) {
    const BigInt v = parse(s);
    EXPECT_EQ(str(v), s);
    auto twos = v.toTwosComplementLE();
    EXPECT_EQ(BigInt::fromTwosComplementLE(twos.data(), twos.size()), v) << s;
    // Minimal: one byte fewer no longer holds the value with its sign.
    const std::uint8_t top = twos.back(), next = twos.size() > 1 ? twos[twos.size() - 2] : ~top;
    EXPECT_TRUE((top != 0 && top != 0xff) || ((top ^ next) & 0x80)) << s;
    std::vector<std::uint8_t> be(v.byteLength() + 2);
    v.magnitudeBytesBE(be.data(), be.size());
    EXPECT_EQ(BigInt::fromBytesBE(be.data(), be.size(), v.isNegative()), v) << s;
    EXPECT_EQ(be.size() - 2, (v.bitLength() + 7) / 8) << s;
    EXPECT_EQ(v.toI64() ? BigInt::fromI64(*v.toI64()) : v, v) << s;
    EXPECT_EQ(v.toI64().has_value(), v.bitLength() < 64 || s == "-9223372036854775808") << s;
  }
  const std::uint8_t minus128[] = {0x80};
  EXPECT_EQ(str(BigInt::fromTwosComplementLE(minus128, 1)), "-128");
  std::vector<std::uint8_t> minus2to127(16, 0);
  minus2to127[15] = 0x80;
  EXPECT_EQ(BigInt::fromTwosComplementLE(minus2to127.data(), 16), (BigInt::fromU64(1) << 127).negated());
  EXPECT_EQ(BigInt().toTwosComplementLE(), Vec<std::uint8_t>{0});
  EXPECT_EQ(str(BigInt::fromDecimal("000000000000000000000000042")), "42");
}

}  // namespace
}  // namespace zorva
