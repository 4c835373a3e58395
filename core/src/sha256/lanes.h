// SHA-256 compression over many independent lanes at once. HMAC over short
// messages from absorbed inner/outer states spends its time in single
// compressions, each a serial chain of 64 rounds; compressing several
// independent states side by side lets the CPU overlap those chains.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorva::sha256 {

// The eight chaining words of a SHA-256 state, in the standard order a..h (host-order uint32).
struct State {
  std::uint32_t h[8];
};

// Whether compress() beats the portable road here, i.e. lanes are worth batching.
bool fastRoad() noexcept;

// Compresses blocks[i] (64 bytes each, any alignment) into states[i] for every
// i < count, with whichever roads are fastest for a batch of that size here,
// interleaving independent lanes. Lanes must not alias one another.
void compress(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept;

// HMAC-SHA-256 of messages that end within their first block after the key
// block: blocks[i] is that whole block (message, 0x80, zeros and the bit
// length counting the 64-byte key block), inner and outer the states after
// the key's two pad blocks. The 32-byte tag of message i goes to tags[i]; the
// outer block is formed from the inner tag without leaving the registers.
// Tags must not overlap blocks or one another.
void hmacOneBlock(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                  std::size_t count) noexcept;

// The same HMACs for callers that keep their blocks as words across lanes
// and read only the head of each tag: word j of lane i's block (big-endian
// in the block, a host-order value here) is words[j * stride + i], as the
// vector roads hold it, so they load it without shuffling or transposing.
// heads[i] gets the tag's first 8 bytes as a big-endian number (h0 << 32 |
// h1 of the outer state), for every i < count <= stride.
void hmacOneBlockWords(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                       std::uint64_t* heads, std::size_t count) noexcept;

}  // namespace zorva::sha256
