// The SHA-256 road choice: which roads this CPU has, which one takes a batch
// of a given size, and the door's compress, hmacOneBlock and
// hmacOneBlockWords that follow it.
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "support/bytes.h"
#include "cpu/targets.h"
#include "sha256/internal/kernels.h"
#include "sha256/lanes.h"
#include "sha256/lanes_testing.h"

namespace zorva::sha256 {

namespace {

// The portable road from words across lanes: each lane's block stored back
// big-endian, and its tag's head read back.
void hmacWordsPortable(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                       std::uint64_t* heads, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t block[64], tag[32];
    for (std::size_t j = 0; j < 16; ++j) putBE32(block + 4 * j, words[j * stride + i]);
    hmacPortable(inner, outer, block, tag);
    heads[i] = loadBE64(tag);
  }
}

}  // namespace

#ifdef ZORVA_X86
namespace {

// Per batch, whichever mix of kernels costs least, from costs measured on Zen 4
// (ns per call): sixteen-lane kernel ~260, eight-lane ~180, SHA pair ~54, lone
// SHA lane ~35. Whole sixteens go to the wide kernel; of the rest, 12-15 lanes
// are cheaper padded to sixteen, 8-11 as eight plus SHA for what is left, and 7
// or fewer on SHA alone.
void compressMixed(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
  std::size_t wide = count / kZmmLanes * kZmmLanes;
  if (count - wide >= 12) wide = count;
  compressAvx512x16(states, blocks, wide);
  std::size_t narrow = count - wide >= kYmmLanes ? kYmmLanes : 0;
  compressAvx512x8(states + wide, blocks + wide, narrow);
  compressShaNiBatch(states + wide + narrow, blocks + wide + narrow, count - wide - narrow);
}

// The split of compressMixed: an HMAC is two compressions on the same road.
void hmacMixed(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
               std::size_t count) noexcept {
  std::size_t wide = count / kZmmLanes * kZmmLanes;
  if (count - wide >= 12) wide = count;
  hmacAvx512x16(inner, outer, blocks, tags, wide);
  std::size_t narrow = count - wide >= kYmmLanes ? kYmmLanes : 0;
  hmacAvx512x8(inner, outer, blocks + wide, tags + wide, narrow);
  hmacShaNiBatch(inner, outer, blocks + wide + narrow, tags + wide + narrow, count - wide - narrow);
}

// The same split from words across lanes.
void hmacWordsMixed(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                    std::uint64_t* heads, std::size_t count) noexcept {
  std::size_t wide = count / kZmmLanes * kZmmLanes;
  if (count - wide >= 12) wide = count;
  hmacWordsAvx512x16(inner, outer, words, stride, heads, wide);
  std::size_t narrow = count - wide >= kYmmLanes ? kYmmLanes : 0;
  hmacWordsAvx512x8(inner, outer, words + wide, stride, heads + wide, narrow);
  const std::size_t done = wide + narrow;
  hmacWordsShaNiBatch(inner, outer, words + done, stride, heads + done, count - done);
}

}  // namespace
#endif  // ZORVA_X86

bool available(Road road) noexcept {
  // Each road's check is the one paired with its kernels' target.
  switch (road) {
    case Road::portable: return true;
    case Road::shaNi:
    case Road::shaNiQuad: return cpu::hasShaNi();
    case Road::avx512: return cpu::hasAvx512();
    case Road::avx2: return cpu::hasAvx2();
  }
  return false;
}

namespace {

// In test and bench builds (ZORVA_ROAD_SWITCH), ZORVA_SHA256_ROAD names a
// road to take instead (when this CPU has it), so that whole-engine tests can
// run every road on the same inputs. Every road gives the same bytes; only the
// speed differs. A shipped module reads no environment variable of its own.
std::optional<Road> forcedRoad() noexcept {
#ifndef ZORVA_ROAD_SWITCH
  return std::nullopt;
#else
  const char* name = std::getenv("ZORVA_SHA256_ROAD");
  if (name == nullptr) return std::nullopt;
  constexpr std::pair<std::string_view, Road> kNames[] = {{"portable", Road::portable},
                                                          {"shaNi", Road::shaNi},
                                                          {"avx512", Road::avx512},
                                                          {"avx2", Road::avx2},
                                                          {"shaNiQuad", Road::shaNiQuad}};
  for (const auto& [text, road] : kNames)
    if (text == name && available(road)) return road;
  return std::nullopt;
#endif
}

}  // namespace

Road bestRoad() noexcept {
  // With AVX-512 its lanes take whole batches and SHA pairs the remainders
  // (see compressMixed); without it, SHA pairs (see compressShaNiQuadBatch
  // for why not fours).
  static const Road best = forcedRoad().value_or(available(Road::avx512)  ? Road::avx512
                                                 : available(Road::shaNi) ? Road::shaNi
                                                 : available(Road::avx2)  ? Road::avx2
                                                                          : Road::portable);
  return best;
}

bool fastRoad() noexcept { return bestRoad() != Road::portable; }

void compress(Road road, State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
#ifdef ZORVA_X86
  if (road == Road::shaNi) return compressShaNiBatch(states, blocks, count);
  if (road == Road::shaNiQuad) return compressShaNiQuadBatch(states, blocks, count);
  if (road == Road::avx512) return compressAvx512(states, blocks, count);
  if (road == Road::avx2) return compressAvx2(states, blocks, count);
#endif
  (void)road;
  for (std::size_t i = 0; i < count; ++i) compressPortable(states[i], blocks[i]);
}

void compress(State* states, const std::uint8_t* const* blocks, std::size_t count) noexcept {
#ifdef ZORVA_X86
  static const bool shaNi = available(Road::shaNi);
  switch (bestRoad()) {
    case Road::avx512:
      if (shaNi) return compressMixed(states, blocks, count);
      return compressAvx512(states, blocks, count);
    case Road::avx2:
      // A lone lane padded out to eight costs more than the plain rounds.
      if (count % kYmmLanes == 1) {
        --count;
        compressPortable(states[count], blocks[count]);
      }
      return compressAvx2(states, blocks, count);
    default: break;
  }
#endif
  compress(bestRoad(), states, blocks, count);
}

void hmacOneBlock(Road road, const State& inner, const State& outer, const std::uint8_t* const* blocks,
                  std::uint8_t* const* tags, std::size_t count) noexcept {
#ifdef ZORVA_X86
  if (road == Road::shaNi) return hmacShaNiBatch(inner, outer, blocks, tags, count);
  if (road == Road::shaNiQuad) return hmacShaNiQuadBatch(inner, outer, blocks, tags, count);
  if (road == Road::avx512) return hmacAvx512(inner, outer, blocks, tags, count);
  if (road == Road::avx2) return hmacAvx2(inner, outer, blocks, tags, count);
#endif
  (void)road;
  for (std::size_t i = 0; i < count; ++i) hmacPortable(inner, outer, blocks[i], tags[i]);
}

void hmacOneBlock(const State& inner, const State& outer, const std::uint8_t* const* blocks, std::uint8_t* const* tags,
                  std::size_t count) noexcept {
#ifdef ZORVA_X86
  static const bool shaNi = available(Road::shaNi);
  switch (bestRoad()) {
    case Road::avx512:
      if (shaNi) return hmacMixed(inner, outer, blocks, tags, count);
      return hmacAvx512(inner, outer, blocks, tags, count);
    case Road::avx2:
      if (count % kYmmLanes == 1) {
        --count;
        hmacPortable(inner, outer, blocks[count], tags[count]);
      }
      return hmacAvx2(inner, outer, blocks, tags, count);
    default: break;
  }
#endif
  hmacOneBlock(bestRoad(), inner, outer, blocks, tags, count);
}

void hmacOneBlockWords(Road road, const State& inner, const State& outer, const std::uint32_t* words,
                       std::size_t stride, std::uint64_t* heads, std::size_t count) noexcept {
#ifdef ZORVA_X86
  if (road == Road::shaNi) return hmacWordsShaNiBatch(inner, outer, words, stride, heads, count);
  if (road == Road::shaNiQuad) return hmacWordsShaNiQuadBatch(inner, outer, words, stride, heads, count);
  if (road == Road::avx512) return hmacWordsAvx512(inner, outer, words, stride, heads, count);
  if (road == Road::avx2) return hmacWordsAvx2(inner, outer, words, stride, heads, count);
#endif
  (void)road;
  hmacWordsPortable(inner, outer, words, stride, heads, count);
}

void hmacOneBlockWords(const State& inner, const State& outer, const std::uint32_t* words, std::size_t stride,
                       std::uint64_t* heads, std::size_t count) noexcept {
#ifdef ZORVA_X86
  static const bool shaNi = available(Road::shaNi);
  switch (bestRoad()) {
    case Road::avx512:
      if (shaNi) return hmacWordsMixed(inner, outer, words, stride, heads, count);
      return hmacWordsAvx512(inner, outer, words, stride, heads, count);
    case Road::avx2:
      if (count % kYmmLanes == 1) {
        --count;
        hmacWordsPortable(inner, outer, words + count, stride, heads + count, 1);
      }
      return hmacWordsAvx2(inner, outer, words, stride, heads, count);
    default: break;
  }
#endif
  hmacOneBlockWords(bestRoad(), inner, outer, words, stride, heads, count);
}

}  // namespace zorva::sha256
