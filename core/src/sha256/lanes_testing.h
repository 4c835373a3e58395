// The SHA-256 roads one by one, for tests and benches: which roads this CPU
// has, which one the lanes take, and each road's compressions and HMACs on
// demand.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sha256/lanes.h"

namespace zorva::sha256 {

// Which implementation compresses: the plain C++ road (the reference, always
// present), the SHA instructions two lanes at a time, lanes side by side in
// vector registers (sixteen or eight with AVX-512, eight with AVX2), and the
// SHA instructions four lanes at a time (for benches and tests: see
// compressShaNiQuadBatch). In builds with ZORVA_ROAD_SWITCH, ZORVA_SHA256_ROAD
// in the environment may name the road bestRoad() returns, for tests that run
// the whole engine on each road.
enum class Road : std::uint8_t { portable, shaNi, avx512, avx2, shaNiQuad };

// The road compress() uses for large batches on this CPU (checked once per
// process); smaller batches and remainders may mix in other roads.
Road bestRoad() noexcept;
bool available(Road road) noexcept;

// compress() on a given road (precondition: available(road)).
void compress(Road road, State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept;
// hmacOneBlock() on a given road (precondition: available(road)).
void hmacOneBlock(Road road, const State& inner, const State& outer, const std::uint8_t* const* blocks,
                  std::uint8_t* const* tags, std::size_t count) noexcept;
// hmacOneBlockWords() on a given road (precondition: available(road)).
void hmacOneBlockWords(Road road, const State& inner, const State& outer, const std::uint32_t* words,
                       std::size_t stride, std::uint64_t* heads, std::size_t count) noexcept;

}  // namespace zorva::sha256
