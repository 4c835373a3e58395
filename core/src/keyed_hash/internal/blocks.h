// Internal to the keyed hash's files: how an HMAC message and its padding are
// laid into the SHA-256 blocks after the absorbed key block, and the batch
// that finishes one-block messages together on the lanes road.
#pragma once

#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu/targets.h"
#include "support/bytes.h"
#include "sha256/lanes.h"

namespace zorva {

#ifdef ZORVA_COUNTING
// HMACs of messages of length bytes, for the process-wide counts (defined
// with them in keyed_hash/keyed_hash.cpp).
void countHmacs(std::uint64_t count, std::size_t length) noexcept;
#endif

// Internal linkage on purpose: these are the hot callers' helpers, and each
// file that includes this keeps its own copies for the compiler to inline, as
// when they all shared one file. Those not declared inline are left to the
// compiler's judgement as they were, and may go unused in a file.
namespace {

// Messages in flight at once on the lanes road.
inline constexpr std::size_t kHmacLanes = 16;

// The longest message that fits one block with its padding.
inline constexpr std::size_t kOneBlock = 55;

[[maybe_unused]] void putState(const sha256::State& state, std::uint8_t* out) noexcept {
  for (int i = 0; i < 8; ++i) putBE32(out + 4 * i, state.h[i]);
}

#if defined(__x86_64__)
// The same as two 16-byte byte swaps: the state was just stored 16 bytes at
// a time and the block is read back the same way, so these loads and stores
// forward where eight 4-byte writes would stall the next compression. Only
// the lanes road calls it, and the SHA instructions imply SSSE3.
[[maybe_unused]] ZORVA_TARGET_SSSE3 void putStateWide(const sha256::State& state, std::uint8_t* out) noexcept {
  const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  const auto* in = reinterpret_cast<const __m128i*>(state.h);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(_mm_loadu_si128(in), swap));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_shuffle_epi8(_mm_loadu_si128(in + 1), swap));
}
#else
[[maybe_unused]] void putStateWide(const sha256::State& state, std::uint8_t* out) noexcept { putState(state, out); }
#endif

// The padding of a message of length bytes (at most 55) that ends in this,
// its one block: 0x80, zeros, and the bit length counting the key block
// absorbed before it. The message bytes are the caller's.
[[maybe_unused]] void padLastBlock(std::uint8_t* block, std::size_t length) noexcept {
  std::memset(block + length, 0, 64 - length);
  block[length] = 0x80;
  putBE(block + 56, (64 + std::uint64_t{length}) * 8, 8);
}

// Lays the message a || b (at most kOneBlock bytes) and its padding as the
// one block after the key block.
inline void layOneBlock(std::uint8_t* block, const std::uint8_t* a, std::size_t aLength, const void* b,
                        std::size_t bLength) noexcept {
  std::memset(block, 0, 64);
  copyShort(block, a, aLength);
  copyShort(block + aLength, b, bLength);
  block[aLength + bLength] = 0x80;
  putBE64(block + 56, (64 + std::uint64_t{aLength + bLength}) * 8);
}

// Lays block i of a stream, label || 0x23 || BE(i, 4) || 0x00 || data (at
// most kOneBlock bytes), and its padding straight into the block: a prefix
// laid apart and copied in would be read back before its byte stores land.
inline void layStreamBlock(std::uint8_t* block, std::string_view label, std::uint32_t counter, const void* data,
                           std::size_t dataLength) noexcept {
  std::memset(block, 0, 64);
  copyShort(block, label.data(), label.size());
  block[label.size()] = 0x23;
  putBE32(block + label.size() + 1, counter);
  const std::size_t length = label.size() + 6 + dataLength;  // the 0x00 after the counter is laid
  copyShort(block + label.size() + 6, data, dataLength);
  block[length] = 0x80;
  putBE64(block + 56, (64 + std::uint64_t{length}) * 8);
}

// One-block HMACs laid straight into their padded blocks, finished in
// groups of whole sixteens on the lanes road.
class OneBlockBatch {
 public:
  static constexpr std::size_t kBlocks = 64;

  OneBlockBatch(const SHA256_CTX& inner, const SHA256_CTX& outer) noexcept {
    std::memcpy(inner_.h, inner.h, sizeof inner_.h);
    std::memcpy(outer_.h, outer.h, sizeof outer_.h);
  }
  std::size_t size() const noexcept { return count_; }
  bool full() const noexcept { return count_ == kBlocks; }
  // The block to lay for a message whose tag goes to tag.
  std::uint8_t* add(std::uint8_t* tag) noexcept {
    tagOf_[count_] = tag;
    return blocks_[count_++];
  }
  void flush() noexcept {
    if (count_ == 0) return;
#ifdef ZORVA_COUNTING
    countHmacs(count_, 0);  // one block each, whatever their length
#endif
    const std::uint8_t* blockOf[kBlocks];
    for (std::size_t k = 0; k < count_; ++k) blockOf[k] = blocks_[k];
    sha256::hmacOneBlock(inner_, outer_, blockOf, tagOf_, count_);
    count_ = 0;
  }

 private:
  sha256::State inner_, outer_;
  std::size_t count_ = 0;
  std::uint8_t* tagOf_[kBlocks];
  alignas(64) std::uint8_t blocks_[kBlocks][64];
};

}  // namespace
}  // namespace zorva
