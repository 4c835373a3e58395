// FF1's reference road: every round on arbitrary-precision integers and
// the PRF's blocks one at a time, whatever the length. encrypt takes it past
// the two-word rounds' reach; tests hold every other road to its results.
#include <gmp.h>

#include <cstring>

#include "ff1/ff1.h"
#include "ff1/internal/prf.h"
#include "support/scratch.h"

namespace zorva {

namespace {

void numArbitrary(mpz_ptr v, const std::uint32_t* x, std::size_t count, std::uint32_t radix) {
  mpz_set_ui(v, 0);
  for (std::size_t i = 0; i < count; ++i) {
    mpz_mul_ui(v, v, radix);
    mpz_add_ui(v, v, x[i]);
  }
}

void numeralsArbitrary(mpz_ptr v, std::uint32_t* out, std::size_t count, std::uint32_t radix) {
  for (std::size_t i = count; i-- > 0;) out[i] = static_cast<std::uint32_t>(mpz_tdiv_q_ui(v, v, radix));
}

// One encryption's PRF input. The PRF message is
// P || T || 0^pad || round || NUM(B) in b bytes, a multiple of 16 bytes long:
// every whole block before the round byte is the same in all ten rounds (and
// for every value of the shape), so each round continues from the CBC-MAC
// state after them over the tail, which holds the last partial block of
// T || 0^pad, the round byte and NUM(B).
class Rounds {
 public:
  Rounds(const std::uint8_t* state, std::string_view tweak, std::size_t b)
      : b_(b), head_(tailHeadLength(tweak.size(), padFor(tweak.size(), b))), tail_(head_ + 1 + b) {
    layTailHead(tweak, padFor(tweak.size(), b), tail_.data());
    std::memcpy(state_, state, 16);
  }

  // R = PRF(P || Q) for round i with NUM(B) already written by the caller.
  void prf(const Ff1& cipher, std::uint8_t round, std::uint8_t* r) {
    tail_.data()[head_] = round;
    std::memcpy(r, state_, 16);
    cipher.cbc(r, tail_.data(), (head_ + 1 + b_) / 16);
  }
  // Where the caller writes NUM(B), b bytes big-endian.
  std::uint8_t* numB() noexcept { return tail_.data() + head_ + 1; }

 private:
  std::size_t b_, head_;
  Scratch<64> tail_;
  std::uint8_t state_[16];
};

}  // namespace

void Ff1::encryptArbitrary(std::span<const std::uint32_t> numerals, std::string_view tweak,
                           std::span<std::uint32_t> out) const {
  checkPreconditions(numerals, out);
  const std::size_t n = numerals.size();
  const std::size_t u = n / 2, v = n - u;
  Mpz pu, pv, a, bNum, y, z;
  mpz_ui_pow_ui(pu, radix_, u);
  mpz_ui_pow_ui(pv, radix_, v);
  mpz_sub_ui(z, pv, 1);
  const std::size_t b = mpz_sgn(z.v) == 0 ? 0 : (mpz_sizeinbase(z, 2) + 7) / 8;
  const std::size_t d = 4 * ((b + 3) / 4) + 4;
  const std::size_t sBlocks = (d + 15) / 16;
  std::uint8_t state[16];
  prefixState(n, tweak, padFor(tweak.size(), b), state);
  Rounds rounds(state, tweak, b);
  Scratch<256> s(16 * sBlocks);

  numArbitrary(a, numerals.data(), u, radix_);
  numArbitrary(bNum, numerals.data() + u, v, radix_);
  for (std::uint8_t i = 0; i < 10; ++i) {
    mpzBytesBE(bNum, rounds.numB(), b);
    std::uint8_t* sBytes = s.data();
    rounds.prf(*this, i, sBytes);
    // S = R || E(R xor [1]) || E(R xor [2]) || ..., [j] being j in 16 bytes big-endian.
    for (std::size_t j = 1; j < sBlocks; ++j) {
      std::uint8_t x[16];
      std::memcpy(x, sBytes, 16);
      for (std::size_t k = 0; k < 8; ++k)
        x[15 - k] ^= static_cast<std::uint8_t>(static_cast<std::uint64_t>(j) >> (8 * k));
      block(x, sBytes + 16 * j);
    }
    mpz_import(y, d, 1, 1, 1, 0, sBytes);
    mpz_add(z, a, y);
    mpz_tdiv_r(z, z, (i % 2 == 0) ? pu : pv);
    mpz_swap(a, bNum);
    mpz_swap(bNum, z);
  }
  numeralsArbitrary(a, out.data(), u, radix_);
  numeralsArbitrary(bNum, out.data() + u, v, radix_);
}

}  // namespace zorva
