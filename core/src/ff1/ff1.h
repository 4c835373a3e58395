// Ff1: FF1 format-preserving encryption (NIST SP 800-38G rev. 1) over
// AES-256, encryption direction only.
#pragma once

#include <openssl/aes.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "support/divide.h"
#include "keyed_hash/keyed_hash.h"

namespace zorva {

// One encryption of a batch: numerals (each below radix, at least minLength of
// them) under tweak into out, which has the same size and does not alias them.
struct Ff1Job {
  std::span<const std::uint32_t> numerals;
  std::string_view tweak;
  std::span<std::uint32_t> out;
};

class Ff1 {
 public:
  // Which AES implementation a cipher uses: automatic takes the processor's
  // widest (batches of one shape run sixteen at a time in 512-bit registers,
  // their rounds' arithmetic too, where the CPU has AVX-512 and VAES; else
  // the 128-bit AES instructions), aesInstructions the 128-bit ones only, and
  // software OpenSSL's portable code. Every road gives the standard results;
  // the narrower ones exist so that tests can hold all to the same answers.
  enum class AesEngine { automatic, aesInstructions, software };

  // Expands the AES-256 key schedule once; radix >= 2.
  Ff1(const Digest& key, std::uint32_t radix);
  Ff1(const Digest& key, std::uint32_t radix, AesEngine engine);
  ~Ff1();
  Ff1(const Ff1&) = default;
  Ff1& operator=(const Ff1&) = default;

  std::uint32_t radix() const noexcept { return radix_; }
  // Smallest n >= 1 with radix^n >= 1,000,000.
  std::uint64_t minLength() const noexcept { return minLength_; }
  bool usesAesInstructions() const noexcept { return hardware_; }
  bool usesVectorRounds() const noexcept { return vector_; }
  // Whether the rounds of radix^v past 2^64 run in vector lanes too (AVX-512
  // with IFMA's 52-bit products).
  bool usesWideVectorRounds() const noexcept { return wideVector_; }

  // Encrypts numerals (each below radix, at least minLength of them) under the
  // tweak into out, which has the same size and does not alias numerals.
  // A broken precondition throws std::logic_error (an internal error).
  void encrypt(std::span<const std::uint32_t> numerals, std::string_view tweak, std::span<std::uint32_t> out) const;
  // Encrypts independent jobs at once: the AES blocks of several jobs are in
  // flight together, so a batch costs the cipher's throughput rather than its
  // latency. Each job's result is exactly what encrypt gives it.
  void encryptMany(std::span<const Ff1Job> jobs) const;
  // The same encryption computed on arbitrary-precision integers whatever the
  // length. encrypt uses it only when radix^v reaches 2^128 (below that the
  // rounds run on one or two machine words); it is exposed so that tests can
  // hold every routine to identical results.
  void encryptArbitrary(std::span<const std::uint32_t> numerals, std::string_view tweak,
                        std::span<std::uint32_t> out) const;

  // AES-256 encryption of one 16-byte block.
  void block(const std::uint8_t* in, std::uint8_t* out) const;
  // CBC-MAC with a zero IV over a message of a multiple of 16 bytes.
  void prf(const std::uint8_t* message, std::size_t length, std::uint8_t* out) const;
  // Continues a CBC-MAC from state (16 bytes): state = E(state xor block)
  // for each of count blocks in turn.
  void cbc(std::uint8_t* state, const std::uint8_t* blocks, std::size_t count) const;

  // Remainders by radix^m below 2^128: one word's Modulus below 2^64, the
  // three-by-two word step of division by an invariant integer above.
  class WideModulus {
   public:
    WideModulus() = default;
    explicit WideModulus(u128 m);
    u128 value() const noexcept { return m_; }
    // y mod m. The inline members are in ff1/internal/wide_modulus.h.
    inline u128 reduce(u128 y) const noexcept;
    // (y * 2^32 + low) mod m: a 160-bit y as the rounds of b > 12 form it.
    inline u128 reduceLong(u128 y, std::uint32_t low) const noexcept;

   private:
    // (u2 u1 u0) mod d for (u2 u1) < d, on the normalised d = m << shift.
    inline u128 step(std::uint64_t u2, std::uint64_t u1, std::uint64_t u0) const noexcept;
    u128 m_ = 1;
    Modulus narrow_;
    std::uint64_t d1_ = 0, d0_ = 0, reciprocal_ = 0;
    unsigned shift_ = 0;
    bool wide_ = false;
    // For 2^64 < m < 2^126 (every modulus of the one-block rounds) a 128-bit
    // y takes Barrett's one-word estimate instead: y / m is below 2^64, so
    // q = ((y >> s) mu) >> 64 with 2^s <= m < 2^(s+1) and
    // mu = floor((2^(s+64) - 1) / m) is at most two below it, and y - q m,
    // below 3m, needs no more than two subtractions.
    bool barrett_ = false;
    std::uint64_t mu_ = 0;
  };
  // The two-word rounds take radix^v below 2^kWideBits. Up to 2^96 (b <= 12)
  // a round is one AES block, y (R's first 12 or 16 bytes) one 128-bit word;
  // past it y has 20 bytes, the last four from a second block E(R xor [1]),
  // and at b = 16 the tail is two blocks.
  static constexpr unsigned kWideBits = 128;

 private:
  struct Batch;
  struct Group;
  struct WideGroup;
  void runLanes(Batch& batch) const;
  void runWideLanes(Batch& batch) const;
  // The narrow and two-word lanes, whose rounds are one AES block each, run
  // and are written back alike.
  template <class Lane>
  void runOneBlockLanes(std::size_t& filled, Lane* lanes, const std::uint8_t (*states)[16],
                        const Ff1Job* const* owners) const;
  void runLongLanes(Batch& batch) const;
  void addWide(Batch& batch, const Ff1Job& job, bool vector) const;
  void runGroup(Group& group) const;
  void runWideGroup(WideGroup& group) const;
  // The job's result from A and B; inline in ff1/internal/lanes.h, as every road's
  // rounds call it per value.
  inline void writeNumerals(const Ff1Job& job, u128 a, u128 bNum) const;
  // v (below radix^count) as count numerals into out.
  void numerals(u128 v, std::uint32_t* out, std::size_t count) const noexcept;
  // NUM of count numerals whose value is below 2^128.
  u128 num(const std::uint32_t* x, std::size_t count) const noexcept;
  // The portable lanes' chaining step: state = AES(state xor block), the block
  // a 128-bit value laid big-endian.
  void softwareStep(std::uint8_t* state, u128 block) const;
  void checkPreconditions(std::span<const std::uint32_t> numerals, std::span<std::uint32_t> out) const;
  // The CBC-MAC state after the round-independent blocks of P || T || 0^pad,
  // which every value of one shape (n, tweak) shares: kept per thread for the
  // last few shapes, so a column of like values skips those AES blocks.
  void prefixState(std::size_t n, std::string_view tweak, std::size_t pad, std::uint8_t* state) const;
  // A vector lane's constant part: that state xor head, the last partial
  // block of T || 0^pad.
  void layBase(std::size_t n, std::string_view tweak, std::size_t pad, const std::uint8_t* head,
               std::uint8_t* base) const;

  alignas(16) std::uint8_t roundKeys_[240];  // AES-256 schedule for the AES instructions
  // radix^k below 2^64 for k < powerCount_ with the reciprocals that let the
  // machine-integer rounds reduce without a division instruction.
  Modulus powers_[64];
  std::uint32_t powerCount_;
  // radix^k for k from powerCount_ - 1 while radix^k < 2^kWideBits: the
  // moduli of the two-word rounds (whose u may be one below the first
  // power past 64 bits).
  WideModulus widePowers_[kWideBits - 62];
  std::uint32_t widePowerCount_;
  std::uint64_t radixReciprocal_;  // 2^64 / radix rounded up: exact 32-bit division by radix
  // radix^chunkDigits_, the largest power at most 2^32: numerals are written
  // a chunk at a time, each chunk's digits by the 32-bit reciprocal.
  Modulus chunkModulus_;
  std::uint32_t chunkDigits_;
  AES_KEY softwareKey_;  // the same schedule for OpenSSL's AES_encrypt
  std::uint32_t radix_;
  std::uint64_t minLength_;
  // Names the key and radix in the per-thread prefix cache; copies share it,
  // since they encrypt identically, and it is never reused.
  std::uint64_t identity_;
  bool hardware_;
  bool vector_;
  bool wideVector_;
};

}  // namespace zorva
