// The cheap maskers: digit strings, hashes and e-mail addresses.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "bigint.h"
#include "byte_road.h"
#include "keyed_hash.h"
#include "outcome.h"

namespace zorva {

// The mail domain used when an address's own domain is not kept.
inline constexpr std::string_view kDefaultMailDomain = "example.test";

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
// prefix followed by the first min(length, 64) lowercase hex characters of digest(data, "").
// out[i] = maskHash(data[i], ...) for every i, the digests in one batch.
void maskHashes(const KeyedHash& keyedHash, std::span<const std::string_view> data, std::uint64_t length,
                std::string_view prefix, Text* out);
Text maskHash(const KeyedHash& keyedHash, std::string_view data, std::uint64_t length, std::string_view prefix);
// "u" + hash of the trimmed, lower-cased address, "@", and the domain.
// out[i] = maskEmail(texts[i], ...) for every i, the digests in one batch.
void maskEmails(const KeyedHash& keyedHash, std::span<const std::string_view> texts, std::uint64_t length,
                std::string_view mailDomain, bool keepDomain, Outcome<Text>* out);
Outcome<Text> maskEmail(const KeyedHash& keyedHash, std::string_view text, std::uint64_t length,
                        std::string_view mailDomain, bool keepDomain);

}  // namespace zorva
