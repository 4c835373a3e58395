// The strategies as the module knows them, one descriptor each: its names,
// its options in the order they are read, whether it has a result cache,
// whether it reads floats and Decimals, and how each kind of input reaches
// its core masker.
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "strategies/digits.h"
#include "strategies/hash.h"
#include "shared/internal/batching.h"
#include "shared/internal/descriptor.h"
#include "strategies/fake.h"
#include "strategies/fpe.h"
#include "strategies/key.h"
#include "number/number.h"
#include "shared/options.h"
#include "support/quote.h"
#include "shared/strategy.h"

namespace zorva::py {
namespace {

using Kind = Input::Kind;

Output boolRefusal(std::string_view strategy) {
  Text message("the ");
  message.append(strategy);
  message.append(" strategy cannot mask a bool");
  return Output::refused(std::move(message));
}

bool readCharset(const Options& options, Charset& out) {
  Text name;
  if (!options.text("charset", "alphanumeric", name)) return false;
  for (Charset c : {Charset::alphanumeric, Charset::digits, Charset::hex}) {
    if (std::string_view(name) == charsetName(c)) {
      out = c;
      return true;
    }
  }
  Text message("unknown charset ");
  message += debugQuote(name);
  raiseValueError(message);
  return false;
}

// A core constructor's answer: the strategy, or its message as a ValueError.
template <class S>
std::optional<S> madeOrRaised(std::variant<S, Text>&& made) {
  if (auto* message = std::get_if<Text>(&made)) {
    raiseValueError(*message);
    return std::nullopt;
  }
  return std::get<S>(std::move(made));
}

// Each descriptor is a StrategyDescriptor (shared/internal/descriptor.h), asserted right
// after it so that a missing or mistyped member names the descriptor.

// The cached strategies keep their integer and text results, never a
// problem marker.
bool isMaskedValue(const Output& output) noexcept {
  return output.kind() == Output::Kind::Int || output.kind() == Output::Kind::Str;
}

struct Key {
  static constexpr bool kCached = true;
  static bool caches(const Output& output) noexcept { return isMaskedValue(output); }
  static constexpr bool kReadsDecimals = false;
  static bool names(std::string_view name) { return name == "key"; }
  static std::optional<Key> read(std::string_view, const Options& options, const KeyedHash&) {
    Key key;
    if (!readCharset(options, key.charset)) return std::nullopt;
    return key;
  }

  Output maskWith(const KeyedHash& keyedHash, const Input& input) const {
    switch (input.kind()) {
      case Kind::Int: return fromOutcome(KeyStrategy::maskInteger(keyedHash, input.integer()));
      case Kind::Str: return fromOutcome(KeyStrategy::maskText(charset, keyedHash, input.text()));
      case Kind::Bool: return boolRefusal("key");
      default: return Output::fallback();
    }
  }
  auto roads() const {
    return std::tuple{TextRoad{[this](const KeyedHash& keyedHash, auto texts, Outcome<Text>* out) {
                        KeyStrategy::maskTexts(charset, keyedHash, texts, out);
                      }},
                      IntegerRoad{[](const KeyedHash& keyedHash, auto integers, Outcome<BigInt>* out) {
                        KeyStrategy::maskIntegers(keyedHash, integers, out);
                      }}};
  }

  Charset charset = Charset::alphanumeric;
};
static_assert(StrategyDescriptor<Key>);

struct Fpe {
  static constexpr bool kCached = true;
  static bool caches(const Output& output) noexcept { return isMaskedValue(output); }
  static constexpr bool kReadsDecimals = false;
  static bool names(std::string_view name) { return name == "fpe"; }
  static std::optional<Fpe> read(std::string_view, const Options& options, const KeyedHash& keyedHash) {
    Charset charset = Charset::alphanumeric;
    bool strict = false;
    if (!readCharset(options, charset) || !options.flag("strict", strict)) return std::nullopt;
    return Fpe{FpeStrategy(keyedHash, charset, strict)};
  }

  Output maskWith(const KeyedHash& keyedHash, const Input& input) const {
    switch (input.kind()) {
      case Kind::Int: return fromOutcome(core.maskInteger(keyedHash, input.integer()));
      case Kind::Str: return fromOutcome(core.maskText(keyedHash, input.text()));
      case Kind::Bool: return boolRefusal("fpe");
      default: return Output::fallback();
    }
  }
  auto roads() const {
    return std::tuple{TextRoad{[this](const KeyedHash& keyedHash, auto texts, Outcome<Text>* out) {
                        core.maskTexts(keyedHash, texts, out);
                      }},
                      IntegerRoad{[this](const KeyedHash& keyedHash, auto integers, Outcome<BigInt>* out) {
                        core.maskIntegers(keyedHash, integers, out);
                      }}};
  }

  FpeStrategy core;
};
static_assert(StrategyDescriptor<Fpe>);

struct Hash {
  static constexpr bool kCached = false;
  static constexpr bool kReadsDecimals = false;
  static bool names(std::string_view name) { return name == "hash"; }
  static std::optional<Hash> read(std::string_view, const Options& options, const KeyedHash&) {
    Hash hash;
    if (!options.count("length", 16, hash.length) || !options.text("prefix", "", hash.prefix)) return std::nullopt;
    return hash;
  }

  Output maskWith(const KeyedHash& keyedHash, const Input& input) const {
    switch (input.kind()) {
      case Kind::Int:
        // The decimal text, so that 42 and "42" hash alike.
        return Output::ofText(maskHash(keyedHash, input.integer().toDecimal(), length, prefix));
      case Kind::Str: return Output::ofText(maskHash(keyedHash, input.text(), length, prefix));
      default: return Output::fallback();
    }
  }
  auto roads() const {
    return std::tuple{TextOrDecimalRoad{[this](const KeyedHash& keyedHash, auto data, Text* answers) {
      maskHashes(keyedHash, data, length, prefix, answers);
    }}};
  }

  std::uint64_t length = 16;
  Text prefix;
};
static_assert(StrategyDescriptor<Hash>);

struct Email {
  static constexpr bool kCached = false;
  static constexpr bool kReadsDecimals = false;
  static bool names(std::string_view name) { return name == "email"; }
  static std::optional<Email> read(std::string_view, const Options& options, const KeyedHash&) {
    Email email;
    if (!options.count("length", 12, email.length) ||
        !options.text("mailDomain", kDefaultMailDomain, email.mailDomain) ||
        !options.flag("keepDomain", email.keepDomain))
      return std::nullopt;
    return email;
  }

  Output maskWith(const KeyedHash& keyedHash, const Input& input) const {
    if (input.kind() != Kind::Str) return Output::fallback();
    return fromOutcome(maskEmail(keyedHash, input.text(), length, mailDomain, keepDomain));
  }
  auto roads() const {
    return std::tuple{TextRoad{[this](const KeyedHash& keyedHash, auto texts, Outcome<Text>* out) {
      maskEmails(keyedHash, texts, length, mailDomain, keepDomain, out);
    }}};
  }

  std::uint64_t length = 12;
  Text mailDomain;
  bool keepDomain = false;
};
static_assert(StrategyDescriptor<Email>);

struct Digits {
  static constexpr bool kCached = false;
  static constexpr bool kReadsDecimals = false;
  static bool names(std::string_view name) { return name == "digits"; }
  static std::optional<Digits> read(std::string_view, const Options& options, const KeyedHash&) {
    Digits digits;
    if (!options.count("keepLeading", 0, digits.keepLeading) || !options.count("keepTrailing", 0, digits.keepTrailing))
      return std::nullopt;
    return digits;
  }

  Output maskWith(const KeyedHash& keyedHash, const Input& input) const {
    switch (input.kind()) {
      case Kind::Int: return fromOutcome(maskDigitsInteger(keyedHash, input.integer(), keepLeading, keepTrailing));
      case Kind::Str: return fromOutcome(maskDigitsText(keyedHash, input.text(), keepLeading, keepTrailing));
      case Kind::Bool: return Output::refused(Text("the digits strategy needs text or an integer, got bool"));
      default: return Output::fallback();
    }
  }
  auto roads() const {
    return std::tuple{TextRoad{[this](const KeyedHash& keyedHash, auto texts, Outcome<Text>* out) {
      maskDigitsTexts(keyedHash, texts, keepLeading, keepTrailing, out);
    }}};
  }

  std::uint64_t keepLeading = 0;
  std::uint64_t keepTrailing = 0;
};
static_assert(StrategyDescriptor<Digits>);

struct Number {
  static constexpr bool kCached = false;
  static constexpr bool kReadsDecimals = true;
  static bool names(std::string_view name) { return name == "number"; }
  static std::optional<Number> read(std::string_view, const Options& options, const KeyedHash&) {
    std::optional<std::uint32_t> decimals;
    std::optional<Text> min, max, variance;
    if (!options.optionalSmallCount("decimals", decimals) || !options.optionalText("min", min) ||
        !options.optionalText("max", max) || !options.optionalText("variance", variance))
      return std::nullopt;
    auto view = [](const std::optional<Text>& t) -> std::optional<std::string_view> {
      if (!t) return std::nullopt;
      return std::string_view(*t);
    };
    auto made = madeOrRaised(NumberStrategy::make(view(min), view(max), view(variance), decimals));
    if (!made) return std::nullopt;
    return Number{std::move(*made)};
  }

  Output maskWith(const KeyedHash& keyedHash, const Input& input) const {
    switch (input.kind()) {
      case Kind::Int: return fromNumber(core.maskInteger(keyedHash, input.integer()));
      case Kind::Float: return fromNumber(core.maskFloat(keyedHash, input.real(), input.text()));
      case Kind::Decimal: return fromNumber(core.maskDecimal(keyedHash, input.text()));
      default: return Output::fallback();
    }
  }
  // Ints, floats and Decimals in groups, their digests interleaved.
  auto roads() const {
    return std::tuple{NumberRoad{[this](const KeyedHash& keyedHash, auto numbers, NumberResult* answers) {
      core.maskMany(keyedHash, numbers, answers);
    }}};
  }
  const NumberStrategy& numbers() const noexcept { return core; }

  NumberStrategy core;
};
static_assert(StrategyDescriptor<Number>);

struct Fake {
  static constexpr bool kCached = true;
  static bool caches(const Output& output) noexcept { return isMaskedValue(output); }
  static constexpr bool kReadsDecimals = false;
  struct Named {
    std::string_view name;
    FakeKind kind;
  };
  static constexpr Named kKinds[] = {
      {"fakeFirstName", FakeKind::firstName}, {"fakeLastName", FakeKind::lastName},
      {"fakeName", FakeKind::name},           {"fakeCity", FakeKind::city},
      {"fakeCompany", FakeKind::company},     {"fakeStreetAddress", FakeKind::streetAddress},
  };
  static bool names(std::string_view name) {
    for (const Named& named : kKinds)
      if (named.name == name) return true;
    return false;
  }
  // Every list is read, whichever the kind uses, so a bad one fails alike.
  static std::optional<Fake> read(std::string_view name, const Options& options, const KeyedHash&) {
    FakeLists lists;
    std::optional<std::uint64_t> maxLength;
    if (!options.words("firstNames", lists.firstNames) || !options.words("lastNames", lists.lastNames) ||
        !options.words("cities", lists.cities) || !options.words("streets", lists.streets) ||
        !options.words("streetKinds", lists.streetKinds) || !options.text("address", "", lists.address) ||
        !options.words("companySuffixes", lists.companySuffixes) ||
        !options.words("companyWords", lists.companyWords) || !options.optionalCount("maxLength", maxLength))
      return std::nullopt;
    FakeKind kind = FakeKind::name;
    for (const Named& named : kKinds)
      if (named.name == name) kind = named.kind;
    auto made = madeOrRaised(FakeStrategy::make(kind, std::move(lists), maxLength));
    if (!made) return std::nullopt;
    return Fake{std::move(*made)};
  }

  Output maskWith(const KeyedHash& keyedHash, const Input& input) const {
    switch (input.kind()) {
      case Kind::Int: return Output::ofText(core.mask(keyedHash, input.integer().toDecimal()));
      case Kind::Str: return Output::ofText(core.mask(keyedHash, input.text()));
      default: return Output::fallback();
    }
  }
  auto roads() const {
    return std::tuple{TextOrDecimalRoad{
        [this](const KeyedHash& keyedHash, auto data, Text* answers) { core.maskMany(keyedHash, data, answers); }}};
  }

  FakeStrategy core;
};
static_assert(StrategyDescriptor<Fake>);

// Builds the descriptor D when it answers to name; whether it does.
template <StrategyDescriptor D>
bool buildIf(std::string_view name, const Options& options, const KeyedHash& keyedHash,
             std::unique_ptr<const Strategy>& out) {
  if (!D::names(name)) return false;
  if (std::optional<D> d = D::read(name, options, keyedHash)) out = std::make_unique<Described<D>>(std::move(*d));
  return true;
}

template <StrategyDescriptor... D>
bool buildNamed(std::string_view name, const Options& options, const KeyedHash& keyedHash,
                std::unique_ptr<const Strategy>& out) {
  return (buildIf<D>(name, options, keyedHash, out) || ...);
}

}  // namespace

std::unique_ptr<const Strategy> Strategy::build(std::string_view name, PyObject* options, const KeyedHash& keyedHash) {
  std::unique_ptr<const Strategy> built;
  if (!buildNamed<Key, Hash, Email, Digits, Fpe, Number, Fake>(name, Options(options, name), keyedHash, built)) {
    Text message("no native masker for strategy ");
    message += debugQuote(name);
    raiseValueError(message);
  }
  return built;
}

}  // namespace zorva::py
