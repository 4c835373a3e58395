// KeyedHash against RFC 4231 and its own definitions of expand, below and permute.
#include "keyed_hash/keyed_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vectors.h"

namespace zorva {
namespace {

const std::uint8_t kSubkey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                  17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

BigInt pow2(std::uint64_t k) { return BigInt::fromU64(1) << k; }
BigInt one() { return BigInt::fromU64(1); }

std::string bytesBE(const BigInt& v, std::size_t len) {
  std::string out(len, '\0');
  v.magnitudeBytesBE(reinterpret_cast<std::uint8_t*>(out.data()), len);
  return out;
}

std::string counter(std::uint32_t i) { return bytesBE(BigInt::fromU64(i), 4); }

// a XOR b for non-negative values, through GMP: the library itself has no
// use for bit operations on BigInt.
BigInt exclusiveOr(const BigInt& a, const BigInt& b) {
  mpz_t x, y;
  mpz_inits(x, y, nullptr);
  a.toMpz(x);
  b.toMpz(y);
  mpz_xor(x, x, y);
  BigInt r = BigInt::fromMpz(x);
  mpz_clears(x, y, nullptr);
  return r;
}

// HMAC message of one block of one permute round, assembled from the layout.
std::string permuteMessage(const std::string& label, const BigInt& size, int round, std::uint32_t block,
                           const BigInt& right, std::size_t hb) {
  return label + '\x7c' + bytesBE(size, size.byteLength()) + static_cast<char>(round) + '#' + counter(block) + '\0' +
         bytesBE(right, hb);
}

// Slow reference of permute, written from the definition on BigInt values.
BigInt referencePermute(const KeyedHash& kh, const BigInt& size, const BigInt& value, const std::string& label) {
  if (size <= one()) return value;
  const BigInt m = size - one();
  const std::uint64_t w = std::max<std::uint64_t>(2, m.bitLength()), h = (w + w % 2) / 2;
  const std::size_t hb = (h + 7) / 8;
  const BigInt half = pow2(h);
  BigInt x = value;
  do {
    BigInt right = x % half, left = x / half;
    for (int r = 0; r < 10; ++r) {
      std::string stream;
      for (std::uint32_t i = 0; stream.size() < hb; ++i) {
        auto tag = kh.hmac(permuteMessage(label, size, r, i, right, hb));
        stream.append(tag.begin(), tag.end());
      }
      BigInt f = BigInt::fromBytesBE(reinterpret_cast<const std::uint8_t*>(stream.data()), hb) % half;
      left = std::exchange(right, exclusiveOr(left, f));
    }
    x = left * half + right;
  } while (x > m);
  return x;
}

TEST(KeyedHash, HmacMatchesRfc4231) {
  int checked = 0;
  for (const auto& c : test::readVectors("hmac_sha256_rfc4231.txt")) {
    const std::string key = test::fromHex(c["Key"]), expected = c["Mac"];
    if (key.size() > 32) continue;  // the subkey is always 32 bytes; shorter keys are zero-padded
    std::uint8_t subkey[32] = {};
    std::copy(key.begin(), key.end(), subkey);
    EXPECT_EQ(test::toHex(KeyedHash(subkey).hmac(test::fromHex(c["Data"]))).substr(0, expected.size()), expected)
        << "line " << c.line;
    ++checked;
  }
  EXPECT_EQ(checked, 5);
}

// The models in py/tests hold digest, expand and below on short data and
// labels; long ones leave the stack buffers.
TEST(KeyedHash, LayoutsOfLongDataAndLabels) {
  const KeyedHash kh(kSubkey);
  const std::string label(300, 'L'), data(1000, 'd');
  EXPECT_EQ(kh.digest(data, label), kh.hmac(label + '\0' + data));
  std::string blocks;
  for (std::uint32_t i = 0; i < 3; ++i) {
    auto tag = kh.hmac(label + '#' + counter(i) + '\0' + data);
    blocks.append(tag.begin(), tag.end());
  }
  const auto expanded = kh.expand(data, 70, label);
  EXPECT_EQ(std::string(expanded.begin(), expanded.end()), blocks.substr(0, 70));
  // below reduces the bound's byte length plus 32 bytes of the expanded data.
  const std::pair<BigInt, std::size_t> bounds[] = {
      {one(), 33}, {BigInt::fromU64(256), 34}, {pow2(64) - one(), 40}, {pow2(64), 41}, {pow2(200) + one(), 58}};
  for (const auto& [bound, drawn] : bounds) {
    auto bytes = kh.expand(data, drawn, label);
    const BigInt expected = BigInt::fromBytesBE(bytes.data(), bytes.size()) % bound;
    EXPECT_EQ(kh.below(data, bound, label), expected) << bound.toDecimal();
    EXPECT_EQ(bound.magnitudeFitsU64() ? BigInt::fromU64(kh.below(data, bound.magnitudeU64(), label)) : expected,
              expected);
  }
  EXPECT_THROW(kh.below("x", std::uint64_t{0}, "l"), std::logic_error);
  EXPECT_THROW(kh.below("x", BigInt(), "l"), std::logic_error);
}

TEST(KeyedHash, PermuteMatchesReferenceOnEveryPath) {
  // The reference's layout: size 900, label "integer", round 3, R = 17: h = 5, hb = 1.
  EXPECT_EQ(test::toHex(permuteMessage("integer", BigInt::fromU64(900), 3, 0, BigInt::fromU64(17), 1)),
            "696e7465676572"
            "7c"
            "0384"
            "03"
            "23"
            "00000000"
            "00"
            "11");
  const KeyedHash kh(kSubkey);
  std::mt19937_64 rng(7);
  const BigInt sizes[] = {BigInt::fromU64(2),
                          BigInt::fromU64(3),
                          BigInt::fromU64(900),
                          BigInt::fromU64(1000),
                          BigInt::fromU64((1ULL << 32) + 5),
                          BigInt::fromU64(~0ULL),
                          pow2(64),
                          pow2(64) + one(),
                          pow2(100) + BigInt::fromU64(3),
                          pow2(128) - one(),
                          pow2(128),
                          pow2(128) + one(),
                          pow2(200) + BigInt::fromU64(12345),
                          pow2(300)};
  for (const auto& size : sizes) {
    for (int k = 0; k < 4; ++k) {
      const BigInt random = BigInt::fromU128((u128(rng()) << 64) | rng()) % size;
      const BigInt value = k == 0 ? BigInt() : k == 1 ? size - one() : random;
      const BigInt expected = referencePermute(kh, size, value, "integer");
      EXPECT_EQ(kh.permute(size, value, "integer"), expected) << size.toDecimal() << " " << value.toDecimal();
      EXPECT_EQ(kh.permuteArbitrary(size, value, "integer"), expected) << size.toDecimal();
      const auto u128Path = [&] { return kh.permute(size.magnitudeU128(), value.magnitudeU128(), "integer"); };
      EXPECT_EQ(size.bitLength() <= 128 ? BigInt::fromU128(u128Path()) : expected, expected) << size.toDecimal();
    }
  }
}

TEST(KeyedHash, PermuteIsABijectionOnSmallDomains) {
  const KeyedHash kh(kSubkey);
  for (std::uint64_t size : {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 31, 33, 64, 65, 70, 900}) {
    std::vector<u128> seen;
    for (std::uint64_t v = 0; v < size; ++v) seen.push_back(kh.permute(u128(size), u128(v), "bij"));
    std::sort(seen.begin(), seen.end());
    for (std::uint64_t v = 0; v < size; ++v) ASSERT_EQ(seen[v], u128(v)) << "size " << size;
  }
  EXPECT_EQ(kh.permute(BigInt(), BigInt::fromU64(7), "l"), BigInt::fromU64(7));
  EXPECT_EQ(kh.permute(BigInt::fromU64(1), BigInt(), "l"), BigInt());
  // A value outside the domain could cycle-walk forever; it is refused instead.
  EXPECT_THROW(kh.permute(u128(2), u128(2), "l"), std::logic_error);
  EXPECT_THROW(kh.permute(BigInt::fromU64(10), BigInt::fromU64(10), "l"), std::logic_error);
  EXPECT_THROW(kh.permute(pow2(200), pow2(200), "l"), std::logic_error);
}

}  // namespace
}  // namespace zorva
