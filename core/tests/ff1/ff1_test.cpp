// Ff1 against the published vectors, and the batch road against the arbitrary-precision one.
#include "ff1/ff1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ff1/testing.h"
#include "vectors.h"

namespace zorva {
namespace {

using Numerals = std::vector<std::uint32_t>;
const auto* u8(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

Digest keyFromHex(const std::string& hex) {
  const std::string bytes = test::fromHex(hex);
  Digest key{};
  EXPECT_EQ(bytes.size(), 32u);
  std::copy_n(bytes.begin(), std::min<std::size_t>(32, bytes.size()), key.begin());
  return key;
}

// Characters to numerals; nothing when a character is outside the alphabet.
std::optional<Numerals> toNumerals(const std::string& alphabet, const std::string& text) {
  Numerals out;
  for (char c : text) {
    if (alphabet.find(c) == std::string::npos) return std::nullopt;
    out.push_back(static_cast<std::uint32_t>(alphabet.find(c)));
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
  arbitrary ? cipher.encryptArbitrary(x, tweak, out) : cipher.encrypt(x, tweak, out);
  return out;
}

// The same encryption as one of five copies in a batch, which takes the
// vector road where the machine has one; the copies must agree.
Numerals encryptInBatch(const Ff1& cipher, const Numerals& x, std::string_view tweak) {
  std::vector<Numerals> outs(5, Numerals(x.size()));
  std::vector<Ff1Job> jobs;
  for (auto& out : outs) jobs.push_back({x, tweak, out});
  cipher.encryptMany(jobs);
  for (const auto& out : outs) EXPECT_EQ(out, outs[0]);
  return outs[0];
}

// What the fpe strategy does before calling: refuse what FF1 does not accept.
bool accepts(const Ff1& cipher, const std::optional<Numerals>& x) { return x && x->size() >= cipher.minLength(); }

BigInt num(const Numerals& x, std::uint32_t radix) {
  BigInt v;
  for (auto numeral : x) v = v * BigInt::fromU64(radix) + BigInt::fromU64(numeral);
  return v;
}

// FF1 encryption written step by step from the standard on BigInt values, with
// the whole PRF message assembled per round; firstMessage receives round 0's.
Numerals referenceEncrypt(const Ff1& cipher, const Numerals& x, const std::string& tweak,
                          std::string* firstMessage = nullptr) {
  const std::uint32_t radix = cipher.radix();
  const std::size_t n = x.size(), t = tweak.size(), u = n / 2, v = n - u;
  const BigInt bigRadix = BigInt::fromU64(radix);
  const std::size_t b = (BigInt::pow(bigRadix, v) - BigInt::fromU64(1)).byteLength(), d = 4 * ((b + 3) / 4) + 4;
  const std::string p = {1,
                         2,
                         1,
                         char(radix >> 16),
                         char(radix >> 8),
                         char(radix),
                         10,
                         char(u),
                         char(n >> 24),
                         char(n >> 16),
                         char(n >> 8),
                         char(n),
                         char(t >> 24),
                         char(t >> 16),
                         char(t >> 8),
                         char(t)};
  Numerals a(x.begin(), x.begin() + u), right(x.begin() + u, x.end());
  for (int i = 0; i < 10; ++i) {
    std::string numB(b, '\0');
    num(right, radix).magnitudeBytesBE(reinterpret_cast<std::uint8_t*>(numB.data()), b);
    const std::string message = p + tweak + std::string((16 - (t + b + 1) % 16) % 16, '\0') + char(i) + numB;
    EXPECT_EQ(message.size() % 16, 0u);
    if (i == 0 && firstMessage != nullptr) *firstMessage = message;
    std::string s(16, '\0');
    cipher.prf(u8(message), message.size(), reinterpret_cast<std::uint8_t*>(s.data()));
    for (std::uint64_t j = 1; s.size() < d; ++j) {
      std::uint8_t in[16], out[16];
      for (int k = 0; k < 16; ++k) in[k] = static_cast<std::uint8_t>(s[k] ^ (k >= 8 ? j >> (8 * (15 - k)) : 0));
      cipher.block(in, out);
      s.append(reinterpret_cast<char*>(out), 16);
    }
    const std::size_t m = i % 2 == 0 ? u : v;
    BigInt z = (num(a, radix) + BigInt::fromBytesBE(u8(s), d)) % BigInt::pow(bigRadix, m);
    Numerals zNumerals(m);
    for (std::size_t k = m; k-- > 0; z = z / bigRadix) {
      zNumerals[k] = static_cast<std::uint32_t>((z % bigRadix).magnitudeU64());
    }
    a = std::exchange(right, zNumerals);
  }
  a.insert(a.end(), right.begin(), right.end());
  return a;
}

const Digest kKey = keyFromHex("2B7E151628AED2A6ABF7158809CF4F3CEF4359D8D580AA4F7F036D6F04FC6A94");

TEST(Ff1, PublishedVectorsOnEveryPath) {
  Digest fipsKey{};  // AES-256 itself: FIPS-197 appendix C.3, on both engines
  for (int i = 0; i < 32; ++i) fipsKey[i] = static_cast<std::uint8_t>(i);
  for (auto engine : {Ff1::AesEngine::automatic, Ff1::AesEngine::aesInstructions, Ff1::AesEngine::software}) {
    std::uint8_t out[16];
    Ff1(fipsKey, 10, engine).block(u8(test::fromHex("00112233445566778899aabbccddeeff")), out);
    EXPECT_EQ(test::toHex(out), "8ea2b7ca516745bfeafc49904b496089");
  }
  int acvp = 0, valid = 0, refused = 0, skipped = 0, twoWord = 0;
  for (const auto& c : test::readVectors("ff1_aes256_acvp.txt")) {
    const std::string alphabet = c["Alphabet"], tweak = test::fromHex(c["Tweak"]);
    auto pt = toNumerals(alphabet, c["PT"]);
    ASSERT_TRUE(pt.has_value()) << "line " << c.line;
    const auto radix = static_cast<std::uint32_t>(alphabet.size());
    const Ff1 cipher(keyFromHex(c["Key"]), radix), software(keyFromHex(c["Key"]), radix, Ff1::AesEngine::software);
    const Ff1 narrow(keyFromHex(c["Key"]), radix, Ff1::AesEngine::aesInstructions);
    EXPECT_EQ(toText(alphabet, encrypt(cipher, *pt, tweak)), c["CT"]) << "line " << c.line;
    EXPECT_EQ(toText(alphabet, encryptInBatch(narrow, *pt, tweak)), c["CT"]) << "line " << c.line;
    const double vBits = static_cast<double>(pt->size() - pt->size() / 2) * std::log2(static_cast<double>(radix));
    twoWord += vBits > 63.9 && vBits < 128;
    EXPECT_EQ(toText(alphabet, encrypt(software, *pt, tweak)), c["CT"]) << "line " << c.line;
    EXPECT_EQ(toText(alphabet, encrypt(cipher, *pt, tweak, true)), c["CT"]) << "line " << c.line;
    EXPECT_EQ(toText(alphabet, encryptInBatch(cipher, *pt, tweak)), c["CT"]) << "line " << c.line;
    ++acvp;
  }
  for (const auto& c : test::readVectors("ff1_aes256_wycheproof.txt")) {
    const std::string alphabet = c["Alphabet"];
    const Ff1 cipher(keyFromHex(c["Key"]), static_cast<std::uint32_t>(alphabet.size()));
    auto pt = toNumerals(alphabet, c["PT"]);
    // "small message size" cases are valid under the original FF1 minimum only;
    // the revised minimum refuses them.
    const bool refuse = c["Result"] == "invalid" || c["Comment"] == "small message size";
    ASSERT_TRUE(c["Result"] == "valid" || c["Result"] == "invalid") << "line " << c.line;
    ASSERT_EQ(accepts(cipher, pt), !refuse) << "line " << c.line;
    (c["Result"] == "invalid" ? refused : refuse ? skipped : valid)++;
    EXPECT_EQ(refuse ? c["CT"] : toText(alphabet, encryptInBatch(cipher, *pt, test::fromHex(c["Tweak"]))), c["CT"])
        << "line " << c.line;
  }
  EXPECT_EQ(acvp, 153);
  EXPECT_GT(twoWord, 0);  // some vectors take the two-word rounds
  EXPECT_EQ(valid + skipped, 3510);
  EXPECT_EQ(refused, 554);
}

TEST(Ff1, WorkedExampleMessageAndReference) {
  const Ff1 cipher(kKey, 10);
  const Numerals x = {1, 2, 3, 4, 5, 6};
  std::string message;
  const Numerals expected = referenceEncrypt(cipher, x, "integer", &message);
  EXPECT_EQ(test::toHex(message),
            "0102010000"
            "0a"
            "0a"
            "03"
            "00000006"
            "00000007"
            "696e7465676572"
            "000000000000"
            "00"
            "01c8");
  EXPECT_EQ(encrypt(cipher, x, "integer"), expected);
}

// Radix 10 switches to arbitrary precision at v = 20 (n = 39), radix 2 at
// v = 64 (n = 127); odd n put the extra numeral in B.
TEST(Ff1, BothPathsAgreeWithTheReference) {
  std::mt19937 rng(11);
  const struct {
    std::uint32_t radix;
    std::size_t n, tweakLength;
  } cases[] = {{10, 6, 7},  {10, 7, 0},  {10, 38, 3},  {10, 39, 3},   {10, 40, 274},
               {2, 20, 0},  {2, 126, 5}, {2, 127, 5},  {62, 4, 274},  {62, 21, 16},
               {62, 60, 1}, {22, 5, 15}, {36, 256, 9}, {65536, 3, 2}, {1000000, 1, 0}};
  for (const auto& c : cases) {
    const Ff1 cipher(kKey, c.radix);
    for (int k = 0; k < 3; ++k) {
      Numerals x(c.n);
      for (auto& numeral : x) numeral = k == 1 ? c.radix - 1 : rng() % c.radix;
      std::string tweak(c.tweakLength, '\0');
      for (auto& ch : tweak) ch = static_cast<char>(rng());
      const Numerals expected = referenceEncrypt(cipher, x, tweak);
      EXPECT_EQ(encrypt(cipher, x, tweak), expected) << "radix " << c.radix << " n " << c.n;
      EXPECT_EQ(encrypt(cipher, x, tweak, true), expected) << "radix " << c.radix << " n " << c.n;
    }
  }
}

// The vector rounds' reduction, on exact multiples and their neighbours
// (where its estimates fall either side of the quotient) and at the ends.
TEST(Ff1, VectorRemaindersAreExact) {
  if (!Ff1(kKey, 10).usesVectorRounds()) GTEST_SKIP() << "no vector road on this CPU";
  std::mt19937_64 rng(3);
  std::vector<std::uint64_t> moduli = {256, 1000, 3844, 100000000, 916132832, 3487198496, 4294967295, 4294967296};
  for (int i = 0; i < 24; ++i) moduli.push_back(256 + rng() % 4294967041);
  for (std::uint64_t m : moduli) {
    std::vector<std::uint64_t> y = {0, ~0ull, ~0ull / m * m, ~0ull / m * m - 1};
    for (int i = 0; i < 2000; ++i) {
      y.push_back(rng());
      y.push_back(rng() % (~0ull / m) * m + rng() % 3 - 1);
    }
    std::vector<std::uint64_t> out(y.size());
    vectorRemainders(y.data(), y.size(), m, out.data());
    for (std::size_t i = 0; i < y.size(); ++i) ASSERT_EQ(out[i], y[i] % m) << m << " " << y[i];
  }
}

// The two-word remainders against the compiler's 128-bit division, and the
// 160-bit ones against BigInt: moduli at the ends of each road (exactly 2^64,
// just past it, 2^96, the one-word quotient estimate's last below 2^126,
// 2^128 - 1) and powers of several radices, on multiples and their neighbours.
TEST(Ff1, WideRemaindersAreExact) {
  std::mt19937_64 rng(5);
  const u128 all = ~u128(0);
  std::vector<u128> moduli = {u128(1) << 64,
                              (u128(1) << 64) + 1,
                              (u128(1) << 64) - 1,
                              u128(1) << 96,
                              (u128(1) << 96) - 1,
                              (u128(1) << 96) + 1,
                              (u128(1) << 126) - 1,
                              u128(1) << 126,
                              (u128(1) << 126) + 1,
                              all,
                              all - 1,
                              (u128(1) << 127),
                              12157665459056928801u};
  for (std::uint32_t radix : {3u, 10u, 26u, 36u, 62u, 65535u}) {
    for (u128 m = radix; !__builtin_mul_overflow(m, u128{radix}, &m);) moduli.push_back(m);
  }
  for (int i = 0; i < 16; ++i) moduli.push_back((u128(rng() >> (rng() % 64)) << 64 | rng()) | 1);
  for (const u128 m : moduli) {
    const Ff1::WideModulus mod(m);
    ASSERT_EQ(mod.value(), m);
    std::vector<u128> y = {0, all, all / m * m, all / m * m - 1, m - 1, m};
    for (int i = 0; i < 300; ++i) {
      const u128 r = (u128(rng()) << 64) | rng();
      y.push_back(r >> (rng() % 64));
      y.push_back(r % (all / m) * m + rng() % 3 - 1);
    }
    const BigInt bigM = BigInt::fromU128(m);
    for (const u128 v : y) {
      ASSERT_TRUE(mod.reduce(v) == v % m) << static_cast<double>(m);
      const auto low = static_cast<std::uint32_t>(rng() % 3 == 0 ? 0xffffffffu : rng());
      const BigInt expected = ((BigInt::fromU128(v) << 32) + BigInt::fromU64(low)) % bigM;
      ASSERT_TRUE(mod.reduceLong(v, low) == expected.magnitudeU128()) << static_cast<double>(m);
    }
  }
}

// The wide vector rounds' reduction against the compiler's division: radix
// powers past 2^64 up to 2^96 and the ends of that range, on multiples and
// their neighbours, where the quotient estimates fall either side.
TEST(Ff1, WideVectorRemaindersAreExact) {
  if (!Ff1(kKey, 10).usesWideVectorRounds()) GTEST_SKIP() << "no wide vector road on this CPU";
  std::mt19937_64 rng(7);
  const u128 all = ~u128(0), top = u128(1) << 96;
  std::vector<u128> moduli = {(u128(1) << 64) + 1, top, top - 1, (top >> 1) + 12345};
  for (std::uint32_t radix : {3u, 10u, 22u, 26u, 36u, 62u, 65535u}) {
    for (u128 m = radix; m <= top; m *= radix)
      if (m > (u128(1) << 64)) moduli.push_back(m);
  }
  for (int i = 0; i < 8; ++i) moduli.push_back((u128(rng() >> (32 + rng() % 32)) << 64 | rng()) + 2);
  for (const u128 m : moduli) {
    std::vector<u128> y = {0, all, all / m * m, all / m * m - 1, m - 1, m, m + 1, 2 * m - 1};
    for (int i = 0; i < 1000; ++i) {
      const u128 r = (u128(rng()) << 64) | rng();
      y.push_back(r >> (rng() % 64));
      y.push_back(r % (all / m) * m + rng() % 3 - 1);
    }
    std::vector<u128> out(y.size());
    vectorWideRemainders(y.data(), y.size(), m, out.data());
    for (std::size_t i = 0; i < y.size(); ++i) ASSERT_TRUE(out[i] == y[i] % m) << static_cast<double>(m);
  }
}

// Lengths from the last one-word shape to past the two-word road's end
// (radix^v around 2^64, 2^96, 2^120 and 2^128), every AES road, batches of mixed lengths
// and single jobs: each result is the arbitrary-precision road's.
TEST(Ff1, TwoWordRoundsMatchArbitraryPrecision) {
  std::mt19937_64 rng(13);
  for (std::uint32_t radix : {2u, 3u, 10u, 16u, 22u, 26u, 36u, 62u, 255u, 256u, 65535u, 65536u}) {
    const Ff1 fast(kKey, radix), narrow(kKey, radix, Ff1::AesEngine::aesInstructions),
        software(kKey, radix, Ff1::AesEngine::software);
    const double bitsPerNumeral = std::log2(static_cast<double>(radix));
    const auto first = static_cast<std::size_t>(std::max<double>(fast.minLength(), 2 * (62 / bitsPerNumeral) - 2));
    const auto last = static_cast<std::size_t>(2 * (130 / bitsPerNumeral) + 3);
    for (std::size_t batchSize : {1, 3, 8, 13, 40}) {
      std::vector<Numerals> in, out;
      std::vector<std::string> tweaks;
      for (std::size_t n = first; n <= last; ++n) {
        for (std::size_t k = 0; k < batchSize; ++k) {
          Numerals x(n);
          const int kind = static_cast<int>(rng() % 4);  // all zero, all top, random, random
          for (auto& numeral : x) numeral = kind == 0 ? 0 : kind == 1 ? radix - 1 : rng() % radix;
          in.push_back(x);
          tweaks.push_back(std::string(rng() % 40, static_cast<char>(rng())));
        }
      }
      std::vector<Numerals> expected(in.size());
      for (std::size_t i = 0; i < in.size(); ++i) expected[i] = encrypt(software, in[i], tweaks[i], true);
      for (const Ff1* cipher : {&fast, &narrow, &software}) {
        // Batches of batchSize jobs, each batch one length, so lanes fill and run part-full.
        out.assign(in.size(), {});
        for (std::size_t from = 0; from < in.size(); from += batchSize) {
          std::vector<Ff1Job> jobs;
          for (std::size_t i = from; i < from + batchSize; ++i) {
            out[i].resize(in[i].size());
            jobs.push_back({in[i], tweaks[i], out[i]});
          }
          cipher->encryptMany(jobs);
        }
        for (std::size_t i = 0; i < in.size(); ++i)
          ASSERT_EQ(out[i], expected[i]) << "radix " << radix << " n " << in[i].size() << " batch " << batchSize;
        if (batchSize != 40) continue;
        // Every length in one call, in a random order: more shapes than the
        // vector roads keep groups open for.
        std::vector<std::size_t> order(in.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::shuffle(order.begin(), order.end(), rng);
        out.assign(in.size(), {});
        std::vector<Ff1Job> jobs;
        for (std::size_t i : order) {
          out[i].resize(in[i].size());
          jobs.push_back({in[i], tweaks[i], out[i]});
        }
        cipher->encryptMany(jobs);
        for (std::size_t i = 0; i < in.size(); ++i)
          ASSERT_EQ(out[i], expected[i]) << "radix " << radix << " n " << in[i].size() << " shuffled";
      }
    }
    // And once against the step-by-step reference, on either side of 2^64, 2^96 and 2^120.
    for (double bits : {63.0, 66.0, 95.0, 99.0, 119.0, 124.0}) {
      Numerals x(static_cast<std::size_t>(std::max<double>(fast.minLength(), 2 * bits / bitsPerNumeral)));
      for (auto& numeral : x) numeral = rng() % radix;
      EXPECT_EQ(encrypt(fast, x, "tweak"), referenceEncrypt(fast, x, "tweak")) << radix << " " << x.size();
    }
  }
}

TEST(Ff1, BrokenPreconditionsAreInternalErrors) {
  const Ff1 cipher(kKey, 10);
  Numerals out5(5), out6(6);
  EXPECT_THROW(cipher.encrypt(Numerals{1, 2, 3, 4, 5}, "", out5), std::logic_error);      // below the minimum
  EXPECT_THROW(cipher.encrypt(Numerals{1, 2, 3, 4, 5, 10}, "", out6), std::logic_error);  // a numeral >= radix
  EXPECT_THROW(cipher.encrypt(Numerals{1, 2, 3, 4, 5, 6}, "", out5), std::logic_error);   // output size differs
}

}  // namespace
}  // namespace zorva
