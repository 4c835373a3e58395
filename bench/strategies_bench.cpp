// One benchmark per strategy on exactly the values bench/bench.py sends
// through maskColumn (same formulas, same options), so that the Python bench
// can set its masking time per value against the core maskers and, in a
// -DZORVA_COUNTING=ON build, against the HMACs and AES blocks each value needs.
// Names are "strategy/<name>"; counters hmac/value and aes/value appear only
// in the counting build (take timings from a normal Release build).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "strategies/digits.h"
#include "strategies/hash.h"
#include "strategies/fake.h"
#include "strategies/fpe.h"
#include "strategies/key.h"
#include "number/number.h"

namespace zorva {
namespace {

// The bench's subkey: bytes 0..31.
const KeyedHash& benchHash() {
  static const KeyedHash hash = [] {
    std::uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
    return KeyedHash(key);
  }();
  return hash;
}

constexpr std::size_t kValues = 4096;

// Multiplication by this prime is a bijection modulo every modulus below, so
// value i is distinct for every i the Python bench uses.
constexpr std::uint64_t kStep = 2654435761ULL;
std::uint64_t spread(std::uint64_t i, std::uint64_t modulus) {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(i) * kStep) % modulus);
}

std::string format(const char* pattern, auto... args) {
  char buffer[96];
  int n = std::snprintf(buffer, sizeof buffer, pattern, args...);
  return std::string(buffer, static_cast<std::size_t>(n));
}

// Value i of each shape, as bench.py's values() writes it.
BigInt keyValue(std::uint64_t i) { return BigInt::fromU64(100000000 + spread(i, 900000000)); }
std::string fpeValue(std::uint64_t i) {
  return format("%c%c%08llu", 'A' + static_cast<int>(i % 26), 'A' + static_cast<int>(i / 26 % 26),
                static_cast<unsigned long long>(spread(i, 100000000)));
}
// Python's repr of k / 100: the shortest text, so trailing zeros go.
std::string numberRepr(std::uint64_t i) {
  std::uint64_t k = 1000 + spread(i, 9999000);
  std::string text =
      format("%llu.%02llu", static_cast<unsigned long long>(k / 100), static_cast<unsigned long long>(k % 100));
  while (text.back() == '0' && text[text.size() - 2] != '.') text.pop_back();
  return text;
}
std::string nameValue(std::uint64_t i) {
  return format("Name%08llu", static_cast<unsigned long long>(spread(i, 100000000)));
}
std::string hashValue(std::uint64_t i) {
  return format("4%015llu", static_cast<unsigned long long>(spread(i, 1000000000000000ULL)));
}
std::string emailValue(std::uint64_t i) {
  return format("first.last%llu@example.com", static_cast<unsigned long long>(spread(i, 100000000)));
}
std::string digitsValue(std::uint64_t i) {
  std::uint64_t u = spread(i, 10000000);
  return format("+1 (555) %03llu-%04llu", static_cast<unsigned long long>(u / 10000),
                static_cast<unsigned long long>(u % 10000));
}

WordList words(const char* stem, int count) {
  WordList list;
  list.reserve(static_cast<std::size_t>(count), static_cast<std::size_t>(count) * 12);
  for (int k = 0; k < count; ++k) list.add(stem + std::to_string(k));
  return list;
}
WordList fixedWords(std::initializer_list<std::string_view> entries) {
  WordList list;
  for (std::string_view entry : entries) list.add(entry);
  return list;
}

FakeLists benchLists() {
  FakeLists lists;
  lists.firstNames = words("First", 3000);
  lists.lastNames = words("Last", 5000);
  lists.cities = words("City", 1000);
  lists.streets = words("Street", 2000);
  lists.streetKinds = fixedWords({"Road", "Street", "Avenue", "Lane", "Way", "Drive", "Court", "Place"});
  lists.address = "{number} {street} {kind}";
  lists.companySuffixes = fixedWords({"Ltd", "Inc", "GmbH", "SA", "LLC", "plc"});
  lists.companyWords = words("Word", 2000);
  return lists;
}

template <class Value>
std::vector<Value> first(Value (*make)(std::uint64_t)) {
  std::vector<Value> values;
  values.reserve(kValues);
  for (std::uint64_t i = 0; i < kValues; ++i) values.push_back(make(i));
  return values;
}

// Times fn over the values in turn; the counting build adds the primitive
// calls per value.
template <class Value, class Fn>
void runValues(benchmark::State& state, const std::vector<Value>& values, Fn fn) {
#ifdef ZORVA_COUNTING
  resetPrimitiveCounts();
#endif
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(values[i]));
    if (++i == values.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
#ifdef ZORVA_COUNTING
  const double n = static_cast<double>(state.iterations());
  state.counters["hmac/value"] = static_cast<double>(hmacCount()) / n;
  state.counters["aes/value"] = static_cast<double>(aesBlockCount()) / n;
#endif
}

// The batch roads as maskColumn drives them: groups of 64 values, the
// answers written in place. Times are per value.
constexpr std::size_t kGroup = 64;

template <class Answer, class Fn>
void runBatches(benchmark::State& state, std::string (*make)(std::uint64_t), Fn fn) {
  const std::vector<std::string> values = first(make);
  std::vector<std::string_view> views(values.begin(), values.end());
  Answer answers[kGroup];
  std::size_t from = 0;
  for (auto _ : state) {
    fn(std::span<const std::string_view>(views.data() + from, kGroup), answers);
    benchmark::DoNotOptimize(answers);
    from = from + 2 * kGroup <= views.size() ? from + kGroup : 0;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kGroup));
}

void registerFake(const char* name, FakeKind kind) {
  benchmark::RegisterBenchmark((std::string("strategy/") + name).c_str(), [kind](benchmark::State& state) {
    auto made = FakeStrategy::make(kind, benchLists(), std::nullopt);
    const FakeStrategy& strategy = std::get<FakeStrategy>(made);
    runValues(state, first(nameValue), [&](const std::string& v) { return strategy.mask(benchHash(), v); });
  });
  benchmark::RegisterBenchmark((std::string("batch/") + name).c_str(), [kind](benchmark::State& state) {
    auto made = FakeStrategy::make(kind, benchLists(), std::nullopt);
    const FakeStrategy& strategy = std::get<FakeStrategy>(made);
    runBatches<Text>(state, nameValue, [&](auto data, Text* out) { strategy.maskMany(benchHash(), data, out); });
  });
}

// Registered from a static object so the names carry the strategy.
const bool registered = [] {
  benchmark::RegisterBenchmark("strategy/key", [](benchmark::State& state) {
    runValues(state, first(keyValue), [](const BigInt& v) { return KeyStrategy::maskInteger(benchHash(), v); });
  });
  benchmark::RegisterBenchmark("strategy/fpe", [](benchmark::State& state) {
    const FpeStrategy fpe(benchHash(), Charset::alphanumeric, false);
    runValues(state, first(fpeValue), [&](const std::string& v) { return fpe.maskText(benchHash(), v); });
  });
  benchmark::RegisterBenchmark("strategy/number", [](benchmark::State& state) {
    auto made = NumberStrategy::make(std::nullopt, std::nullopt, std::nullopt, 2);
    const NumberStrategy& number = std::get<NumberStrategy>(made);
    std::vector<std::pair<double, std::string>> values;
    for (std::uint64_t i = 0; i < kValues; ++i) {
      std::string repr = numberRepr(i);
      values.emplace_back(std::stod(repr), repr);
    }
    runValues(state, values, [&](const std::pair<double, std::string>& v) {
      return number.maskFloat(benchHash(), v.first, v.second);
    });
  });
  registerFake("fakeFirstName", FakeKind::firstName);
  registerFake("fakeLastName", FakeKind::lastName);
  registerFake("fakeName", FakeKind::name);
  registerFake("fakeCity", FakeKind::city);
  registerFake("fakeCompany", FakeKind::company);
  registerFake("fakeStreetAddress", FakeKind::streetAddress);
  benchmark::RegisterBenchmark("strategy/hash", [](benchmark::State& state) {
    runValues(state, first(hashValue), [](const std::string& v) { return maskHash(benchHash(), v, 16, "h_"); });
  });
  benchmark::RegisterBenchmark("strategy/email", [](benchmark::State& state) {
    runValues(state, first(emailValue),
              [](const std::string& v) { return maskEmail(benchHash(), v, 12, kDefaultMailDomain, false); });
  });
  benchmark::RegisterBenchmark("strategy/digits", [](benchmark::State& state) {
    runValues(state, first(digitsValue), [](const std::string& v) { return maskDigitsText(benchHash(), v, 1, 0); });
  });
  benchmark::RegisterBenchmark("batch/hash", [](benchmark::State& state) {
    runBatches<Text>(state, hashValue, [](auto data, Text* out) { maskHashes(benchHash(), data, 16, "h_", out); });
  });
  benchmark::RegisterBenchmark("batch/email", [](benchmark::State& state) {
    runBatches<Outcome<Text>>(state, emailValue, [](auto data, Outcome<Text>* out) {
      maskEmails(benchHash(), data, 12, kDefaultMailDomain, false, out);
    });
  });
  benchmark::RegisterBenchmark("batch/digits", [](benchmark::State& state) {
    runBatches<Outcome<Text>>(state, digitsValue,
                              [](auto data, Outcome<Text>* out) { maskDigitsTexts(benchHash(), data, 1, 0, out); });
  });
  return true;
}();

}  // namespace
}  // namespace zorva
