// KeyStrategy: identifiers masked by the keyed permutation, keeping every
// integer's digit count and sign and every character's class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "support/bigint.h"
#include "keyed_hash/keyed_hash.h"
#include "support/outcome.h"

namespace zorva {

enum class Charset : std::uint8_t { alphanumeric = 0, digits = 1, hex = 2 };

// "alphanumeric", "digits" or "hex".
std::string_view charsetName(Charset charset) noexcept;

// Writes the decimal digit values (0-9, most significant first, no sign, a
// single 0 for zero) of |value| to out and returns their count; returns 0 and
// writes nothing when there are more than capacity of them. Uses no heap for
// values of up to 1024 bits.
std::size_t magnitudeDigits(const BigInt& value, std::uint8_t* out, std::size_t capacity);
// The integer whose magnitude has the given decimal digit values (count >= 1),
// negated when negative is set; machine integers up to 38 digits.
BigInt integerFromDigits(const std::uint8_t* digits, std::size_t count, bool negative);

// Stateless: the keyed hash and the charset are the caller's.
class KeyStrategy {
 public:
  // Answers an integer with the same digit count and sign, or a refusal above 256 digits.
  static Outcome<BigInt> maskInteger(const KeyedHash& keyedHash, const BigInt& value);
  // Answers ASCII text of the same shape, a decline for non-ASCII text, or a
  // refusal above 256 characters.
  static Outcome<Text> maskText(Charset charset, const KeyedHash& keyedHash, std::string_view text);
  // Batches: out[i] is exactly what maskInteger(*values[i]) or
  // maskText(texts[i]) answers, but the permutations of many values run
  // together, their round HMACs interleaved.
  static void maskIntegers(const KeyedHash& keyedHash, std::span<const BigInt* const> values, Outcome<BigInt>* out);
  static void maskTexts(Charset charset, const KeyedHash& keyedHash, std::span<const std::string_view> texts,
                        Outcome<Text>* out);
};

}  // namespace zorva
