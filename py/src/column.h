// Column masking: the per-call de-duplication, the Masker's result cache, and
// the maskColumn driver.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include "values.h"

namespace zorva::py {

class Masker;

// The key under which equal values are de-duplicated and cached. Str and
// Decimal compare texts byte for byte, Int by value, Float by bit pattern.
struct CacheKey {
  enum class Kind : std::uint8_t { Str = 0, Int = 1, Float = 2, Decimal = 3 };
  Kind kind = Kind::Str;
  std::uint64_t bits = 0;  // Float
  BigInt integer;          // Int
  Text text;               // Str, Decimal

  // The key of a keyed input (None, Other and Bool have none).
  static std::optional<CacheKey> of(const Input& input);
  friend bool operator==(const CacheKey& a, const CacheKey& b) noexcept;
};

// Mixes the per-map random seed into every hash so that the layout of a map
// is unpredictable; the seed never affects a result.
struct SeededHash {
  std::uint64_t seed;
  SeededHash();
  std::size_t operator()(const CacheKey& key) const noexcept;
};

// The result cache of a key, fpe or fake masker.
struct ResultCache {
  static constexpr std::size_t kCapacity = 65536;
  static constexpr std::size_t kLongestText = 64;
  std::mutex mutex;
  boost::unordered_flat_map<CacheKey, Output, SeededHash> map;
};

// One output per input, in input order. Runs without the interpreter lock, on
// any thread, and never fails on a value.
Vec<Output> maskInputs(const Masker& masker, const Vec<Input>& inputs);

// Masker.maskColumn(values) -> (masked, problems). self is a Masker instance.
PyObject* maskColumn(const Masker& masker, PyObject* values);

}  // namespace zorva::py
