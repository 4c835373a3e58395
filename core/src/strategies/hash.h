// The hash and e-mail strategies: a keyed digest's first hex characters,
// behind a prefix or as an address's local part.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "keyed_hash/keyed_hash.h"
#include "support/outcome.h"

namespace zorva {

// The mail domain used when an address's own domain is not kept.
inline constexpr std::string_view kDefaultMailDomain = "example.test";

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
