// The native Masker: a column's keyed hash, its strategy with options, and
// (for key, fpe and fake) the result cache; and the Python type around it.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>

#include "cheap.h"
#include "column.h"
#include "fake.h"
#include "fpe.h"
#include "key.h"
#include "keyed_hash.h"
#include "number.h"
#include "values.h"

namespace zorva::py {

struct Strategy {
  struct Key {
    Charset charset = Charset::alphanumeric;
  };
  struct Hash {
    Text prefix;
    std::uint64_t length = 16;
  };
  struct Email {
    Text mailDomain;
    std::uint64_t length = 12;
    bool keepDomain = false;
  };
  struct Digits {
    std::uint64_t keepLeading = 0;
    std::uint64_t keepTrailing = 0;
  };
  using Fpe = FpeStrategy;
  using Number = NumberStrategy;
  using Fake = FakeStrategy;

  std::variant<Key, Hash, Email, Digits, Fpe, Number, Fake> variant;

  bool isNumber() const noexcept { return std::holds_alternative<Number>(variant); }
  // Masks one value (dispatch.cpp). Pure: reads the strategy and the keyed
  // hash only, so any number of threads may call it at once.
  Output maskOne(const KeyedHash& keyedHash, const Input& input) const;
  // *outputs[k] = maskOne(*inputs[k]) for every k < count, with the primitive
  // work of many values run together where the strategy has a batch road.
  void maskMany(const KeyedHash& keyedHash, const Input* const* inputs, Output* const* outputs,
                std::size_t count) const;
};

class Masker {
 public:
  Masker(Strategy strategy, KeyedHash keyedHash, bool cached)
      : strategy_(std::move(strategy)), keyedHash_(std::move(keyedHash)),
        cache_(cached ? std::make_unique<ResultCache>() : nullptr) {}

  const Strategy& strategy() const noexcept { return strategy_; }
  const KeyedHash& keyedHash() const noexcept { return keyedHash_; }
  // Null for strategies without a cache. The cache is the one mutable part,
  // behind its own mutex.
  ResultCache* cache() const noexcept { return cache_.get(); }
  Output maskOne(const Input& input) const { return strategy_.maskOne(keyedHash_, input); }
  void maskMany(const Input* const* inputs, Output* const* outputs, std::size_t count) const {
    strategy_.maskMany(keyedHash_, inputs, outputs, count);
  }

 private:
  Strategy strategy_;
  KeyedHash keyedHash_;
  std::unique_ptr<ResultCache> cache_;
};

// The Masker type object (borrowed; null before createMaskerType ran).
PyObject* maskerType() noexcept;
// The native Masker of a Masker instance (precondition: an instance).
const Masker& maskerOf(PyObject* object) noexcept;
// Whether object is a Masker instance (its type or a subtype).
bool isMasker(PyObject* object) noexcept;

}  // namespace zorva::py
