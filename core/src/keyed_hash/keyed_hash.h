// KeyedHash: HMAC-SHA-256 keyed with a column's 32-byte subkey, and the four
// keyed operations every masker draws on, one value at a time or many at
// once over interleaved SHA-256 lanes. The inner and outer SHA-256 states are
// absorbed once at construction; each call copies and finishes them.
#pragma once

#include <openssl/sha.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "support/alloc.h"
#include "support/bigint.h"

namespace zorva {

using Digest = std::array<std::uint8_t, 32>;

// One message of an HMAC batch: a || b (either may be empty); the 32-byte tag
// goes to out.
struct HmacJob {
  const std::uint8_t* a;
  std::size_t aLength;
  const std::uint8_t* b;
  std::size_t bLength;
  std::uint8_t* out;
};

// One keyed permutation of a batch: permute(size, value, label) into out,
// for sizes up to 2^128 (the machine-integer road).
struct PermuteJob {
  u128 size;
  u128 value;
  std::string_view label;
  u128* out;
};

// One stream of an expand batch: expand(data, length, label) into out.
struct ExpandJob {
  std::string_view data;
  std::size_t length;
  std::string_view label;
  std::uint8_t* out;
};

// One draw of a below batch: below(data, bound, label) into out (bound nonzero).
struct BelowJob {
  std::string_view data;
  std::uint64_t bound;
  std::string_view label;
  std::uint64_t* out;
};

class KeyedHash {
 public:
  // Which SHA-256 computes the HMACs: the processor's SHA instructions over
  // interleaved lanes when present (automatic), or OpenSSL's code one
  // message at a time. The tags are the same either way; `openssl` exists so
  // tests can hold the two roads to the same answers.
  enum class Engine { automatic, openssl };

  explicit KeyedHash(const std::uint8_t (&subkey)[32], Engine engine = Engine::automatic);
  // Precondition: 32 bytes; another length throws std::logic_error.
  explicit KeyedHash(std::string_view subkey);
  ~KeyedHash();
  KeyedHash(const KeyedHash&) = default;
  KeyedHash& operator=(const KeyedHash&) = default;

  // HMAC-SHA-256 of an arbitrary message under the subkey; the building
  // block of the four operations below.
  Digest hmac(std::string_view message) const;
  // The HMACs of independent messages at once: on the lanes road several
  // messages' compressions are in flight together, and a lane whose message
  // is done takes the next one rather than waiting for the longest.
  void hmacMany(std::span<const HmacJob> jobs) const;
  bool usesLanes() const noexcept { return lanes_; }

  // HMAC over label || 0x00 || data.
  Digest digest(std::string_view data, std::string_view label) const;
  // digest of many (data, label) pairs at once: out[i] for data[i], one label.
  void digestMany(std::span<const std::string_view> data, std::string_view label, Digest* out) const;
  // Counter-mode stream: block i = digest(data, label || 0x23 || BE(i, 4)).
  // Writes exactly length bytes to out.
  void expand(std::string_view data, std::size_t length, std::string_view label, std::uint8_t* out) const;
  Vec<std::uint8_t> expand(std::string_view data, std::size_t length, std::string_view label) const;
  // Many streams at once, the blocks of all of them in one HMAC batch.
  void expandMany(std::span<const ExpandJob> jobs) const;
  // int(expand(data, bytelen(bound) + 32, label)) mod bound; bound nonzero.
  BigInt below(std::string_view data, const BigInt& bound, std::string_view label) const;
  // The same value for a machine-integer bound (bound nonzero).
  std::uint64_t below(std::string_view data, std::uint64_t bound, std::string_view label) const;
  // Many machine-integer draws at once, all their stream blocks in one HMAC batch.
  void belowMany(std::span<const BelowJob> jobs) const;
  // Keyed bijection of [0, size): 10-round Feistel with cycle-walking.
  // Precondition: value < size (or size <= 1).
  BigInt permute(const BigInt& size, const BigInt& value, std::string_view label) const;
  // The same for sizes that fit 128 bits (machine-integer path).
  u128 permute(u128 size, u128 value, std::string_view label) const;
  // Many machine-integer permutations at once, their round HMACs batched; a
  // value that cycle-walks keeps its lane while the others are refilled.
  void permuteMany(std::span<const PermuteJob> jobs) const;
  // permute computed on arbitrary-precision integers whatever the size. The
  // public permute uses it only above 2^128; it is exposed so that tests can
  // hold both routines to identical results on the same sizes.
  BigInt permuteArbitrary(const BigInt& size, const BigInt& value, std::string_view label) const;

 private:
  // HMAC over a || b into out (32 bytes).
  void hmacInto(const std::uint8_t* a, std::size_t aLen, const std::uint8_t* b, std::size_t bLen,
                std::uint8_t* out) const;
  // The machine-integer routine: m = size - 1, sizeBytes = the minimal
  // big-endian bytes of size (17 of them for size 2^128).
  u128 permuteMachine(u128 m, const std::uint8_t* sizeBytes, std::size_t sizeLen, u128 value,
                      std::string_view label) const;

  SHA256_CTX inner_;
  SHA256_CTX outer_;
  bool lanes_;
};

#ifdef ZORVA_COUNTING
// Process-wide counts of primitive calls, for benchmark builds that report
// the cost of a value in HMACs and AES blocks.
std::uint64_t hmacCount() noexcept;
// SHA-256 compressions those HMACs require: two for a message of up to 55
// bytes, one more per further 64.
std::uint64_t hmacCompressionCount() noexcept;
std::uint64_t aesBlockCount() noexcept;
void resetPrimitiveCounts() noexcept;
void countAesBlocks(std::uint64_t blocks) noexcept;
#endif

}  // namespace zorva
