#include "key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

namespace zorva {
namespace {

const std::string kSubkey = "0123456789abcdef0123456789ABCDEF";

BigInt big(const char* digits, bool negative = false) { return BigInt::fromDecimal(digits, negative); }

// Class size and alphabet base of one character, or 0 for a passthrough.
std::pair<int, char> classOf(Charset charset, char c) {
  if (c >= '0' && c <= '9') return {10, '0'};
  if (charset == Charset::alphanumeric && c >= 'a' && c <= 'z') return {26, 'a'};
  if (charset == Charset::alphanumeric && c >= 'A' && c <= 'Z') return {26, 'A'};
  if (charset == Charset::hex && c >= 'a' && c <= 'f') return {6, 'a'};
  if (charset == Charset::hex && c >= 'A' && c <= 'F') return {6, 'A'};
  return {0, 0};
}

std::string labelOf(Charset charset, const std::string& text) {
  std::string label = "text|" + std::string(charsetName(charset)) + "|";
  for (char c : text) {
    const int r = classOf(charset, c).first;
    label += r == 0 ? std::string(1, c) : std::to_string(r);
  }
  return label;
}

// Expected text mask, one character at a time on big integers and the
// arbitrary-precision permute, whatever the size.
std::string expectedText(const KeyedHash& kh, Charset charset, const std::string& text) {
  BigInt size = BigInt::fromU64(1);
  BigInt index;
  for (char c : text) {
    auto [r, base] = classOf(charset, c);
    if (r == 0) continue;
    size = size * BigInt::fromU64(r);
    index = index * BigInt::fromU64(r) + BigInt::fromU64(static_cast<std::uint64_t>(c - base));
  }
  BigInt x = kh.permute(size, index, labelOf(charset, text));
  std::string out = text;
  for (std::size_t i = out.size(); i-- > 0;) {
    auto [r, base] = classOf(charset, out[i]);
    if (r == 0) continue;
    BigInt q, rem;
    BigInt::divMod(x, BigInt::fromU64(r), q, rem);
    out[i] = static_cast<char>(base + rem.magnitudeU64());
    x = q;
  }
  return out;
}

std::string maskText(Charset charset, const std::string& text) {
  const KeyedHash kh(kSubkey);
  auto outcome = KeyStrategy::maskText(charset, kh, text);
  EXPECT_TRUE(std::holds_alternative<Text>(outcome)) << text;
  if (!std::holds_alternative<Text>(outcome)) return {};
  return std::string(std::get<Text>(outcome));
}

BigInt maskInteger(const BigInt& value) {
  const KeyedHash kh(kSubkey);
  auto outcome = KeyStrategy::maskInteger(kh, value);
  EXPECT_TRUE(std::holds_alternative<BigInt>(outcome)) << value.toDecimal();
  if (!std::holds_alternative<BigInt>(outcome)) return {};
  return std::get<BigInt>(outcome);
}

const char* kTooLong =
    "the key strategy masks identifiers of up to 256 characters or digits, and this value is longer; use hash, "
    "redact or null for long values";

// Integers permute within their digit-count band (one digit: 0..9, or 1..9
// negated); permute itself is held to a reference in keyed_hash_test.
TEST(KeyStrategy, IntegersPermuteWithinTheirBand) {
  const KeyedHash kh(kSubkey);
  struct Case {
    std::int64_t value;
    std::uint64_t lo, hi;
  } cases[] = {{0, 0, 10}, {7, 0, 10}, {-7, 1, 10}, {42, 10, 100}, {-42, 10, 100}, {100000, 100000, 1000000},
               {999999999999999999, 100000000000000000, 1000000000000000000}};
  for (const auto& c : cases) {
    const std::string label = c.value < 0 ? "negative" : "integer";
    const std::uint64_t magnitude = static_cast<std::uint64_t>(c.value < 0 ? -c.value : c.value);
    const auto offset = static_cast<std::uint64_t>(kh.permute(u128(c.hi - c.lo), u128(magnitude - c.lo), label));
    EXPECT_EQ(maskInteger(BigInt::fromI64(c.value)), BigInt::fromU64(c.lo + offset, c.value < 0)) << c.value;
  }
}

TEST(KeyStrategy, IntegerBandsAreBijections) {
  struct Band {
    std::int64_t from, to;
  } bands[] = {{0, 9}, {-9, -1}, {10, 99}, {-99, -10}, {100, 999}};
  for (const auto& band : bands) {
    std::set<std::int64_t> seen;
    for (std::int64_t v = band.from; v <= band.to; ++v) {
      const auto masked = maskInteger(BigInt::fromI64(v)).toI64();
      ASSERT_TRUE(masked.has_value());
      EXPECT_GE(*masked, band.from);
      EXPECT_LE(*masked, band.to);
      seen.insert(*masked);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(band.to - band.from + 1));
  }
}

TEST(KeyStrategy, TwoLetterTextsAreABijection) {
  std::set<std::string> seen;
  for (char a = 'a'; a <= 'z'; ++a) {
    for (char b = 'a'; b <= 'z'; ++b) {
      const std::string masked = maskText(Charset::alphanumeric, std::string{a, b});
      ASSERT_EQ(masked.size(), 2u);
      EXPECT_TRUE(std::islower(masked[0]) && std::islower(masked[1])) << masked;
      seen.insert(masked);
    }
  }
  EXPECT_EQ(seen.size(), 26u * 26u);
}

TEST(KeyStrategy, MatchesBigIntegerModelOnBothPaths) {
  const KeyedHash kh(kSubkey);
  // 38 digits take the 128-bit path, 39 the arbitrary-precision one.
  const char* values[] = {"10000000000000000000000000000000000000", "99999999999999999999999999999999999999",
                          "31415926535897932384626433832795028841", "100000000000000000000000000000000000000",
                          "999999999999999999999999999999999999999", "18446744073709551616"};
  for (const char* text : values) {
    for (bool negative : {false, true}) {
      const BigInt value = big(text, negative);
      const std::uint64_t d = std::string(text).size();
      const BigInt hi = BigInt::pow(BigInt::fromU64(10), d);
      const BigInt lo = BigInt::pow(BigInt::fromU64(10), d - 1);
      BigInt expected = lo + kh.permute(hi - lo, value.abs() - lo, negative ? "negative" : "integer");
      if (negative) expected = expected.negated();
      EXPECT_EQ(maskInteger(value), expected) << value.toDecimal();
    }
  }
  // Text sizes: 26^27 and 10^38 are below 2^128, 26^28 and 10^39 above;
  // the long mixed texts also exercise the 64-bit chunking of the big path.
  const std::pair<Charset, std::string> texts[] = {
      {Charset::alphanumeric, "AB-12"},
      {Charset::digits, "AB-12"},
      {Charset::hex, "AB-12"},
      {Charset::hex, "dead beef 42"},
      {Charset::alphanumeric, "---"},
      {Charset::digits, ""},
      {Charset::alphanumeric, std::string(27, 'k')},
      {Charset::alphanumeric, std::string(28, 'k')},
      {Charset::digits, std::string(38, '7')},
      {Charset::digits, std::string(39, '7')},
      {Charset::hex, "0123456789abcdefABCDEF-0123456789abcdefABCDEF-0123"},
      {Charset::alphanumeric, "Zq-" + std::string(60, '9') + "/abcXYZ" + std::string(40, 'm')},
      {Charset::alphanumeric, std::string(256, 'z')},
  };
  for (const auto& [charset, text] : texts) {
    const std::string masked = maskText(charset, text);
    EXPECT_EQ(masked, expectedText(kh, charset, text)) << text;
    ASSERT_EQ(masked.size(), text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (classOf(charset, text[i]).first == 0) {
        EXPECT_EQ(masked[i], text[i]);
      } else {
        EXPECT_EQ(classOf(charset, masked[i]), classOf(charset, text[i])) << text << " -> " << masked;
      }
    }
  }
  EXPECT_EQ(labelOf(Charset::alphanumeric, "AB-12"), "text|alphanumeric|2626-1010");
  EXPECT_EQ(maskText(Charset::alphanumeric, "---"), "---");
}

TEST(KeyStrategy, LengthLimitsAndDeclines) {
  const KeyedHash kh(kSubkey);
  const std::string digits256 = "1" + std::string(255, '0');
  const BigInt masked = maskInteger(big(digits256.c_str(), true));
  EXPECT_TRUE(masked.isNegative());
  EXPECT_EQ(masked.abs().toDecimal().size(), 256u);

  for (bool negative : {false, true}) {
    auto outcome = KeyStrategy::maskInteger(kh, big((digits256 + "0").c_str(), negative));
    ASSERT_TRUE(std::holds_alternative<Refusal>(outcome));
    EXPECT_EQ(std::get<Refusal>(outcome).message, kTooLong);
  }
  auto tooLong = KeyStrategy::maskText(Charset::alphanumeric, kh, std::string(257, 'a'));
  ASSERT_TRUE(std::holds_alternative<Refusal>(tooLong));
  EXPECT_EQ(std::get<Refusal>(tooLong).message, kTooLong);
  // Non-ASCII is declined before the length is looked at.
  for (const std::string& text : {std::string("\xc3\xa4"), "ab\xc3\xa4" + std::string(300, 'a')}) {
    EXPECT_TRUE(std::holds_alternative<Decline>(KeyStrategy::maskText(Charset::digits, kh, text)));
  }
}

TEST(KeyStrategy, MagnitudeDigitsRoundTrip) {
  const std::string values[] = {"0", "9", "18446744073709551615", "18446744073709551616",
                                "1" + std::string(300, '0'), "98765432109876543210987654321098765432109876543210"};
  for (const std::string& text : values) {
    const BigInt value = BigInt::fromDecimal(text);
    std::uint8_t digits[400];
    ASSERT_EQ(magnitudeDigits(value, digits, 400), text.size());
    std::string back;
    for (std::size_t i = 0; i < text.size(); ++i) back += static_cast<char>('0' + digits[i]);
    EXPECT_EQ(back, text);
    EXPECT_EQ(magnitudeDigits(value, digits, text.size() - 1), 0u);
    EXPECT_EQ(integerFromDigits(digits, text.size(), true), value.negated());
  }
}

}  // namespace
}  // namespace zorva
