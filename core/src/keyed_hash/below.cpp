// KeyedHash::below: a keyed draw below a bound, one at a time or many at once.
#include "keyed_hash/keyed_hash.h"

#include <bit>
#include <stdexcept>

#include "support/bytes.h"
#include "support/divide.h"
#include "keyed_hash/internal/blocks.h"
#include "support/scratch.h"

namespace zorva {
namespace {

// Stream bytes below draws for a machine-integer bound: bytelen(bound) + 32, at most 40.
std::size_t belowLength(std::uint64_t bound) noexcept {
  return static_cast<std::size_t>((std::bit_width(bound) + 7) / 8) + 32;
}

// A bound with 2^(64 j) mod bound for j = 0..5: a draw's 33 to 40 bytes are
// at most five whole words and a head, and with these powers their
// remainder is a sum of independent products rather than a chain of
// remainders, one waiting on the next.
struct BelowModulus {
  Modulus mod;
  std::uint64_t power[6];

  BelowModulus() noexcept = default;
  explicit BelowModulus(std::uint64_t bound) noexcept : mod(bound) {
    power[0] = mod.reduce(1);
    for (int j = 1; j < 6; ++j) power[j] = mod.reduce(power[j - 1], 0);
  }

  // int(bytes[0, n)) mod bound for n <= 47.
  std::uint64_t reduce(const std::uint8_t* bytes, std::size_t n) const noexcept {
    if (n >= 33 && n <= 40 && mod.value() >> 32 == 0) return reduceDraw(bytes, n);
    const std::size_t head = n % 8, words = n / 8;
    std::uint64_t top = 0;
    for (std::size_t i = 0; i < head; ++i) top = (top << 8) | bytes[i];
    // Sum of words[i] * 2^(64 (words - 1 - i)) and top * 2^(64 words), each
    // power replaced by its residue: below 6 * 2^128, so three words hold it.
    u128 low = u128(mod.reduce(top)) * power[words];
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < words; ++i) {
      const u128 term = u128(loadBE64(bytes + head + 8 * i)) * power[words - 1 - i];
      low += term;
      carry += low < term;
    }
    // carry * 2^128 + low, with 2^128 mod bound = power[2].
    const u128 carried = u128(carry) * power[2];
    const std::uint64_t fromCarry =
        mod.reduce(static_cast<std::uint64_t>(carried >> 64), static_cast<std::uint64_t>(carried));
    const std::uint64_t rest = mod.reduce(static_cast<std::uint64_t>(low >> 64), static_cast<std::uint64_t>(low));
    std::uint64_t r;
    const bool over = __builtin_add_overflow(rest, fromCarry, &r);
    return r - (mod.value() & (0 - static_cast<std::uint64_t>(over || r >= mod.value())));
  }

 private:
  // The usual draw, a bound below 2^32 and so 33 to 40 bytes: a head of one
  // to eight bytes, then four whole words. The powers are below 2^32 here, so
  // the five products and their sum stay below 2^99 and one remainder of a
  // 128-bit value finishes.
  std::uint64_t reduceDraw(const std::uint8_t* bytes, std::size_t n) const noexcept {
    const std::size_t head = n - 32;
    const std::uint64_t top = loadBE64(bytes) >> (8 * (8 - head));  // head bytes, 0 shift for 8
    const std::uint8_t* words = bytes + head;
    const u128 sum = u128(top) * power[4] + u128(loadBE64(words)) * power[3] + u128(loadBE64(words + 8)) * power[2] +
                     u128(loadBE64(words + 16)) * power[1] + loadBE64(words + 24);
    return mod.reduce(static_cast<std::uint64_t>(sum >> 64), static_cast<std::uint64_t>(sum));
  }
};

}  // namespace

std::uint64_t KeyedHash::below(std::string_view data, std::uint64_t bound, std::string_view label) const {
  if (bound == 0) throw std::logic_error("below called with a zero bound");
  const std::size_t n = belowLength(bound);
  std::uint8_t bytes[40];
  expand(data, n, label, bytes);
  return BelowModulus(bound).reduce(bytes, n);
}

void KeyedHash::belowMany(std::span<const BelowJob> jobs) const {
  // Draws per batch of streams: each takes two stream blocks (33 to 40 bytes).
  constexpr std::size_t kGroup = OneBlockBatch::kBlocks / 2;
  constexpr std::size_t kBounds = 4;
  BelowModulus moduli[kBounds];
  std::size_t boundCount = 0;
  OneBlockBatch batch(inner_, outer_);
  for (std::size_t from = 0; from < jobs.size(); from += kGroup) {
    const std::size_t count = std::min(kGroup, jobs.size() - from);
    alignas(32) std::uint8_t streams[kGroup][64];
    // Draws whose block message is too long for one block, expanded in
    // whole sixteens of blocks (a short list: its views are cleared per call).
    ExpandJob expands[8];
    std::size_t others = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const BelowJob& job = jobs[from + k];
      if (job.bound == 0) throw std::logic_error("below called with a zero bound");
      const std::size_t prefixLength = job.label.size() + 6;
      if (!lanes_ || prefixLength + job.data.size() > kOneBlock) {
        expands[others++] = ExpandJob{job.data, belowLength(job.bound), job.label, streams[k]};
        if (others == std::size(expands)) {
          expandMany({expands, others});
          others = 0;
        }
        continue;
      }
      layStreamBlock(batch.add(streams[k]), job.label, 0, job.data.data(), job.data.size());
      layStreamBlock(batch.add(streams[k] + 32), job.label, 1, job.data.data(), job.data.size());
    }
    batch.flush();
    expandMany({expands, others});
    for (std::size_t k = 0; k < count; ++k) {
      const BelowJob& job = jobs[from + k];
      // A batch draws from a few lists over and over: each bound's
      // reciprocal is made once.
      std::size_t slot = 0;
      while (slot < boundCount && moduli[slot].mod.value() != job.bound) ++slot;
      if (slot == boundCount) {
        slot = boundCount < kBounds ? boundCount++ : kBounds - 1;
        moduli[slot] = BelowModulus(job.bound);
      }
      *job.out = moduli[slot].reduce(streams[k], belowLength(job.bound));
    }
  }
}

BigInt KeyedHash::below(std::string_view data, const BigInt& bound, std::string_view label) const {
  if (bound.isZero()) throw std::logic_error("below called with a zero bound");
  if (bound.magnitudeFitsU64()) return BigInt::fromU64(below(data, bound.magnitudeU64(), label));
  const std::size_t n = bound.byteLength() + 32;
  Scratch<256> bytes(n);
  expand(data, n, label, bytes.data());
  Mpz x, modulus;
  mpz_import(x, n, 1, 1, 1, 0, bytes.data());
  bound.abs().toMpz(modulus);
  mpz_tdiv_r(x, x, modulus);
  return BigInt::fromMpz(x);
}

}  // namespace zorva
