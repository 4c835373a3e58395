// How values reach a core masker in batches: the batch roads (which inputs a
// core batch function takes, and what its answers become) and the one loop
// that walks a strategy's inputs in groups along them.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>

#include "number/number.h"
#include "support/outcome.h"
#include "shared/strategy.h"
#include "shared/values.h"

namespace zorva::py {

// A value, a decline or a refusal as an Output.
inline Output fromOutcome(Outcome<BigInt>&& outcome) noexcept {
  if (auto* value = std::get_if<BigInt>(&outcome)) return Output::ofInt(std::move(*value));
  if (auto* refusal = std::get_if<Refusal>(&outcome)) return Output::refused(std::move(refusal->message));
  return Output::fallback();
}

inline Output fromOutcome(Outcome<Text>&& outcome) noexcept {
  if (auto* value = std::get_if<Text>(&outcome)) return Output::ofText(std::move(*value));
  if (auto* refusal = std::get_if<Refusal>(&outcome)) return Output::refused(std::move(refusal->message));
  return Output::fallback();
}

// A number strategy's answer as an Output.
inline Output fromNumber(NumberResult&& result) noexcept {
  switch (result.kind) {
    case NumberResult::Kind::Int: return Output::ofInt(std::move(result.integer));
    case NumberResult::Kind::Float: return Output::ofFloat(result.real);
    case NumberResult::Kind::Decimal: return Output::ofDecimal(std::move(result.text));
    case NumberResult::Kind::Fallback: break;
  }
  return Output::fallback();
}

// None passes through every masker and an unsupported type goes back to
// Python, whatever the strategy; the rest goes to strategy.maskWith.
template <class S>
Output maskAny(const S& strategy, const KeyedHash& keyedHash, const Input& input) {
  if (input.kind() == Input::Kind::None) return Output{};
  if (input.kind() == Input::Kind::Other) return Output::fallback();
  return strategy.maskWith(keyedHash, input);
}

// A batch road: one core batch function and the inputs it takes.
// - Item is what the function reads per value, Answer what it writes, and
//   Kept what an item may view that the input does not hold (an integer's
//   decimal text), one per lane of a group.
// - take(input, item, kept) says whether the road takes the input, and if
//   so fills its item (fetching what the function will read).
// - run(keyedHash, items, answers) masks a group of items.
// - output(answer) is an answer as an Output.
template <class R>
concept BatchRoad = requires(const R& road, const Input& input, typename R::Item& item, typename R::Kept& kept,
                             const KeyedHash& keyedHash, std::span<const typename R::Item> items,
                             typename R::Answer* answers, typename R::Answer&& answer) {
  { road.take(input, item, kept) } -> std::same_as<bool>;
  road.run(keyedHash, items, answers);
  { R::output(std::move(answer)) }
  noexcept->std::same_as<Output>;
};

// Texts, to run(keyedHash, texts, Outcome<Text>*).
template <class Run>
struct TextRoad {
  using Item = std::string_view;
  using Kept = std::monostate;
  using Answer = Outcome<Text>;
  Run run;
  bool take(const Input& input, Item& item, Kept&) const noexcept {
    if (input.kind() != Input::Kind::Str) return false;
    item = input.text();
    prefetchText(item);  // fetched as gathered: the loads overlap
    return true;
  }
  static Output output(Answer&& answer) noexcept { return fromOutcome(std::move(answer)); }
};

// Integers, to run(keyedHash, integers, Outcome<BigInt>*).
template <class Run>
struct IntegerRoad {
  using Item = const BigInt*;
  using Kept = std::monostate;
  using Answer = Outcome<BigInt>;
  Run run;
  bool take(const Input& input, Item& item, Kept&) const noexcept {
    if (input.kind() != Input::Kind::Int) return false;
    item = &input.integer();
    return true;
  }
  static Output output(Answer&& answer) noexcept { return fromOutcome(std::move(answer)); }
};

// Texts, and integers through their decimal texts (so that 42 and "42" mask
// alike), to run(keyedHash, data, Text*).
template <class Run>
struct TextOrDecimalRoad {
  using Item = std::string_view;
  using Kept = Text;
  using Answer = Text;
  Run run;
  bool take(const Input& input, Item& item, Kept& kept) const {
    if (input.kind() == Input::Kind::Str) {
      item = input.text();
      prefetchText(item);
      return true;
    }
    if (input.kind() != Input::Kind::Int) return false;
    kept = input.integer().toDecimal();
    item = kept;
    return true;
  }
  static Output output(Answer&& answer) noexcept { return Output::ofText(std::move(answer)); }
};

// Ints, floats and Decimals, to run(keyedHash, numbers, NumberResult*).
template <class Run>
struct NumberRoad {
  using Item = NumberInput;
  using Kept = std::monostate;
  using Answer = NumberResult;
  Run run;
  bool take(const Input& input, Item& item, Kept&) const noexcept {
    switch (input.kind()) {
      case Input::Kind::Int: item = NumberInput{NumberInput::Kind::Int, &input.integer(), 0, {}}; return true;
      case Input::Kind::Float:
        item = NumberInput{NumberInput::Kind::Float, nullptr, input.real(), input.text()};
        return true;
      case Input::Kind::Decimal: item = NumberInput{NumberInput::Kind::Decimal, nullptr, 0, input.text()}; return true;
      default: return false;
    }
  }
  static Output output(Answer&& answer) noexcept { return fromNumber(std::move(answer)); }
};

namespace batching_detail {

// The inputs one road took from a group, and where their answers go. The
// lanes are left unset until taken (the constructor is user-provided, so
// that a tuple of these does not zero them for every group).
template <BatchRoad R>
struct Gathered {
  Gathered() noexcept {}
  typename R::Item items[kGroup];
  typename R::Kept kept[kGroup];
  Output* targets[kGroup];
  std::size_t count = 0;

  bool take(const R& road, const Input& input, Output* target) {
    if (!road.take(input, items[count], kept[count])) return false;
    targets[count++] = target;
    return true;
  }
  void run(const R& road, const KeyedHash& keyedHash) {
    if (count == 0) return;
    typename R::Answer answers[kGroup];
    road.run(keyedHash, std::span<const typename R::Item>(items, count), answers);
    for (std::size_t i = 0; i < count; ++i)
      emplaceOutput(targets[i], [&]() noexcept { return R::output(std::move(answers[i])); });
  }
};

}  // namespace batching_detail

// *outputs[k] = maskAny(strategy, *inputs[k]) for every k < count, a group
// of kGroup inputs at a time: each input goes to the first road that takes
// it (or, taken by none, is answered on its own as it is met); then each
// road masks what it took, in the order the roads are given, and its answers
// are written to their outputs. With no roads, every value is answered on
// its own.
template <class S, BatchRoad... Roads>
void maskInGroups(const S& strategy, const KeyedHash& keyedHash, const Input* const* inputs, Output* const* outputs,
                  std::size_t count, const Roads&... roads) {
  for (std::size_t from = 0; from < count; from += kGroup) {
    const std::size_t end = std::min(count, from + kGroup);
    std::tuple<batching_detail::Gathered<Roads>...> gathered;
    for (std::size_t k = from; k < end; ++k) {
      const Input& input = *inputs[k];
      const bool taken = std::apply(
          [&](batching_detail::Gathered<Roads>&... lanes) { return (lanes.take(roads, input, outputs[k]) || ...); },
          gathered);
      if (!taken) *outputs[k] = maskAny(strategy, keyedHash, input);
    }
    std::apply([&](batching_detail::Gathered<Roads>&... lanes) { (lanes.run(roads, keyedHash), ...); }, gathered);
  }
}

}  // namespace zorva::py
