#include "fpe.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#include <string>
#include <vector>

namespace zorva {
namespace {

const std::string kSubkey = "fedcba9876543210FEDCBA9876543210";
const std::string kAlphanumeric = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// The FF1 key derived independently: HMAC(subkey, "ff1 key" 0x00).
Digest modelKey() {
  Digest key{};
  unsigned length = 0;
  HMAC(EVP_sha256(), kSubkey.data(), 32, reinterpret_cast<const unsigned char*>("ff1 key\0"), 8, key.data(),
       &length);
  return key;
}

// Expected integer mask straight from an Ff1 with the model key.
std::string expectedInteger(const std::string& digits, bool negative) {
  const Ff1 cipher(modelKey(), 10);
  std::vector<std::uint32_t> in, out(digits.size());
  for (char c : digits) in.push_back(static_cast<std::uint32_t>(c - '0'));
  const std::string tweak = negative ? "negative" : "integer";
  cipher.encrypt(in, tweak, out);
  while (out[0] == 0) {
    in = out;
    cipher.encrypt(in, tweak, out);
  }
  std::string result = negative ? "-" : "";
  for (std::uint32_t n : out) result += static_cast<char>('0' + n);
  return result;
}

std::string maskInt(const FpeStrategy& fpe, const std::string& decimal) {
  const KeyedHash kh(kSubkey);
  const bool negative = decimal[0] == '-';
  auto outcome = fpe.maskInteger(kh, BigInt::fromDecimal(decimal.substr(negative ? 1 : 0), negative));
  if (auto* refusal = std::get_if<Refusal>(&outcome)) return "refused: " + std::string(refusal->message);
  return std::string(std::get<BigInt>(outcome).toDecimal());
}

std::string maskStr(const FpeStrategy& fpe, const std::string& text) {
  const KeyedHash kh(kSubkey);
  auto outcome = fpe.maskText(kh, text);
  if (std::holds_alternative<Decline>(outcome)) return "declined";
  if (auto* refusal = std::get_if<Refusal>(&outcome)) return "refused: " + std::string(refusal->message);
  return std::string(std::get<Text>(outcome));
}

std::string keyStr(Charset charset, const std::string& text) {
  const KeyedHash kh(kSubkey);
  return std::string(std::get<Text>(KeyStrategy::maskText(charset, kh, text)));
}

struct FpeStrategyTest : ::testing::Test {
  KeyedHash kh{kSubkey};
  FpeStrategy alnum{kh, Charset::alphanumeric, false};
  FpeStrategy digits{kh, Charset::digits, false};
  FpeStrategy hex{kh, Charset::hex, false};
  FpeStrategy strictAlnum{kh, Charset::alphanumeric, true};
  FpeStrategy strictDigits{kh, Charset::digits, true};
  FpeStrategy strictHex{kh, Charset::hex, true};
};

TEST_F(FpeStrategyTest, IntegersMatchFf1WithDerivedKey) {
  // 6 digits, the 64-bit edge, 39 digits and 256 digits, both signs.
  const std::string values[] = {"123456", "100000", "18446744073709551615", "18446744073709551616",
                                "123456789012345678901234567890123456789", "9" + std::string(255, '3')};
  for (const std::string& v : values) {
    EXPECT_EQ(maskInt(alnum, v), expectedInteger(v, false)) << v;
    EXPECT_EQ(maskInt(strictHex, "-" + v), expectedInteger(v, true)) << v;
  }
}

TEST_F(FpeStrategyTest, TextMatchesFf1WithSkeletonTweak) {
  const Ff1 cipher(modelKey(), 62);
  // "AB-12": numerals of A, B, 1, 2; the tweak carries the hyphen in place.
  const std::vector<std::uint32_t> in = {36, 37, 1, 2};
  std::vector<std::uint32_t> out(4);
  cipher.encrypt(in, std::string("text|alphanumeric|\0\0-\0\0", 23), out);
  const std::string expected = {kAlphanumeric[out[0]], kAlphanumeric[out[1]], '-', kAlphanumeric[out[2]],
                                kAlphanumeric[out[3]]};
  EXPECT_EQ(maskStr(alnum, "AB-12"), expected);
}

TEST_F(FpeStrategyTest, SixDigitIntegersStaySixDigits) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 300; ++i) {
    const std::string v = std::to_string(100000 + rng() % 900000);
    const std::string masked = maskInt(digits, v);
    EXPECT_EQ(masked.size(), 6u) << v;
    EXPECT_NE(masked[0], '0');
    const std::string negative = maskInt(digits, "-" + v);
    ASSERT_EQ(negative.size(), 7u);
    EXPECT_EQ(negative[0], '-');
    EXPECT_NE(negative.substr(1), masked) << "signs share a tweak for " << v;
  }
}

TEST_F(FpeStrategyTest, ShortValuesGoToTheKeyStrategyOrAreRefused) {
  const KeyedHash kh2(kSubkey);
  for (const char* v : {"0", "7", "-7", "12345", "-99999"}) {
    const std::string decimal = v;
    const bool negative = decimal[0] == '-';
    const BigInt value = BigInt::fromDecimal(decimal.substr(negative ? 1 : 0), negative);
    EXPECT_EQ(maskInt(digits, v), std::string(std::get<BigInt>(KeyStrategy::maskInteger(kh2, value)).toDecimal()));
    EXPECT_EQ(maskInt(strictDigits, v),
              "refused: the fpe strategy is strict, and FF1 needs at least 6 digits in a value; this one has "
              "fewer");
  }
  struct Case {
    const FpeStrategy& strict;
    const FpeStrategy& lax;
    Charset charset;
    std::string text;
    std::string refusal;
  } cases[] = {
      {strictAlnum, alnum, Charset::alphanumeric, "ab", "4 alphanumeric characters"},
      {strictAlnum, alnum, Charset::alphanumeric, "a-b-c", "4 alphanumeric characters"},
      {strictHex, hex, Charset::hex, "beef", "5 hex characters"},
      {strictDigits, digits, Charset::digits, "abc", "6 digits characters"},
      {strictDigits, digits, Charset::digits, "", "6 digits characters"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(maskStr(c.lax, c.text), keyStr(c.charset, c.text));
    EXPECT_EQ(maskStr(c.strict, c.text), "refused: the fpe strategy is strict, and FF1 needs at least " + c.refusal +
                                             " in a value; this one has fewer");
  }
}

TEST_F(FpeStrategyTest, LimitsAndDeclines) {
  const std::string tooLong =
      "refused: the fpe strategy masks identifiers of up to 256 characters or digits, and this value is longer; "
      "use hash, redact or null for long values";
  EXPECT_EQ(maskInt(strictAlnum, "1" + std::string(256, '0')), tooLong);
  EXPECT_EQ(maskInt(alnum, "-" + std::string(257, '9')), tooLong);
  EXPECT_EQ(maskInt(alnum, std::string(256, '9')).size(), 256u);
  EXPECT_EQ(maskStr(alnum, std::string(257, 'a')), tooLong);
  EXPECT_EQ(maskStr(alnum, std::string(256, 'a')).size(), 256u);
  EXPECT_EQ(maskStr(strictAlnum, "\xc3\xa4" "bcdef"), "declined");
  EXPECT_EQ(maskStr(alnum, std::string(300, 'a') + "\xc3\xa4"), "declined");
}

TEST_F(FpeStrategyTest, TextsKeepSeparatorsAndAlphabet) {
  struct Case {
    const FpeStrategy& fpe;
    std::string alphabet;
    std::string text;
  } cases[] = {
      {alnum, kAlphanumeric, "AB-12"},
      {alnum, kAlphanumeric, "Acct 0042/XY_9"},
      {digits, "0123456789", "12-34-56"},
      {digits, "0123456789", "ab 000000 cd"},
      {hex, "0123456789abcdefABCDEF", "DEADBEEF"},
      {hex, "0123456789abcdefABCDEF", "de:ad:be:ef:00:11:zz"},
  };
  for (const auto& c : cases) {
    const std::string masked = maskStr(c.fpe, c.text);
    ASSERT_EQ(masked.size(), c.text.size()) << c.text;
    for (std::size_t i = 0; i < masked.size(); ++i) {
      const bool member = c.alphabet.find(c.text[i]) != std::string::npos;
      if (member) {
        EXPECT_NE(c.alphabet.find(masked[i]), std::string::npos) << masked;
      } else {
        EXPECT_EQ(masked[i], c.text[i]) << masked;
      }
    }
  }
  // The skeleton is part of the tweak.
  const std::string dash = maskStr(digits, "12-34-56");
  const std::string slash = maskStr(digits, "12/34/56");
  EXPECT_NE(dash.substr(0, 2) + dash.substr(3, 2) + dash.substr(6), slash.substr(0, 2) + slash.substr(3, 2) + slash.substr(6));
}

}  // namespace
}  // namespace zorva
