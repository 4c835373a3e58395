// Strategy::maskOne and Strategy::maskMany: which core masker receives a
// value, in which form, and which strategies take values in batches.
#include "dispatch.h"

#include <algorithm>
#include <string_view>
#include <type_traits>

namespace zorva::py {
namespace {

using Kind = Input::Kind;

Output boolRefusal(std::string_view strategy) {
  Text message("the ");
  message.append(strategy);
  message.append(" strategy cannot mask a bool");
  return Output::refused(std::move(message));
}

Output maskWith(const Strategy::Key& key, const KeyedHash& keyedHash, const Input& input) {
  switch (input.kind()) {
    case Kind::Int:
      return fromOutcome(KeyStrategy::maskInteger(keyedHash, input.integer()));
    case Kind::Str:
      return fromOutcome(KeyStrategy::maskText(key.charset, keyedHash, input.text()));
    case Kind::Bool:
      return boolRefusal("key");
    default:
      return Output::fallback();
  }
}

Output maskWith(const Strategy::Hash& hash, const KeyedHash& keyedHash, const Input& input) {
  switch (input.kind()) {
    case Kind::Int:
      // The decimal text, so that 42 and "42" hash alike.
      return Output::ofText(maskHash(keyedHash, input.integer().toDecimal(), hash.length, hash.prefix));
    case Kind::Str:
      return Output::ofText(maskHash(keyedHash, input.text(), hash.length, hash.prefix));
    default:
      return Output::fallback();
  }
}

Output maskWith(const Strategy::Email& email, const KeyedHash& keyedHash, const Input& input) {
  if (input.kind() != Kind::Str) return Output::fallback();
  return fromOutcome(
      maskEmail(keyedHash, input.text(), email.length, email.mailDomain, email.keepDomain));
}

Output maskWith(const Strategy::Digits& digits, const KeyedHash& keyedHash, const Input& input) {
  switch (input.kind()) {
    case Kind::Int:
      return fromOutcome(
          maskDigitsInteger(keyedHash, input.integer(), digits.keepLeading, digits.keepTrailing));
    case Kind::Str:
      return fromOutcome(
          maskDigitsText(keyedHash, input.text(), digits.keepLeading, digits.keepTrailing));
    case Kind::Bool:
      return Output::refused(Text("the digits strategy needs text or an integer, got bool"));
    default:
      return Output::fallback();
  }
}

Output maskWith(const FpeStrategy& fpe, const KeyedHash& keyedHash, const Input& input) {
  switch (input.kind()) {
    case Kind::Int:
      return fromOutcome(fpe.maskInteger(keyedHash, input.integer()));
    case Kind::Str:
      return fromOutcome(fpe.maskText(keyedHash, input.text()));
    case Kind::Bool:
      return boolRefusal("fpe");
    default:
      return Output::fallback();
  }
}

Output maskWith(const NumberStrategy& number, const KeyedHash& keyedHash, const Input& input) {
  switch (input.kind()) {
    case Kind::Int:
      return fromNumber(number.maskInteger(keyedHash, input.integer()));
    case Kind::Float:
      return fromNumber(number.maskFloat(keyedHash, input.real(), input.text()));
    case Kind::Decimal:
      return fromNumber(number.maskDecimal(keyedHash, input.text()));
    default:
      return Output::fallback();
  }
}

Output maskWith(const FakeStrategy& fake, const KeyedHash& keyedHash, const Input& input) {
  switch (input.kind()) {
    case Kind::Int:
      return Output::ofText(fake.mask(keyedHash, input.integer().toDecimal()));
    case Kind::Str:
      return Output::ofText(fake.mask(keyedHash, input.text()));
    default:
      return Output::fallback();
  }
}

// None passes through every masker and an unsupported type goes back to
// Python, whatever the strategy.
template <class S>
Output maskAny(const S& strategy, const KeyedHash& keyedHash, const Input& input) {
  if (input.kind() == Kind::None) return Output{};
  if (input.kind() == Kind::Other) return Output::fallback();
  return maskWith(strategy, keyedHash, input);
}

// Values handed to a batch road at once; the core splits them further into
// the lanes of its primitives.
constexpr std::size_t kGroup = 64;

// The strategies without a batch road of their own mask value by value.
template <class S>
void maskManyWith(const S& strategy, const KeyedHash& keyedHash, const Input* const* inputs,
                  Output* const* outputs, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) *outputs[k] = maskAny(strategy, keyedHash, *inputs[k]);
}

// Texts and integers go to the core's batch maskers; every other kind is
// answered on its own, as maskOne would.
template <class S, class Batch>
void maskManyBatched(const S& strategy, const Batch& batch, const KeyedHash& keyedHash, const Input* const* inputs,
                     Output* const* outputs, std::size_t count) {
  for (std::size_t from = 0; from < count; from += kGroup) {
    const std::size_t end = std::min(count, from + kGroup);
    std::string_view texts[kGroup];
    Output* textOutputs[kGroup];
    const BigInt* integers[kGroup];
    Output* integerOutputs[kGroup];
    std::size_t textCount = 0, integerCount = 0;
    for (std::size_t k = from; k < end; ++k) {
      const Input& input = *inputs[k];
      if (input.kind() == Kind::Str) {
        texts[textCount] = input.text();
        textOutputs[textCount++] = outputs[k];
      } else if (input.kind() == Kind::Int) {
        integers[integerCount] = &input.integer();
        integerOutputs[integerCount++] = outputs[k];
      } else {
        *outputs[k] = maskAny(strategy, keyedHash, input);
      }
    }
    if (textCount > 0) {
      Outcome<Text> answers[kGroup];
      batch.maskTexts(keyedHash, {texts, textCount}, answers);
      for (std::size_t i = 0; i < textCount; ++i) *textOutputs[i] = fromOutcome(std::move(answers[i]));
    }
    if (integerCount > 0) {
      Outcome<BigInt> answers[kGroup];
      batch.maskIntegers(keyedHash, {integers, integerCount}, answers);
      for (std::size_t i = 0; i < integerCount; ++i) *integerOutputs[i] = fromOutcome(std::move(answers[i]));
    }
  }
}

void maskManyWith(const FpeStrategy& fpe, const KeyedHash& keyedHash, const Input* const* inputs,
                  Output* const* outputs, std::size_t count) {
  maskManyBatched(fpe, fpe, keyedHash, inputs, outputs, count);
}

// The fake and hash strategies mask a text, or an integer through its
// decimal text; run(data, answers) masks a group of such texts.
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
      if (input.kind() == Kind::Str) {
        data[n] = input.text();
      } else if (input.kind() == Kind::Int) {
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
    for (std::size_t i = 0; i < n; ++i) *targets[i] = Output::ofText(std::move(answers[i]));
  }
}

void maskManyWith(const FakeStrategy& fake, const KeyedHash& keyedHash, const Input* const* inputs,
                  Output* const* outputs, std::size_t count) {
  maskTextsOrDecimals(fake, keyedHash, inputs, outputs, count,
                      [&](std::span<const std::string_view> data, Text* answers) {
                        fake.maskMany(keyedHash, data, answers);
                      });
}

void maskManyWith(const Strategy::Hash& hash, const KeyedHash& keyedHash, const Input* const* inputs,
                  Output* const* outputs, std::size_t count) {
  maskTextsOrDecimals(hash, keyedHash, inputs, outputs, count,
                      [&](std::span<const std::string_view> data, Text* answers) {
                        maskHashes(keyedHash, data, hash.length, hash.prefix, answers);
                      });
}

// Texts go to run(texts, answers) in groups; everything else is answered
// as maskOne would.
template <class S, class Run>
void maskTexts(const S& strategy, const KeyedHash& keyedHash, const Input* const* inputs, Output* const* outputs,
               std::size_t count, const Run& run) {
  for (std::size_t from = 0; from < count; from += kGroup) {
    const std::size_t end = std::min(count, from + kGroup);
    std::string_view texts[kGroup];
    Output* targets[kGroup];
    std::size_t n = 0;
    for (std::size_t k = from; k < end; ++k) {
      if (inputs[k]->kind() != Kind::Str) {
        *outputs[k] = maskAny(strategy, keyedHash, *inputs[k]);
        continue;
      }
      texts[n] = inputs[k]->text();
      targets[n++] = outputs[k];
    }
    Outcome<Text> answers[kGroup];
    run(std::span<const std::string_view>(texts, n), answers);
    for (std::size_t i = 0; i < n; ++i) *targets[i] = fromOutcome(std::move(answers[i]));
  }
}

void maskManyWith(const Strategy::Email& email, const KeyedHash& keyedHash, const Input* const* inputs,
                  Output* const* outputs, std::size_t count) {
  maskTexts(email, keyedHash, inputs, outputs, count, [&](std::span<const std::string_view> texts, Outcome<Text>* out) {
    maskEmails(keyedHash, texts, email.length, email.mailDomain, email.keepDomain, out);
  });
}

void maskManyWith(const Strategy::Digits& digits, const KeyedHash& keyedHash, const Input* const* inputs,
                  Output* const* outputs, std::size_t count) {
  maskTexts(digits, keyedHash, inputs, outputs, count, [&](std::span<const std::string_view> texts, Outcome<Text>* out) {
    maskDigitsTexts(keyedHash, texts, digits.keepLeading, digits.keepTrailing, out);
  });
}

void maskManyWith(const Strategy::Key& key, const KeyedHash& keyedHash, const Input* const* inputs,
                  Output* const* outputs, std::size_t count) {
  maskManyBatched(key, KeyStrategy(key.charset), keyedHash, inputs, outputs, count);
}

}  // namespace

Output fromOutcome(Outcome<BigInt>&& outcome) {
  if (auto* value = std::get_if<BigInt>(&outcome)) return Output::ofInt(std::move(*value));
  if (auto* refusal = std::get_if<Refusal>(&outcome)) return Output::refused(std::move(refusal->message));
  return Output::fallback();
}

Output fromOutcome(Outcome<Text>&& outcome) {
  if (auto* value = std::get_if<Text>(&outcome)) return Output::ofText(std::move(*value));
  if (auto* refusal = std::get_if<Refusal>(&outcome)) return Output::refused(std::move(refusal->message));
  return Output::fallback();
}

Output fromNumber(NumberResult&& result) {
  switch (result.kind) {
    case NumberResult::Kind::Int:
      return Output::ofInt(std::move(result.integer));
    case NumberResult::Kind::Float:
      return Output::ofFloat(result.real);
    case NumberResult::Kind::Decimal:
      return Output::ofDecimal(std::move(result.text));
    case NumberResult::Kind::Fallback:
      break;
  }
  return Output::fallback();
}

Output Strategy::maskOne(const KeyedHash& keyedHash, const Input& input) const {
  return std::visit([&](const auto& s) { return maskAny(s, keyedHash, input); }, variant);
}

void Strategy::maskMany(const KeyedHash& keyedHash, const Input* const* inputs, Output* const* outputs,
                        std::size_t count) const {
  std::visit([&](const auto& s) { maskManyWith(s, keyedHash, inputs, outputs, count); }, variant);
}

}  // namespace zorva::py
