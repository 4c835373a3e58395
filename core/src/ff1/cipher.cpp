// The Ff1 cipher object: its radix tables and AES-256 key schedules, the
// AES block and CBC-MAC chain on either road, and the checks and door of
// every encryption. The rounds live beside it: ff1/batch.cpp schedules them
// onto ff1/aes_ni.cpp, ff1/vaes.cpp and ff1/vaes_ifma.cpp,
// and ff1/reference.cpp is the reference road.
#include "ff1/ff1.h"

#include <openssl/crypto.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu/targets.h"

// AES_set_encrypt_key/AES_encrypt are deprecated in OpenSSL 3, but the EVP
// interface costs a context allocation and a dispatch per call; these encrypt
// one block on a schedule expanded once.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace zorva {

namespace {

#if defined(__x86_64__)
ZORVA_TARGET_AES __m128i expandEven(__m128i key, __m128i assist) {
  assist = _mm_shuffle_epi32(assist, 0xff);
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  return _mm_xor_si128(key, assist);
}

ZORVA_TARGET_AES __m128i expandOdd(__m128i previous, __m128i key) {
  __m128i assist = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(previous, 0x00), 0xaa);
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  return _mm_xor_si128(key, assist);
}

ZORVA_TARGET_AES void expandKeyHardware(const std::uint8_t* key, std::uint8_t* roundKeys) {
  __m128i k[15];
  k[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
  k[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16));
  // The round constant must be an immediate, hence the unrolled steps.
  k[2] = expandEven(k[0], _mm_aeskeygenassist_si128(k[1], 0x01));
  k[3] = expandOdd(k[2], k[1]);
  k[4] = expandEven(k[2], _mm_aeskeygenassist_si128(k[3], 0x02));
  k[5] = expandOdd(k[4], k[3]);
  k[6] = expandEven(k[4], _mm_aeskeygenassist_si128(k[5], 0x04));
  k[7] = expandOdd(k[6], k[5]);
  k[8] = expandEven(k[6], _mm_aeskeygenassist_si128(k[7], 0x08));
  k[9] = expandOdd(k[8], k[7]);
  k[10] = expandEven(k[8], _mm_aeskeygenassist_si128(k[9], 0x10));
  k[11] = expandOdd(k[10], k[9]);
  k[12] = expandEven(k[10], _mm_aeskeygenassist_si128(k[11], 0x20));
  k[13] = expandOdd(k[12], k[11]);
  k[14] = expandEven(k[12], _mm_aeskeygenassist_si128(k[13], 0x40));
  for (int i = 0; i < 15; ++i) _mm_store_si128(reinterpret_cast<__m128i*>(roundKeys + 16 * i), k[i]);
}

ZORVA_TARGET_AES void cbcHardware(const std::uint8_t* roundKeys, std::uint8_t* state, const std::uint8_t* blocks,
                                  std::size_t count) {
  __m128i k[15];
  for (int i = 0; i < 15; ++i) k[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * i));
  __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  for (std::size_t j = 0; j < count; ++j) {
    s = _mm_xor_si128(s, _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * j)));
    s = _mm_xor_si128(s, k[0]);
    for (int i = 1; i < 14; ++i) s = _mm_aesenc_si128(s, k[i]);
    s = _mm_aesenclast_si128(s, k[14]);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), s);
}
#else
void expandKeyHardware(const std::uint8_t*, std::uint8_t*) {}
void cbcHardware(const std::uint8_t*, std::uint8_t*, const std::uint8_t*, std::size_t) {}
#endif

std::atomic<std::uint64_t> nextIdentity{1};

}  // namespace

Ff1::Ff1(const Digest& key, std::uint32_t radix) : Ff1(key, radix, AesEngine::automatic) {}

Ff1::Ff1(const Digest& key, std::uint32_t radix, AesEngine engine)
    : powerCount_(0),
      radixReciprocal_(radix >= 2 ? ~std::uint64_t{0} / radix + 1 : 0),
      radix_(radix),
      minLength_(1),
      identity_(nextIdentity.fetch_add(1, std::memory_order_relaxed)),
      hardware_(engine != AesEngine::software && cpu::hasAes()),
      vector_(engine == AesEngine::automatic && hardware_ && cpu::hasVaes()),
      wideVector_(vector_ && cpu::hasVaesIfma()) {
  std::uint64_t power = 1;
  bool fits = radix >= 1;
  while (fits && powerCount_ < 64) {
    powers_[powerCount_] = Modulus(power);
    ++powerCount_;
    fits = !__builtin_mul_overflow(power, std::uint64_t{radix}, &power);
  }
  // The two-word moduli: from the last one-word power while below 2^128.
  widePowerCount_ = 0;
  if (radix >= 2) {
    u128 wide = powers_[powerCount_ - 1].value();
    // Powers up to 2^128 - 1: the next one's overflow ends the list.
    do {
      widePowers_[widePowerCount_++] = WideModulus(wide);
    } while (widePowerCount_ < std::size(widePowers_) && !__builtin_mul_overflow(wide, u128{radix}, &wide));
  }
  // The chunk: the largest power of the radix at most 2^32 (radix itself
  // at least, so that every chunk has a digit).
  chunkDigits_ = 1;
  std::uint64_t chunk = radix >= 2 ? radix : 2;
  while (chunk * radix <= (std::uint64_t{1} << 32)) {
    chunk *= radix;
    ++chunkDigits_;
  }
  chunkModulus_ = Modulus(chunk);
  std::memset(roundKeys_, 0, sizeof roundKeys_);
  AES_set_encrypt_key(key.data(), 256, &softwareKey_);
  if (hardware_) expandKeyHardware(key.data(), roundKeys_);
  // radix <= 2^32, so radix^n stays far from overflow before it reaches 10^6.
  std::uint64_t domain = radix;
  while (radix >= 2 && domain < 1000000) {
    domain *= radix;
    ++minLength_;
  }
}

Ff1::~Ff1() {
  OPENSSL_cleanse(roundKeys_, sizeof roundKeys_);
  OPENSSL_cleanse(&softwareKey_, sizeof softwareKey_);
}

void Ff1::cbc(std::uint8_t* state, const std::uint8_t* blocks, std::size_t count) const {
#ifdef ZORVA_COUNTING
  countAesBlocks(count);
#endif
  if (hardware_) {
    cbcHardware(roundKeys_, state, blocks, count);
    return;
  }
  for (std::size_t j = 0; j < count; ++j) {
    for (int i = 0; i < 16; ++i) state[i] ^= blocks[16 * j + i];
    AES_encrypt(state, state, &softwareKey_);
  }
}

void Ff1::block(const std::uint8_t* in, std::uint8_t* out) const {
  std::uint8_t state[16] = {};
  cbc(state, in, 1);
  std::memcpy(out, state, 16);
}

void Ff1::prf(const std::uint8_t* message, std::size_t length, std::uint8_t* out) const {
  std::memset(out, 0, 16);
  cbc(out, message, length / 16);
}

void Ff1::checkPreconditions(std::span<const std::uint32_t> numerals, std::span<std::uint32_t> out) const {
  if (out.size() != numerals.size()) throw std::logic_error("FF1 output length differs from its input");
  if (numerals.size() < minLength_) throw std::logic_error("FF1 called below its minimum length");
  // One test after the loop, which then needs no branch per numeral.
  std::uint32_t outside = 0;
  std::size_t i = 0;
#if defined(__x86_64__)
  // Four numerals a step; SSE2 compares signed, hence the flipped top bits.
  const __m128i flip = _mm_set1_epi32(INT32_MIN);
  const __m128i top = _mm_set1_epi32(static_cast<int>((radix_ - 1) ^ 0x80000000u));
  __m128i over = _mm_setzero_si128();
  for (; i + 4 <= numerals.size(); i += 4) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(numerals.data() + i));
    over = _mm_or_si128(over, _mm_cmpgt_epi32(_mm_xor_si128(x, flip), top));
  }
  outside = static_cast<std::uint32_t>(_mm_movemask_epi8(over));
#endif
  for (; i < numerals.size(); ++i) outside |= static_cast<std::uint32_t>(numerals[i] >= radix_);
  if (outside != 0) throw std::logic_error("numeral outside the radix");
}

void Ff1::encrypt(std::span<const std::uint32_t> numerals, std::string_view tweak, std::span<std::uint32_t> out) const {
  const Ff1Job job{numerals, tweak, out};
  encryptMany({&job, 1});
}

}  // namespace zorva

#pragma GCC diagnostic pop
