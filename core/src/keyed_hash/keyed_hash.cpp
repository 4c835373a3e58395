// KeyedHash's home: the key absorbed once into the inner and outer states, one
// HMAC at a time, and the primitive counts of benchmark builds. The batched
// roads, below and permute each have a file of their own beside this one.
#include "keyed_hash/keyed_hash.h"

#include <openssl/crypto.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

#include "support/bytes.h"
#include "keyed_hash/internal/blocks.h"
#include "support/scratch.h"
#include "sha256/lanes.h"

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

}  // namespace

// HMACs of messages of length bytes: the compressions each requires once the
// key's two blocks are absorbed are its inner message's padded blocks and
// the one outer block.
void countHmacs(std::uint64_t count, std::size_t length) noexcept {
  hmacCounter.fetch_add(count, std::memory_order_relaxed);
  compressionCounter.fetch_add(count * ((length + 9 + 63) / 64 + 1), std::memory_order_relaxed);
}

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

constexpr std::size_t kBlockSize = 64;  // SHA-256 block

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

void KeyedHash::expand(std::string_view data, std::size_t length, std::string_view label, std::uint8_t* out) const {
  const ExpandJob job{data, length, label, out};
  expandMany({&job, 1});
}

Vec<std::uint8_t> KeyedHash::expand(std::string_view data, std::size_t length, std::string_view label) const {
  Vec<std::uint8_t> out(length);
  expand(data, length, label, out.data());
  return out;
}

}  // namespace zorva

#pragma GCC diagnostic pop
