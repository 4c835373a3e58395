// Strategy::maskOne: which core masker receives a value, and in which form.
#include "dispatch.h"

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
  // None passes through every masker and an unsupported type goes back to
  // Python, whatever the strategy.
  if (input.kind() == Kind::None) return Output{};
  if (input.kind() == Kind::Other) return Output::fallback();
  return std::visit([&](const auto& s) { return maskWith(s, keyedHash, input); }, variant);
}

}  // namespace zorva::py
