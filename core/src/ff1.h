// Ff1: FF1 format-preserving encryption (NIST SP 800-38G rev. 1) over
// AES-256, encryption direction only.
#pragma once

#include <openssl/aes.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "divide.h"
#include "keyed_hash.h"

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
    // y mod m.
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
  void runLongLanes(Batch& batch) const;
  void addWide(Batch& batch, const Ff1Job& job, bool vector) const;
  void runGroup(Group& group) const;
  void runWideGroup(WideGroup& group) const;
  void writeNumerals(const Ff1Job& job, u128 a, u128 bNum) const;
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

// (r1 r0) - (d1 d0) where that is not negative, else (r1 r0) unchanged: a
// select on the subtraction's borrow, since a branch on it would be
// mispredicted as often as not.
inline void subtractIfAtLeast(std::uint64_t& r0, std::uint64_t& r1, std::uint64_t d0, std::uint64_t d1) noexcept {
  std::uint64_t t0, t1;
  const bool borrow0 = __builtin_sub_overflow(r0, d0, &t0);
  const bool borrow1 = __builtin_sub_overflow(r1, d1, &t1);
  const bool borrow2 = __builtin_sub_overflow(t1, static_cast<std::uint64_t>(borrow0), &t1);
  const std::uint64_t keep = 0 - static_cast<std::uint64_t>(borrow1 | borrow2);
  r0 = (r0 & keep) | (t0 & ~keep);
  r1 = (r1 & keep) | (t1 & ~keep);
}

// The three-by-two word step (Moller and Granlund): the quotient estimate
// from the reciprocal is at most one off either way, and only the
// remainder is kept. Written on single words: on 128-bit values the
// compiler keeps the selects' masks and borrows in memory.
inline u128 Ff1::WideModulus::step(std::uint64_t u2, std::uint64_t u1, std::uint64_t u0) const noexcept {
  const u128 q = u128(reciprocal_) * u2 + ((u128(u2) << 64) | u1);
  const auto q1 = static_cast<std::uint64_t>(q >> 64);
  const auto q0 = static_cast<std::uint64_t>(q);
  const u128 t = u128(d0_) * q1;
  const auto t0 = static_cast<std::uint64_t>(t), t1 = static_cast<std::uint64_t>(t >> 64);
  // r = (u1 - q1 d1, u0) - t - d.
  std::uint64_t r0 = u0 - t0;
  std::uint64_t r1 = u1 - q1 * d1_ - t1 - static_cast<std::uint64_t>(u0 < t0);
  r1 -= d1_ + static_cast<std::uint64_t>(r0 < d0_);
  r0 -= d0_;
  // Both corrections as selects: the first goes either way with the data.
  const std::uint64_t add = 0 - static_cast<std::uint64_t>(r1 >= q0);
  const std::uint64_t a0 = d0_ & add;
  r0 += a0;
  r1 += (d1_ & add) + static_cast<std::uint64_t>(r0 < a0);
  subtractIfAtLeast(r0, r1, d0_, d1_);
  return (u128(r1) << 64) | r0;
}

// Words shifted left by s across their boundary, s < 64.
inline std::uint64_t shiftIn(std::uint64_t high, std::uint64_t low, unsigned s) noexcept {
  return (high << s) | ((low >> 1) >> (63 - s));
}

inline u128 Ff1::WideModulus::reduce(u128 y) const noexcept {
  const auto hi = static_cast<std::uint64_t>(y >> 64);
  const auto lo = static_cast<std::uint64_t>(y);
  if (barrett_) {
    // y >> s is hi >> (s - 64), and s - 64 = 63 - shift.
    const auto q = static_cast<std::uint64_t>((u128(hi >> (63 - shift_)) * mu_) >> 64);
    const auto m0 = static_cast<std::uint64_t>(m_), m1 = static_cast<std::uint64_t>(m_ >> 64);
    const u128 low = u128(q) * m0;
    // q m <= y < 2^128, so q m1 fits a word.
    std::uint64_t r0, r1;
    const bool borrow = __builtin_sub_overflow(lo, static_cast<std::uint64_t>(low), &r0);
    r1 = hi - static_cast<std::uint64_t>(low >> 64) - q * m1 - static_cast<std::uint64_t>(borrow);
    subtractIfAtLeast(r0, r1, m0, m1);
    subtractIfAtLeast(r0, r1, m0, m1);
    return (u128(r1) << 64) | r0;
  }
  if (!wide_) return narrow_.reduce(hi, lo);
  // y << shift as three words; the top one is below 2^shift <= d1.
  const u128 r = step(shiftIn(0, hi, shift_), shiftIn(hi, lo, shift_), lo << shift_);
  const auto r1 = static_cast<std::uint64_t>(r >> 64), r0 = static_cast<std::uint64_t>(r);
  return (u128(r1 >> shift_) << 64) | ((r0 >> shift_) | ((r1 << 1) << (63 - shift_)));
}

inline u128 Ff1::WideModulus::reduceLong(u128 y, std::uint32_t low) const noexcept {
  const auto w2 = static_cast<std::uint64_t>(y >> 96);
  const auto w1 = static_cast<std::uint64_t>(y >> 32);
  const auto w0 = (static_cast<std::uint64_t>(y) << 32) | low;
  if (!wide_) {
    const std::uint64_t top = narrow_.reduce(w2, w1);
    return narrow_.reduce(top, w0);
  }
  // Four shifted words, one step each after the top two (0 u3 < d).
  const u128 r = step(0, shiftIn(0, w2, shift_), shiftIn(w2, w1, shift_));
  const u128 s = step(static_cast<std::uint64_t>(r >> 64), static_cast<std::uint64_t>(r), shiftIn(w1, w0, shift_));
  return step(static_cast<std::uint64_t>(s >> 64), static_cast<std::uint64_t>(s), w0 << shift_) >> shift_;
}

// y[i] mod m for 2^8 <= m <= 2^32, by the vector rounds' own reduction.
// Precondition: some cipher's usesVectorRounds(); exposed for tests.
void vectorRemainders(const std::uint64_t* y, std::size_t count, std::uint64_t m, std::uint64_t* out);
// y[i] mod m for 2^64 < m <= 2^96, by the wide vector rounds' reduction.
// Precondition: some cipher's usesWideVectorRounds(); exposed for tests.
void vectorWideRemainders(const u128* y, std::size_t count, u128 m, u128* out);

}  // namespace zorva
