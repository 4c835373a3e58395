// How values reach a core masker: one by one, or in groups of the kinds a
// strategy masks in batches; and the mapping of core answers to Outputs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>

#include "number/number.h"
#include "outcome.h"
#include "strategy.h"
#include "values.h"

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

// Texts go to maskTexts(texts, Outcome<Text>*) and integers to
// maskIntegers(integers, Outcome<BigInt>*), a group at a time; every other
// kind is answered on its own, as maskOne would.
template <class S, class Texts, class Integers>
void maskTextsAndIntegers(const S& strategy, const KeyedHash& keyedHash, const Input* const* inputs,
                          Output* const* outputs, std::size_t count, const Texts& maskTexts,
                          const Integers& maskIntegers) {
  for (std::size_t from = 0; from < count; from += kGroup) {
    const std::size_t end = std::min(count, from + kGroup);
    std::string_view texts[kGroup];
    Output* textOutputs[kGroup];
    const BigInt* integers[kGroup];
    Output* integerOutputs[kGroup];
    std::size_t textCount = 0, integerCount = 0;
    for (std::size_t k = from; k < end; ++k) {
      const Input& input = *inputs[k];
      if (input.kind() == Input::Kind::Str) {
        texts[textCount] = input.text();
        prefetchText(texts[textCount]);  // fetched as gathered: the loads overlap
        textOutputs[textCount++] = outputs[k];
      } else if (input.kind() == Input::Kind::Int) {
        integers[integerCount] = &input.integer();
        integerOutputs[integerCount++] = outputs[k];
      } else {
        *outputs[k] = maskAny(strategy, keyedHash, input);
      }
    }
    if (textCount > 0) {
      Outcome<Text> answers[kGroup];
      maskTexts(std::span<const std::string_view>(texts, textCount), answers);
      for (std::size_t i = 0; i < textCount; ++i)
        emplaceOutput(textOutputs[i], [&]() noexcept { return fromOutcome(std::move(answers[i])); });
    }
    if (integerCount > 0) {
      Outcome<BigInt> answers[kGroup];
      maskIntegers(std::span<const BigInt* const>(integers, integerCount), answers);
      for (std::size_t i = 0; i < integerCount; ++i)
        emplaceOutput(integerOutputs[i], [&]() noexcept { return fromOutcome(std::move(answers[i])); });
    }
  }
}

// For strategies that mask a text, or an integer through its decimal text:
// run(data, Text*) masks a group of such texts.
template <class S, class Run>
void maskTextsOrDecimals(const S& strategy, const KeyedHash& keyedHash, const Input* const* inputs,
                         Output* const* outputs, std::size_t count, const Run& run) {
  for (std::size_t from = 0; from < count; from += kGroup) {
    const std::size_t end = std::min(count, from + kGroup);
    std::string_view data[kGroup];
    Text decimals[kGroup];
    Output* targets[kGroup];
    std::size_t n = 0;
    for (std::size_t k = from; k < end; ++k) {
      const Input& input = *inputs[k];
      if (input.kind() == Input::Kind::Str) {
        data[n] = input.text();
        prefetchText(data[n]);
      } else if (input.kind() == Input::Kind::Int) {
        decimals[n] = input.integer().toDecimal();
        data[n] = decimals[n];
      } else {
        *outputs[k] = maskAny(strategy, keyedHash, input);
        continue;
      }
      targets[n++] = outputs[k];
    }
    Text answers[kGroup];
    run(std::span<const std::string_view>(data, n), answers);
    for (std::size_t i = 0; i < n; ++i)
      emplaceOutput(targets[i], [&]() noexcept { return Output::ofText(std::move(answers[i])); });
  }
}

// Texts go to run(texts, Outcome<Text>*) in groups; everything else is
// answered as maskOne would.
template <class S, class Run>
void maskTexts(const S& strategy, const KeyedHash& keyedHash, const Input* const* inputs, Output* const* outputs,
               std::size_t count, const Run& run) {
  for (std::size_t from = 0; from < count; from += kGroup) {
    const std::size_t end = std::min(count, from + kGroup);
    std::string_view texts[kGroup];
    Output* targets[kGroup];
    std::size_t n = 0;
    for (std::size_t k = from; k < end; ++k) {
      if (inputs[k]->kind() != Input::Kind::Str) {
        *outputs[k] = maskAny(strategy, keyedHash, *inputs[k]);
        continue;
      }
      texts[n] = inputs[k]->text();
      prefetchText(texts[n]);
      targets[n++] = outputs[k];
    }
    Outcome<Text> answers[kGroup];
    run(std::span<const std::string_view>(texts, n), answers);
    for (std::size_t i = 0; i < n; ++i)
      emplaceOutput(targets[i], [&]() noexcept { return fromOutcome(std::move(answers[i])); });
  }
}

}  // namespace zorva::py
