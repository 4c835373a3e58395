// The portable SHA-256 road: one block at a time in plain C++, the reference
// every other road is held to, and the road of CPUs without the others.
#include <algorithm>

#include "support/bytes.h"
#include "sha256/internal/kernels.h"

namespace zorva::sha256 {
namespace {

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

void compressPortable(State& state, const std::uint8_t* block) noexcept {
  std::uint32_t w[64];
  for (int t = 0; t < 16; ++t) w[t] = loadBE32(block + 4 * t);
  for (int t = 16; t < 64; ++t) {
    std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  std::uint32_t a = state.h[0], b = state.h[1], c = state.h[2], d = state.h[3];
  std::uint32_t e = state.h[4], f = state.h[5], g = state.h[6], h = state.h[7];
  for (int t = 0; t < 64; ++t) {
    std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[t] + w[t];
    std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state.h[0] += a;
  state.h[1] += b;
  state.h[2] += c;
  state.h[3] += d;
  state.h[4] += e;
  state.h[5] += f;
  state.h[6] += g;
  state.h[7] += h;
}

namespace {

// The outer block of a one-block HMAC after the 64-byte key block: the
// 32-byte inner tag, 0x80, zeros, and the bit length 768.
void layOuterBlock(const State& innerTag, std::uint8_t* block) noexcept {
  for (int i = 0; i < 8; ++i) putBE32(block + 4 * i, innerTag.h[i]);
  std::fill(block + 32, block + 64, std::uint8_t{0});
  block[32] = 0x80;
  block[62] = 0x03;
}

}  // namespace

void hmacPortable(const State& inner, const State& outer, const std::uint8_t* block, std::uint8_t* tag) noexcept {
  State state = inner;
  compressPortable(state, block);
  std::uint8_t outerBlock[64];
  layOuterBlock(state, outerBlock);
  state = outer;
  compressPortable(state, outerBlock);
  for (int i = 0; i < 8; ++i) putBE32(tag + 4 * i, state.h[i]);
}

}  // namespace zorva::sha256
