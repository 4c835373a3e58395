// Strategy: what the module knows of one masking strategy (its options, its
// cache, the Python types it reads, how values reach its core masker). Each
// strategy is one descriptor (shared/internal/descriptor.h) in strategies.cpp.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

#include "shared/capi.h"
#include "keyed_hash/keyed_hash.h"
#include "support/outcome.h"
#include "shared/values.h"

namespace zorva {
class NumberStrategy;
}

namespace zorva::py {

// Values the column driver hands maskMany at once (the pool's piece of a
// column), and the group a batch road takes them in: a strategy whose values
// take different numbers of rounds (the key permutations) keeps its sixteen
// lanes full only with several values per lane to draw on.
inline constexpr std::size_t kGroup = 512;

class Strategy {
 public:
  virtual ~Strategy() = default;

  // Builds the named strategy from its options dict, read in the strategy's
  // fixed order. Null with a Python exception set for an unknown name or a
  // bad option.
  static std::unique_ptr<const Strategy> build(std::string_view name, PyObject* options, const KeyedHash& keyedHash);

  // Whether its Masker keeps a result cache, and which of its outputs enter
  // it (of keys short enough for the cache).
  virtual bool cached() const noexcept = 0;
  virtual bool caches(const Output& output) const noexcept = 0;
  // Whether floats and Decimals are read as such (which needs decimal.Decimal)
  // rather than as Input::Other.
  virtual bool readsDecimals() const noexcept = 0;
  // Masks one value. Pure: reads the strategy and the keyed hash only, so any
  // number of threads may call it at once.
  virtual Output maskOne(const KeyedHash& keyedHash, const Input& input) const = 0;
  // *outputs[k] = maskOne(*inputs[k]) for every k < count, with the primitive
  // work of many values run together where the strategy has a batch road.
  virtual void maskMany(const KeyedHash& keyedHash, const Input* const* inputs, Output* const* outputs,
                        std::size_t count) const = 0;
  // The number strategy's core masker, for a caller that holds numbers
  // rather than inputs; null for every other strategy.
  virtual const NumberStrategy* numbers() const noexcept = 0;
  // Whether maskTexts serves: a strategy without a result cache whose texts
  // all go to one batch road of text answers.
  virtual bool masksTexts() const noexcept = 0;
  // For such a strategy, out[i] = what maskMany answers for texts[i] as a
  // Str input (the masked text, a decline or a refusal), for a caller that
  // holds texts rather than inputs.
  virtual void maskTexts(const KeyedHash& keyedHash, std::span<const std::string_view> texts,
                         Outcome<Text>* out) const = 0;
};

}  // namespace zorva::py
