// Digit counts and powers of ten around every power boundary.
#include "support/decimal_digits.h"

#include <gtest/gtest.h>

#include <charconv>
#include <random>
#include <string>
#include <thread>

namespace zorva {
namespace {

BigInt ten(std::uint64_t k) { return BigInt::pow(BigInt::fromU64(10), k); }

// Exact within the table of powers of ten (up to 10^920), held to the decimal
// text at every power of ten and its predecessor; beyond it the bit-length
// estimate may come out one digit short, never more, never long.
TEST(Digits, CountsAgreeWithTheDecimalText) {
  const BigInt one = BigInt::fromU64(1);
  for (std::uint64_t k = 1; k <= 1000; ++k) {
    const BigInt p = ten(k);
    for (const BigInt& n : {p, p - one, p + one, (p - one).negated(), p * BigInt::fromU64(7)}) {
      const std::uint64_t exact = n.abs().toDecimal().size(), got = decimalDigits(n);
      EXPECT_TRUE(got == exact || (k >= 920 && got + 1 == exact)) << k << ": " << got << " for " << exact;
    }
  }
  EXPECT_EQ(decimalDigits(BigInt()), 1u);
  EXPECT_EQ(decimalDigits(BigInt::fromU64(~0ULL)), 20u);
  const std::pair<std::uint64_t, std::uint64_t> machine[] = {
      {0, 1}, {9, 1}, {10, 2}, {9999999999999999999ULL, 19}, {10000000000000000000ULL, 20}, {~0ULL, 20}};
  for (auto [n, digits] : machine) EXPECT_EQ(decimalDigits64(n), digits) << n;
}

// The machine-integer writer and counter against the library's text.
TEST(Digits, MachineDigitsAreTheLibraryText) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t n = i < 60 ? kPowersOfTen64[i / 3 % 20] + i % 3 - 1 : rng() >> (rng() % 64);
    char expected[24], got[24];
    const std::string want(expected, std::to_chars(expected, expected + 24, n).ptr), text(got, writeDigits64(got, n));
    ASSERT_TRUE(text == want && decimalDigits64(n) == want.size()) << n << " written " << text;
  }
}

TEST(Digits, PowersOfTenTableIsSharedAndExact) {
  const Vec<BigInt>* seen[2] = {};
  std::thread a([&] { seen[0] = &powersOfTen(); }), b([&] { seen[1] = &powersOfTen(); });
  a.join();
  b.join();
  EXPECT_TRUE(seen[0] == seen[1] && seen[0] == &powersOfTen());
  ASSERT_EQ(powersOfTen().size(), kPowersOfTen);
  for (std::size_t k = 0; k < kPowersOfTen; ++k) ASSERT_EQ(powersOfTen()[k], ten(k)) << k;
  for (unsigned k = 0; k <= 38; ++k) EXPECT_EQ(BigInt::fromU128(powerOfTen128(k)), ten(k)) << k;
  EXPECT_EQ(powerOfTen(920), ten(920));
  EXPECT_EQ(powerOfTen(1000), ten(1000));
}

}  // namespace
}  // namespace zorva
