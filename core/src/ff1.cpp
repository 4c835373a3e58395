// Ff1: FF1 over AES-256, the arbitrary-precision road and the machine-integer batch road.
#include "ff1.h"

#include <gmp.h>
#include <openssl/crypto.h>

#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "bytes.h"
#include "kernel_align.h"
#include "scratch.h"

// AES_set_encrypt_key/AES_encrypt are deprecated in OpenSSL 3, but the EVP
// interface costs a context allocation and a dispatch per call; these encrypt
// one block on a schedule expanded once.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace zorva {

namespace {

// One job's ten rounds on machine integers (radix^v < 2^64, so b <= 8 and
// d <= 12). The tail of the PRF message (the last partial block of
// T || 0^pad, the round byte and NUM(B)) is then exactly one block; as a
// big-endian 128-bit value it is fixed | round << 8b | NUM(B), so it is built
// in registers.
struct Lane {
  u128 fixed;
  unsigned roundShift;  // 8 b
  bool wide;            // d == 12: y has 96 bits
  std::uint64_t a, bNum;
  const Modulus* moduli[2];  // radix^u for even rounds, radix^v for odd ones

  u128 tail(std::uint8_t round) const noexcept { return fixed | (u128(round) << roundShift) | bNum; }
};

// The same on two words, for radix^v up to 2^96 (b <= 12): the tail is
// still one block, and y, R's first d = 12 or 16 bytes, is R >> yShift.
struct WideLane {
  u128 fixed;
  unsigned roundShift;  // 8 b
  unsigned yShift;      // 128 - 8 d
  u128 a, bNum;
  const Ff1::WideModulus* moduli[2];

  u128 tail(std::uint8_t round) const noexcept { return fixed | (u128(round) << roundShift) | bNum; }
};

// Rounds past 2^96 (b = 13 to 16, d = 20). The round's last block is
// fixed | round << roundShift | NUM(B), except at b = 16, where the tail is
// two blocks: fixed | round, then NUM(B) alone. y is R * 2^32 plus the top
// four bytes of E(R xor [1]).
struct LongLane {
  u128 fixed;
  unsigned roundShift;  // 8 b, or 0 at b = 16
  bool twoBlocks;       // b = 16
  u128 a, bNum;
  const Ff1::WideModulus* moduli[2];

  u128 first(std::uint8_t round) const noexcept {
    return fixed | (u128(round) << roundShift) | (twoBlocks ? u128(0) : bNum);
  }
};

inline void finishLong(LongLane& lane, std::uint8_t round, u128 r, std::uint32_t extra) noexcept {
  const Ff1::WideModulus& mod = *lane.moduli[round & 1];
  // a and y mod m are below m < 2^128: their sum may carry out of 128 bits once.
  u128 z;
  const bool carry = __builtin_add_overflow(lane.a, mod.reduceLong(r, extra), &z);
  z -= mod.value() & (u128(0) - static_cast<u128>(carry || z >= mod.value()));
  lane.a = lane.bNum;
  lane.bNum = z;
}

#if defined(__x86_64__)
bool cpuHasAes() noexcept { return __builtin_cpu_supports("aes"); }
bool cpuHasVectorAes() noexcept {
  // VAES from CPUID leaf 7 (ECX bit 9): not every compiler's
  // __builtin_cpu_supports knows it. The AVX-512 checks include the OS's
  // saving of the 512-bit registers.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  const bool vaes = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ecx & (1u << 9)) != 0;
  return vaes && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
}
bool cpuHasIfma() noexcept { return __builtin_cpu_supports("avx512ifma"); }

__attribute__((target("aes,sse2"))) __m128i expandEven(__m128i key, __m128i assist) {
  assist = _mm_shuffle_epi32(assist, 0xff);
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  return _mm_xor_si128(key, assist);
}

__attribute__((target("aes,sse2"))) __m128i expandOdd(__m128i previous, __m128i key) {
  __m128i assist = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(previous, 0x00), 0xaa);
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  return _mm_xor_si128(key, assist);
}

__attribute__((target("aes,sse2"))) void expandKeyHardware(const std::uint8_t* key, std::uint8_t* roundKeys) {
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

__attribute__((target("aes,sse2"))) void cbcHardware(const std::uint8_t* roundKeys, std::uint8_t* state,
                                                     const std::uint8_t* blocks, std::size_t count) {
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
// Encrypts the lanes' round blocks with the AES instructions, all lanes'
// blocks in flight at once: the round keys stay in registers and each block
// goes from integer registers straight into the cipher. finish(l, r0, r1)
// completes lane l's round from R as two big-endian words.
template <std::size_t L, class LaneType, class Finish>
__attribute__((target("aes,sse2"), always_inline)) inline void roundsHardware(const std::uint8_t* roundKeys,
                                                                              const __m128i* starts, LaneType* lanes,
                                                                              Finish&& finish) {
  __m128i k[15];
  for (int i = 0; i < 15; ++i) k[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * i));
  for (std::uint8_t round = 0; round < 10; ++round) {
    __m128i s[L];
#pragma GCC unroll 16
    for (std::size_t l = 0; l < L; ++l) {
      const u128 tail = lanes[l].tail(round);
      s[l] = _mm_xor_si128(
          _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(static_cast<std::uint64_t>(tail))),
                         static_cast<long long>(__builtin_bswap64(static_cast<std::uint64_t>(tail >> 64)))),
          starts[l]);
    }
#pragma GCC unroll 14
    for (int i = 1; i < 14; ++i) {
#pragma GCC unroll 16
      for (std::size_t l = 0; l < L; ++l) s[l] = _mm_aesenc_si128(s[l], k[i]);
    }
#pragma GCC unroll 16
    for (std::size_t l = 0; l < L; ++l) {
      s[l] = _mm_aesenclast_si128(s[l], k[14]);
      finish(l, round, __builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(s[l]))),
             __builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s[l], s[l])))));
    }
  }
}
#else
bool cpuHasAes() noexcept { return false; }
bool cpuHasVectorAes() noexcept { return false; }
bool cpuHasIfma() noexcept { return false; }
void expandKeyHardware(const std::uint8_t*, std::uint8_t*) {}
void cbcHardware(const std::uint8_t*, std::uint8_t*, const std::uint8_t*, std::size_t) {}
#endif

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

void numArbitrary(mpz_ptr v, const std::uint32_t* x, std::size_t count, std::uint32_t radix) {
  mpz_set_ui(v, 0);
  for (std::size_t i = 0; i < count; ++i) {
    mpz_mul_ui(v, v, radix);
    mpz_add_ui(v, v, x[i]);
  }
}

void numeralsArbitrary(mpz_ptr v, std::uint32_t* out, std::size_t count, std::uint32_t radix) {
  for (std::size_t i = count; i-- > 0;) out[i] = static_cast<std::uint32_t>(mpz_tdiv_q_ui(v, v, radix));
}

// pad of T || 0^pad so that the whole PRF message fills whole blocks.
std::size_t padFor(std::size_t tweakLength, std::size_t b) noexcept { return (0 - tweakLength - b - 1) % 16; }

// The bytes of T || 0^pad after its last whole block (of the message, which
// starts with the 16-byte P): they open the tail that each round completes.
std::size_t tailHeadLength(std::size_t tweakLength, std::size_t pad) noexcept { return (tweakLength + pad) % 16; }
// Writes those bytes to out: the tweak's last ones, if any, then zeros.
void layTailHead(std::string_view tweak, std::size_t pad, std::uint8_t* out) noexcept {
  const std::size_t length = tailHeadLength(tweak.size(), pad);
  const std::size_t fromTweak = length > pad ? length - pad : 0;
  if (fromTweak != 0) std::memcpy(out, tweak.data() + tweak.size() - fromTweak, fromTweak);
  std::memset(out + fromTweak, 0, length - fromTweak);
}

// One encryption's PRF input. The PRF message is
// P || T || 0^pad || round || NUM(B) in b bytes, a multiple of 16 bytes long:
// every whole block before the round byte is the same in all ten rounds (and
// for every value of the shape), so each round continues from the CBC-MAC
// state after them over the tail, which holds the last partial block of
// T || 0^pad, the round byte and NUM(B).
class Rounds {
 public:
  Rounds(const std::uint8_t* state, std::string_view tweak, std::size_t b)
      : b_(b), head_(tailHeadLength(tweak.size(), padFor(tweak.size(), b))), tail_(head_ + 1 + b) {
    layTailHead(tweak, padFor(tweak.size(), b), tail_.data());
    std::memcpy(state_, state, 16);
  }

  // R = PRF(P || Q) for round i with NUM(B) already written by the caller.
  void prf(const Ff1& cipher, std::uint8_t round, std::uint8_t* r) {
    tail_.data()[head_] = round;
    std::memcpy(r, state_, 16);
    cipher.cbc(r, tail_.data(), (head_ + 1 + b_) / 16);
  }
  // Where the caller writes NUM(B), b bytes big-endian.
  std::uint8_t* numB() noexcept { return tail_.data() + head_ + 1; }

 private:
  std::size_t b_, head_;
  Scratch<64> tail_;
  std::uint8_t state_[16];
};

// Prefix states of the last few shapes on this thread. A tweak longer than
// any the strategies build is simply not kept.
constexpr std::size_t kCachedTweak = 288;
constexpr std::size_t kCachedShapes = 4;
struct PrefixEntry {
  std::uint64_t identity = 0;  // 0: empty
  std::size_t n = 0;
  std::size_t tweakLength = 0;
  std::uint8_t state[16] = {};
  char tweak[kCachedTweak] = {};
};
struct PrefixCache {
  PrefixEntry entries[kCachedShapes];
  std::size_t next = 0;
};
constinit thread_local PrefixCache prefixCache;

std::atomic<std::uint64_t> nextIdentity{1};

}  // namespace

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

Ff1::Ff1(const Digest& key, std::uint32_t radix) : Ff1(key, radix, AesEngine::automatic) {}

Ff1::Ff1(const Digest& key, std::uint32_t radix, AesEngine engine)
    : powerCount_(0),
      radixReciprocal_(radix >= 2 ? ~std::uint64_t{0} / radix + 1 : 0),
      radix_(radix),
      minLength_(1),
      identity_(nextIdentity.fetch_add(1, std::memory_order_relaxed)),
      hardware_(engine != AesEngine::software && cpuHasAes()),
      vector_(engine == AesEngine::automatic && hardware_ && cpuHasVectorAes()),
      wideVector_(vector_ && cpuHasIfma()) {
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

void Ff1::prefixState(std::size_t n, std::string_view tweak, std::size_t pad, std::uint8_t* state) const {
  // n and the tweak fix the whole prefix (pad follows from them and the radix).
  PrefixCache& cache = prefixCache;
  const bool cacheable = tweak.size() <= kCachedTweak;
  if (cacheable) {
    for (const PrefixEntry& e : cache.entries) {
      if (e.identity == identity_ && e.n == n && e.tweakLength == tweak.size() &&
          (tweak.empty() || std::memcmp(e.tweak, tweak.data(), tweak.size()) == 0)) {
        std::memcpy(state, e.state, 16);
        return;
      }
    }
  }
  const std::size_t prefixLength = 16 + tweak.size() + pad;
  const std::size_t u = n / 2;
  Scratch<512> prefix(prefixLength);
  std::uint8_t* p = prefix.data();
  const std::uint8_t header[16] = {1,
                                   2,
                                   1,
                                   static_cast<std::uint8_t>(radix_ >> 16),
                                   static_cast<std::uint8_t>(radix_ >> 8),
                                   static_cast<std::uint8_t>(radix_),
                                   10,
                                   static_cast<std::uint8_t>(u),
                                   static_cast<std::uint8_t>(n >> 24),
                                   static_cast<std::uint8_t>(n >> 16),
                                   static_cast<std::uint8_t>(n >> 8),
                                   static_cast<std::uint8_t>(n),
                                   static_cast<std::uint8_t>(tweak.size() >> 24),
                                   static_cast<std::uint8_t>(tweak.size() >> 16),
                                   static_cast<std::uint8_t>(tweak.size() >> 8),
                                   static_cast<std::uint8_t>(tweak.size())};
  std::memcpy(p, header, 16);
  if (!tweak.empty()) std::memcpy(p + 16, tweak.data(), tweak.size());
  std::memset(p + 16 + tweak.size(), 0, pad);
  std::memset(state, 0, 16);
  cbc(state, p, prefixLength / 16);
  if (cacheable) {
    PrefixEntry& e = cache.entries[cache.next];
    cache.next = (cache.next + 1) % kCachedShapes;
    e.identity = identity_;
    e.n = n;
    e.tweakLength = tweak.size();
    if (!tweak.empty()) std::memcpy(e.tweak, tweak.data(), tweak.size());
    std::memcpy(e.state, state, 16);
  }
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

namespace {

// Completes round `round` of a lane from R given as two big-endian words:
// y = the first d bytes of R (8 or 12), z = (NUM(A) + y) mod radix^m.
inline void finishRound(Lane& lane, std::uint8_t round, std::uint64_t r0, std::uint64_t r1) noexcept {
  const Modulus& mod = *lane.moduli[round & 1];
  const std::uint64_t y = lane.wide ? mod.reduce(r0 >> 32, (r0 << 32) | (r1 >> 32)) : mod.reduce(r0);
  // a < m, so one conditional subtraction finishes the reduction; it is done
  // with masks because its direction is random and a branch on it would sit
  // mispredicted on the rounds' critical path.
  std::uint64_t z;
  const bool carry = __builtin_add_overflow(lane.a, y, &z);
  z -= mod.value() & (0 - static_cast<std::uint64_t>(carry || z >= mod.value()));
  lane.a = lane.bNum;
  lane.bNum = z;
}

inline void finishWide(WideLane& lane, std::uint8_t round, std::uint64_t r0, std::uint64_t r1) noexcept {
  const Ff1::WideModulus& mod = *lane.moduli[round & 1];
  // y = R >> yShift (yShift is 0 or 32), on words.
  const unsigned shift = lane.yShift;
  const u128 y = (u128(r0 >> shift) << 64) | ((r1 >> shift) | ((r0 << 1) << (63 - shift)));
  // a < m <= 2^96 and y mod m < m: the sum cannot carry out of 128 bits.
  const u128 sum = lane.a + mod.reduce(y);
  auto z0 = static_cast<std::uint64_t>(sum), z1 = static_cast<std::uint64_t>(sum >> 64);
  const u128 m = mod.value();
  subtractIfAtLeast(z0, z1, static_cast<std::uint64_t>(m), static_cast<std::uint64_t>(m >> 64));
  lane.a = lane.bNum;
  lane.bNum = (u128(z1) << 64) | z0;
}

// Lanes of a batch on the 128-bit AES road: as many as its sixteen
// registers hold beside the round keys.
constexpr std::size_t kLanes = 8;
// Lanes of one vector group: two sets of four 512-bit registers of four blocks each.
constexpr std::size_t kSetLanes = 16;
constexpr std::size_t kGroupLanes = 2 * kSetLanes;

#if defined(__x86_64__)
template <std::size_t L>
__attribute__((target("aes,sse2"))) ZORVA_KERNEL_ALIGN void lanesHardware(const std::uint8_t* roundKeys,
                                                                    const std::uint8_t (*states)[16], Lane* lanes) {
  const __m128i k0 = _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys));
  __m128i starts[L];
  for (std::size_t l = 0; l < L; ++l)
    starts[l] = _mm_xor_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(states[l])), k0);
  roundsHardware<L>(roundKeys, starts, lanes,
                    [lanes](std::size_t l, std::uint8_t round, std::uint64_t r0, std::uint64_t r1) {
                      finishRound(lanes[l], round, r0, r1);
                    });
}

template <std::size_t L>
__attribute__((target("aes,sse2"))) ZORVA_KERNEL_ALIGN void wideLanesHardware(const std::uint8_t* roundKeys,
                                                                        const std::uint8_t (*states)[16],
                                                                        WideLane* lanes) {
  const __m128i k0 = _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys));
  __m128i starts[L];
  for (std::size_t l = 0; l < L; ++l)
    starts[l] = _mm_xor_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(states[l])), k0);
  roundsHardware<L>(roundKeys, starts, lanes,
                    [lanes](std::size_t l, std::uint8_t round, std::uint64_t r0, std::uint64_t r1) {
                      finishWide(lanes[l], round, r0, r1);
                    });
}

__attribute__((target("aes,sse2"), always_inline)) inline __m128i toBlock(u128 v) {
  return _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(static_cast<std::uint64_t>(v))),
                        static_cast<long long>(__builtin_bswap64(static_cast<std::uint64_t>(v >> 64))));
}
__attribute__((target("aes,sse2"), always_inline)) inline u128 fromBlock(__m128i b) {
  return (u128(__builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(b)))) << 64) |
         __builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(b, b))));
}
// The thirteen middle rounds and the last one over every lane, all in flight.
template <std::size_t L>
__attribute__((target("aes,sse2"), always_inline)) inline void encryptLanes(const __m128i* k, __m128i* s) {
#pragma GCC unroll 14
  for (int i = 1; i < 14; ++i) {
#pragma GCC unroll 8
    for (std::size_t l = 0; l < L; ++l) s[l] = _mm_aesenc_si128(s[l], k[i]);
  }
#pragma GCC unroll 8
  for (std::size_t l = 0; l < L; ++l) s[l] = _mm_aesenclast_si128(s[l], k[14]);
}

template <std::size_t L>
__attribute__((target("aes,sse2"))) ZORVA_KERNEL_ALIGN void longLanesHardware(const std::uint8_t* roundKeys,
                                                                        const std::uint8_t (*states)[16],
                                                                        LongLane* lanes) {
  __m128i k[15];
  for (int i = 0; i < 15; ++i) k[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * i));
  __m128i starts[L];
  bool anyTwoBlocks = false;
  for (std::size_t l = 0; l < L; ++l) {
    starts[l] = _mm_xor_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(states[l])), k[0]);
    anyTwoBlocks |= lanes[l].twoBlocks;
  }
  // [1] as a block: its last byte, the high byte of the register's upper half.
  const __m128i one = _mm_xor_si128(_mm_set_epi64x(static_cast<long long>(std::uint64_t{1} << 56), 0), k[0]);
  for (std::uint8_t round = 0; round < 10; ++round) {
    __m128i s[L];
    for (std::size_t l = 0; l < L; ++l) s[l] = _mm_xor_si128(toBlock(lanes[l].first(round)), starts[l]);
    if (anyTwoBlocks) {
      // The first block's state for every lane; lanes of one tail block
      // start over from theirs.
      __m128i firsts[L];
      for (std::size_t l = 0; l < L; ++l) firsts[l] = s[l];
      encryptLanes<L>(k, s);
      for (std::size_t l = 0; l < L; ++l)
        s[l] = lanes[l].twoBlocks ? _mm_xor_si128(_mm_xor_si128(s[l], k[0]), toBlock(lanes[l].bNum)) : firsts[l];
    }
    encryptLanes<L>(k, s);
    __m128i t[L];
    for (std::size_t l = 0; l < L; ++l) t[l] = _mm_xor_si128(s[l], one);
    encryptLanes<L>(k, t);
    for (std::size_t l = 0; l < L; ++l)
      finishLong(lanes[l], round, fromBlock(s[l]),
                 __builtin_bswap32(static_cast<std::uint32_t>(_mm_cvtsi128_si32(t[l]))));
  }
}

template <std::size_t... Ls>
constexpr auto longLaneTable(std::index_sequence<Ls...>) {
  using Run = void (*)(const std::uint8_t*, const std::uint8_t(*)[16], LongLane*);
  return std::array<Run, sizeof...(Ls)>{&longLanesHardware<Ls + 1>...};
}

template <std::size_t... Ls>
constexpr auto laneTable(std::index_sequence<Ls...>) {
  using Run = void (*)(const std::uint8_t*, const std::uint8_t(*)[16], Lane*);
  return std::array<Run, sizeof...(Ls)>{&lanesHardware<Ls + 1>...};
}
constexpr auto kLaneRuns = laneTable(std::make_index_sequence<kLanes>());
template <std::size_t... Ls>
constexpr auto wideLaneTable(std::index_sequence<Ls...>) {
  using Run = void (*)(const std::uint8_t*, const std::uint8_t(*)[16], WideLane*);
  return std::array<Run, sizeof...(Ls)>{&wideLanesHardware<Ls + 1>...};
}
constexpr auto kWideLaneRuns = wideLaneTable(std::make_index_sequence<kLanes>());
constexpr auto kLongLaneRuns = longLaneTable(std::make_index_sequence<kLanes>());

#define ZORVA_VECTOR_TARGET __attribute__((target("aes,vaes,avx512f,avx512dq,avx512bw,avx512vl")))

// GCC 12's AVX-512 header builds the unmasked forms of broadcasts and
// unpacks on a deliberately undefined operand, which its own
// uninitialized-value warning then reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// (y mod m) for eight y < 2^64 and one 2^8 <= m <= 2^32, with inverse = 1/m
// as a double, in two estimates. The first, y * (1/m) rounded three times
// on the way, lies within 40 of y/m (< 2^56), so r = y - q m is a signed
// value under 2^38 in magnitude: exact as a double. The second estimate's
// error, a few units in the last place of a number under 41, cannot reach
// across the gap of at least 1/m between r/m and the integer below it, so
// its floor is the quotient, or one less when r is a multiple of m and the
// estimate falls just short: r - q2 m is in [0, m], and one masked subtract
// finishes.
ZORVA_VECTOR_TARGET inline __m512i reduceVector(__m512i y, __m512i m, __m512d inverse) {
  const __m512i q = _mm512_cvttpd_epu64(_mm512_mul_pd(_mm512_cvtepu64_pd(y), inverse));
  const __m512i r = _mm512_sub_epi64(y, _mm512_mullo_epi64(q, m));
  const __m512i q2 = _mm512_cvt_roundpd_epi64(_mm512_mul_pd(_mm512_cvtepi64_pd(r), inverse),
                                              _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  const __m512i rest = _mm512_sub_epi64(r, _mm512_mullo_epi64(q2, m));
  return _mm512_mask_sub_epi64(rest, _mm512_cmpge_epi64_mask(rest, m), rest, m);
}

ZORVA_VECTOR_TARGET void vectorRemaindersOn(const std::uint64_t* y, std::size_t count, std::uint64_t m,
                                            std::uint64_t* out) {
  const __m512i modulus = _mm512_set1_epi64(static_cast<long long>(m));
  const __m512d inverse = _mm512_set1_pd(1.0 / static_cast<double>(m));
  for (std::size_t i = 0; i < count; i += 8) {
    const auto lanes = static_cast<__mmask8>(count - i >= 8 ? 0xff : (1u << (count - i)) - 1);
    _mm512_mask_storeu_epi64(out + i, lanes, reduceVector(_mm512_maskz_loadu_epi64(lanes, y + i), modulus, inverse));
  }
}

// The vector rounds' round keys, one per register lane, and each lane's
// constant block xor k0: lanes 0, 2, 4, 6 of a set in block register 0,
// 1, 3, 5, 7 in register 1 (8-15 likewise in 2 and 3).
template <std::size_t kBlocks>
ZORVA_VECTOR_TARGET __attribute__((always_inline)) inline void layVectorBlocks(const std::uint8_t* roundKeys,
                                                                               const std::uint8_t (*bases)[16],
                                                                               __m512i* k, __m512i* base) {
  for (int i = 0; i < 15; ++i)
    k[i] = _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * i)));
  for (std::size_t z = 0; z < kBlocks; ++z) {
    alignas(64) std::uint8_t laid[4][16];
    for (std::size_t j = 0; j < 4; ++j) std::memcpy(laid[j], bases[(z / 2) * 8 + 2 * j + (z & 1)], 16);
    base[z] = _mm512_xor_si512(_mm512_load_si512(laid), k[0]);
  }
}

// AES-256's thirteen middle rounds and the last over the block registers,
// all in flight (k0 is already in them).
template <std::size_t kBlocks>
ZORVA_VECTOR_TARGET __attribute__((always_inline)) inline void encryptVectorBlocks(const __m512i* k, __m512i* s) {
#pragma GCC unroll 13
  for (int i = 1; i < 14; ++i) {
#pragma GCC unroll 8
    for (std::size_t z = 0; z < kBlocks; ++z) s[z] = _mm512_aesenc_epi128(s[z], k[i]);
  }
#pragma GCC unroll 8
  for (std::size_t z = 0; z < kBlocks; ++z) s[z] = _mm512_aesenclast_epi128(s[z], k[14]);
}

// Sixteen encryptions of one shape per set (G sets side by side, so that
// the rounds of one set fill the others' waits on the AES chain) on 512-bit
// registers, their ten rounds and all their arithmetic in vector lanes: the
// round blocks four to a register for VAES, A and B eight to a register for
// the reductions. For shapes with b <= 4 (radix^v <= 2^32, so y is R's first
// eight bytes) and radix^u >= 2^8, which reduceVector needs.
//
// Each lane's block is its constant part (its prefix state, k0 and the head
// of T || 0^pad, in `bases`) xor the round byte, at the same place in every
// lane, xor NUM(B) in its last b bytes. Of a set's lanes, 0, 2, 4, 6 sit in
// block register 0, 1, 3, 5, 7 in register 1 (8-15 likewise in 2 and 3):
// that is where unpacking B's words against zeros puts them, and unpacking
// the results' first words puts them back in order.
template <std::size_t G>
ZORVA_VECTOR_TARGET ZORVA_KERNEL_ALIGN void vectorRounds(const std::uint8_t* roundKeys,
                                                                   const std::uint8_t (*bases)[16], std::uint64_t* a,
                                                                   std::uint64_t* bNum, std::uint64_t mu,
                                                                   std::uint64_t mv, unsigned b) {
  constexpr std::size_t kBlocks = 4 * G, kWords = 2 * G;
  __m512i k[15], base[kBlocks];
  layVectorBlocks<kBlocks>(roundKeys, bases, k, base);
  // Reverses the bytes of each 64-bit word: NUM(B) and y are big-endian.
  const __m512i swap = _mm512_broadcast_i32x4(_mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7));
  const __m512i zero = _mm512_setzero_si512();
  const __m512i moduli[2] = {_mm512_set1_epi64(static_cast<long long>(mu)),
                             _mm512_set1_epi64(static_cast<long long>(mv))};
  const __m512d inverses[2] = {_mm512_set1_pd(1.0 / static_cast<double>(mu)),
                               _mm512_set1_pd(1.0 / static_cast<double>(mv))};
  __m512i as[kWords], bs[kWords];
  for (std::size_t h = 0; h < kWords; ++h) {
    as[h] = _mm512_loadu_si512(a + 8 * h);
    bs[h] = _mm512_loadu_si512(bNum + 8 * h);
  }
  for (unsigned round = 0; round < 10; ++round) {
    // The round byte sits 7 - b bytes into the block's second word.
    const __m512i roundByte =
        _mm512_broadcast_i32x4(_mm_set_epi64x(static_cast<long long>(std::uint64_t{round} << (8 * (7 - b))), 0));
    __m512i s[kBlocks];
#pragma GCC unroll 4
    for (std::size_t h = 0; h < kWords; ++h) {
      const __m512i swapped = _mm512_shuffle_epi8(bs[h], swap);
      s[2 * h] = _mm512_ternarylogic_epi64(_mm512_unpacklo_epi64(zero, swapped), base[2 * h], roundByte, 0x96);
      s[2 * h + 1] = _mm512_ternarylogic_epi64(_mm512_unpackhi_epi64(zero, swapped), base[2 * h + 1], roundByte, 0x96);
    }
    encryptVectorBlocks<kBlocks>(k, s);
#pragma GCC unroll 4
    for (std::size_t h = 0; h < kWords; ++h) {
      const __m512i y = _mm512_shuffle_epi8(_mm512_unpacklo_epi64(s[2 * h], s[2 * h + 1]), swap);
      const __m512i m = moduli[round & 1];
      __m512i z = _mm512_add_epi64(as[h], reduceVector(y, m, inverses[round & 1]));
      z = _mm512_mask_sub_epi64(z, _mm512_cmpge_epi64_mask(z, m), z, m);
      as[h] = bs[h];
      bs[h] = z;
    }
  }
  for (std::size_t h = 0; h < kWords; ++h) {
    _mm512_storeu_si512(a + 8 * h, as[h]);
    _mm512_storeu_si512(bNum + 8 * h, bs[h]);
  }
}

#define ZORVA_WIDE_VECTOR_TARGET \
  __attribute__((target("aes,vaes,avx512f,avx512dq,avx512bw,avx512vl,avx512ifma")))

// The two-word rounds' numbers in vector lanes: eight values below 2^156 as
// three limbs of 52 bits, the width of IFMA's products.
struct Limbs {
  __m512i l0, l1, l2;
};

// A modulus 2^64 < m <= 2^96 broadcast as limbs (its third is zero), with
// 1/m and 2^64/m as doubles for the quotient estimates.
struct VectorModulus {
  __m512i l0, l1;
  __m512d inverse, inverse64;
};

ZORVA_WIDE_VECTOR_TARGET inline __m512i low52() { return _mm512_set1_epi64((std::int64_t{1} << 52) - 1); }

// (lo, hi) words (hi < 2^64) as limbs, and back (for values below 2^128).
ZORVA_WIDE_VECTOR_TARGET inline Limbs limbsOf(__m512i lo, __m512i hi) {
  const __m512i mask = low52();
  return {_mm512_and_si512(lo, mask),
          _mm512_ternarylogic_epi64(_mm512_srli_epi64(lo, 52), _mm512_slli_epi64(hi, 12), mask, 0xf8),
          _mm512_srli_epi64(hi, 40)};
}
ZORVA_WIDE_VECTOR_TARGET inline __m512i lowWordOf(const Limbs& x) {
  return _mm512_or_si512(x.l0, _mm512_slli_epi64(x.l1, 52));
}
ZORVA_WIDE_VECTOR_TARGET inline __m512i highWordOf(const Limbs& x) {
  return _mm512_or_si512(_mm512_srli_epi64(x.l1, 12), _mm512_slli_epi64(x.l2, 40));
}

// Carries limbs whose first two may have left [0, 2^52) by a few units of
// 2^52 either way (after an addition or subtraction) into the third, which
// keeps the sign.
ZORVA_WIDE_VECTOR_TARGET inline Limbs carried(__m512i l0, __m512i l1, __m512i l2) {
  const __m512i mask = low52();
  l1 = _mm512_add_epi64(l1, _mm512_srai_epi64(l0, 52));
  l2 = _mm512_add_epi64(l2, _mm512_srai_epi64(l1, 52));
  return {_mm512_and_si512(l0, mask), _mm512_and_si512(l1, mask), l2};
}

// x - m where that is not negative, else x; for 0 <= x < 2m.
ZORVA_WIDE_VECTOR_TARGET inline Limbs subtractIfAtLeastVector(const Limbs& x, const VectorModulus& m) {
  const Limbs t = carried(_mm512_sub_epi64(x.l0, m.l0), _mm512_sub_epi64(x.l1, m.l1), x.l2);
  const __mmask8 below = _mm512_cmplt_epi64_mask(t.l2, _mm512_setzero_si512());
  return {_mm512_mask_blend_epi64(below, t.l0, x.l0), _mm512_mask_blend_epi64(below, t.l1, x.l1),
          _mm512_mask_blend_epi64(below, t.l2, x.l2)};
}

// y mod m for eight y < 2^128 (as words) and one 2^64 < m <= 2^96, in two
// quotient estimates as doubles, the products exact on IFMA. The first,
// y * (1/m) with a few roundings on the way, is within 2^13 of y/m (below
// 2^64); 2^14 less, and never below zero, it leaves r = y - q m in
// [0, 2^15 m), below 2^111: exact in three limbs taken modulo 2^156. The
// second, r * (1/m) within 2^-36 of r/m, has a floor at most one off the
// quotient either way, so r - q2 m is in [-m, 2m) and one correction each way
// finishes.
ZORVA_WIDE_VECTOR_TARGET inline Limbs reduceWide(__m512i lo, __m512i hi, const VectorModulus& m) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i mask = low52();
  const __m512d estimate =
      _mm512_fmadd_pd(_mm512_cvtepu64_pd(hi), m.inverse64, _mm512_mul_pd(_mm512_cvtepu64_pd(lo), m.inverse));
  const __m512i margin = _mm512_set1_epi64(std::int64_t{1} << 14);
  const __m512i q = _mm512_sub_epi64(_mm512_max_epu64(_mm512_cvttpd_epu64(estimate), margin), margin);
  const __m512i q0 = _mm512_and_si512(q, mask), q1 = _mm512_srli_epi64(q, 52);
  const __m512i p0 = _mm512_madd52lo_epu64(zero, q0, m.l0);
  __m512i p1 = _mm512_madd52hi_epu64(zero, q0, m.l0);
  p1 = _mm512_madd52lo_epu64(p1, q0, m.l1);
  p1 = _mm512_madd52lo_epu64(p1, q1, m.l0);
  __m512i p2 = _mm512_madd52hi_epu64(zero, q0, m.l1);
  p2 = _mm512_madd52hi_epu64(p2, q1, m.l0);
  p2 = _mm512_madd52lo_epu64(p2, q1, m.l1);
  const Limbs y = limbsOf(lo, hi);
  Limbs r = carried(_mm512_sub_epi64(y.l0, p0), _mm512_sub_epi64(y.l1, p1), _mm512_sub_epi64(y.l2, p2));
  r.l2 = _mm512_and_si512(r.l2, mask);
  const __m512d rest = _mm512_fmadd_pd(
      _mm512_cvtepu64_pd(r.l2), _mm512_set1_pd(0x1p104),
      _mm512_fmadd_pd(_mm512_cvtepu64_pd(r.l1), _mm512_set1_pd(0x1p52), _mm512_cvtepu64_pd(r.l0)));
  const __m512i q2 =
      _mm512_cvt_roundpd_epu64(_mm512_mul_pd(rest, m.inverse), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  const __m512i s0 = _mm512_madd52lo_epu64(zero, q2, m.l0);
  const __m512i s1 = _mm512_madd52lo_epu64(_mm512_madd52hi_epu64(zero, q2, m.l0), q2, m.l1);
  const __m512i s2 = _mm512_madd52hi_epu64(zero, q2, m.l1);
  r = carried(_mm512_sub_epi64(r.l0, s0), _mm512_sub_epi64(r.l1, s1), _mm512_sub_epi64(r.l2, s2));
  const __mmask8 negative = _mm512_cmplt_epi64_mask(r.l2, zero);
  const Limbs up = carried(_mm512_add_epi64(r.l0, m.l0), _mm512_add_epi64(r.l1, m.l1), r.l2);
  r = {_mm512_mask_blend_epi64(negative, r.l0, up.l0), _mm512_mask_blend_epi64(negative, r.l1, up.l1),
       _mm512_mask_blend_epi64(negative, r.l2, up.l2)};
  return subtractIfAtLeastVector(r, m);
}

ZORVA_WIDE_VECTOR_TARGET VectorModulus vectorModulus(u128 m) {
  const auto lo = static_cast<std::uint64_t>(m), hi = static_cast<std::uint64_t>(m >> 64);
  const Limbs limbs = limbsOf(_mm512_set1_epi64(static_cast<std::int64_t>(lo)),
                              _mm512_set1_epi64(static_cast<std::int64_t>(hi)));
  const double value = static_cast<double>(m);
  return {limbs.l0, limbs.l1, _mm512_set1_pd(1 / value), _mm512_set1_pd(0x1p64 / value)};
}

ZORVA_WIDE_VECTOR_TARGET void vectorWideRemaindersOn(const u128* y, std::size_t count, u128 m, u128* out) {
  const VectorModulus modulus = vectorModulus(m);
  for (std::size_t i = 0; i < count; i += 8) {
    alignas(64) std::uint64_t lo[8] = {}, hi[8] = {};
    const std::size_t n = std::min<std::size_t>(8, count - i);
    for (std::size_t j = 0; j < n; ++j) {
      lo[j] = static_cast<std::uint64_t>(y[i + j]);
      hi[j] = static_cast<std::uint64_t>(y[i + j] >> 64);
    }
    const Limbs r = reduceWide(_mm512_load_si512(lo), _mm512_load_si512(hi), modulus);
    _mm512_store_si512(lo, lowWordOf(r));
    _mm512_store_si512(hi, highWordOf(r));
    for (std::size_t j = 0; j < n; ++j) out[i + j] = (u128(hi[j]) << 64) | lo[j];
  }
}

// The vector rounds for shapes with 2^64 < radix^u <= radix^v <= 2^96
// (b = 9 to 12, so y is all of R): as vectorRounds lays them, sixteen lanes a
// set, with A and B in limbs and NUM(B)'s two words, byte-reversed, in the
// block's two halves (its high word's bytes after the head, as b > 8). a and
// b hold each lane's A and B as low and high words, in and out.
template <std::size_t G>
ZORVA_WIDE_VECTOR_TARGET ZORVA_KERNEL_ALIGN void wideVectorRounds(
    const std::uint8_t* roundKeys, const std::uint8_t (*bases)[16], std::uint64_t (*a)[kGroupLanes],
    std::uint64_t (*bNum)[kGroupLanes], u128 mu, u128 mv, unsigned b) {
  constexpr std::size_t kBlocks = 4 * G, kWords = 2 * G;
  __m512i k[15], base[kBlocks];
  layVectorBlocks<kBlocks>(roundKeys, bases, k, base);
  const __m512i swap = _mm512_broadcast_i32x4(_mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7));
  const VectorModulus moduli[2] = {vectorModulus(mu), vectorModulus(mv)};
  Limbs as[kWords], bs[kWords];
  for (std::size_t h = 0; h < kWords; ++h) {
    as[h] = limbsOf(_mm512_loadu_si512(a[0] + 8 * h), _mm512_loadu_si512(a[1] + 8 * h));
    bs[h] = limbsOf(_mm512_loadu_si512(bNum[0] + 8 * h), _mm512_loadu_si512(bNum[1] + 8 * h));
  }
  for (unsigned round = 0; round < 10; ++round) {
    // The round byte sits 15 - b bytes into the block's first word.
    const __m512i roundByte =
        _mm512_broadcast_i32x4(_mm_set_epi64x(0, static_cast<long long>(std::uint64_t{round} << (8 * (15 - b)))));
    __m512i s[kBlocks];
#pragma GCC unroll 4
    for (std::size_t h = 0; h < kWords; ++h) {
      const __m512i high = _mm512_shuffle_epi8(highWordOf(bs[h]), swap);
      const __m512i low = _mm512_shuffle_epi8(lowWordOf(bs[h]), swap);
      s[2 * h] = _mm512_ternarylogic_epi64(_mm512_unpacklo_epi64(high, low), base[2 * h], roundByte, 0x96);
      s[2 * h + 1] = _mm512_ternarylogic_epi64(_mm512_unpackhi_epi64(high, low), base[2 * h + 1], roundByte, 0x96);
    }
    encryptVectorBlocks<kBlocks>(k, s);
#pragma GCC unroll 4
    for (std::size_t h = 0; h < kWords; ++h) {
      const __m512i yHigh = _mm512_shuffle_epi8(_mm512_unpacklo_epi64(s[2 * h], s[2 * h + 1]), swap);
      const __m512i yLow = _mm512_shuffle_epi8(_mm512_unpackhi_epi64(s[2 * h], s[2 * h + 1]), swap);
      const VectorModulus& m = moduli[round & 1];
      const Limbs r = reduceWide(yLow, yHigh, m);
      // A < m and r < m: the sum is below 2m.
      const Limbs z = subtractIfAtLeastVector(carried(_mm512_add_epi64(as[h].l0, r.l0),
                                                      _mm512_add_epi64(as[h].l1, r.l1),
                                                      _mm512_add_epi64(as[h].l2, r.l2)),
                                              m);
      as[h] = bs[h];
      bs[h] = z;
    }
  }
  for (std::size_t h = 0; h < kWords; ++h) {
    _mm512_storeu_si512(a[0] + 8 * h, lowWordOf(as[h]));
    _mm512_storeu_si512(a[1] + 8 * h, highWordOf(as[h]));
    _mm512_storeu_si512(bNum[0] + 8 * h, lowWordOf(bs[h]));
    _mm512_storeu_si512(bNum[1] + 8 * h, highWordOf(bs[h]));
  }
}
#pragma GCC diagnostic pop
#endif

}  // namespace

// Jobs on their way through the machine-integer rounds: lanes for the
// 128-bit and portable roads, and on the vector road open groups of one
// shape each.
struct Ff1::Group {
  std::size_t n = 0, count = 0;
  alignas(64) std::uint8_t bases[kGroupLanes][16];
  std::uint64_t a[kGroupLanes], bNum[kGroupLanes];
  const Ff1Job* owners[kGroupLanes];

  void clear(std::size_t l) noexcept {
    std::memset(bases[l], 0, 16);
    a[l] = bNum[l] = 0;
  }
};

// The same for the two-word shapes the vector rounds take: A and B as low
// and high words.
struct Ff1::WideGroup {
  std::size_t n = 0, count = 0;
  alignas(64) std::uint8_t bases[kGroupLanes][16];
  std::uint64_t a[2][kGroupLanes], bNum[2][kGroupLanes];
  const Ff1Job* owners[kGroupLanes];

  void clear(std::size_t l) noexcept {
    std::memset(bases[l], 0, 16);
    a[0][l] = a[1][l] = bNum[0][l] = bNum[1][l] = 0;
  }
};

namespace {

// The lanes a group runs on, one set or two: idle ones compute on zeros and
// are not read.
template <class G>
std::size_t setLanes(G& group) noexcept {
#ifdef ZORVA_COUNTING
  countAesBlocks(10 * group.count);
#endif
  const std::size_t lanes = group.count <= kSetLanes ? kSetLanes : kGroupLanes;
  for (std::size_t l = group.count; l < lanes; ++l) group.clear(l);
  return lanes;
}

}  // namespace

struct Ff1::Batch {
  static constexpr std::size_t kOpenGroups = 4;

  Lane lanes[kLanes];
  alignas(16) std::uint8_t states[kLanes][16];
  const Ff1Job* owners[kLanes];
  std::size_t filled = 0;
  WideLane wideLanes[kLanes];
  alignas(16) std::uint8_t wideStates[kLanes][16];
  const Ff1Job* wideOwners[kLanes];
  std::size_t wideFilled = 0;
  LongLane longLanes[kLanes];
  alignas(16) std::uint8_t longStates[kLanes][16];
  const Ff1Job* longOwners[kLanes];
  std::size_t longFilled = 0;
  Group groups[kOpenGroups];
  WideGroup wideGroups[kOpenGroups];
};

void vectorRemainders(const std::uint64_t* y, std::size_t count, std::uint64_t m, std::uint64_t* out) {
#if defined(__x86_64__)
  vectorRemaindersOn(y, count, m, out);
#else
  (void)y, (void)count, (void)m, (void)out;
#endif
}

void vectorWideRemainders(const u128* y, std::size_t count, u128 m, u128* out) {
#if defined(__x86_64__)
  vectorWideRemaindersOn(y, count, m, out);
#else
  (void)y, (void)count, (void)m, (void)out;
#endif
}

void Ff1::writeNumerals(const Ff1Job& job, u128 a, u128 bNum) const {
  const std::size_t u = job.numerals.size() / 2, v = job.numerals.size() - u;
  numerals(a, job.out.data(), u);
  numerals(bNum, job.out.data() + u, v);
}

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

void Ff1::softwareStep(std::uint8_t* state, u128 block) const {
  std::uint8_t bytes[16];
  putBE(bytes, static_cast<std::uint64_t>(block >> 64), 8);
  putBE(bytes + 8, static_cast<std::uint64_t>(block), 8);
  for (int i = 0; i < 16; ++i) state[i] ^= bytes[i];
  AES_encrypt(state, state, &softwareKey_);
}

void Ff1::runLanes(Batch& batch) const {
  const std::size_t filled = batch.filled;
  if (filled == 0) return;
#ifdef ZORVA_COUNTING
  countAesBlocks(10 * filled);
#endif
  Lane* lanes = batch.lanes;
#if defined(__x86_64__)
  if (hardware_) {
    kLaneRuns[filled - 1](roundKeys_, batch.states, lanes);
  } else
#endif
  {
    for (std::size_t l = 0; l < filled; ++l) {
      Lane& lane = lanes[l];
      for (std::uint8_t round = 0; round < 10; ++round) {
        // P || Q's last block is the tail; the blocks before it are in the state.
        std::uint8_t r[16];
        std::memcpy(r, batch.states[l], 16);
        softwareStep(r, lane.tail(round));
        finishRound(lane, round, loadBE64(r), loadBE64(r + 8));
      }
    }
  }
  for (std::size_t l = 0; l < filled; ++l) writeNumerals(*batch.owners[l], lanes[l].a, lanes[l].bNum);
  batch.filled = 0;
}

void Ff1::runWideLanes(Batch& batch) const {
  const std::size_t filled = batch.wideFilled;
  if (filled == 0) return;
#ifdef ZORVA_COUNTING
  countAesBlocks(10 * filled);
#endif
  WideLane* lanes = batch.wideLanes;
#if defined(__x86_64__)
  if (hardware_) {
    kWideLaneRuns[filled - 1](roundKeys_, batch.wideStates, lanes);
  } else
#endif
  {
    for (std::size_t l = 0; l < filled; ++l) {
      for (std::uint8_t round = 0; round < 10; ++round) {
        std::uint8_t r[16];
        std::memcpy(r, batch.wideStates[l], 16);
        softwareStep(r, lanes[l].tail(round));
        finishWide(lanes[l], round, loadBE64(r), loadBE64(r + 8));
      }
    }
  }
  for (std::size_t l = 0; l < filled; ++l) writeNumerals(*batch.wideOwners[l], lanes[l].a, lanes[l].bNum);
  batch.wideFilled = 0;
}

void Ff1::runLongLanes(Batch& batch) const {
  const std::size_t filled = batch.longFilled;
  if (filled == 0) return;
  LongLane* lanes = batch.longLanes;
#ifdef ZORVA_COUNTING
  for (std::size_t l = 0; l < filled; ++l) countAesBlocks(lanes[l].twoBlocks ? 30 : 20);
#endif
#if defined(__x86_64__)
  if (hardware_) {
    kLongLaneRuns[filled - 1](roundKeys_, batch.longStates, lanes);
  } else
#endif
  {
    for (std::size_t l = 0; l < filled; ++l) {
      LongLane& lane = lanes[l];
      for (std::uint8_t round = 0; round < 10; ++round) {
        std::uint8_t r[16];
        std::memcpy(r, batch.longStates[l], 16);
        softwareStep(r, lane.first(round));
        if (lane.twoBlocks) softwareStep(r, lane.bNum);
        std::uint8_t t[16];
        std::memcpy(t, r, 16);
        t[15] ^= 1;
        AES_encrypt(t, t, &softwareKey_);
        finishLong(lane, round, (u128(loadBE64(r)) << 64) | loadBE64(r + 8),
                   static_cast<std::uint32_t>(loadBE64(t) >> 32));
      }
    }
  }
  for (std::size_t l = 0; l < filled; ++l) writeNumerals(*batch.longOwners[l], lanes[l].a, lanes[l].bNum);
  batch.longFilled = 0;
}

void Ff1::runGroup(Group& group) const {
  if (group.count == 0) return;
#if defined(__x86_64__)
  const std::size_t u = group.n / 2, v = group.n - u;
  const std::size_t lanes = setLanes(group);
  const auto b = static_cast<unsigned>((std::bit_width(powers_[v].value() - 1) + 7) / 8);
  (lanes == kSetLanes ? &vectorRounds<1> : &vectorRounds<2>)(roundKeys_, group.bases, group.a, group.bNum,
                                                             powers_[u].value(), powers_[v].value(), b);
  for (std::size_t l = 0; l < group.count; ++l) writeNumerals(*group.owners[l], group.a[l], group.bNum[l]);
#endif
  group.count = 0;
}

namespace {

// The open group of shape n among groups; a new shape takes an empty group,
// or the fullest one once run has run it.
template <class G, std::size_t N, class Run>
G& openGroup(G (&groups)[N], std::size_t n, Run&& run) {
  G* group = nullptr;
  for (G& g : groups)
    if (g.count > 0 && g.n == n) group = &g;
  if (group == nullptr) {
    group = &groups[0];
    for (G& g : groups)
      if (g.count == 0 || (group->count != 0 && g.count > group->count)) group = &g;
    run(*group);
    group->n = n;
  }
  return *group;
}

}  // namespace

// A vector lane's constant block: the prefix state xor the head of the tail.
void Ff1::layBase(std::size_t n, std::string_view tweak, std::size_t pad, const std::uint8_t* head,
                  std::uint8_t* base) const {
  prefixState(n, tweak, pad, base);
  for (int i = 0; i < 16; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, base + i, 8);
    std::memcpy(&y, head + i, 8);
    x ^= y;
    std::memcpy(base + i, &x, 8);
  }
}

void Ff1::encryptMany(std::span<const Ff1Job> jobs) const {
  Batch batch;
  // A handful of values would wait on the vector rounds' longer chain.
  const bool vector = vector_ && jobs.size() >= 4;
  for (const Ff1Job& job : jobs) {
    checkPreconditions(job.numerals, job.out);
    const std::size_t n = job.numerals.size();
    const std::size_t u = n / 2, v = n - u;
    // v >= u, so radix^v fitting 64 bits covers radix^u as well.
    if (v >= powerCount_) {
      if (v + 1 - powerCount_ >= widePowerCount_) {
        encryptArbitrary(job.numerals, job.tweak, job.out);
        continue;
      }
      addWide(batch, job, vector);
      continue;
    }
    // b = bytes of radix^v - 1 (at most 8 here), d = 4 ceil(b/4) + 4 (at most
    // 12), so S is the first d bytes of R and y < 2^96.
    const std::uint64_t top = powers_[v].value() - 1;
    const auto b = static_cast<std::size_t>((std::bit_width(top) + 7) / 8);
    const std::size_t pad = padFor(job.tweak.size(), b);
    // The constant part of the tail: the last partial block of T || 0^pad,
    // with zeros where the round byte and NUM(B) go.
    alignas(8) std::uint8_t head[16] = {};
    layTailHead(job.tweak, pad, head);
    const auto a = static_cast<std::uint64_t>(num(job.numerals.data(), u));
    const auto bNum = static_cast<std::uint64_t>(num(job.numerals.data() + u, v));

    if (vector && b <= 4 && powers_[u].value() >= 256) {
      Group& group = openGroup(batch.groups, n, [this](Group& g) { runGroup(g); });
      const std::size_t l = group.count++;
      layBase(n, job.tweak, pad, head, group.bases[l]);
      group.a[l] = a;
      group.bNum[l] = bNum;
      group.owners[l] = &job;
      if (group.count == kGroupLanes) runGroup(group);
      continue;
    }

    Lane& lane = batch.lanes[batch.filled];
    prefixState(n, job.tweak, pad, batch.states[batch.filled]);
    lane.fixed = (u128(loadBE64(head)) << 64) | loadBE64(head + 8);
    lane.roundShift = static_cast<unsigned>(8 * b);
    lane.wide = b > 4;
    lane.a = a;
    lane.bNum = bNum;
    lane.moduli[0] = &powers_[u];
    lane.moduli[1] = &powers_[v];
    batch.owners[batch.filled++] = &job;
    if (batch.filled == kLanes) runLanes(batch);
  }
  runLanes(batch);
  runWideLanes(batch);
  runLongLanes(batch);
  for (Group& g : batch.groups) runGroup(g);
  for (WideGroup& g : batch.wideGroups) runWideGroup(g);
}

void Ff1::runWideGroup(WideGroup& group) const {
  if (group.count == 0) return;
#if defined(__x86_64__)
  const std::size_t u = group.n / 2, v = group.n - u;
  const std::size_t lanes = setLanes(group);
  const u128 mu = widePowers_[u + 1 - powerCount_].value(), mv = widePowers_[v + 1 - powerCount_].value();
  const auto top = static_cast<std::uint64_t>((mv - 1) >> 64);
  const auto b = static_cast<unsigned>((128 - std::countl_zero(top) + 7) / 8);
  (lanes == kSetLanes ? &wideVectorRounds<1> : &wideVectorRounds<2>)(roundKeys_, group.bases, group.a, group.bNum,
                                                                     mu, mv, b);
  for (std::size_t l = 0; l < group.count; ++l)
    writeNumerals(*group.owners[l], (u128(group.a[1][l]) << 64) | group.a[0][l],
                  (u128(group.bNum[1][l]) << 64) | group.bNum[0][l]);
#endif
  group.count = 0;
}

void Ff1::addWide(Batch& batch, const Ff1Job& job, bool vector) const {
  const std::size_t n = job.numerals.size();
  const std::size_t u = n / 2, v = n - u;
  // radix^v > 2^64 here, or exactly 2^64: b is 8 to 16 and d 12 to 20.
  const WideModulus& pu = widePowers_[u + 1 - powerCount_];
  const WideModulus& pv = widePowers_[v + 1 - powerCount_];
  const u128 top = pv.value() - 1;
  const auto topWord = static_cast<std::uint64_t>(top >> 64);
  const auto bits = topWord != 0 ? 128 - std::countl_zero(topWord) : std::bit_width(static_cast<std::uint64_t>(top));
  const auto b = static_cast<std::size_t>((bits + 7) / 8);
  const std::size_t d = 4 * ((b + 3) / 4) + 4;
  const std::size_t pad = padFor(job.tweak.size(), b);
  alignas(8) std::uint8_t head[16] = {};
  layTailHead(job.tweak, pad, head);
  // The vector lanes take y as all of R (b > 8) and moduli past 2^64 only.
  if (vector && wideVector_ && b >= 9 && b <= 12 && pu.value() > (u128(1) << 64)) {
    WideGroup& group = openGroup(batch.wideGroups, n, [this](WideGroup& g) { runWideGroup(g); });
    const std::size_t l = group.count++;
    layBase(n, job.tweak, pad, head, group.bases[l]);
    const u128 a = num(job.numerals.data(), u), bNum = num(job.numerals.data() + u, v);
    group.a[0][l] = static_cast<std::uint64_t>(a);
    group.a[1][l] = static_cast<std::uint64_t>(a >> 64);
    group.bNum[0][l] = static_cast<std::uint64_t>(bNum);
    group.bNum[1][l] = static_cast<std::uint64_t>(bNum >> 64);
    group.owners[l] = &job;
    if (group.count == kGroupLanes) runWideGroup(group);
    return;
  }
  if (b > 12) {
    LongLane& lane = batch.longLanes[batch.longFilled];
    prefixState(n, job.tweak, pad, batch.longStates[batch.longFilled]);
    lane.twoBlocks = b == 16;
    // At b = 16 the head is 15 bytes and the round byte closes its block.
    lane.fixed = (u128(loadBE64(head)) << 64) | loadBE64(head + 8);
    lane.roundShift = lane.twoBlocks ? 0 : static_cast<unsigned>(8 * b);
    lane.a = num(job.numerals.data(), u);
    lane.bNum = num(job.numerals.data() + u, v);
    lane.moduli[0] = &pu;
    lane.moduli[1] = &pv;
    batch.longOwners[batch.longFilled++] = &job;
    if (batch.longFilled == kLanes) runLongLanes(batch);
    return;
  }
  WideLane& lane = batch.wideLanes[batch.wideFilled];
  prefixState(n, job.tweak, pad, batch.wideStates[batch.wideFilled]);
  lane.fixed = (u128(loadBE64(head)) << 64) | loadBE64(head + 8);
  lane.roundShift = static_cast<unsigned>(8 * b);
  lane.yShift = static_cast<unsigned>(128 - 8 * d);
  lane.a = num(job.numerals.data(), u);
  lane.bNum = num(job.numerals.data() + u, v);
  lane.moduli[0] = &pu;
  lane.moduli[1] = &pv;
  batch.wideOwners[batch.wideFilled++] = &job;
  if (batch.wideFilled == kLanes) runWideLanes(batch);
}

void Ff1::encryptArbitrary(std::span<const std::uint32_t> numerals, std::string_view tweak,
                           std::span<std::uint32_t> out) const {
  checkPreconditions(numerals, out);
  const std::size_t n = numerals.size();
  const std::size_t u = n / 2, v = n - u;
  Mpz pu, pv, a, bNum, y, z;
  mpz_ui_pow_ui(pu, radix_, u);
  mpz_ui_pow_ui(pv, radix_, v);
  mpz_sub_ui(z, pv, 1);
  const std::size_t b = mpz_sgn(z.v) == 0 ? 0 : (mpz_sizeinbase(z, 2) + 7) / 8;
  const std::size_t d = 4 * ((b + 3) / 4) + 4;
  const std::size_t sBlocks = (d + 15) / 16;
  std::uint8_t state[16];
  prefixState(n, tweak, padFor(tweak.size(), b), state);
  Rounds rounds(state, tweak, b);
  Scratch<256> s(16 * sBlocks);

  numArbitrary(a, numerals.data(), u, radix_);
  numArbitrary(bNum, numerals.data() + u, v, radix_);
  for (std::uint8_t i = 0; i < 10; ++i) {
    mpzBytesBE(bNum, rounds.numB(), b);
    std::uint8_t* sBytes = s.data();
    rounds.prf(*this, i, sBytes);
    // S = R || E(R xor [1]) || E(R xor [2]) || ..., [j] being j in 16 bytes big-endian.
    for (std::size_t j = 1; j < sBlocks; ++j) {
      std::uint8_t x[16];
      std::memcpy(x, sBytes, 16);
      for (std::size_t k = 0; k < 8; ++k)
        x[15 - k] ^= static_cast<std::uint8_t>(static_cast<std::uint64_t>(j) >> (8 * k));
      block(x, sBytes + 16 * j);
    }
    mpz_import(y, d, 1, 1, 1, 0, sBytes);
    mpz_add(z, a, y);
    mpz_tdiv_r(z, z, (i % 2 == 0) ? pu : pv);
    mpz_swap(a, bNum);
    mpz_swap(bNum, z);
  }
  numeralsArbitrary(a, out.data(), u, radix_);
  numeralsArbitrary(bNum, out.data() + u, v, radix_);
}

}  // namespace zorva

#pragma GCC diagnostic pop
