// Numeral strings to integers below 2^128 and back, for the machine-integer
// roads: NUM two numerals a step, the digits a 32-bit chunk at a time.
#include "ff1/ff1.h"

namespace zorva {

namespace {

// Numerals to NUM in the given radix (square = radix^2), first numeral most
// significant, two numerals a step: the chain of dependent multiplications
// is half as long. Any wrap-around cancels, as the result is below 2^64.
std::uint64_t numMachine(const std::uint32_t* x, std::size_t count, std::uint64_t radix,
                         std::uint64_t square) noexcept {
  std::uint64_t v = 0;
  std::size_t i = 0;
  if (count % 2 != 0) v = x[i++];
  for (; i < count; i += 2) v = v * square + (x[i] * radix + x[i + 1]);
  return v;
}

// Writes w (below 2^32) as count numerals, by reciprocal = 2^64 / radix
// rounded up, which divides any 32-bit value exactly (Lemire's fastdiv).
inline void numerals32(std::uint32_t w, std::uint32_t* out, std::size_t count, std::uint32_t radix,
                       std::uint64_t reciprocal) noexcept {
  for (std::size_t i = count; i > 0; --i) {
    const auto quotient = static_cast<std::uint32_t>((u128(reciprocal) * w) >> 64);
    out[i - 1] = w - quotient * radix;
    w = quotient;
  }
}

}  // namespace

void Ff1::numerals(u128 v, std::uint32_t* out, std::size_t count) const noexcept {
  // A chunk of digits at a time from the right, each split off by one
  // division by the chunk's power (two while v needs two words), its digits
  // then on 32 bits. The loops count digits, never test v: v < radix^i
  // holds throughout, so past 2^64 only while radix^i does.
  const std::size_t k = chunkDigits_;
  std::size_t i = count;
  for (; i > k && i >= powerCount_; i -= k) {
    std::uint64_t rem;
    const std::uint64_t qHi = chunkModulus_.divide(0, static_cast<std::uint64_t>(v >> 64), rem);
    const std::uint64_t qLo = chunkModulus_.divide(rem, static_cast<std::uint64_t>(v), rem);
    numerals32(static_cast<std::uint32_t>(rem), out + i - k, k, radix_, radixReciprocal_);
    v = (u128(qHi) << 64) | qLo;
  }
  auto w = static_cast<std::uint64_t>(v);
  for (; i > k; i -= k) {
    std::uint64_t rem;
    w = chunkModulus_.divide(0, w, rem);
    numerals32(static_cast<std::uint32_t>(rem), out + i - k, k, radix_, radixReciprocal_);
  }
  numerals32(static_cast<std::uint32_t>(w), out, i, radix_, radixReciprocal_);
}

u128 Ff1::num(const std::uint32_t* x, std::size_t count) const noexcept {
  // Two independent chains on one word each where the top part fits one.
  const std::size_t low = powerCount_ - 1;  // radix^low < 2^64
  const std::uint64_t square = std::uint64_t{radix_} * radix_;
  if (count <= low) return numMachine(x, count, radix_, square);
  if (count - low < powerCount_)
    return u128(numMachine(x, count - low, radix_, square)) * powers_[low].value() +
           numMachine(x + count - low, low, radix_, square);
  u128 v = 0;
  for (std::size_t i = 0; i < count; ++i) v = v * radix_ + x[i];
  return v;
}

}  // namespace zorva
