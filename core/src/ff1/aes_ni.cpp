// FF1's 128-bit road: up to eight jobs' machine-integer rounds at once, all
// their AES blocks in flight on the AES instructions, or one block at a time
// on OpenSSL's portable code; radix^v below 2^64, to 2^96, and to 2^128.
#include <array>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "support/bytes.h"
#include "ff1/internal/lanes.h"
#include "ff1/internal/wide_modulus.h"
#include "cpu/kernel_align.h"
#include "cpu/targets.h"

// AES_set_encrypt_key/AES_encrypt are deprecated in OpenSSL 3, but the EVP
// interface costs a context allocation and a dispatch per call; these encrypt
// one block on a schedule expanded once.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace zorva {

namespace {

// Completes round `round` of a lane from R given as two big-endian words:
// y = the first d bytes of R (8 or 12), z = (NUM(A) + y) mod radix^m.
inline void finishLane(Ff1Lane& lane, std::uint8_t round, std::uint64_t r0, std::uint64_t r1) noexcept {
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

inline void finishLane(Ff1WideLane& lane, std::uint8_t round, std::uint64_t r0, std::uint64_t r1) noexcept {
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

inline void finishLong(Ff1LongLane& lane, std::uint8_t round, u128 r, std::uint32_t extra) noexcept {
  const Ff1::WideModulus& mod = *lane.moduli[round & 1];
  // a and y mod m are below m < 2^128: their sum may carry out of 128 bits once.
  u128 z;
  const bool carry = __builtin_add_overflow(lane.a, mod.reduceLong(r, extra), &z);
  z -= mod.value() & (u128(0) - static_cast<u128>(carry || z >= mod.value()));
  lane.a = lane.bNum;
  lane.bNum = z;
}

#if defined(__x86_64__)
// Encrypts the lanes' round blocks with the AES instructions, all lanes'
// blocks in flight at once: the round keys stay in registers and each block
// goes from integer registers straight into the cipher. finish(l, r0, r1)
// completes lane l's round from R as two big-endian words.
template <std::size_t L, class LaneType, class Finish>
ZORVA_TARGET_AES __attribute__((always_inline)) inline void roundsHardware(const std::uint8_t* roundKeys,
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

// The narrow and the two-word lanes: one AES block a round, finished by the
// lane type's own step.
template <std::size_t L, class Lane>
ZORVA_TARGET_AES ZORVA_KERNEL_ALIGN void oneBlockLanesHardware(const std::uint8_t* roundKeys,
                                                               const std::uint8_t (*states)[16], Lane* lanes) {
  const __m128i k0 = _mm_load_si128(reinterpret_cast<const __m128i*>(roundKeys));
  __m128i starts[L];
  for (std::size_t l = 0; l < L; ++l)
    starts[l] = _mm_xor_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(states[l])), k0);
  roundsHardware<L>(roundKeys, starts, lanes,
                    [lanes](std::size_t l, std::uint8_t round, std::uint64_t r0, std::uint64_t r1) {
                      finishLane(lanes[l], round, r0, r1);
                    });
}

ZORVA_TARGET_AES __attribute__((always_inline)) inline __m128i toBlock(u128 v) {
  return _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(static_cast<std::uint64_t>(v))),
                        static_cast<long long>(__builtin_bswap64(static_cast<std::uint64_t>(v >> 64))));
}
ZORVA_TARGET_AES __attribute__((always_inline)) inline u128 fromBlock(__m128i b) {
  return (u128(__builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(b)))) << 64) |
         __builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(b, b))));
}
// The thirteen middle rounds and the last one over every lane, all in flight.
template <std::size_t L>
ZORVA_TARGET_AES __attribute__((always_inline)) inline void encryptLanes(const __m128i* k, __m128i* s) {
#pragma GCC unroll 14
  for (int i = 1; i < 14; ++i) {
#pragma GCC unroll 8
    for (std::size_t l = 0; l < L; ++l) s[l] = _mm_aesenc_si128(s[l], k[i]);
  }
#pragma GCC unroll 8
  for (std::size_t l = 0; l < L; ++l) s[l] = _mm_aesenclast_si128(s[l], k[14]);
}

template <std::size_t L>
ZORVA_TARGET_AES ZORVA_KERNEL_ALIGN void longLanesHardware(const std::uint8_t* roundKeys,
                                                           const std::uint8_t (*states)[16], Ff1LongLane* lanes) {
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
  using Run = void (*)(const std::uint8_t*, const std::uint8_t(*)[16], Ff1LongLane*);
  return std::array<Run, sizeof...(Ls)>{&longLanesHardware<Ls + 1>...};
}

template <std::size_t... Ls>
constexpr auto laneTable(std::index_sequence<Ls...>) {
  using Run = void (*)(const std::uint8_t*, const std::uint8_t(*)[16], Ff1Lane*);
  return std::array<Run, sizeof...(Ls)>{&oneBlockLanesHardware<Ls + 1, Ff1Lane>...};
}
constexpr auto kLaneRuns = laneTable(std::make_index_sequence<kLanes>());
template <std::size_t... Ls>
constexpr auto wideLaneTable(std::index_sequence<Ls...>) {
  using Run = void (*)(const std::uint8_t*, const std::uint8_t(*)[16], Ff1WideLane*);
  return std::array<Run, sizeof...(Ls)>{&oneBlockLanesHardware<Ls + 1, Ff1WideLane>...};
}
constexpr auto kWideLaneRuns = wideLaneTable(std::make_index_sequence<kLanes>());
constexpr auto kLongLaneRuns = longLaneTable(std::make_index_sequence<kLanes>());

// The kernels of a batch's one-block lanes, by lane type.
constexpr const auto& laneRuns(const Ff1Lane*) { return kLaneRuns; }
constexpr const auto& laneRuns(const Ff1WideLane*) { return kWideLaneRuns; }
#endif

}  // namespace

void Ff1::softwareStep(std::uint8_t* state, u128 block) const {
  std::uint8_t bytes[16];
  putBE(bytes, static_cast<std::uint64_t>(block >> 64), 8);
  putBE(bytes + 8, static_cast<std::uint64_t>(block), 8);
  for (int i = 0; i < 16; ++i) state[i] ^= bytes[i];
  AES_encrypt(state, state, &softwareKey_);
}

template <class Lane>
void Ff1::runOneBlockLanes(std::size_t& filled, Lane* lanes, const std::uint8_t (*states)[16],
                           const Ff1Job* const* owners) const {
  const std::size_t count = filled;
  if (count == 0) return;
#ifdef ZORVA_COUNTING
  countAesBlocks(10 * count);
#endif
#if defined(__x86_64__)
  if (hardware_) {
    laneRuns(lanes)[count - 1](roundKeys_, states, lanes);
  } else
#endif
  {
    for (std::size_t l = 0; l < count; ++l) {
      for (std::uint8_t round = 0; round < 10; ++round) {
        // P || Q's last block is the tail; the blocks before it are in the state.
        std::uint8_t r[16];
        std::memcpy(r, states[l], 16);
        softwareStep(r, lanes[l].tail(round));
        finishLane(lanes[l], round, loadBE64(r), loadBE64(r + 8));
      }
    }
  }
  for (std::size_t l = 0; l < count; ++l) writeNumerals(*owners[l], lanes[l].a, lanes[l].bNum);
  filled = 0;
}

void Ff1::runLanes(Batch& batch) const { runOneBlockLanes(batch.filled, batch.lanes, batch.states, batch.owners); }

void Ff1::runWideLanes(Batch& batch) const {
  runOneBlockLanes(batch.wideFilled, batch.wideLanes, batch.wideStates, batch.wideOwners);
}

void Ff1::runLongLanes(Batch& batch) const {
  const std::size_t filled = batch.longFilled;
  if (filled == 0) return;
  Ff1LongLane* lanes = batch.longLanes;
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
      Ff1LongLane& lane = lanes[l];
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

}  // namespace zorva

#pragma GCC diagnostic pop
