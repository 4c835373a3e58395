// KeyStrategy: identifiers masked by the keyed permutation, keeping every
// integer's digit count and sign and every character's class.
#pragma once

#include <cstdint>
#include <string_view>

#include "bigint.h"
#include "keyed_hash.h"
#include "outcome.h"

namespace zorva {

enum class Charset : std::uint8_t { alphanumeric = 0, digits = 1, hex = 2 };

// "alphanumeric", "digits" or "hex".
std::string_view charsetName(Charset charset) noexcept;

class KeyStrategy {
 public:
  explicit KeyStrategy(Charset charset) noexcept : charset_(charset) {}
  Charset charset() const noexcept { return charset_; }

  // Answers an integer with the same digit count and sign, or a refusal above 256 digits.
  static Outcome<BigInt> maskInteger(const KeyedHash& keyedHash, const BigInt& value);
  // Answers ASCII text of the same shape, a decline for non-ASCII text, or a
  // refusal above 256 characters.
  static Outcome<Text> maskText(Charset charset, const KeyedHash& keyedHash, std::string_view text);
  Outcome<Text> maskText(const KeyedHash& keyedHash, std::string_view text) const {
    return maskText(charset_, keyedHash, text);
  }

 private:
  Charset charset_;
};

}  // namespace zorva
