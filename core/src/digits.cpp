// Decimal digit counts and the shared table of powers of ten.
#include "digits.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>
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

unsigned decimalDigits64(std::uint64_t n) noexcept {
  // floor(log10 2^(b-1)) from the bit length b, then one compare.
  const auto t = static_cast<unsigned>((std::bit_width(n | 1) * 1233) >> 12);
  return n == 0 ? 1 : t + (n >= kPowersOfTen64[t] ? 1 : 0);
}

namespace {

// The 8 digits of x < 10^8 as bytes, the first digit in the lowest byte: two
// 4-digit halves in 32-bit lanes, split into 2-digit lanes of 16 bits and
// those into digit bytes, each division a multiplication that is exact for
// the lane's range (x / 100 below 43699, x / 10 below 179).
std::uint64_t eightDigits(std::uint64_t x) noexcept {
  std::uint64_t v = x / 10000 | (x % 10000) << 32;
  const std::uint64_t hundreds = ((v * 10486) >> 20) & 0x0000007F0000007F;
  v = hundreds | (v - hundreds * 100) << 16;
  const std::uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000F;
  return tens | (v - tens * 10) << 8;
}

}  // namespace

char* writeDigits64(char* out, std::uint64_t n) noexcept {
  if constexpr (std::endian::native != std::endian::little) return std::to_chars(out, out + 24, n).ptr;
  const unsigned count = decimalDigits64(n);
  if (count <= 8) {
    const std::uint64_t digits = eightDigits(n) + 0x3030303030303030;
    char buffer[8];
    std::memcpy(buffer, &digits, 8);
    std::memcpy(out, buffer + 8 - count, count);
    return out + count;
  }
  const std::uint64_t high = n / 100000000;
  const std::uint64_t words[3] = {eightDigits(high / 100000000) + 0x3030303030303030,
                                  eightDigits(high % 100000000) + 0x3030303030303030,
                                  eightDigits(n % 100000000) + 0x3030303030303030};
  char buffer[24];
  std::memcpy(buffer, words, 24);
  std::memcpy(out, buffer + 24 - count, count);
  return out + count;
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
