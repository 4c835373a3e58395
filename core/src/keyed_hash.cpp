#include "keyed_hash.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "scratch.h"

// The low-level SHA256_* calls are deprecated in OpenSSL 3 in favour of EVP,
// but an EVP digest context cannot be copied without a heap allocation, and
// every keyed call copies two absorbed states. SHA256_CTX is a plain struct.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace zorva {

#ifdef ZORVA_COUNTING
namespace {

std::atomic<std::uint64_t> hmacCounter{0};
std::atomic<std::uint64_t> aesBlockCounter{0};
}  // namespace

std::uint64_t hmacCount() noexcept { return hmacCounter.load(std::memory_order_relaxed); }
std::uint64_t aesBlockCount() noexcept { return aesBlockCounter.load(std::memory_order_relaxed); }
void resetPrimitiveCounts() noexcept {
  hmacCounter.store(0, std::memory_order_relaxed);
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


void putBE32(std::uint8_t* out, std::uint32_t v) noexcept {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

void putBE64(std::uint8_t* out, std::uint64_t v, std::size_t len) noexcept {
  for (std::size_t i = len; i-- > 0;) {
    out[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
}

std::uint64_t loadBE64(const std::uint8_t* in) noexcept {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | in[i];
  return v;
}

unsigned bitLength128(u128 v) noexcept {
  auto high = static_cast<std::uint64_t>(v >> 64);
  if (high != 0) return 128 - static_cast<unsigned>(__builtin_clzll(high));
  auto low = static_cast<std::uint64_t>(v);
  return low == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(low));
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

}  // namespace

KeyedHash::KeyedHash(const std::uint8_t (&subkey)[32]) { absorbKey(subkey, &inner_, &outer_); }

KeyedHash::KeyedHash(std::string_view subkey) {
  std::uint8_t key[32] = {};
  std::memcpy(key, subkey.data(), std::min<std::size_t>(subkey.size(), sizeof key));
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
  hmacCounter.fetch_add(1, std::memory_order_relaxed);
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

void KeyedHash::expand(std::string_view data, std::size_t length, std::string_view label,
                       std::uint8_t* out) const {
  if (length == 0) return;
  // label || 0x23 || BE(i, 4) || 0x00, with the counter patched per block.
  const std::size_t prefixLen = label.size() + 6;
  Scratch<128> prefix(prefixLen);
  std::uint8_t* p = prefix.data();
  copyBytes(p, label);
  p[label.size()] = 0x23;
  p[prefixLen - 1] = 0x00;
  const auto* dataBytes = reinterpret_cast<const std::uint8_t*>(data.data());
  // The counter is 32 bits wide; 2^32 blocks (128 GiB) is far beyond any caller.
  for (std::size_t done = 0, i = 0; done < length; ++i) {
    putBE32(p + label.size() + 1, static_cast<std::uint32_t>(i));
    std::size_t take = std::min<std::size_t>(32, length - done);
    if (take == 32) {
      hmacInto(p, prefixLen, dataBytes, data.size(), out + done);
    } else {
      std::uint8_t tag[32];
      hmacInto(p, prefixLen, dataBytes, data.size(), tag);
      std::memcpy(out + done, tag, take);
    }
    done += take;
  }
}

Vec<std::uint8_t> KeyedHash::expand(std::string_view data, std::size_t length, std::string_view label) const {
  Vec<std::uint8_t> out(length);
  expand(data, length, label, out.data());
  return out;
}

std::uint64_t KeyedHash::below(std::string_view data, std::uint64_t bound, std::string_view label) const {
  if (bound == 0) throw std::logic_error("below called with a zero bound");
  const std::size_t n = static_cast<std::size_t>((64 - __builtin_clzll(bound) + 7) / 8) + 32;  // at most 40
  std::uint8_t bytes[40];
  expand(data, n, label, bytes);
  // Horner's rule over 64-bit chunks: the leading n mod 8 bytes, then whole words.
  std::size_t head = n % 8;
  std::uint64_t r = 0;
  for (std::size_t i = 0; i < head; ++i) r = (r << 8) | bytes[i];
  r %= bound;
  for (std::size_t i = head; i < n; i += 8) r = static_cast<std::uint64_t>(((u128(r) << 64) | loadBE64(bytes + i)) % bound);
  return r;
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
  const unsigned w = std::max(2u, bitLength128(m));
  const unsigned h = (w + (w & 1)) / 2;  // at most 64
  const std::size_t hb = (h + 7) / 8;    // at most 8
  const std::uint64_t mask = h == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << h) - 1;

  // label || 0x7C || BE(size) || round || 0x23 || BE(0, 4) || 0x00 || BE(R, hb):
  // built once, the round byte and R patched per round. One HMAC block per
  // round suffices because hb <= 8 < 32, so the counter stays 0.
  const std::size_t rightAt = label.size() + 1 + sizeLen + 7;
  const std::size_t len = rightAt + hb;
  Scratch<160> message(len);
  std::uint8_t* msg = message.data();
  const std::size_t roundAt = layRoundLabel(msg, label, sizeLen);
  std::memcpy(msg + label.size() + 1, sizeBytes, sizeLen);
  std::memset(msg + roundAt + 2, 0, 5);  // counter 0 and the digest separator

  const unsigned dropBits = static_cast<unsigned>(64 - 8 * hb);
  u128 x = value;
  do {
    auto right = static_cast<std::uint64_t>(x) & mask;
    auto left = static_cast<std::uint64_t>(x >> h);
    for (std::uint8_t r = 0; r < 10; ++r) {
      msg[roundAt] = r;
      putBE64(msg + rightAt, right, hb);
      std::uint8_t tag[32];
      hmacInto(msg, len, nullptr, 0, tag);
      std::uint64_t f = (loadBE64(tag) >> dropBits) & mask;
      std::uint64_t next = left ^ f;
      left = right;
      right = next;
    }
    x = (u128(left) << h) | right;
  } while (x > m);  // cycle-walk back into [0, size)
  return x;
}

u128 KeyedHash::permute(u128 size, u128 value, std::string_view label) const {
  if (size <= 1) return value;
  std::uint8_t sizeBytes[16];
  std::size_t sizeLen = minimalBE128(size, sizeBytes);
  return permuteMachine(size - 1, sizeBytes, sizeLen, value, label);
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
