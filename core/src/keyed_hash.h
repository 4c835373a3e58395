// KeyedHash: HMAC-SHA-256 keyed with a column's 32-byte subkey, and the four
// keyed operations every masker draws on. The inner and outer SHA-256 states
// are absorbed once at construction; each call copies and finishes them.
#pragma once

#include <openssl/sha.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "alloc.h"
#include "bigint.h"

namespace zorva {

using Digest = std::array<std::uint8_t, 32>;

class KeyedHash {
 public:
  explicit KeyedHash(const std::uint8_t (&subkey)[32]);
  explicit KeyedHash(std::string_view subkey);  // precondition: 32 bytes
  ~KeyedHash();
  KeyedHash(const KeyedHash&) = default;
  KeyedHash& operator=(const KeyedHash&) = default;

  // HMAC over label || 0x00 || data.
  Digest digest(std::string_view data, std::string_view label) const;
  // Counter-mode stream: block i = digest(data, label || 0x23 || BE(i, 4)).
  // Writes exactly length bytes to out.
  void expand(std::string_view data, std::size_t length, std::string_view label, std::uint8_t* out) const;
  Vec<std::uint8_t> expand(std::string_view data, std::size_t length, std::string_view label) const;
  // int(expand(data, bytelen(bound) + 32, label)) mod bound; bound nonzero.
  BigInt below(std::string_view data, const BigInt& bound, std::string_view label) const;
  // The same value for a machine-integer bound (bound nonzero).
  std::uint64_t below(std::string_view data, std::uint64_t bound, std::string_view label) const;
  // Keyed bijection of [0, size): 10-round Feistel with cycle-walking.
  // Precondition: value < size (or size <= 1).
  BigInt permute(const BigInt& size, const BigInt& value, std::string_view label) const;
  // The same for sizes that fit 128 bits (machine-integer path).
  u128 permute(u128 size, u128 value, std::string_view label) const;

 private:
  SHA256_CTX inner_;
  SHA256_CTX outer_;
};

}  // namespace zorva
