// Ff1: FF1 format-preserving encryption (NIST SP 800-38G rev. 1) over
// AES-256, encryption direction only.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "keyed_hash.h"

namespace zorva {

class Ff1 {
 public:
  // Expands the AES-256 key schedule once; radix >= 2.
  Ff1(const Digest& key, std::uint32_t radix);
  ~Ff1();
  Ff1(const Ff1&) = default;
  Ff1& operator=(const Ff1&) = default;

  std::uint32_t radix() const noexcept { return radix_; }
  // Smallest n >= 1 with radix^n >= 1,000,000.
  std::uint64_t minLength() const noexcept { return minLength_; }

  // Encrypts numerals (each below radix, at least minLength of them) under the
  // tweak into out, which has the same size and does not alias numerals.
  void encrypt(std::span<const std::uint32_t> numerals, std::string_view tweak,
               std::span<std::uint32_t> out) const;

 private:
  alignas(16) std::uint8_t roundKeys_[240];  // AES-256 encryption schedule
  std::uint32_t radix_;
  std::uint64_t minLength_;
};

}  // namespace zorva
