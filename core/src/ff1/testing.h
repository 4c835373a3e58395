// Ff1's entry points for tests alone: the vector rounds' reductions on
// their own, and WideModulus's arithmetic beside the public interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ff1/ff1.h"
#include "ff1/internal/wide_modulus.h"

namespace zorva {

// y[i] mod m for 2^8 <= m <= 2^32, by the vector rounds' own reduction.
// Precondition: some cipher's usesVectorRounds(); exposed for tests.
void vectorRemainders(const std::uint64_t* y, std::size_t count, std::uint64_t m, std::uint64_t* out);
// y[i] mod m for 2^64 < m <= 2^96, by the wide vector rounds' reduction.
// Precondition: some cipher's usesWideVectorRounds(); exposed for tests.
void vectorWideRemainders(const u128* y, std::size_t count, u128 m, u128* out);

}  // namespace zorva
