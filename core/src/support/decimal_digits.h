// Decimal digit counts and the shared table of powers of ten.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "support/bigint.h"

namespace zorva {

inline constexpr std::size_t kPowersOfTen = 921;  // 10^0 .. 10^920

// The number of decimal digits of |n|, 1 for zero. Exact below 10^921;
// beyond the table it returns the bit-length estimate, which may be off by one.
std::uint64_t decimalDigits(const BigInt& n);

// The shared table 10^0 .. 10^920, built once on first use (thread-safe).
const Vec<BigInt>& powersOfTen();
// 10^k: from the table when k <= 920, computed otherwise.
BigInt powerOfTen(std::uint64_t k);
// 10^k, borrowed from the table when it is there, else formed in scratch.
inline const BigInt& pow10(std::uint64_t k, BigInt& scratch) {
  if (k < kPowersOfTen) return powersOfTen()[k];
  scratch = powerOfTen(k);
  return scratch;
}
// 10^k for k <= 19: the powers of ten that fit 64 bits.
inline constexpr std::uint64_t kPowersOfTen64[20] = {
    1ULL,
    10ULL,
    100ULL,
    1000ULL,
    10000ULL,
    100000ULL,
    1000000ULL,
    10000000ULL,
    100000000ULL,
    1000000000ULL,
    10000000000ULL,
    100000000000ULL,
    1000000000000ULL,
    10000000000000ULL,
    100000000000000ULL,
    1000000000000000ULL,
    10000000000000000ULL,
    100000000000000000ULL,
    1000000000000000000ULL,
    10000000000000000000ULL,
};

// Exact digit count of a machine integer (1 for zero).
inline unsigned decimalDigits64(std::uint64_t n) noexcept {
  // floor(log10 2^(b-1)) from the bit length b, then one compare.
  const auto t = static_cast<unsigned>((std::bit_width(n | 1) * 1233) >> 12);
  return n == 0 ? 1 : t + (n >= kPowersOfTen64[t] ? 1 : 0);
}

namespace digits_detail {

// The 8 digits of x < 10^8 as bytes, the first digit in the lowest byte: two
// 4-digit halves in 32-bit lanes, split into 2-digit lanes of 16 bits and
// those into digit bytes, each division a multiplication that is exact for
// the lane's range (x / 100 below 43699, x / 10 below 179).
inline std::uint64_t eightDigits(std::uint64_t x) noexcept {
  std::uint64_t v = x / 10000 | (x % 10000) << 32;
  const std::uint64_t hundreds = ((v * 10486) >> 20) & 0x0000007F0000007F;
  v = hundreds | (v - hundreds * 100) << 16;
  const std::uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000F;
  return (tens | (v - tens * 10) << 8) + 0x3030303030303030;
}

}  // namespace digits_detail

// The decimal digits of n (no sign, "0" for zero) at out, which has room for
// 24 bytes; returns the end of the digits. The same text as std::to_chars.
[[gnu::always_inline]] inline char* writeDigits64(char* out, std::uint64_t n) noexcept {
  if constexpr (std::endian::native != std::endian::little) return std::to_chars(out, out + 24, n).ptr;
  const unsigned count = decimalDigits64(n);
  // Words of 8 digits stored, never read back: the leading zero digits of
  // the first sit in its low bytes and are shifted out, and each later word
  // lands over the spare bytes of the one before.
  auto store = [](char* at, std::uint64_t digits) { std::memcpy(at, &digits, 8); };
  if (count <= 8) {
    store(out, digits_detail::eightDigits(n) >> (8 * (8 - count)));
  } else if (count <= 16) {
    store(out, digits_detail::eightDigits(n / 100000000) >> (8 * (16 - count)));
    store(out + count - 8, digits_detail::eightDigits(n % 100000000));
  } else {
    const std::uint64_t high = n / 100000000;
    store(out, digits_detail::eightDigits(high / 100000000) >> (8 * (24 - count)));
    store(out + count - 16, digits_detail::eightDigits(high % 100000000));
    store(out + count - 8, digits_detail::eightDigits(n % 100000000));
  }
  return out + count;
}

// 10^k for k <= 38 as a machine integer.
u128 powerOfTen128(unsigned k) noexcept;

}  // namespace zorva
