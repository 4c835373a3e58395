// FpeStrategy: identifiers masked with FF1, keeping length and separators.
#pragma once

#include <span>
#include <string_view>

#include "support/bigint.h"
#include "support/byte_road.h"
#include "ff1/ff1.h"
#include "strategies/key.h"
#include "keyed_hash/keyed_hash.h"
#include "support/outcome.h"

namespace zorva {

class FpeStrategy {
 public:
  // Derives the FF1 key with digest("", "ff1 key") and builds both ciphers.
  FpeStrategy(const KeyedHash& keyedHash, Charset charset, bool strict);

  Charset charset() const noexcept { return charset_; }
  bool strict() const noexcept { return strict_; }

  Outcome<BigInt> maskInteger(const KeyedHash& keyedHash, const BigInt& value) const;
  Outcome<Text> maskText(const KeyedHash& keyedHash, std::string_view text) const;
  // Batches: out[i] is exactly what maskInteger(*values[i]) or
  // maskText(texts[i]) answers, but the FF1 encryptions of many values run
  // together, their AES blocks interleaved.
  void maskIntegers(const KeyedHash& keyedHash, std::span<const BigInt* const> values, Outcome<BigInt>* out) const;
  // road: see ByteRoad (the mapping of characters to numerals and back).
  void maskTexts(const KeyedHash& keyedHash, std::span<const std::string_view> texts, Outcome<Text>* out,
                 ByteRoad road = ByteRoad::automatic) const;

 private:
  FpeStrategy(Digest ff1Key, Charset charset, bool strict);

  Ff1 textCipher_;
  Ff1 decimalCipher_;
  Charset charset_;
  bool strict_;
};

}  // namespace zorva
