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
#include <wmmintrin.h>
#endif

#include "big_endian.h"
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

#if defined(__x86_64__)
bool cpuHasAes() noexcept { return __builtin_cpu_supports("aes"); }

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
template <std::size_t L, class Finish>
__attribute__((target("aes,sse2"), always_inline)) inline void roundsHardware(const std::uint8_t* roundKeys,
                                                                              const __m128i* starts, Lane* lanes,
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
void expandKeyHardware(const std::uint8_t*, std::uint8_t*) {}
void cbcHardware(const std::uint8_t*, std::uint8_t*, const std::uint8_t*, std::size_t) {}
#endif

// Numerals to NUM in the given radix, first numeral most significant.
std::uint64_t numMachine(const std::uint32_t* x, std::size_t count, std::uint64_t radix) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < count; ++i) v = v * radix + x[i];
  return v;
}

// Writes v as count numerals. Values above 32 bits are divided by the radix
// with a multiplication by its magic number (Granlund and Montgomery), the
// rest with reciprocal = 2^64 / radix rounded up, which divides any 32-bit
// value exactly (Lemire's fastdiv): no division instruction either way.
void numeralsMachine(std::uint64_t v, std::uint32_t* out, std::size_t count, std::uint32_t radix,
                     std::uint64_t reciprocal, std::uint64_t magic, unsigned shift) noexcept {
  std::size_t i = count;
  for (; i > 0 && v > 0xffffffffu; --i) {
    const auto t = static_cast<std::uint64_t>((u128(magic) * v) >> 64);
    const std::uint64_t q = (t + ((v - t) >> 1)) >> shift;
    out[i - 1] = static_cast<std::uint32_t>(v - q * radix);
    v = q;
  }
  auto low = static_cast<std::uint32_t>(v);
  for (; i > 0; --i) {
    auto quotient = static_cast<std::uint32_t>((u128(reciprocal) * low) >> 64);
    out[i - 1] = low - quotient * radix;
    low = quotient;
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
std::uint8_t tailHeadByte(std::string_view tweak, std::size_t pad, std::size_t j) noexcept {
  const std::size_t at = tweak.size() + pad - tailHeadLength(tweak.size(), pad) + j;
  return at < tweak.size() ? static_cast<std::uint8_t>(tweak[at]) : 0;
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
    const std::size_t pad = padFor(tweak.size(), b);
    for (std::size_t j = 0; j < head_; ++j) tail_.data()[j] = tailHeadByte(tweak, pad, j);
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

Ff1::Ff1(const Digest& key, std::uint32_t radix) : Ff1(key, radix, AesEngine::automatic) {}

Ff1::Ff1(const Digest& key, std::uint32_t radix, AesEngine engine)
    : powerCount_(0),
      radixReciprocal_(radix >= 2 ? ~std::uint64_t{0} / radix + 1 : 0),
      radix_(radix),
      minLength_(1),
      identity_(nextIdentity.fetch_add(1, std::memory_order_relaxed)),
      hardware_(engine == AesEngine::automatic && cpuHasAes()) {
  std::uint64_t power = 1;
  bool fits = radix >= 1;
  while (fits && powerCount_ < 64) {
    powers_[powerCount_] = Modulus(power);
    ++powerCount_;
    fits = !__builtin_mul_overflow(power, std::uint64_t{radix}, &power);
  }
  // Division by the radix: l = ceil(log2 radix), magic = 2^64 (2^l - radix) / radix + 1.
  if (radix >= 2) {
    const auto l = static_cast<unsigned>(std::bit_width(std::uint64_t{radix} - 1));
    radixDivider_.magic = static_cast<std::uint64_t>((((u128(1) << l) - radix) << 64) / radix + 1);
    radixDivider_.shift = l - 1;
  } else {
    radixDivider_ = Divider{0, 0};
  }
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
  for (std::uint32_t x : numerals)
    if (x >= radix_) throw std::logic_error("numeral outside the radix");
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

constexpr std::size_t kLanes = 8;

#if defined(__x86_64__)
template <std::size_t L>
__attribute__((target("aes,sse2"))) void lanesHardware(const std::uint8_t* roundKeys, const std::uint8_t (*states)[16],
                                                       Lane* lanes) {
  const __m128i k0 = _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys));
  __m128i starts[L];
  for (std::size_t l = 0; l < L; ++l)
    starts[l] = _mm_xor_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(states[l])), k0);
  roundsHardware<L>(roundKeys, starts, lanes,
                    [lanes](std::size_t l, std::uint8_t round, std::uint64_t r0, std::uint64_t r1) {
                      finishRound(lanes[l], round, r0, r1);
                    });
}

template <std::size_t... Ls>
constexpr auto laneTable(std::index_sequence<Ls...>) {
  using Run = void (*)(const std::uint8_t*, const std::uint8_t(*)[16], Lane*);
  return std::array<Run, sizeof...(Ls)>{&lanesHardware<Ls + 1>...};
}
constexpr auto kLaneRuns = laneTable(std::make_index_sequence<kLanes>());
#endif

}  // namespace

void Ff1::encryptMany(std::span<const Ff1Job> jobs) const {
  Lane lanes[kLanes];
  alignas(16) std::uint8_t states[kLanes][16];
  const Ff1Job* owners[kLanes];
  std::size_t filled = 0;

  auto run = [&] {
    if (filled == 0) return;
#ifdef ZORVA_COUNTING
    countAesBlocks(10 * filled);
#endif
#if defined(__x86_64__)
    if (hardware_) {
      kLaneRuns[filled - 1](roundKeys_, states, lanes);
    } else
#endif
    {
      for (std::size_t l = 0; l < filled; ++l) {
        Lane& lane = lanes[l];
        for (std::uint8_t round = 0; round < 10; ++round) {
          // P || Q's last block is the tail; the blocks before it are in the state.
          const u128 tail = lane.tail(round);
          std::uint8_t r[16];
          std::memcpy(r, states[l], 16);
          std::uint8_t block[16];
          putBE(block, static_cast<std::uint64_t>(tail >> 64), 8);
          putBE(block + 8, static_cast<std::uint64_t>(tail), 8);
          for (int i = 0; i < 16; ++i) r[i] ^= block[i];
          AES_encrypt(r, r, &softwareKey_);
          finishRound(lane, round, loadBE64(r), loadBE64(r + 8));
        }
      }
    }
    for (std::size_t l = 0; l < filled; ++l) {
      const Ff1Job& job = *owners[l];
      const std::size_t u = job.numerals.size() / 2, v = job.numerals.size() - u;
      numeralsMachine(lanes[l].a, job.out.data(), u, radix_, radixReciprocal_, radixDivider_.magic,
                      radixDivider_.shift);
      numeralsMachine(lanes[l].bNum, job.out.data() + u, v, radix_, radixReciprocal_, radixDivider_.magic,
                      radixDivider_.shift);
    }
    filled = 0;
  };

  for (const Ff1Job& job : jobs) {
    checkPreconditions(job.numerals, job.out);
    const std::size_t n = job.numerals.size();
    const std::size_t u = n / 2, v = n - u;
    // v >= u, so radix^v fitting 64 bits covers radix^u as well.
    if (v >= powerCount_) {
      encryptArbitrary(job.numerals, job.tweak, job.out);
      continue;
    }
    // b = bytes of radix^v - 1 (at most 8 here), d = 4 ceil(b/4) + 4 (at most
    // 12), so S is the first d bytes of R and y < 2^96.
    const std::uint64_t top = powers_[v].value() - 1;
    const auto b = static_cast<std::size_t>((std::bit_width(top) + 7) / 8);
    const std::size_t pad = padFor(job.tweak.size(), b);
    prefixState(n, job.tweak, pad, states[filled]);
    Lane& lane = lanes[filled];
    lane.fixed = 0;
    const std::size_t head = tailHeadLength(job.tweak.size(), pad);
    for (std::size_t j = 0; j < head; ++j) lane.fixed = (lane.fixed << 8) | tailHeadByte(job.tweak, pad, j);
    lane.fixed <<= 8 * (b + 1);
    lane.roundShift = static_cast<unsigned>(8 * b);
    lane.wide = b > 4;
    lane.a = numMachine(job.numerals.data(), u, radix_);
    lane.bNum = numMachine(job.numerals.data() + u, v, radix_);
    lane.moduli[0] = &powers_[u];
    lane.moduli[1] = &powers_[v];
    owners[filled++] = &job;
    if (filled == kLanes) run();
  }
  run();
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
