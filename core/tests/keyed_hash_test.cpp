#include "keyed_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "vectors.h"

namespace zorva {
namespace {

using test::asText;
using test::fromHex;
using test::toHex;

const std::uint8_t kSubkey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                  17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

BigInt big(const std::string& decimal) { return BigInt::fromDecimal(decimal); }
BigInt pow2(std::uint64_t k) { return BigInt::fromU64(1) << k; }
BigInt one() { return BigInt::fromU64(1); }

std::string bytesBE(const BigInt& v, std::size_t len) {
  std::string out(len, '\0');
  v.magnitudeBytesBE(reinterpret_cast<std::uint8_t*>(out.data()), len);
  return out;
}

std::string counter(std::uint32_t i) {
  return std::string{static_cast<char>(i >> 24), static_cast<char>(i >> 16), static_cast<char>(i >> 8),
                     static_cast<char>(i)};
}

// HMAC message of one block of one permute round, assembled from the layout.
std::string permuteMessage(const std::string& label, const BigInt& size, int round, std::uint32_t block,
                           const BigInt& right, std::size_t hb) {
  return label + '\x7c' + bytesBE(size, size.byteLength()) + static_cast<char>(round) + '#' + counter(block) +
         '\0' + bytesBE(right, hb);
}

// Slow reference of permute, written from the definition on BigInt values.
BigInt referencePermute(const KeyedHash& kh, const BigInt& size, const BigInt& value, const std::string& label) {
  if (size <= one()) return value;
  BigInt m = size - one();
  std::uint64_t w = std::max<std::uint64_t>(2, m.bitLength());
  std::uint64_t h = (w + w % 2) / 2;
  std::size_t hb = (h + 7) / 8;
  BigInt mask = pow2(h) - one();
  BigInt x = value;
  do {
    BigInt right = x & mask, left = x >> h;
    for (int r = 0; r < 10; ++r) {
      std::string stream;
      for (std::uint32_t i = 0; stream.size() < hb; ++i) {
        auto tag = kh.hmac(permuteMessage(label, size, r, i, right, hb));
        stream.append(tag.begin(), tag.end());
      }
      BigInt f = BigInt::fromBytesBE(reinterpret_cast<const std::uint8_t*>(stream.data()), hb) & mask;
      BigInt next = left ^ f;
      left = right;
      right = next;
    }
    x = (left << h) | right;
  } while (x > m);
  return x;
}

TEST(KeyedHash, HmacMatchesRfc4231) {
  int checked = 0;
  for (const auto& c : test::readVectors("hmac_sha256_rfc4231.txt")) {
    auto key = fromHex(c["Key"]);
    if (key.size() > 32) continue;  // the subkey is always 32 bytes; shorter keys are zero-padded
    std::uint8_t subkey[32] = {};
    std::copy(key.begin(), key.end(), subkey);
    auto mac = KeyedHash(subkey).hmac(asText(fromHex(c["Data"])));
    std::string expected = c["Mac"];
    EXPECT_EQ(toHex(mac).substr(0, expected.size()), expected) << "line " << c.line;
    ++checked;
  }
  EXPECT_EQ(checked, 5);
}

TEST(KeyedHash, MessageLayouts) {
  KeyedHash kh(kSubkey);
  EXPECT_EQ(kh.digest("", "ff1 key"), kh.hmac(std::string("ff1 key\0", 8)));
  EXPECT_EQ(kh.digest("data", "lab"), kh.hmac(std::string("lab\0data", 8)));
  EXPECT_EQ(kh.digest("x", ""), kh.hmac(std::string("\0x", 2)));
  // Long labels and data leave the stack buffers.
  std::string longLabel(300, 'L'), longData(1000, 'd');
  EXPECT_EQ(kh.digest(longData, longLabel), kh.hmac(longLabel + '\0' + longData));

  EXPECT_TRUE(kh.expand("d", 0, "l").empty());
  auto block = [&](const std::string& label, std::uint32_t i, const std::string& data) {
    return kh.hmac(label + '#' + counter(i) + '\0' + data);
  };
  for (const std::string& label : {std::string("l"), longLabel}) {
    auto b0 = block(label, 0, "d"), b1 = block(label, 1, "d"), b2 = block(label, 2, "d");
    auto e32 = kh.expand("d", 32, label);
    EXPECT_TRUE(std::equal(e32.begin(), e32.end(), b0.begin(), b0.end()));
    auto e33 = kh.expand("d", 33, label);
    ASSERT_EQ(e33.size(), 33u);
    EXPECT_TRUE(std::equal(b0.begin(), b0.end(), e33.begin()));
    EXPECT_EQ(e33[32], b1[0]);
    auto e70 = kh.expand("d", 70, label);
    EXPECT_TRUE(std::equal(b2.begin(), b2.begin() + 6, e70.begin() + 64));
  }
}

TEST(KeyedHash, BelowReducesTheExpandedBytes) {
  KeyedHash kh(kSubkey);
  struct Case {
    BigInt bound;
    std::size_t drawn;
  };
  const Case cases[] = {{BigInt::fromU64(1), 33},       {BigInt::fromU64(255), 33},     {BigInt::fromU64(256), 34},
                        {BigInt::fromU64(1000003), 35}, {BigInt::fromU64(~0ULL), 40},    {pow2(64), 41},
                        {pow2(64) + one(), 41},         {pow2(200) + big("12345"), 58}};
  for (const auto& c : cases) {
    for (const std::string data : {"", "abc", "a much longer piece of data to hash"}) {
      auto bytes = kh.expand(data, c.drawn, "below");
      BigInt expected = BigInt::fromBytesBE(bytes.data(), bytes.size()) % c.bound;
      EXPECT_EQ(kh.below(data, c.bound, "below"), expected) << c.bound.toDecimal();
      if (c.bound.magnitudeFitsU64()) {
        EXPECT_EQ(kh.below(data, c.bound.magnitudeU64(), "below"), expected.magnitudeU64());
      }
    }
  }
  EXPECT_THROW(kh.below("x", std::uint64_t{0}, "l"), std::logic_error);
  EXPECT_THROW(kh.below("x", BigInt(), "l"), std::logic_error);
}

TEST(KeyedHash, PermuteWorkedExampleLayout) {
  // size 900, label "integer", round 3, R = 17: h = 5, hb = 1.
  EXPECT_EQ(toHex(permuteMessage("integer", BigInt::fromU64(900), 3, 0, BigInt::fromU64(17), 1)),
            "696e7465676572" "7c" "0384" "03" "23" "00000000" "00" "11");
}

TEST(KeyedHash, PermuteMatchesReferenceOnBothPaths) {
  KeyedHash kh(kSubkey);
  std::mt19937_64 rng(7);
  const BigInt sizes[] = {BigInt::fromU64(2),          BigInt::fromU64(3),        BigInt::fromU64(900),
                          BigInt::fromU64(1000),       BigInt::fromU64((1ULL << 32) + 5),
                          BigInt::fromU64(~0ULL),      pow2(64),                  pow2(64) + one(),
                          pow2(100) + big("3"),        pow2(128) - one(),         pow2(128),
                          pow2(128) + one(),           pow2(200) + big("12345"),  pow2(300)};
  for (const auto& size : sizes) {
    for (int k = 0; k < 4; ++k) {
      BigInt value = k == 0 ? BigInt() : k == 1 ? size - one()
                                               : BigInt::fromU128((u128(rng()) << 64) | rng()) % size;
      BigInt expected = referencePermute(kh, size, value, "integer");
      EXPECT_EQ(kh.permute(size, value, "integer"), expected) << size.toDecimal() << " " << value.toDecimal();
      EXPECT_LT(expected, size);
      // The arbitrary-precision routine gives the same answers below 2^128 too.
      EXPECT_EQ(kh.permuteArbitrary(size, value, "integer"), expected) << size.toDecimal();
      if (size.bitLength() <= 128) {
        EXPECT_EQ(kh.permute(size.magnitudeU128(), value.magnitudeU128(), "integer"), expected.magnitudeU128());
      }
    }
  }
  // The round label carries size itself, so neighbouring sizes sharing h differ.
  EXPECT_NE(kh.permute(BigInt::fromU64(900), BigInt::fromU64(5), "l"),
            kh.permute(BigInt::fromU64(901), BigInt::fromU64(5), "l"));
}

TEST(KeyedHash, PermuteIsABijection) {
  KeyedHash kh(kSubkey);
  for (std::uint64_t size = 0; size <= 70; ++size) {
    std::vector<u128> seen;
    for (std::uint64_t v = 0; v < size; ++v) seen.push_back(kh.permute(u128(size), u128(v), "bij"));
    std::sort(seen.begin(), seen.end());
    for (std::uint64_t v = 0; v < size; ++v) ASSERT_EQ(seen[v], u128(v)) << "size " << size;
  }
  std::vector<bool> hit(900);
  for (std::uint64_t v = 0; v < 900; ++v) hit.at(static_cast<std::size_t>(kh.permute(u128(900), u128(v), "integer"))) = true;
  EXPECT_TRUE(std::all_of(hit.begin(), hit.end(), [](bool b) { return b; }));
}

TEST(KeyedHash, PermuteEdgeSizesAndPreconditions) {
  KeyedHash kh(kSubkey);
  EXPECT_EQ(kh.permute(BigInt(), BigInt::fromU64(7), "l"), BigInt::fromU64(7));
  EXPECT_EQ(kh.permute(BigInt::fromU64(1), BigInt(), "l"), BigInt());
  EXPECT_EQ(kh.permute(u128(1), u128(0), "l"), u128(0));
  EXPECT_NE(kh.permute(u128(2), u128(0), "l"), kh.permute(u128(2), u128(1), "l"));
  // A value outside the domain could cycle-walk forever; it is refused instead.
  EXPECT_THROW(kh.permute(u128(2), u128(2), "l"), std::logic_error);
  EXPECT_THROW(kh.permute(BigInt::fromU64(10), BigInt::fromU64(10), "l"), std::logic_error);
  EXPECT_THROW(kh.permute(pow2(200), pow2(200), "l"), std::logic_error);
}

TEST(KeyedHash, OneLabelByteChangesEveryOperation) {
  KeyedHash kh(kSubkey);
  EXPECT_NE(kh.digest("v", "label"), kh.digest("v", "labem"));
  EXPECT_NE(kh.expand("v", 40, "label"), kh.expand("v", 40, "labem"));
  EXPECT_NE(kh.below("v", pow2(100), "label"), kh.below("v", pow2(100), "labem"));
  EXPECT_NE(kh.permute(pow2(100), BigInt::fromU64(3), "label"), kh.permute(pow2(100), BigInt::fromU64(3), "labem"));
  // Another subkey, through the string_view constructor.
  std::string other(32, 'k');
  EXPECT_NE(KeyedHash(other).digest("v", "label"), kh.digest("v", "label"));
}

}  // namespace
}  // namespace zorva
