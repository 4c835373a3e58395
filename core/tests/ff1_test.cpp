#include "ff1.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "vectors.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // AES_encrypt as the independent check

namespace zorva {
namespace {

using Numerals = std::vector<std::uint32_t>;

Digest keyFromHex(const std::string& hex) {
  auto bytes = test::fromHex(hex);
  Digest key{};
  EXPECT_EQ(bytes.size(), 32u);
  std::copy(bytes.begin(), bytes.begin() + std::min<std::size_t>(32, bytes.size()), key.begin());
  return key;
}

// Characters to numerals; nothing when a character is outside the alphabet.
std::optional<Numerals> toNumerals(const std::string& alphabet, const std::string& text) {
  Numerals out;
  for (char c : text) {
    auto at = alphabet.find(c);
    if (at == std::string::npos) return std::nullopt;
    out.push_back(static_cast<std::uint32_t>(at));
  }
  return out;
}

std::string toText(const std::string& alphabet, const Numerals& numerals) {
  std::string out;
  for (auto x : numerals) out.push_back(alphabet.at(x));
  return out;
}

Numerals encrypt(const Ff1& cipher, const Numerals& x, std::string_view tweak, bool arbitrary = false) {
  Numerals out(x.size());
  if (arbitrary) {
    cipher.encryptArbitrary(x, tweak, out);
  } else {
    cipher.encrypt(x, tweak, out);
  }
  return out;
}

// What the fpe strategy does before calling: refuse what FF1 does not accept.
bool accepts(const Ff1& cipher, const std::optional<Numerals>& x) {
  return x.has_value() && x->size() >= cipher.minLength();
}

BigInt num(const Numerals& x, std::size_t from, std::size_t count, std::uint32_t radix) {
  BigInt v;
  for (std::size_t i = from; i < from + count; ++i) v = v * BigInt::fromU64(radix) + BigInt::fromU64(x[i]);
  return v;
}

// FF1 encryption written step by step from the standard on BigInt values, with
// the whole PRF message assembled per round; firstMessage receives round 0's.
Numerals referenceEncrypt(const Ff1& cipher, const Numerals& x, const std::string& tweak,
                          std::string* firstMessage = nullptr) {
  const std::uint32_t radix = cipher.radix();
  const std::size_t n = x.size(), t = tweak.size(), u = n / 2, v = n - u;
  const BigInt bigRadix = BigInt::fromU64(radix);
  const std::size_t b = (BigInt::pow(bigRadix, v) - BigInt::fromU64(1)).byteLength();
  const std::size_t d = 4 * ((b + 3) / 4) + 4;
  std::string p = {1, 2, 1, char(radix >> 16), char(radix >> 8), char(radix), 10, char(u),
                   char(n >> 24), char(n >> 16), char(n >> 8), char(n),
                   char(t >> 24), char(t >> 16), char(t >> 8), char(t)};
  const std::size_t pad = (16 - (t + b + 1) % 16) % 16;
  Numerals a(x.begin(), x.begin() + u), bHalf(x.begin() + u, x.end());
  for (int i = 0; i < 10; ++i) {
    std::string q = tweak + std::string(pad, '\0') + char(i);
    std::string numB(b, '\0');
    num(bHalf, 0, bHalf.size(), radix).magnitudeBytesBE(reinterpret_cast<std::uint8_t*>(numB.data()), b);
    std::string message = p + q + numB;
    EXPECT_EQ(message.size() % 16, 0u);
    if (i == 0 && firstMessage != nullptr) *firstMessage = message;
    std::string s(16, '\0');
    cipher.prf(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(),
               reinterpret_cast<std::uint8_t*>(s.data()));
    for (std::uint64_t j = 1; s.size() < d; ++j) {
      std::uint8_t in[16], out[16];
      for (int k = 0; k < 16; ++k) in[k] = static_cast<std::uint8_t>(s[k]) ^ (k >= 8 ? std::uint8_t(j >> (8 * (15 - k))) : 0);
      cipher.block(in, out);
      s.append(reinterpret_cast<char*>(out), 16);
    }
    BigInt y = BigInt::fromBytesBE(reinterpret_cast<const std::uint8_t*>(s.data()), d);
    std::size_t m = i % 2 == 0 ? u : v;
    BigInt z = (num(a, 0, a.size(), radix) + y) % BigInt::pow(bigRadix, m);
    Numerals zNumerals(m);
    for (std::size_t k = m; k-- > 0;) {
      zNumerals[k] = static_cast<std::uint32_t>((z % bigRadix).magnitudeU64());
      z = z / bigRadix;
    }
    a = bHalf;
    bHalf = zNumerals;
  }
  a.insert(a.end(), bHalf.begin(), bHalf.end());
  return a;
}

const Digest kKey = keyFromHex("2B7E151628AED2A6ABF7158809CF4F3CEF4359D8D580AA4F7F036D6F04FC6A94");

TEST(Ff1, AesMatchesOpenSslOnBothEngines) {
  // FIPS-197 appendix C.3.
  Digest key{};
  for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
  const auto plain = test::fromHex("00112233445566778899aabbccddeeff");
  for (auto engine : {Ff1::AesEngine::automatic, Ff1::AesEngine::software}) {
    Ff1 cipher(key, 10, engine);
    std::uint8_t out[16];
    cipher.block(plain.data(), out);
    EXPECT_EQ(test::toHex(out, 16), "8ea2b7ca516745bfeafc49904b496089");
  }
  AES_KEY reference;
  AES_set_encrypt_key(kKey.data(), 256, &reference);
  Ff1 hardware(kKey, 10), software(kKey, 10, Ff1::AesEngine::software);
  std::mt19937 rng(3);
  for (int i = 0; i < 100; ++i) {
    std::uint8_t in[16], a[16], b[16], c[16];
    for (auto& byte : in) byte = static_cast<std::uint8_t>(rng());
    hardware.block(in, a);
    software.block(in, b);
    AES_encrypt(in, c, &reference);
    ASSERT_EQ(test::toHex(a, 16), test::toHex(c, 16));
    ASSERT_EQ(test::toHex(b, 16), test::toHex(c, 16));
  }
}

TEST(Ff1, PublishedAcvpAndSampleVectors) {
  auto cases = test::readVectors("ff1_aes256_acvp.txt");
  EXPECT_EQ(cases.size(), 153u);
  for (const auto& c : cases) {
    const std::string& alphabet = c["Alphabet"];
    auto pt = toNumerals(alphabet, c["PT"]);
    ASSERT_TRUE(pt.has_value()) << "line " << c.line;
    std::string tweak = test::asText(test::fromHex(c["Tweak"]));
    auto radix = static_cast<std::uint32_t>(alphabet.size());
    Ff1 cipher(keyFromHex(c["Key"]), radix);
    Ff1 software(keyFromHex(c["Key"]), radix, Ff1::AesEngine::software);
    EXPECT_EQ(toText(alphabet, encrypt(cipher, *pt, tweak)), c["CT"]) << "line " << c.line;
    EXPECT_EQ(toText(alphabet, encrypt(software, *pt, tweak)), c["CT"]) << "line " << c.line;
    EXPECT_EQ(toText(alphabet, encrypt(cipher, *pt, tweak, true)), c["CT"]) << "line " << c.line;
  }
}

TEST(Ff1, WycheproofVectors) {
  int valid = 0, refused = 0, skipped = 0;
  for (const auto& c : test::readVectors("ff1_aes256_wycheproof.txt")) {
    const std::string& alphabet = c["Alphabet"];
    Ff1 cipher(keyFromHex(c["Key"]), static_cast<std::uint32_t>(alphabet.size()));
    auto pt = toNumerals(alphabet, c["PT"]);
    if (c["Result"] == "invalid") {
      EXPECT_FALSE(accepts(cipher, pt)) << "line " << c.line;
      ++refused;
      continue;
    }
    ASSERT_EQ(c["Result"], "valid");
    if (c["Comment"] == "small message size") {
      // Valid under the original FF1 minimum only; the revised minimum refuses them.
      EXPECT_FALSE(accepts(cipher, pt)) << "line " << c.line;
      ++skipped;
      continue;
    }
    ASSERT_TRUE(accepts(cipher, pt)) << "line " << c.line;
    std::string tweak = test::asText(test::fromHex(c["Tweak"]));
    EXPECT_EQ(toText(alphabet, encrypt(cipher, *pt, tweak)), c["CT"]) << "line " << c.line;
    ++valid;
  }
  EXPECT_EQ(valid + skipped, 3510);
  EXPECT_EQ(refused, 554);
}

TEST(Ff1, MinimumLengths) {
  const std::pair<std::uint32_t, std::uint64_t> cases[] = {{2, 20}, {10, 6}, {16, 5}, {22, 5}, {36, 4},
                                                           {62, 4}, {1000, 2}, {1000000, 1}, {4294967295u, 1}};
  for (auto [radix, minimum] : cases) EXPECT_EQ(Ff1(kKey, radix).minLength(), minimum) << radix;
}

TEST(Ff1, WorkedExampleMessageAndReference) {
  Ff1 cipher(kKey, 10);
  Numerals x = {1, 2, 3, 4, 5, 6};
  std::string message;
  Numerals expected = referenceEncrypt(cipher, x, "integer", &message);
  EXPECT_EQ(test::toHex(message), "0102010000" "0a" "0a" "03" "00000006" "00000007"
                                  "696e7465676572" "000000000000" "00" "01c8");
  EXPECT_EQ(message.size(), 32u);
  EXPECT_EQ(encrypt(cipher, x, "integer"), expected);
}

TEST(Ff1, BothPathsAgreeWithTheReference) {
  std::mt19937 rng(11);
  struct Case {
    std::uint32_t radix;
    std::size_t n;
    std::size_t tweakLength;
  };
  // Radix 10 switches to arbitrary precision at v = 20 (n = 39), radix 2 at
  // v = 64 (n = 127); odd n put the extra numeral in B.
  const Case cases[] = {{10, 6, 7},   {10, 7, 0},    {10, 38, 3},  {10, 39, 3},  {10, 40, 274}, {2, 20, 0},
                        {2, 126, 5},  {2, 127, 5},   {62, 4, 274}, {62, 21, 16}, {62, 60, 1},   {22, 5, 15},
                        {36, 256, 9}, {65536, 3, 2}, {1000000, 1, 0}};
  for (const auto& c : cases) {
    Ff1 cipher(kKey, c.radix);
    for (int k = 0; k < 3; ++k) {
      Numerals x(c.n);
      for (auto& numeral : x) numeral = rng() % c.radix;
      if (k == 1) std::fill(x.begin(), x.end(), c.radix - 1);
      std::string tweak(c.tweakLength, '\0');
      for (auto& ch : tweak) ch = static_cast<char>(rng());
      Numerals expected = referenceEncrypt(cipher, x, tweak);
      Numerals fast = encrypt(cipher, x, tweak);
      EXPECT_EQ(fast, expected) << "radix " << c.radix << " n " << c.n;
      EXPECT_EQ(encrypt(cipher, x, tweak, true), expected) << "radix " << c.radix << " n " << c.n;
      ASSERT_EQ(fast.size(), c.n);
      for (auto numeral : fast) EXPECT_LT(numeral, c.radix);
      if (!tweak.empty()) {
        tweak[0] ^= 1;
        EXPECT_NE(encrypt(cipher, x, tweak), fast);
      }
    }
  }
}

TEST(Ff1, BrokenPreconditionsAreInternalErrors) {
  Ff1 cipher(kKey, 10);
  Numerals out5(5), out6(6);
  EXPECT_THROW(cipher.encrypt(Numerals{1, 2, 3, 4, 5}, "", out5), std::logic_error);
  EXPECT_THROW(cipher.encrypt(Numerals{1, 2, 3, 4, 5, 10}, "", out6), std::logic_error);
  EXPECT_THROW(cipher.encrypt(Numerals{1, 2, 3, 4, 5, 6}, "", out5), std::logic_error);
}

}  // namespace
}  // namespace zorva
