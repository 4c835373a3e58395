// Decimal digit counts and the shared table of powers of ten.
#pragma once

#include <cstdint>

#include "bigint.h"

namespace zorva {

inline constexpr std::size_t kPowersOfTen = 921;  // 10^0 .. 10^920

// The number of decimal digits of |n|, 1 for zero. Exact below 10^921;
// beyond the table it returns the bit-length estimate, which may be off by one.
std::uint64_t decimalDigits(const BigInt& n);
// Exact digit count of a machine integer (1 for zero).
unsigned decimalDigits64(std::uint64_t n) noexcept;
// The decimal digits of n (no sign, "0" for zero) at out, which has room for
// 24 bytes; returns the end of the digits. The same text as std::to_chars.
char* writeDigits64(char* out, std::uint64_t n) noexcept;

// The shared table 10^0 .. 10^920, built once on first use (thread-safe).
const Vec<BigInt>& powersOfTen();
// 10^k: from the table when k <= 920, computed otherwise.
BigInt powerOfTen(std::uint64_t k);
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

// 10^k for k <= 38 as a machine integer.
u128 powerOfTen128(unsigned k) noexcept;

}  // namespace zorva
