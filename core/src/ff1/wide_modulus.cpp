// Ff1::WideModulus's setup: the reciprocals of a two-word modulus, computed
// once per radix power on arbitrary-precision integers.
#include <gmp.h>

#include <bit>

#include "ff1/ff1.h"
#include "support/scratch.h"

namespace zorva {

// Division of a three-word number by a normalised two-word one with the
// reciprocal v = floor((2^192 - 1) / d) - 2^64, as Moller and Granlund
// describe it: two multiplications for the quotient estimate, which is then
// at most one too small or too large.
Ff1::WideModulus::WideModulus(u128 m) : m_(m) {
  const auto hi = static_cast<std::uint64_t>(m >> 64);
  if (hi == 0) {
    narrow_ = Modulus(static_cast<std::uint64_t>(m));
    return;
  }
  wide_ = true;
  shift_ = static_cast<unsigned>(std::countl_zero(hi));
  const u128 d = m << shift_;
  d1_ = static_cast<std::uint64_t>(d >> 64);
  d0_ = static_cast<std::uint64_t>(d);
  Mpz all, divisor;
  mpz_ui_pow_ui(all, 2, 192);
  mpz_sub_ui(all, all, 1);
  mpz_set_ui(divisor, d1_);
  mpz_mul_2exp(divisor, divisor, 64);
  mpz_add_ui(divisor, divisor, d0_);
  mpz_tdiv_q(all, all, divisor);
  reciprocal_ = mpz_getlimbn(all, 0);  // the quotient is in [2^64, 2^65): its low word is v
  // s = 127 - shift; from 2^126 on, 3m would not fit 128 bits.
  barrett_ = shift_ >= 2;
  if (barrett_) {
    mpz_ui_pow_ui(all, 2, 127 - shift_ + 64);
    mpz_sub_ui(all, all, 1);
    mpz_set_ui(divisor, hi);
    mpz_mul_2exp(divisor, divisor, 64);
    mpz_add_ui(divisor, divisor, static_cast<std::uint64_t>(m));
    mpz_tdiv_q(all, all, divisor);
    mu_ = mpz_getlimbn(all, 0);  // below 2^64, as m >= 2^s
  }
}

}  // namespace zorva
