// Internal to the ff1 files: the lanes and groups in which a batch's jobs
// wait for their rounds, shared by the scheduler (ff1/batch.cpp) and the
// roads that run them. Not for use outside FF1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ff1/ff1.h"

namespace zorva {

// One job's ten rounds on machine integers (radix^v < 2^64, so b <= 8 and
// d <= 12). The tail of the PRF message (the last partial block of
// T || 0^pad, the round byte and NUM(B)) is then exactly one block; as a
// big-endian 128-bit value it is fixed | round << 8b | NUM(B), so it is built
// in registers.
struct Ff1Lane {
  u128 fixed;
  unsigned roundShift;  // 8 b
  bool wide;            // d == 12: y has 96 bits
  std::uint64_t a, bNum;
  const Modulus* moduli[2];  // radix^u for even rounds, radix^v for odd ones

  u128 tail(std::uint8_t round) const noexcept { return fixed | (u128(round) << roundShift) | bNum; }
};

// The same on two words, for radix^v up to 2^96 (b <= 12): the tail is
// still one block, and y, R's first d = 12 or 16 bytes, is R >> yShift.
struct Ff1WideLane {
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
struct Ff1LongLane {
  u128 fixed;
  unsigned roundShift;  // 8 b, or 0 at b = 16
  bool twoBlocks;       // b = 16
  u128 a, bNum;
  const Ff1::WideModulus* moduli[2];

  u128 first(std::uint8_t round) const noexcept {
    return fixed | (u128(round) << roundShift) | (twoBlocks ? u128(0) : bNum);
  }
};

// Lanes of a batch on the 128-bit AES road: as many as its sixteen
// registers hold beside the round keys.
constexpr std::size_t kLanes = 8;
// Lanes of one vector group: two sets of four 512-bit registers of four blocks each.
constexpr std::size_t kSetLanes = 16;
constexpr std::size_t kGroupLanes = 2 * kSetLanes;

// A vector group: up to kGroupLanes jobs of one shape n (count of them so
// far), each lane's constant block and A and B.
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

// Jobs on their way through the machine-integer rounds: lanes for the
// 128-bit and portable roads, and on the vector road open groups of one
// shape each.
struct Ff1::Batch {
  static constexpr std::size_t kOpenGroups = 4;

  Ff1Lane lanes[kLanes];
  alignas(16) std::uint8_t states[kLanes][16];
  const Ff1Job* owners[kLanes];
  std::size_t filled = 0;
  Ff1WideLane wideLanes[kLanes];
  alignas(16) std::uint8_t wideStates[kLanes][16];
  const Ff1Job* wideOwners[kLanes];
  std::size_t wideFilled = 0;
  Ff1LongLane longLanes[kLanes];
  alignas(16) std::uint8_t longStates[kLanes][16];
  const Ff1Job* longOwners[kLanes];
  std::size_t longFilled = 0;
  Group groups[kOpenGroups];
  WideGroup wideGroups[kOpenGroups];
};

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

// Writes A and B as the job's u and v output numerals.
inline void Ff1::writeNumerals(const Ff1Job& job, u128 a, u128 bNum) const {
  const std::size_t u = job.numerals.size() / 2, v = job.numerals.size() - u;
  numerals(a, job.out.data(), u);
  numerals(bNum, job.out.data() + u, v);
}

}  // namespace zorva
