// Decimal digit counts and the shared table of powers of ten.
#include "support/decimal_digits.h"

#include <array>
#include <limits>
#include <new>

namespace zorva {

namespace {

constexpr auto kPow10u128 = [] {
  std::array<u128, 39> table{};
  table[0] = 1;
  for (std::size_t k = 1; k < table.size(); ++k) table[k] = table[k - 1] * 10;
  return table;
}();

const Vec<BigInt>* buildPowersOfTen() {
  auto* table = new (memAlloc(sizeof(Vec<BigInt>))) Vec<BigInt>();
  table->reserve(kPowersOfTen);
  table->push_back(BigInt::fromU64(1));
  const BigInt ten = BigInt::fromU64(10);
  while (table->size() < kPowersOfTen) table->push_back(table->back() * ten);
  return table;
}

}  // namespace

const Vec<BigInt>& powersOfTen() {
  // Deliberately leaked: detached threads may still read the table while the
  // process exits, after static destructors have run.
  static const Vec<BigInt>* const table = buildPowersOfTen();
  return *table;
}

std::uint64_t decimalDigits(const BigInt& n) {
  if (n.magnitudeFitsU64()) return decimalDigits64(n.magnitudeU64());

  // Estimate from the bit length, then confirm against the table. The
  // estimate is never too large, so beyond the table it may be one short.
  double estimate = static_cast<double>(n.bitLength() - 1) * 0.3010299956639812;
  constexpr double limit = 18446744073709551615.0;  // rounds to 2^64
  std::uint64_t k =
      estimate >= limit ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(estimate);
  if (k != std::numeric_limits<std::uint64_t>::max()) ++k;

  const auto& powers = powersOfTen();
  if (k < kPowersOfTen) {
    while (k < kPowersOfTen && BigInt::compareMagnitude(n, powers[k]) != std::strong_ordering::less) ++k;
  }
  while (k >= 2 && k - 1 < kPowersOfTen && BigInt::compareMagnitude(n, powers[k - 1]) == std::strong_ordering::less)
    --k;
  return k;
}

BigInt powerOfTen(std::uint64_t k) {
  if (k < kPowersOfTen) return powersOfTen()[k];
  return BigInt::pow(BigInt::fromU64(10), k);
}

u128 powerOfTen128(unsigned k) noexcept { return k < kPow10u128.size() ? kPow10u128[k] : 0; }

}  // namespace zorva
