// The native Masker (a column's keyed hash, its strategy and, where the
// strategy has one, the result cache) and the accessors of its Python type.
#pragma once

#include <memory>

#include "keyed_hash/keyed_hash.h"
#include "shared/result_cache.h"
#include "shared/strategy.h"
#include "shared/values.h"

namespace zorva::py {

class Masker {
 public:
  Masker(std::unique_ptr<const Strategy> strategy, KeyedHash keyedHash)
      : strategy_(std::move(strategy)),
        keyedHash_(std::move(keyedHash)),
        cache_(strategy_->cached() ? std::make_unique<ResultCache>() : nullptr) {}

  const Strategy& strategy() const noexcept { return *strategy_; }
  const KeyedHash& keyedHash() const noexcept { return keyedHash_; }
  // Null for strategies without a cache. The cache is the one mutable part,
  // behind its own mutex.
  ResultCache* cache() const noexcept { return cache_.get(); }
  Output maskOne(const Input& input) const { return strategy_->maskOne(keyedHash_, input); }
  void maskMany(const Input* const* inputs, Output* const* outputs, std::size_t count) const {
    strategy_->maskMany(keyedHash_, inputs, outputs, count);
  }

 private:
  std::unique_ptr<const Strategy> strategy_;
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
