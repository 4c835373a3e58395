// Fake masking per value against the bare keyed draws it needs: the
// difference is the strategy's own cost (pick, join, one allocation).
#include <benchmark/benchmark.h>

#include <string>
#include <optional>
#include <vector>

#include "strategies/fake.h"

namespace zorva {
namespace {

constexpr int kEntries = 5000;
constexpr std::size_t kValues = 1 << 14;  // distinct values, cycled

const KeyedHash& benchHash() {
  static const KeyedHash hash(std::string_view("bench-subkey-0123456789abcdefghi", 32));
  return hash;
}

WordList entries(const char* stem) {
  WordList list;
  list.reserve(kEntries, kEntries * 12);
  for (int i = 0; i < kEntries; ++i) list.add(std::string(stem) + std::to_string(i * 7919 % 100000));
  return list;
}

FakeLists benchLists() {
  FakeLists lists;
  lists.firstNames = entries("Émile");
  lists.lastNames = entries("Lastname");
  lists.cities = entries("Cityville");
  lists.streets = entries("Street");
  lists.streetKinds = entries("Road");
  lists.address = "{number} {street} {kind}";
  lists.companySuffixes = entries("Ltd");
  lists.companyWords = entries("Company");
  return lists;
}

const std::vector<std::string>& values() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> v;
    v.reserve(kValues);
    for (std::size_t i = 0; i < kValues; ++i) v.push_back("customer-" + std::to_string(i * 2654435761u));
    return v;
  }();
  return all;
}

struct Draw {
  std::uint64_t bound;
  std::string_view label;
};

// The keyed draws of each kind, in the order mask makes them.
std::vector<Draw> drawsOf(FakeKind kind) {
  switch (kind) {
    case FakeKind::firstName: return {{kEntries, "first"}};
    case FakeKind::lastName: return {{kEntries, "last"}};
    case FakeKind::name: return {{kEntries, "first"}, {kEntries, "last"}};
    case FakeKind::city: return {{kEntries, "city"}};
    case FakeKind::company: return {{kEntries, "company"}, {kEntries, "suffix"}};
    case FakeKind::streetAddress: return {{9999, "number"}, {kEntries, "street"}, {kEntries, "suffix"}};
  }
  return {};
}

void BM_FakeMask(benchmark::State& state) {
  // range(1): the maxLength, or 0 for none.
  auto kind = static_cast<FakeKind>(state.range(0));
  std::optional<std::uint64_t> maxLength;
  if (state.range(1) > 0) maxLength = static_cast<std::uint64_t>(state.range(1));
  auto made = FakeStrategy::make(kind, benchLists(), maxLength);
  const FakeStrategy& strategy = std::get<FakeStrategy>(made);
  const auto& data = values();
  std::size_t i = 0;
  for (auto _ : state) {
    Text out = strategy.mask(benchHash(), data[i++ % kValues]);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FakeDraws(benchmark::State& state) {
  const std::vector<Draw> draws = drawsOf(static_cast<FakeKind>(state.range(0)));
  const auto& data = values();
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& value = data[i++ % kValues];
    for (const Draw& draw : draws) benchmark::DoNotOptimize(benchHash().below(value, draw.bound, draw.label));
  }
  state.SetItemsProcessed(state.iterations());
}

// 0 firstName, 1 lastName, 2 name, 3 city, 4 company, 5 streetAddress.
BENCHMARK(BM_FakeMask)->ArgsProduct({benchmark::CreateDenseRange(0, 5, 1), {0}})->Args({2, 8});
BENCHMARK(BM_FakeDraws)->DenseRange(0, 5);

}  // namespace
}  // namespace zorva
