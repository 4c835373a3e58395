#include "digits.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace zorva {
namespace {

BigInt ten(std::uint64_t k) { return BigInt::pow(BigInt::fromU64(10), k); }

TEST(Digits, ExactWithinTheTable) {
  const BigInt one = BigInt::fromU64(1);
  struct Case {
    BigInt n;
    std::uint64_t digits;
  };
  const Case cases[] = {{BigInt(), 1},           {BigInt::fromU64(9), 1},   {BigInt::fromU64(10), 2},
                        {BigInt::fromU64(99), 2}, {BigInt::fromU64(100), 3}, {BigInt::fromU64(~0ULL), 20},
                        {BigInt::fromU64(1) << 64, 20}, {ten(20) - one, 20}, {ten(20), 21}, {ten(38), 39},
                        {ten(920) - one, 920}, {ten(920), 921}, {BigInt::fromI64(-12345), 5}};
  for (const auto& c : cases) EXPECT_EQ(decimalDigits(c.n), c.digits) << c.n.toDecimal().substr(0, 40);

  // Every power of ten and its predecessor, against the decimal text.
  for (std::uint64_t k = 1; k < 921; k += 7) {
    EXPECT_EQ(decimalDigits(ten(k)), k + 1);
    EXPECT_EQ(decimalDigits(ten(k) - one), k);
  }
}

TEST(Digits, BeyondTheTableReturnsTheEstimate) {
  // The bit-length estimate floor((bitlen - 1) log10 2) + 1 cannot be checked
  // against the table here: 10^921 and 10^925 come out one digit short.
  EXPECT_EQ(decimalDigits(ten(921)), 921u);
  EXPECT_EQ(decimalDigits(ten(925)), 925u);
  EXPECT_EQ(decimalDigits(ten(925) * BigInt::fromU64(2)), 926u);
  EXPECT_EQ(decimalDigits(ten(1000) - BigInt::fromU64(1)), 1000u);
}

TEST(Digits, MachineHelpers) {
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {
      {0, 1}, {9, 1}, {10, 2}, {9999999999999999999ULL, 19}, {10000000000000000000ULL, 20}, {~0ULL, 20}};
  for (auto [n, digits] : cases) EXPECT_EQ(decimalDigits64(n), digits) << n;
  for (unsigned k = 0; k <= 38; ++k) EXPECT_EQ(BigInt::fromU128(powerOfTen128(k)), ten(k)) << k;
  EXPECT_EQ(powerOfTen(920), ten(920));
  EXPECT_EQ(powerOfTen(1000), ten(1000));
}

TEST(Digits, TableIsSharedAndComplete) {
  const Vec<BigInt>* seen[2] = {};
  std::thread a([&] { seen[0] = &powersOfTen(); });
  std::thread b([&] { seen[1] = &powersOfTen(); });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], &powersOfTen());
  ASSERT_EQ(powersOfTen().size(), kPowersOfTen);
  EXPECT_EQ(powersOfTen()[0], BigInt::fromU64(1));
  EXPECT_EQ(std::string(powersOfTen()[920].toDecimal()), "1" + std::string(920, '0'));
}

}  // namespace
}  // namespace zorva
