// Every SHA-256 road against OpenSSL and against the portable road, on every batch count.
#include "sha256/lanes.h"
#include "sha256/lanes_testing.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

namespace zorva::sha256 {
namespace {

constexpr State kIv = {
    {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19}};

bool equalStates(const State& x, const State& y) { return std::equal(x.h, x.h + 8, y.h); }

std::vector<Road> roads() {
  std::vector<Road> out;
  for (Road r : {Road::portable, Road::shaNi, Road::avx512, Road::avx2, Road::shaNiQuad})
    if (available(r)) out.push_back(r);
  return out;
}

// A message padded by hand into one or two blocks. The buffer starts one byte
// in so that the roads never see a 16-byte-aligned block.
struct Padded {
  std::vector<std::uint8_t> message, buffer;
  std::size_t blockCount() const { return (buffer.size() - 1) / 64; }
  const std::uint8_t* block(std::size_t i) const { return buffer.data() + 1 + 64 * i; }
};

Padded pad(std::mt19937_64& rng, std::size_t length) {
  Padded p;
  for (std::size_t i = 0; i < length; ++i) p.message.push_back(static_cast<std::uint8_t>(rng()));
  p.buffer.assign(length + 9 <= 64 ? 65 : 129, 0);
  std::copy(p.message.begin(), p.message.end(), p.buffer.begin() + 1);
  p.buffer[1 + length] = 0x80;
  std::uint64_t bits = 8 * length;
  for (int i = 0; i < 8; ++i) p.buffer[p.buffer.size() - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  return p;
}

TEST(Sha256Lanes, EveryRoadAgreesWithOpenSslOnEveryBatchCount) {
  std::mt19937_64 rng(7);
  for (Road road : roads()) {
    for (std::size_t count = 0; count <= 37; count += count < 19 ? 1 : 18) {
      // One- and two-block messages: second blocks start from the differing states the first left.
      std::vector<Padded> messages;
      for (std::size_t i = 0; i < count; ++i) messages.push_back(pad(rng, rng() % 120));
      std::vector<State> states(count, kIv);
      for (std::size_t b = 0; b < 2; ++b) {
        std::vector<State> lanes;
        std::vector<const std::uint8_t*> blocks;
        for (std::size_t i = 0; i < count; ++i) {
          if (messages[i].blockCount() <= b) continue;
          lanes.push_back(states[i]);
          blocks.push_back(messages[i].block(b));
        }
        compress(road, lanes.data(), blocks.data(), lanes.size());
        for (std::size_t i = 0, j = 0; i < count; ++i)
          if (messages[i].blockCount() > b) states[i] = lanes[j++];
      }
      for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t expected[32], got[32];
        SHA256(messages[i].message.data(), messages[i].message.size(), expected);
        for (int w = 0; w < 32; ++w) got[w] = static_cast<std::uint8_t>(states[i].h[w / 4] >> (24 - 8 * (w % 4)));
        EXPECT_EQ(0, std::memcmp(expected, got, 32))
            << "road " << int(road) << " count " << count << " lane " << i << " length " << messages[i].message.size();
      }
    }
  }
}

TEST(Sha256Lanes, RoadsAgreeOnRandomStatesAndBlocks) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 50; ++trial) {
    std::size_t count = trial;  // every remainder the batch policy splits on
    std::vector<std::uint8_t> bytes(64 * count + 3);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    std::vector<State> start(count), reference, lanes;
    std::vector<const std::uint8_t*> blocks;
    for (std::size_t i = 0; i < count; ++i) {
      for (auto& h : start[i].h) h = static_cast<std::uint32_t>(rng());
      blocks.push_back(bytes.data() + 3 + 64 * i);
    }
    compress(Road::portable, (reference = start).data(), blocks.data(), count);
    compress((lanes = start).data(), blocks.data(), count);
    EXPECT_TRUE(std::equal(reference.begin(), reference.end(), lanes.begin(), equalStates)) << "best road";
    for (Road road : roads()) {
      compress(road, (lanes = start).data(), blocks.data(), count);
      EXPECT_TRUE(std::equal(reference.begin(), reference.end(), lanes.begin(), equalStates)) << "road " << int(road);
    }
  }
}

// A random 32-byte HMAC key and the states after its two pad blocks.
struct KeyedStates {
  std::uint8_t key[32];
  State inner = kIv, outer = kIv;

  explicit KeyedStates(std::mt19937_64& rng) {
    std::uint8_t pads[2][64];
    for (auto& b : key) b = static_cast<std::uint8_t>(rng());
    for (int i = 0; i < 64; ++i) {
      pads[0][i] = static_cast<std::uint8_t>((i < 32 ? key[i] : 0) ^ 0x36);
      pads[1][i] = static_cast<std::uint8_t>((i < 32 ? key[i] : 0) ^ 0x5c);
    }
    const std::uint8_t* padBlocks[2] = {pads[0], pads[1]};
    State keyed[2] = {kIv, kIv};
    compress(Road::portable, keyed, padBlocks, 2);
    inner = keyed[0];
    outer = keyed[1];
  }
  // OpenSSL's tag of message.
  void tag(const std::uint8_t* message, std::size_t length, std::uint8_t (&out)[32]) const {
    unsigned written = 0;
    HMAC(EVP_sha256(), key, 32, message, length, out, &written);
  }
};

// Every road, and (as nullopt) the mix the door picks.
std::vector<std::optional<Road>> roadsAndMix() {
  std::vector<std::optional<Road>> out = {std::nullopt};
  for (Road road : roads()) out.push_back(road);
  return out;
}

// A message of length bytes (at most 55) padded as the one block after the key block.
void padOneBlock(std::uint8_t* block, std::size_t length) {
  block[length] = 0x80;
  const std::uint64_t bits = 8 * (64 + length);
  for (int k = 0; k < 8; ++k) block[63 - k] = static_cast<std::uint8_t>(bits >> (8 * k));
}

// One-block HMACs (messages of 0 to 55 bytes) against OpenSSL's HMAC, on
// every road and through the mix compress() picks, on every batch count.
TEST(Sha256Lanes, OneBlockHmacMatchesOpenSslOnEveryRoadAndCount) {
  std::mt19937_64 rng(13);
  const KeyedStates keyed(rng);
  for (std::size_t count = 0; count <= 40; ++count) {
    std::vector<std::uint8_t> bytes(64 * count + 1), tagBytes(32 * count + 1);
    std::vector<std::size_t> lengths(count);
    std::vector<const std::uint8_t*> blocks(count);
    std::vector<std::uint8_t*> tags(count);
    for (std::size_t i = 0; i < count; ++i) {
      // Unaligned blocks and tags, every length up to the one-block edge.
      std::uint8_t* block = bytes.data() + 1 + 64 * i;
      lengths[i] = (i * 7 + count) % 56;
      for (std::size_t k = 0; k < lengths[i]; ++k) block[k] = static_cast<std::uint8_t>(rng());
      padOneBlock(block, lengths[i]);
      blocks[i] = block;
      tags[i] = tagBytes.data() + 1 + 32 * i;
    }
    for (const auto& road : roadsAndMix()) {
      std::fill(tagBytes.begin(), tagBytes.end(), 0);
      if (road)
        hmacOneBlock(*road, keyed.inner, keyed.outer, blocks.data(), tags.data(), count);
      else
        hmacOneBlock(keyed.inner, keyed.outer, blocks.data(), tags.data(), count);
      for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t expected[32];
        keyed.tag(blocks[i], lengths[i], expected);
        EXPECT_EQ(0, std::memcmp(expected, tags[i], 32))
            << "road " << (road ? int(*road) : -1) << " count " << count << " lane " << i;
      }
    }
  }
}

// The same HMACs from words across lanes, their heads against OpenSSL's tags,
// with a stride wider than the count so that no road reads past its lanes.
TEST(Sha256Lanes, OneBlockHmacFromWordsMatchesOpenSslOnEveryRoadAndCount) {
  std::mt19937_64 rng(17);
  const KeyedStates keyed(rng);
  for (std::size_t count = 0; count <= 40; ++count) {
    const std::size_t stride = count + 3;
    std::vector<std::uint32_t> words(16 * stride, 0xA5A5A5A5u);
    std::vector<std::vector<std::uint8_t>> messages(count);
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t block[64] = {};
      messages[i].resize(rng() % 56);
      for (auto& b : messages[i]) b = static_cast<std::uint8_t>(rng());
      std::copy(messages[i].begin(), messages[i].end(), block);
      padOneBlock(block, messages[i].size());
      for (std::size_t j = 0; j < 16; ++j)
        words[j * stride + i] = std::uint32_t{block[4 * j]} << 24 | std::uint32_t{block[4 * j + 1]} << 16 |
                                std::uint32_t{block[4 * j + 2]} << 8 | block[4 * j + 3];
    }
    for (const auto& road : roadsAndMix()) {
      std::vector<std::uint64_t> heads(count + 1, 0);
      if (road)
        hmacOneBlockWords(*road, keyed.inner, keyed.outer, words.data(), stride, heads.data(), count);
      else
        hmacOneBlockWords(keyed.inner, keyed.outer, words.data(), stride, heads.data(), count);
      EXPECT_EQ(heads[count], 0u) << "road " << (road ? int(*road) : -1) << " wrote past its lanes";
      for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t expected[32];
        keyed.tag(messages[i].data(), messages[i].size(), expected);
        std::uint64_t head = 0;
        for (int k = 0; k < 8; ++k) head = head << 8 | expected[k];
        EXPECT_EQ(head, heads[i]) << "road " << (road ? int(*road) : -1) << " count " << count << " lane " << i;
      }
    }
  }
}

TEST(Sha256Lanes, BestRoadIsTheFastestAvailable) {
  if (std::getenv("ZORVA_SHA256_ROAD") != nullptr) GTEST_SKIP() << "a road is forced";
  EXPECT_TRUE(available(Road::portable));
  EXPECT_EQ(available(Road::shaNi), available(Road::shaNiQuad));
  Road expected = Road::portable;
  for (Road r : {Road::avx2, Road::shaNi, Road::avx512}) expected = available(r) ? r : expected;
  EXPECT_EQ(bestRoad(), expected);
  EXPECT_EQ(fastRoad(), expected != Road::portable);
}

}  // namespace
}  // namespace zorva::sha256
