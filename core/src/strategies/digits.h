// The digits strategy: keyed digits in place of a text's ASCII digits or an
// integer's, the digit count, sign and every other character kept.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "keyed_hash/keyed_hash.h"
#include "support/bigint.h"
#include "support/byte_road.h"
#include "support/outcome.h"

namespace zorva {

// Masks a run of ASCII digits, keeping the first keepLeading and the last
// keepTrailing digits; declines a run that would be kept whole.
Outcome<Text> maskDigitRun(const KeyedHash& keyedHash, std::string_view digits, std::uint64_t keepLeading,
                           std::uint64_t keepTrailing);
// Masks the digits of an ASCII text in place of the originals; declines non-ASCII text.
// out[i] = maskDigitsText(texts[i], ...) for every i, the streams in one batch.
void maskDigitsTexts(const KeyedHash& keyedHash, std::span<const std::string_view> texts, std::uint64_t keepLeading,
                     std::uint64_t keepTrailing, Outcome<Text>* out, ByteRoad road = ByteRoad::automatic);
Outcome<Text> maskDigitsText(const KeyedHash& keyedHash, std::string_view text, std::uint64_t keepLeading,
                             std::uint64_t keepTrailing);
// Masks an integer's digits, keeping its digit count and sign.
Outcome<BigInt> maskDigitsInteger(const KeyedHash& keyedHash, const BigInt& value, std::uint64_t keepLeading,
                                  std::uint64_t keepTrailing);

}  // namespace zorva
