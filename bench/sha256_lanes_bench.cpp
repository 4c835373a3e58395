// SHA-256 compressions per road and batch size. Each lane's state feeds its
// next compression, as an HMAC's inner result feeds its outer, so batch 1
// measures one compression's latency and larger batches what interleaving the
// lanes recovers of it. The counter is nanoseconds per compression.
#include <benchmark/benchmark.h>

#include <vector>

#include "sha256/lanes_testing.h"

namespace {

using namespace zorva::sha256;

void BM_Sha256Compress(benchmark::State& state) {
  // Past the last road: compress() itself, mixing roads as it sees fit.
  bool mixed = state.range(0) == 5;
  Road road = mixed ? bestRoad() : static_cast<Road>(state.range(0));
  std::size_t count = static_cast<std::size_t>(state.range(1));
  if (!available(road)) return state.SkipWithError("road not available on this CPU");
  std::vector<std::uint8_t> bytes(64 * count);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
  std::vector<const std::uint8_t*> blocks;
  std::vector<State> lanes(count);
  for (std::size_t i = 0; i < count; ++i) {
    blocks.push_back(bytes.data() + 64 * i);
    for (int w = 0; w < 8; ++w) lanes[i].h[w] = static_cast<std::uint32_t>(i * 8 + w);
  }
  for (auto _ : state) {
    if (mixed)
      compress(lanes.data(), blocks.data(), count);
    else
      compress(road, lanes.data(), blocks.data(), count);
    benchmark::DoNotOptimize(lanes.data());
    benchmark::ClobberMemory();
  }
  static const char* const names[] = {"portable", "shaNi", "avx512", "avx2", "shaNiQuad"};
  state.SetLabel(mixed ? "compress()" : names[static_cast<int>(road)]);
  state.counters["ns/compression"] = benchmark::Counter(
      static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Sha256Compress)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {1, 2, 3, 4, 6, 7, 8, 11, 12, 16, 32, 64}});

// One-block HMACs (ns per HMAC): the two compressions of each, with the
// outer block formed in registers.
void BM_HmacOneBlock(benchmark::State& state) {
  bool mixed = state.range(0) == 5;
  Road road = mixed ? bestRoad() : static_cast<Road>(state.range(0));
  std::size_t count = static_cast<std::size_t>(state.range(1));
  if (!available(road)) return state.SkipWithError("road not available on this CPU");
  std::vector<std::uint8_t> bytes(64 * count), tagBytes(32 * count);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
  std::vector<const std::uint8_t*> blocks;
  std::vector<std::uint8_t*> tags;
  for (std::size_t i = 0; i < count; ++i) {
    blocks.push_back(bytes.data() + 64 * i);
    tags.push_back(tagBytes.data() + 32 * i);
  }
  State inner, outer;
  for (int w = 0; w < 8; ++w) inner.h[w] = outer.h[w] = static_cast<std::uint32_t>(w * 0x9e3779b9u);
  for (auto _ : state) {
    if (mixed)
      hmacOneBlock(inner, outer, blocks.data(), tags.data(), count);
    else
      hmacOneBlock(road, inner, outer, blocks.data(), tags.data(), count);
    benchmark::DoNotOptimize(tagBytes.data());
    benchmark::ClobberMemory();
  }
  static const char* const names[] = {"portable", "shaNi", "avx512", "avx2", "shaNiQuad"};
  state.SetLabel(mixed ? "hmacOneBlock()" : names[static_cast<int>(road)]);
  state.counters["ns/hmac"] = benchmark::Counter(
      static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_HmacOneBlock)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {2, 16, 64}});

// The same HMACs from words across lanes, only the tags' heads read back
// (ns per HMAC).
void BM_HmacOneBlockWords(benchmark::State& state) {
  bool mixed = state.range(0) == 5;
  Road road = mixed ? bestRoad() : static_cast<Road>(state.range(0));
  std::size_t count = static_cast<std::size_t>(state.range(1));
  if (!available(road)) return state.SkipWithError("road not available on this CPU");
  std::vector<std::uint32_t> words(16 * count);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint32_t>(i * 0x9e3779b9u + 7);
  std::vector<std::uint64_t> heads(count);
  State inner, outer;
  for (int w = 0; w < 8; ++w) inner.h[w] = outer.h[w] = static_cast<std::uint32_t>(w * 0x9e3779b9u);
  for (auto _ : state) {
    if (mixed)
      hmacOneBlockWords(inner, outer, words.data(), count, heads.data(), count);
    else
      hmacOneBlockWords(road, inner, outer, words.data(), count, heads.data(), count);
    benchmark::DoNotOptimize(heads.data());
    benchmark::ClobberMemory();
  }
  static const char* const names[] = {"portable", "shaNi", "avx512", "avx2", "shaNiQuad"};
  state.SetLabel(mixed ? "hmacOneBlockWords()" : names[static_cast<int>(road)]);
  state.counters["ns/hmac"] = benchmark::Counter(
      static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_HmacOneBlockWords)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {2, 16, 64}});

}  // namespace
