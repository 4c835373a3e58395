// Identifier maskers, one value per iteration on one thread.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "strategies/digits.h"
#include "strategies/hash.h"
#include "strategies/fpe.h"
#include "strategies/key.h"

namespace zorva {
namespace {

const KeyedHash& benchKey() {
  static const KeyedHash kh(std::string_view("bench-subkey-0123456789abcdefghi"));
  return kh;
}

std::vector<BigInt> tenDigitIntegers() {
  std::vector<BigInt> values;
  for (std::uint64_t i = 0; i < 64; ++i) values.push_back(BigInt::fromU64(4000000000 + i * 7919));
  return values;
}

std::vector<std::string> codes() {
  std::vector<std::string> values;
  for (int i = 0; i < 64; ++i) values.push_back("AB" + std::to_string(10000000 + i * 131) + "xy");
  return values;
}

template <class Value, class Fn>
void run(benchmark::State& state, const std::vector<Value>& values, Fn fn) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(values[i]));
    i = (i + 1) % values.size();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_KeyInteger(benchmark::State& state) {
  run(state, tenDigitIntegers(), [](const BigInt& v) { return KeyStrategy::maskInteger(benchKey(), v); });
}
void BM_KeyText(benchmark::State& state) {
  run(state, codes(), [](const std::string& v) { return KeyStrategy::maskText(Charset::alphanumeric, benchKey(), v); });
}
void BM_FpeInteger(benchmark::State& state) {
  const FpeStrategy fpe(benchKey(), Charset::alphanumeric, false);
  run(state, tenDigitIntegers(), [&](const BigInt& v) { return fpe.maskInteger(benchKey(), v); });
}
void BM_FpeText(benchmark::State& state) {
  const FpeStrategy fpe(benchKey(), Charset::alphanumeric, false);
  run(state, codes(), [&](const std::string& v) { return fpe.maskText(benchKey(), v); });
}
void BM_Hash(benchmark::State& state) {
  run(state, codes(), [](const std::string& v) { return maskHash(benchKey(), v, 16, "h_"); });
}
void BM_Email(benchmark::State& state) {
  std::vector<std::string> addresses;
  for (int i = 0; i < 64; ++i) addresses.push_back("First.Last" + std::to_string(i) + "@Example.com");
  run(state, addresses, [](const std::string& v) { return maskEmail(benchKey(), v, 12, kDefaultMailDomain, false); });
}
void BM_DigitsText(benchmark::State& state) {
  std::vector<std::string> phones;
  for (int i = 0; i < 64; ++i) phones.push_back("+1 (555) " + std::to_string(1000000 + i * 313));
  run(state, phones, [](const std::string& v) { return maskDigitsText(benchKey(), v, 1, 2); });
}
void BM_DigitsInteger(benchmark::State& state) {
  run(state, tenDigitIntegers(), [](const BigInt& v) { return maskDigitsInteger(benchKey(), v, 0, 0); });
}

BENCHMARK(BM_KeyInteger);
BENCHMARK(BM_KeyText);
BENCHMARK(BM_FpeInteger);
BENCHMARK(BM_FpeText);
BENCHMARK(BM_Hash);
BENCHMARK(BM_Email);
BENCHMARK(BM_DigitsText);
BENCHMARK(BM_DigitsInteger);

}  // namespace
}  // namespace zorva
