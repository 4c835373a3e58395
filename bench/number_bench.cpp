// Per-value cost of the number strategy against its floor: the two digests
// that a moved value needs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "number/number.h"

namespace zorva {
namespace {

const std::uint8_t kSubkey[32] = {7,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                  16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

NumberStrategy make(std::optional<std::string_view> min, std::optional<std::string_view> max,
                    std::optional<std::uint32_t> decimals) {
  return std::get<NumberStrategy>(NumberStrategy::make(min, max, std::nullopt, decimals));
}

void BM_TwoDigests(benchmark::State& state) {
  KeyedHash kh(kSubkey);
  std::uint64_t i = 0;
  for (auto _ : state) {
    std::string data = std::to_string(1000000 + (i++ & 1023));
    benchmark::DoNotOptimize(kh.digest(data, ""));
    benchmark::DoNotOptimize(kh.digest(data, "step"));
  }
}
BENCHMARK(BM_TwoDigests);

void BM_MaskInteger(benchmark::State& state) {
  KeyedHash kh(kSubkey);
  NumberStrategy s =
      state.range(0) ? make("-1000", "250000", std::nullopt) : make(std::nullopt, std::nullopt, std::nullopt);
  std::uint64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(s.maskInteger(kh, BigInt::fromU64(1000000 + (i++ & 1023))));
}
BENCHMARK(BM_MaskInteger)->Arg(0)->Arg(1);

void BM_MaskFloat(benchmark::State& state) {
  KeyedHash kh(kSubkey);
  NumberStrategy s =
      state.range(0) ? make(std::nullopt, std::nullopt, 2) : make(std::nullopt, std::nullopt, std::nullopt);
  std::vector<std::string> reprs;
  for (int k = 0; k < 1024; ++k) reprs.push_back(std::to_string(k) + ".37");
  std::uint64_t i = 0;
  for (auto _ : state) {
    const std::string& r = reprs[i++ & 1023];
    benchmark::DoNotOptimize(s.maskFloat(kh, std::stod(r), r));
  }
}
BENCHMARK(BM_MaskFloat)->Arg(0)->Arg(1);

void BM_MaskDecimal(benchmark::State& state) {
  KeyedHash kh(kSubkey);
  NumberStrategy s =
      state.range(0) ? make("0.01", "99999.99", std::nullopt) : make(std::nullopt, std::nullopt, std::nullopt);
  std::vector<std::string> texts;
  for (int k = 0; k < 1024; ++k) texts.push_back(std::to_string(k * 13) + ".25");
  std::uint64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(s.maskDecimal(kh, texts[i++ & 1023]));
}
BENCHMARK(BM_MaskDecimal)->Arg(0)->Arg(1);

// Floats as a column hands them over: batches of 512, the engine writing
// each repr itself. Arg 0: cents (a balance), 1: full-length doubles (a
// fee), 2: full-length doubles on a grid of 6 places (a rate).
void BM_MaskFloatBatch(benchmark::State& state) {
  KeyedHash kh(kSubkey);
  NumberStrategy s =
      make(std::nullopt, std::nullopt, state.range(0) == 2 ? std::optional<std::uint32_t>(6) : std::nullopt);
  std::mt19937_64 rng(5);
  std::vector<NumberInput> values(512);
  for (NumberInput& v : values) {
    const double x = std::uniform_real_distribution<double>(10, 150000)(rng);
    v.kind = NumberInput::Kind::Float;
    v.real = state.range(0) == 0 ? std::round(x * 100) / 100 : x / 1000;
  }
  std::vector<NumberResult> out(values.size());
  for (auto _ : state) s.maskMany(kh, values, out.data());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}
BENCHMARK(BM_MaskFloatBatch)->Arg(0)->Arg(1)->Arg(2);

}  // namespace
}  // namespace zorva
