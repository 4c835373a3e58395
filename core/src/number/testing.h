// The number code's test hooks, for tests, fuzzers and benches only: a view
// of NumberStrategy's separate roads and steps, and floatRepr's library road.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "keyed_hash/keyed_hash.h"
#include "number/dec.h"
#include "number/float_repr.h"
#include "number/number.h"

namespace zorva {

struct NumberStrategyTestPeer {
  // The per-value steps run in 512-bit machine integers when the operands fit
  // and on BigInt otherwise, with identical results; this copy always takes
  // the BigInt path, so tests can compare the two.
  static NumberStrategy exactOnly(const NumberStrategy& strategy);
  // Values of up to 19 digits under short settings take the short road
  // (number/internal/short.h) first; this copy never does, so tests can compare it
  // with the general road.
  static NumberStrategy generalOnly(const NumberStrategy& strategy);
  // maskMany with units[i] in place of the unit of values[i]'s value digest,
  // so that tests can choose the draws (ties, the ends of [0, 1)).
  static void maskManyWithUnits(const NumberStrategy& strategy, const KeyedHash& keyedHash,
                                std::span<const NumberInput> values, const std::uint64_t* units, NumberResult* out);

  // The steps of the per-value treatment on BigInt. Nothing means the value
  // is not masked natively (a fallback).
  static std::optional<Dec> target(const NumberStrategy& strategy, const Dec& value, const KeyedHash& keyedHash,
                                   std::string_view data);
  static std::optional<Dec> clamp(const NumberStrategy& strategy, const Dec& q, std::int64_t exponent);
  static std::optional<Dec> moved(const NumberStrategy& strategy, const Dec& value, const Dec& z, const Dec& step,
                                  const KeyedHash& keyedHash, std::string_view data);
  // The unit number u / 2^53 the strategy draws (u < 2^53), exactly.
  static Dec unit(std::uint64_t u);
  // target as the per-value run computes it (on machine integers where they
  // apply), for comparison with target.
  static std::optional<Dec> runTarget(const NumberStrategy& strategy, const Dec& value, const KeyedHash& keyedHash,
                                      std::string_view data);
};

// floatRepr with every digit string taken from the standard library's
// shortest conversion, never from the integer road that usually finds it:
// for tests, which hold the two to the same text.
std::size_t floatReprByLibraryForTesting(double value, char* out, ReprNumber* number = nullptr) noexcept;

}  // namespace zorva
