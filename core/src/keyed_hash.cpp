// KeyedHash: HMAC-SHA-256 with the key schedule built once; digest, expand, below and permute, one by one and in lanes.
#include "keyed_hash.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "big_endian.h"
#include "divide.h"
#include "scratch.h"
#include "sha256_lanes.h"

// The low-level SHA256_* calls are deprecated in OpenSSL 3 in favour of EVP,
// but an EVP digest context cannot be copied without a heap allocation, and
// every keyed call copies two absorbed states. SHA256_CTX is a plain struct.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace zorva {

#ifdef ZORVA_COUNTING
namespace {

std::atomic<std::uint64_t> hmacCounter{0};
std::atomic<std::uint64_t> compressionCounter{0};
std::atomic<std::uint64_t> aesBlockCounter{0};

// HMACs of messages of length bytes: the compressions each requires once the
// key's two blocks are absorbed are its inner message's padded blocks and
// the one outer block.
void countHmacs(std::uint64_t count, std::size_t length) noexcept {
  hmacCounter.fetch_add(count, std::memory_order_relaxed);
  compressionCounter.fetch_add(count * ((length + 9 + 63) / 64 + 1), std::memory_order_relaxed);
}
}  // namespace

std::uint64_t hmacCount() noexcept { return hmacCounter.load(std::memory_order_relaxed); }
std::uint64_t hmacCompressionCount() noexcept { return compressionCounter.load(std::memory_order_relaxed); }
std::uint64_t aesBlockCount() noexcept { return aesBlockCounter.load(std::memory_order_relaxed); }
void resetPrimitiveCounts() noexcept {
  hmacCounter.store(0, std::memory_order_relaxed);
  compressionCounter.store(0, std::memory_order_relaxed);
  aesBlockCounter.store(0, std::memory_order_relaxed);
}
void countAesBlocks(std::uint64_t blocks) noexcept { aesBlockCounter.fetch_add(blocks, std::memory_order_relaxed); }
#endif

namespace {

// memcpy with a null source is undefined even for zero bytes, and an empty
// string_view may carry a null pointer.
inline void copyBytes(std::uint8_t* out, std::string_view bytes) noexcept {
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
}

// The permute round message opens with label || 0x7C || BE(size) || round ||
// 0x23: writes the label, the bar and the mark, leaves sizeLen bytes after the
// bar for BE(size), and returns the offset of the round byte.
std::size_t layRoundLabel(std::uint8_t* msg, std::string_view label, std::size_t sizeLen) noexcept {
  copyBytes(msg, label);
  msg[label.size()] = 0x7C;
  const std::size_t roundAt = label.size() + 1 + sizeLen;
  msg[roundAt + 1] = 0x23;
  return roundAt;
}

constexpr std::size_t kBlockSize = 64;  // SHA-256 block

unsigned bitLength128(u128 v) noexcept {
  const auto high = static_cast<std::uint64_t>(v >> 64);
  if (high != 0) return 64 + static_cast<unsigned>(std::bit_width(high));
  return static_cast<unsigned>(std::bit_width(static_cast<std::uint64_t>(v)));
}

// Minimal big-endian bytes of a nonzero 128-bit value; returns the count.
std::size_t minimalBE128(u128 v, std::uint8_t* out) noexcept {
  std::size_t len = (bitLength128(v) + 7) / 8;
  for (std::size_t i = len; i-- > 0;) {
    out[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
  return len;
}

// The Feistel network of a permutation of [0, m] (halves of h bits), and its
// round message label || 0x7C || BE(size) || round || 0x23 || BE(0, 4) ||
// 0x00 || BE(R, hb): laid once, then the round byte and R patched per round.
// One HMAC block per round suffices because hb <= 8 < 32, so the counter
// stays 0.
struct FeistelShape {
  unsigned h, dropBits;
  std::size_t hb, roundAt, rightAt, length;
  std::uint64_t mask;
  // The eight message bytes that end with R, as a big-endian word without
  // R: they start hb - 1 bytes past the round byte, so for hb <= 2 they hold
  // the 0x23 mark (and at hb = 1 the round byte, rewritten after them).
  std::uint64_t frame;

  FeistelShape(u128 m, std::size_t labelLength, std::size_t sizeLength) noexcept {
    const unsigned w = std::max(2u, bitLength128(m));
    h = (w + (w & 1)) / 2;  // at most 64
    hb = (h + 7) / 8;       // at most 8
    mask = h == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << h) - 1;
    dropBits = static_cast<unsigned>(64 - 8 * hb);
    roundAt = labelLength + 1 + sizeLength;
    rightAt = roundAt + 7;
    length = rightAt + hb;
    frame = hb <= 2 ? std::uint64_t{0x23} << (8 * (5 + hb)) : 0;
  }
  // Writes everything but the round byte and R into msg (length bytes).
  void lay(std::uint8_t* msg, std::string_view label, const std::uint8_t* sizeBytes,
           std::size_t sizeLength) const noexcept {
    layRoundLabel(msg, label, sizeLength);
    std::memcpy(msg + label.size() + 1, sizeBytes, sizeLength);
    std::memset(msg + roundAt + 2, 0, 5);  // counter 0 and the digest separator
  }
  // One word store for R rather than a byte loop: the round's message is
  // hashed straight after, and its loads wait on these stores.
  void patch(std::uint8_t* msg, std::uint8_t round, std::uint64_t right) const noexcept {
    putBE64(msg + rightAt + hb - 8, frame | right);
    msg[roundAt] = round;
  }
  // The round function's value from the tag's first 8 bytes, big-endian.
  std::uint64_t roundValue(std::uint64_t head) const noexcept { return (head >> dropBits) & mask; }
};

// The inner and outer states after the one key block: the 32-byte key
// zero-padded to 64 bytes, XORed with 0x36 and 0x5c.
void absorbKey(const std::uint8_t* key, SHA256_CTX* inner, SHA256_CTX* outer) {
  std::uint8_t block[kBlockSize];
  std::memset(block, 0, sizeof block);
  std::memcpy(block, key, 32);
  for (auto& byte : block) byte ^= 0x36;
  SHA256_Init(inner);
  SHA256_Update(inner, block, sizeof block);
  for (auto& byte : block) byte ^= 0x36 ^ 0x5c;
  SHA256_Init(outer);
  SHA256_Update(outer, block, sizeof block);
  OPENSSL_cleanse(block, sizeof block);
}

[[noreturn]] void outsideDomain() { throw std::logic_error("permute called with a value outside [0, size)"); }

// Messages in flight at once on the lanes road.
constexpr std::size_t kHmacLanes = 16;

void putState(const sha256::State& state, std::uint8_t* out) noexcept {
  for (int i = 0; i < 8; ++i) putBE32(out + 4 * i, state.h[i]);
}

#if defined(__x86_64__)
// The same as two 16-byte byte swaps: the state was just stored 16 bytes at
// a time and the block is read back the same way, so these loads and stores
// forward where eight 4-byte writes would stall the next compression. Only
// the lanes road calls it, and the SHA instructions imply SSSE3.
__attribute__((target("ssse3"))) void putStateWide(const sha256::State& state, std::uint8_t* out) noexcept {
  const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  const auto* in = reinterpret_cast<const __m128i*>(state.h);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(_mm_loadu_si128(in), swap));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_shuffle_epi8(_mm_loadu_si128(in + 1), swap));
}
#else
void putStateWide(const sha256::State& state, std::uint8_t* out) noexcept { putState(state, out); }
#endif

// The padding of a message of length bytes (at most 55) that ends in this,
// its one block: 0x80, zeros, and the bit length counting the key block
// absorbed before it. The message bytes are the caller's.
void padLastBlock(std::uint8_t* block, std::size_t length) noexcept {
  std::memset(block + length, 0, 64 - length);
  block[length] = 0x80;
  putBE(block + 56, (64 + std::uint64_t{length}) * 8, 8);
}

// Pads a message of length bytes in place, as the blocks that follow the key
// block: 0x80, zeros, and the bit length counting the key block. Returns the
// padded length, a multiple of 64; the buffer must hold it.
std::size_t padMessage(std::uint8_t* message, std::size_t length) noexcept {
  const std::size_t padded = (length + 9 + 63) / 64 * 64;
  std::memset(message + length, 0, padded - length);
  message[length] = 0x80;
  putBE(message + padded - 8, (64 + std::uint64_t{length}) * 8, 8);
  return padded;
}

inline void putBE64(std::uint8_t* out, std::uint64_t v) noexcept {
  v = __builtin_bswap64(v);
  std::memcpy(out, &v, 8);
}

// Copies n <= 64 bytes as at most two fixed-size moves, which may overlap,
// instead of a call into the C library that dispatches on the length: the
// messages here are a few dozen bytes, and the call costs more than the copy.
inline void copyShort(std::uint8_t* out, const void* from, std::size_t n) noexcept {
  const auto* in = static_cast<const std::uint8_t*>(from);
  if (n >= 16) {
    if (n >= 32) {
      std::memcpy(out, in, 32);
      std::memcpy(out + n - 32, in + n - 32, 32);
    } else {
      std::memcpy(out, in, 16);
      std::memcpy(out + n - 16, in + n - 16, 16);
    }
  } else if (n >= 8) {
    std::memcpy(out, in, 8);
    std::memcpy(out + n - 8, in + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(out, in, 4);
    std::memcpy(out + n - 4, in + n - 4, 4);
  } else if (n > 0) {
    out[0] = in[0];
    out[n / 2] = in[n / 2];
    out[n - 1] = in[n - 1];
  }
}

// The longest message that fits one block with its padding.
constexpr std::size_t kOneBlock = 55;

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

// The outer hash's one block: the inner tag, then its padding.
void layOuterBlock(const sha256::State& innerState, std::uint8_t* block) noexcept {
  putStateWide(innerState, block);
  padLastBlock(block, 32);
}

// One message of hmacMany on its way through the inner hash (64-byte blocks
// of a || b, then the padding; the key block is already in the state) and
// then the one block of the outer hash.
struct HmacLane {
  const HmacJob* job;
  std::size_t offset;  // inner message bytes already laid into blocks
  std::size_t padded;  // the inner message's length with its padding
  bool outer;
  alignas(16) std::uint8_t block[64];

  void start(const HmacJob& j) noexcept {
    job = &j;
    offset = 0;
    padded = (j.aLength + j.bLength + 9 + 63) / 64 * 64;
    outer = false;
  }

  // Lays the next inner block: message bytes, then 0x80 right after the
  // message, zeros, and in the last block the bit length, counting the key
  // block before the message.
  void layInnerBlock() noexcept {
    const HmacJob& j = *job;
    const std::size_t total = j.aLength + j.bLength;
    std::size_t n = 0;
    for (std::size_t p = offset; n < 64 && p < total; p = offset + n) {
      const bool inA = p < j.aLength;
      const std::uint8_t* from = inA ? j.a + p : j.b + (p - j.aLength);
      const std::size_t take = std::min(64 - n, inA ? j.aLength - p : total - p);
      std::memcpy(block + n, from, take);
      n += take;
    }
    if (n < 64) {
      std::memset(block + n, 0, 64 - n);
      if (offset + n == total) block[n] = 0x80;
      if (offset + 64 == padded) putBE(block + 56, (64 + std::uint64_t{total}) * 8, 8);
    }
    offset += 64;
  }

  void startOuter(const sha256::State& innerState) noexcept {
    layOuterBlock(innerState, block);
    outer = true;
  }
};

}  // namespace

KeyedHash::KeyedHash(const std::uint8_t (&subkey)[32], Engine engine)
    : lanes_(engine == Engine::automatic && sha256::fastRoad()) {
  absorbKey(subkey, &inner_, &outer_);
}

KeyedHash::KeyedHash(std::string_view subkey) : lanes_(sha256::fastRoad()) {
  // Callers check the subkey's length first; another length here is a broken
  // invariant, not a key to pad or cut.
  if (subkey.size() != 32) throw std::logic_error("keyed hash built from a subkey that is not 32 bytes");
  std::uint8_t key[32];
  std::memcpy(key, subkey.data(), sizeof key);
  absorbKey(key, &inner_, &outer_);
  OPENSSL_cleanse(key, sizeof key);
}

KeyedHash::~KeyedHash() {
  OPENSSL_cleanse(&inner_, sizeof inner_);
  OPENSSL_cleanse(&outer_, sizeof outer_);
}

void KeyedHash::hmacMany(std::span<const HmacJob> jobs) const {
  // A lone message gains nothing from lanes, and OpenSSL's own code finishes
  // it sooner.
  if (!lanes_ || jobs.size() == 1) {
    for (const HmacJob& j : jobs) hmacInto(j.a, j.aLength, j.b, j.bLength, j.out);
    return;
  }
  // The usual batch: messages of at most 55 bytes, one inner block each with
  // its padding. Laid all at once, they need none of the lane bookkeeping.
  std::size_t done = 0;
  {
    OneBlockBatch batch(inner_, outer_);
    while (done < jobs.size() && jobs[done].aLength + jobs[done].bLength <= kOneBlock) {
      const HmacJob& j = jobs[done++];
      layOneBlock(batch.add(j.out), j.a, j.aLength, j.b, j.bLength);
      if (batch.full()) batch.flush();
    }
    batch.flush();
  }
  jobs = jobs.subspan(done);
  if (jobs.size() == 1) {
    hmacInto(jobs[0].a, jobs[0].aLength, jobs[0].b, jobs[0].bLength, jobs[0].out);
    return;
  }
#ifdef ZORVA_COUNTING
  for (const HmacJob& j : jobs) countHmacs(1, j.aLength + j.bLength);
#endif
  HmacLane lanes[kHmacLanes];
  sha256::State states[kHmacLanes];
  const std::uint8_t* blocks[kHmacLanes];
  std::size_t active = 0;
  std::size_t next = 0;
  auto start = [&](std::size_t slot) {
    lanes[slot].start(jobs[next++]);
    std::memcpy(states[slot].h, inner_.h, sizeof states[slot].h);
  };
  while (active < kHmacLanes && next < jobs.size()) start(active++);
  while (active > 0) {
    for (std::size_t l = 0; l < active; ++l) {
      if (!lanes[l].outer) lanes[l].layInnerBlock();
      blocks[l] = lanes[l].block;
    }
    sha256::compress(states, blocks, active);
    for (std::size_t l = 0; l < active;) {
      HmacLane& lane = lanes[l];
      if (!lane.outer) {
        if (lane.offset == lane.padded) {
          lane.startOuter(states[l]);
          std::memcpy(states[l].h, outer_.h, sizeof states[l].h);
        }
        ++l;
        continue;
      }
      putState(states[l], lane.job->out);
      // A finished lane takes the next message; with none left, the last
      // lane moves into its place so that the active lanes stay in front.
      if (next < jobs.size()) {
        start(l++);
      } else if (l != --active) {
        lanes[l] = lanes[active];
        states[l] = states[active];
      }
    }
  }
}

void KeyedHash::hmacInto(const std::uint8_t* a, std::size_t aLen, const std::uint8_t* b, std::size_t bLen,
                         std::uint8_t* out) const {
#ifdef ZORVA_COUNTING
  countHmacs(1, aLen + bLen);
#endif
  SHA256_CTX ctx = inner_;
  SHA256_Update(&ctx, a, aLen);
  if (bLen != 0) SHA256_Update(&ctx, b, bLen);
  std::uint8_t innerTag[32];
  SHA256_Final(innerTag, &ctx);
  ctx = outer_;
  SHA256_Update(&ctx, innerTag, sizeof innerTag);
  SHA256_Final(out, &ctx);
}

Digest KeyedHash::hmac(std::string_view message) const {
  Digest out;
  hmacInto(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(), nullptr, 0, out.data());
  return out;
}

Digest KeyedHash::digest(std::string_view data, std::string_view label) const {
  Scratch<128> prefix(label.size() + 1);
  copyBytes(prefix.data(), label);
  prefix.data()[label.size()] = 0x00;
  Digest out;
  hmacInto(prefix.data(), label.size() + 1, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(),
           out.data());
  return out;
}

void KeyedHash::digestMany(std::span<const std::string_view> data, std::string_view label, Digest* out) const {
  // label || 0x00, the same for every message of the batch.
  Scratch<128> prefix(label.size() + 1);
  copyBytes(prefix.data(), label);
  prefix.data()[label.size()] = 0x00;
  const std::size_t prefixLength = label.size() + 1;
  constexpr std::size_t kGroup = 64;
  HmacJob jobs[kGroup];
  if (lanes_ && data.size() > 1) {
    // Messages that fit one block are laid straight into it; the rest keep
    // the general road.
    OneBlockBatch batch(inner_, outer_);
    std::size_t others = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
      const std::string_view d = data[i];
      if (prefixLength + d.size() <= kOneBlock) {
        layOneBlock(batch.add(out[i].data()), prefix.data(), prefixLength, d.data(), d.size());
        if (batch.full()) batch.flush();
      } else {
        jobs[others++] = HmacJob{prefix.data(), prefixLength, reinterpret_cast<const std::uint8_t*>(d.data()), d.size(),
                                 out[i].data()};
        if (others == kGroup) {
          hmacMany({jobs, others});
          others = 0;
        }
      }
    }
    batch.flush();
    hmacMany({jobs, others});
    return;
  }
  for (std::size_t from = 0; from < data.size(); from += kGroup) {
    const std::size_t count = std::min(kGroup, data.size() - from);
    for (std::size_t k = 0; k < count; ++k) {
      const std::string_view d = data[from + k];
      jobs[k] = HmacJob{prefix.data(), prefixLength, reinterpret_cast<const std::uint8_t*>(d.data()), d.size(),
                        out[from + k].data()};
    }
    hmacMany({jobs, count});
  }
}

void KeyedHash::expand(std::string_view data, std::size_t length, std::string_view label, std::uint8_t* out) const {
  const ExpandJob job{data, length, label, out};
  expandMany({&job, 1});
}

namespace {

// label || 0x23 || BE(i, 4) || 0x00: the prefix of block i of a stream.
void layBlockPrefix(std::uint8_t* p, std::string_view label, std::uint32_t block) noexcept {
  if (label.size() <= 64)
    copyShort(p, label.data(), label.size());
  else
    copyBytes(p, label);
  p[label.size()] = 0x23;
  putBE32(p + label.size() + 1, block);
  p[label.size() + 5] = 0x00;
}

}  // namespace

namespace {

// Where a stream's last, partial block goes once its tag is known.
struct PartialBlock {
  std::uint8_t* out;
  const std::uint8_t* tag;
  std::size_t length;
};

}  // namespace

void KeyedHash::expandMany(std::span<const ExpandJob> jobs) const {
  // Blocks per HMAC batch, each with its own copy of the prefix
  // label || 0x23 || BE(i, 4) || 0x00; a longer label is expanded on its own.
  constexpr std::size_t kGroup = 32;
  constexpr std::size_t kLabel = 48;
  std::uint8_t prefixes[kGroup][kLabel + 6];
  std::uint8_t tags[kGroup][32];
  HmacJob hmacs[kGroup];
  std::uint8_t* partial[kGroup];  // where a last, partial block goes
  std::size_t partialLength[kGroup];
  std::size_t count = 0;
  auto flush = [&] {
    hmacMany({hmacs, count});
    for (std::size_t k = 0; k < count; ++k)
      if (partial[k] != nullptr) std::memcpy(partial[k], tags[k], partialLength[k]);
    count = 0;
  };
  // Streams whose block message (prefix and data) fits one block: each block
  // laid straight into the batch, and each tag written in place but a last,
  // partial one.
  OneBlockBatch batch(inner_, outer_);
  std::uint8_t batchTags[OneBlockBatch::kBlocks][32];
  PartialBlock partials[OneBlockBatch::kBlocks];
  std::size_t partialCount = 0;
  auto flushBatch = [&] {
    batch.flush();
    for (std::size_t k = 0; k < partialCount; ++k) copyShort(partials[k].out, partials[k].tag, partials[k].length);
    partialCount = 0;
  };
  for (const ExpandJob& job : jobs) {
    const std::size_t prefixLen = job.label.size() + 6;
    const auto* data = reinterpret_cast<const std::uint8_t*>(job.data.data());
    if (lanes_ && prefixLen + job.data.size() <= kOneBlock) {
      for (std::size_t at = 0, block = 0; at < job.length; at += 32, ++block) {
        if (batch.full()) flushBatch();
        const bool whole = at + 32 <= job.length;
        std::uint8_t* tag = whole ? job.out + at : batchTags[batch.size()];
        if (!whole) partials[partialCount++] = PartialBlock{job.out + at, tag, job.length - at};
        layStreamBlock(batch.add(tag), job.label, static_cast<std::uint32_t>(block), data, job.data.size());
      }
      continue;
    }
    if (job.label.size() > kLabel) {
      // A long label: its blocks one at a time, through one prefix of its own.
      // The counter is 32 bits wide; 2^32 blocks (128 GiB) is beyond any caller.
      Scratch<128> prefix(prefixLen);
      for (std::size_t at = 0, block = 0; at < job.length; at += 32, ++block) {
        layBlockPrefix(prefix.data(), job.label, static_cast<std::uint32_t>(block));
        std::uint8_t tag[32];
        hmacInto(prefix.data(), prefixLen, data, job.data.size(), tag);
        std::memcpy(job.out + at, tag, std::min<std::size_t>(32, job.length - at));
      }
      continue;
    }
    for (std::size_t at = 0, block = 0; at < job.length; at += 32, ++block) {
      layBlockPrefix(prefixes[count], job.label, static_cast<std::uint32_t>(block));
      const bool whole = at + 32 <= job.length;
      partial[count] = whole ? nullptr : job.out + at;
      partialLength[count] = job.length - at;
      hmacs[count] = HmacJob{prefixes[count], prefixLen, data, job.data.size(), whole ? job.out + at : tags[count]};
      if (++count == kGroup) flush();
    }
  }
  flushBatch();
  if (count > 0) flush();
}

Vec<std::uint8_t> KeyedHash::expand(std::string_view data, std::size_t length, std::string_view label) const {
  Vec<std::uint8_t> out(length);
  expand(data, length, label, out.data());
  return out;
}

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

u128 KeyedHash::permuteMachine(u128 m, const std::uint8_t* sizeBytes, std::size_t sizeLen, u128 value,
                               std::string_view label) const {
  if (value > m) outsideDomain();
  const FeistelShape shape(m, label.size(), sizeLen);
  Scratch<160> message(shape.length);
  std::uint8_t* msg = message.data();
  shape.lay(msg, label, sizeBytes, sizeLen);
  u128 x = value;
  do {
    auto right = static_cast<std::uint64_t>(x) & shape.mask;
    auto left = static_cast<std::uint64_t>(x >> shape.h);
    for (std::uint8_t r = 0; r < 10; ++r) {
      shape.patch(msg, r, right);
      std::uint8_t tag[32];
      hmacInto(msg, shape.length, nullptr, 0, tag);
      std::uint64_t next = left ^ shape.roundValue(loadBE64(tag));
      left = right;
      right = next;
    }
    x = (u128(left) << shape.h) | right;
  } while (x > m);  // cycle-walk back into [0, size)
  return x;
}

u128 KeyedHash::permute(u128 size, u128 value, std::string_view label) const {
  if (size <= 1) return value;
  std::uint8_t sizeBytes[16];
  std::size_t sizeLen = minimalBE128(size, sizeBytes);
  return permuteMachine(size - 1, sizeBytes, sizeLen, value, label);
}

namespace {

// One permutation of permuteMany: its round message, laid with its padding
// once, and where its Feistel network stands.
struct PermuteLane {
  static constexpr std::size_t kMessage = 640;  // the longest label the strategies build, its fields and padding
  // The most a label may hold for its message and padding to fit kMessage:
  // the fields after it take at most 1 + 17 + 7 + 8 bytes, the padding 9 to 72.
  static constexpr std::size_t kMaxLabel = kMessage - 1 - 17 - 7 - 8 - 72;
  const PermuteJob* job;
  u128 m;
  FeistelShape shape{0, 0, 0};
  std::uint64_t left, right;
  std::uint8_t round;
  std::uint8_t blocks;  // the padded message's SHA-256 blocks
  std::uint8_t fixed;   // its leading blocks that no round changes: they end before the round byte
  std::uint64_t head;   // the tag's first 8 bytes, big-endian
  sha256::State afterFixed;  // the inner state once the fixed blocks are absorbed
  alignas(16) std::uint8_t outerBlock[64];
  alignas(16) std::uint8_t message[kMessage];

  // Lays the message; the caller sets afterFixed.
  void start(const PermuteJob& j) noexcept {
    job = &j;
    m = j.size - 1;
    std::uint8_t sizeBytes[16];
    const std::size_t sizeLen = minimalBE128(j.size, sizeBytes);
    shape = FeistelShape(m, j.label.size(), sizeLen);
    shape.lay(message, j.label, sizeBytes, sizeLen);
    blocks = static_cast<std::uint8_t>(padMessage(message, shape.length) / 64);
    fixed = static_cast<std::uint8_t>(shape.roundAt / 64);
    padLastBlock(outerBlock, 32);
    enter(j.value);
  }
  void enter(u128 x) noexcept {
    right = static_cast<std::uint64_t>(x) & shape.mask;
    left = static_cast<std::uint64_t>(x >> shape.h);
    round = 0;
  }
  void patchRound() noexcept { shape.patch(message, round, right); }
  // Finishes the round from its tag; true once the value is placed.
  bool finishRound() noexcept {
    const std::uint64_t next = left ^ shape.roundValue(head);
    left = right;
    right = next;
    if (++round < 10) return false;
    const u128 x = (u128(left) << shape.h) | right;
    if (x > m) {  // cycle-walk back into [0, size)
      enter(x);
      return false;
    }
    *job->out = x;
    return true;
  }
};

}  // namespace

void KeyedHash::permuteMany(std::span<const PermuteJob> jobs) const {
  constexpr std::size_t kLanes = kHmacLanes;
  // The lanes in flight are live[0, active): a finished lane leaves by a
  // pointer swap, never by copying its kilobyte of message.
  PermuteLane lanes[kLanes];
  PermuteLane* live[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) live[l] = &lanes[l];
  sha256::State inner, outer;
  std::memcpy(inner.h, inner_.h, sizeof inner.h);
  std::memcpy(outer.h, outer_.h, sizeof outer.h);
  // The fixed blocks of the last message that had any: a batch's messages
  // mostly share their label, so they share this state too.
  sha256::State lastFixed{};
  std::size_t lastFixedBytes = 0;
  alignas(16) std::uint8_t lastPrefix[PermuteLane::kMessage];
  auto absorbFixed = [&](PermuteLane& lane) {
    lane.afterFixed = inner;
    const std::size_t bytes = std::size_t{lane.fixed} * 64;
    if (bytes == 0) return;
    if (bytes == lastFixedBytes && std::memcmp(lastPrefix, lane.message, bytes) == 0) {
      lane.afterFixed = lastFixed;
      return;
    }
    for (std::size_t b = 0; b < lane.fixed; ++b) {
      const std::uint8_t* block = lane.message + 64 * b;
      sha256::compress(&lane.afterFixed, &block, 1);
    }
    std::memcpy(lastPrefix, lane.message, bytes);
    lastFixedBytes = bytes;
    lastFixed = lane.afterFixed;
  };
  std::size_t active = 0;
  std::size_t next = 0;
  // Jobs the lanes cannot take (trivial sizes, labels too long for a lane's
  // message) are answered on their own as they come.
  auto fill = [&](PermuteLane& lane) {
    while (next < jobs.size()) {
      const PermuteJob& j = jobs[next++];
      if (j.size > 1 && j.value >= j.size) outsideDomain();
      if (j.size <= 1 || !lanes_ || j.label.size() > PermuteLane::kMaxLabel) {
        *j.out = permute(j.size, j.value, j.label);
        continue;
      }
      lane.start(j);
      absorbFixed(lane);
      return true;
    }
    return false;
  };
  while (active < kLanes && fill(*live[active])) ++active;
  sha256::State states[kLanes];
  const std::uint8_t* blocks[kLanes];
  alignas(16) std::uint8_t tags[kLanes][32];
  std::uint8_t* tagOf[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) tagOf[l] = tags[l];
  while (active > 0) {
#ifdef ZORVA_COUNTING
    // Counted as the message requires, not as the absorbed prefix shortens it.
    for (std::size_t l = 0; l < active; ++l) countHmacs(1, live[l]->blocks * 64 - 9);
#endif
    std::size_t passes = 0;
    bool even = true;
    bool oneBlock = true;
    for (std::size_t l = 0; l < active; ++l) {
      PermuteLane& lane = *live[l];
      lane.patchRound();
      const std::size_t rest = lane.blocks - lane.fixed;
      even &= l == 0 || rest == passes;
      passes = std::max(passes, rest);
      oneBlock &= lane.blocks == 1;
    }
    if (oneBlock) {
      // The common case (short labels, values of up to 64 bits): each round
      // message is one block after the key block, so the whole HMAC runs in
      // the fused kernels, the inner tag never leaving the registers.
      for (std::size_t l = 0; l < active; ++l) blocks[l] = live[l]->message;
      sha256::hmacOneBlock(inner, outer, blocks, tagOf, active);
      for (std::size_t l = 0; l < active; ++l) live[l]->head = loadBE64(tags[l]);
    } else {
      // One round of every lane, HMAC by hand over the laid blocks: the inner
      // hash from the state after the fixed blocks, then the outer block; only
      // the tag's first 8 bytes are read.
      for (std::size_t l = 0; l < active; ++l) states[l] = live[l]->afterFixed;
      if (even) {
        for (std::size_t pass = 0; pass < passes; ++pass) {
          for (std::size_t l = 0; l < active; ++l) blocks[l] = live[l]->message + 64 * (live[l]->fixed + pass);
          sha256::compress(states, blocks, active);
        }
      } else {
        // Messages of several lengths: each pass takes the lanes that still
        // have a block, gathered in front.
        sha256::State gathered[kLanes];
        std::size_t which[kLanes];
        for (std::size_t pass = 0; pass < passes; ++pass) {
          std::size_t count = 0;
          for (std::size_t l = 0; l < active; ++l) {
            if (live[l]->fixed + pass >= live[l]->blocks) continue;
            which[count] = l;
            gathered[count] = states[l];
            blocks[count++] = live[l]->message + 64 * (live[l]->fixed + pass);
          }
          sha256::compress(gathered, blocks, count);
          for (std::size_t i = 0; i < count; ++i) states[which[i]] = gathered[i];
        }
      }
      for (std::size_t l = 0; l < active; ++l) {
        putStateWide(states[l], live[l]->outerBlock);
        states[l] = outer;
        blocks[l] = live[l]->outerBlock;
      }
      sha256::compress(states, blocks, active);
      for (std::size_t l = 0; l < active; ++l) live[l]->head = (std::uint64_t{states[l].h[0]} << 32) | states[l].h[1];
    }
    for (std::size_t l = 0; l < active;) {
      if (!live[l]->finishRound() || fill(*live[l])) {
        ++l;
      } else {
        std::swap(live[l], live[--active]);
      }
    }
  }
}

BigInt KeyedHash::permute(const BigInt& size, const BigInt& value, std::string_view label) const {
  if (size.isNegative() || value.isNegative()) outsideDomain();
  if (size.magnitudeFitsU64() && size.magnitudeU64() <= 1) return value;
  if (value >= size) outsideDomain();
  if (size.magnitudeFitsU128()) {
    u128 s = size.magnitudeU128();
    std::uint8_t sizeBytes[16];
    std::size_t sizeLen = minimalBE128(s, sizeBytes);
    return BigInt::fromU128(permuteMachine(s - 1, sizeBytes, sizeLen, value.magnitudeU128(), label));
  }
  if (size.bitLength() == 129 && size == (BigInt::fromU64(1) << 128)) {
    // 2^128 itself: m = 2^128 - 1 still fits, halves of 64 bits.
    std::uint8_t sizeBytes[17] = {1};
    return BigInt::fromU128(permuteMachine(~u128{0}, sizeBytes, sizeof sizeBytes, value.magnitudeU128(), label));
  }
  return permuteArbitrary(size, value, label);
}

BigInt KeyedHash::permuteArbitrary(const BigInt& size, const BigInt& value, std::string_view label) const {
  if (size.isNegative() || value.isNegative()) outsideDomain();
  if (size.magnitudeFitsU64() && size.magnitudeU64() <= 1) return value;
  if (value >= size) outsideDomain();

  Mpz m, x, left, right, f, t;
  size.toMpz(m);
  mpz_sub_ui(m, m, 1);
  const std::uint64_t w = std::max<std::uint64_t>(2, mpz_sizeinbase(m, 2));
  const std::uint64_t h = (w + (w & 1)) / 2;
  const std::size_t hb = static_cast<std::size_t>((h + 7) / 8);
  const std::size_t blocks = (hb + 31) / 32;

  const std::size_t sizeLen = size.byteLength();
  const std::size_t rightAt = label.size() + 1 + sizeLen + 7;
  const std::size_t len = rightAt + hb;
  Scratch<256> message(len);
  std::uint8_t* msg = message.data();
  const std::size_t roundAt = layRoundLabel(msg, label, sizeLen);
  const std::size_t counterAt = roundAt + 2;
  size.magnitudeBytesBE(msg + label.size() + 1, sizeLen);
  msg[rightAt - 1] = 0x00;
  Scratch<256> stream(blocks * 32);

  value.toMpz(x);
  do {
    mpz_tdiv_r_2exp(right, x, h);
    mpz_tdiv_q_2exp(left, x, h);
    for (std::uint8_t r = 0; r < 10; ++r) {
      msg[roundAt] = r;
      mpzBytesBE(right, msg + rightAt, hb);
      for (std::size_t i = 0; i < blocks; ++i) {
        putBE32(msg + counterAt, static_cast<std::uint32_t>(i));
        hmacInto(msg, len, nullptr, 0, stream.data() + 32 * i);
      }
      mpz_import(f, hb, 1, 1, 1, 0, stream.data());
      mpz_tdiv_r_2exp(f, f, h);
      mpz_xor(t, left, f);  // new R = L xor F, new L = old R
      mpz_swap(left, right);
      mpz_swap(right, t);
    }
    mpz_mul_2exp(x, left, h);
    mpz_ior(x, x, right);
  } while (mpz_cmp(x, m) > 0);
  return BigInt::fromMpz(x);
}

}  // namespace zorva

#pragma GCC diagnostic pop
