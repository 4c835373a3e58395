// What describing a strategy takes (the StrategyDescriptor concept), and
// Described<D>, the Strategy a descriptor makes.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "shared/internal/batching.h"
#include "keyed_hash/keyed_hash.h"
#include "shared/options.h"
#include "shared/strategy.h"
#include "shared/values.h"

namespace zorva::py {

namespace descriptor_detail {
template <class T>
struct RoadTuple : std::false_type {};
template <class... R>
struct RoadTuple<std::tuple<R...>> : std::bool_constant<(BatchRoad<R> && ...)> {};
// Whether the first of a tuple of roads is one of text answers (a Str
// input goes to the first road that takes it, and these take every one).
template <class T>
struct FirstTextRoad : std::false_type {};
template <class R, class... Rest>
struct FirstTextRoad<std::tuple<TextRoad<R>, Rest...>> : std::true_type {};
template <class R, class... Rest>
struct FirstTextRoad<std::tuple<TextOrDecimalRoad<R>, Rest...>> : std::true_type {};
}  // namespace descriptor_detail

// A std::tuple of batch roads (empty for a strategy without one).
template <class T>
concept BatchRoads = descriptor_detail::RoadTuple<T>::value;

// One strategy as the module knows it: a value type holding the strategy's
// options (or its core masker) with
// - kCached: whether its Masker keeps a result cache, and, when it does,
//   caches(output) noexcept: which outputs enter the cache;
// - kReadsDecimals: whether floats and Decimals are read as such (which
//   needs decimal.Decimal) rather than as Input::Other;
// - names(name): whether it answers to the strategy name name;
// - read(name, options, keyedHash): the descriptor from the options dict, read
//   in the strategy's fixed order, or nullopt with a Python exception set;
// - maskWith(keyedHash, input): one value of any kind but None and Other;
// - roads(): its batch roads (shared/internal/batching.h), each input going to the first
//   that takes it and the rest to maskWith; an empty tuple for none;
// - optionally numbers(): its core NumberStrategy (the number strategy only).
template <class D>
concept StrategyDescriptor = std::is_move_constructible_v<D> &&
    requires(const D& d, std::string_view name, const Options& options, const KeyedHash& keyedHash,
             const Input& input) {
  requires std::same_as<decltype(D::kCached), const bool>;
  requires std::same_as<decltype(D::kReadsDecimals), const bool>;
  typename std::bool_constant<D::kCached>;
  typename std::bool_constant<D::kReadsDecimals>;
  { D::names(name) } -> std::same_as<bool>;
  { D::read(name, options, keyedHash) } -> std::same_as<std::optional<D>>;
  { d.maskWith(keyedHash, input) } -> std::same_as<Output>;
  { d.roads() } -> BatchRoads;
} &&(!D::kCached || requires(const Output& output) {
  { D::caches(output) }
  noexcept->std::same_as<bool>;
});

// A descriptor as a Strategy.
template <StrategyDescriptor D>
class Described final : public Strategy {
 public:
  explicit Described(D description) : d_(std::move(description)) {}
  bool cached() const noexcept override { return D::kCached; }
  bool caches(const Output& output) const noexcept override {
    if constexpr (D::kCached) {
      return D::caches(output);
    } else {
      return false;
    }
  }
  bool readsDecimals() const noexcept override { return D::kReadsDecimals; }
  Output maskOne(const KeyedHash& keyedHash, const Input& input) const override {
    return maskAny(d_, keyedHash, input);
  }
  void maskMany(const KeyedHash& keyedHash, const Input* const* inputs, Output* const* outputs,
                std::size_t count) const override {
    std::apply([&](const auto&... roads) { maskInGroups(d_, keyedHash, inputs, outputs, count, roads...); },
               d_.roads());
  }
  bool masksTexts() const noexcept override { return kMasksTexts; }
  void maskTexts(const KeyedHash& keyedHash, std::span<const std::string_view> texts,
                 Outcome<Text>* out) const override {
    if constexpr (kMasksTexts) {
      const auto road = std::get<0>(d_.roads());
      if constexpr (std::is_same_v<typename decltype(road)::Answer, Outcome<Text>>) {
        road.run(keyedHash, texts, out);
      } else {
        // Answers that are always texts: made in a run of their own, then moved.
        constexpr std::size_t kRun = 64;
        Text answers[kRun];
        for (std::size_t from = 0; from < texts.size(); from += kRun) {
          const std::size_t n = std::min(kRun, texts.size() - from);
          road.run(keyedHash, texts.subspan(from, n), answers);
          for (std::size_t i = 0; i < n; ++i) out[from + i] = std::move(answers[i]);
        }
      }
    }
  }
  const NumberStrategy* numbers() const noexcept override {
    if constexpr (requires(const D& d) {
                    { d.numbers() } -> std::same_as<const NumberStrategy&>;
                  }) {
      return &d_.numbers();
    } else {
      return nullptr;
    }
  }

 private:
  static constexpr bool kMasksTexts =
      !D::kCached && descriptor_detail::FirstTextRoad<decltype(std::declval<const D&>().roads())>::value;
  D d_;
};

}  // namespace zorva::py
