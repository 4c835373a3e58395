// KeyStrategy: bijection within digit bands and character classes.
#include "strategies/key.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zorva {
namespace {

const KeyedHash& keyedHash() {
  static const KeyedHash kh(std::string_view("0123456789abcdef0123456789ABCDEF"));
  return kh;
}

BigInt ten(std::uint64_t k) { return BigInt::pow(BigInt::fromU64(10), k); }

// Class size and alphabet base of one character, or 0 for a passthrough.
std::pair<int, char> classOf(Charset charset, char c) {
  if (c >= '0' && c <= '9') return {10, '0'};
  const char top = charset == Charset::alphanumeric ? 'z' : charset == Charset::hex ? 'f' : 0;
  if (c >= 'a' && c <= top) return {top - 'a' + 1, 'a'};
  if (c >= 'A' && c <= top - 32) return {top - 'a' + 1, 'A'};
  return {0, 0};
}

// Expected text mask: the characters' mixed-radix index, permuted over the
// product of their class sizes on big integers, under a label naming the charset
// and each character's class size (separators themselves).
std::string expectedText(Charset charset, const std::string& text) {
  BigInt size = BigInt::fromU64(1), index;
  std::string label = "text|" + std::string(charsetName(charset)) + "|";
  for (char c : text) {
    auto [r, base] = classOf(charset, c);
    label += r == 0 ? std::string(1, c) : std::to_string(r);
    if (r == 0) continue;
    size = size * BigInt::fromU64(r);
    index = index * BigInt::fromU64(r) + BigInt::fromU64(static_cast<std::uint64_t>(c - base));
  }
  BigInt x = keyedHash().permuteArbitrary(size, index, label);
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

// An integer of d digits permutes within its band [10^(d-1), 10^d) (one digit:
// 0..9, or 1..9 negated); 38 digits take the 128-bit path, 39 the
// arbitrary-precision one.
TEST(KeyStrategy, IntegersPermuteWithinTheirDigitCountBand) {
  std::vector<std::string> values = {"100000",
                                     "999999999999999999",
                                     "18446744073709551616",
                                     "10000000000000000000000000000000000000",
                                     "99999999999999999999999999999999999999",
                                     "31415926535897932384626433832795028841",
                                     "100000000000000000000000000000000000000",
                                     "999999999999999999999999999999999999999",
                                     "1" + std::string(255, '0')};
  for (int v = 0; v < 100; ++v) values.push_back(std::to_string(v));  // the whole one- and two-digit bands
  for (const std::string& text : values) {
    for (bool negative : {false, true}) {
      if (negative && text == "0") continue;
      const std::uint64_t d = text.size();
      const BigInt lo = d > 1 ? ten(d - 1) : BigInt::fromU64(negative);
      BigInt expected = lo + keyedHash().permuteArbitrary(ten(d) - lo, BigInt::fromDecimal(text) - lo,
                                                          negative ? "negative" : "integer");
      if (negative) expected = expected.negated();
      EXPECT_EQ(std::get<BigInt>(KeyStrategy::maskInteger(keyedHash(), BigInt::fromDecimal(text, negative))), expected)
          << text;
    }
  }
}

// Text sizes: 26^27 and 10^38 are below 2^128, 26^28 and 10^39 above; the
// long mixed texts also exercise the 64-bit chunking of the big path.
TEST(KeyStrategy, TextsPermuteWithinTheirClasses) {
  const std::pair<Charset, std::string> texts[] = {
      {Charset::alphanumeric, "AB-12"},
      {Charset::digits, "AB-12"},
      {Charset::hex, "dead beef 42"},
      {Charset::alphanumeric, "---"},
      {Charset::digits, ""},
      {Charset::alphanumeric, std::string(27, 'k')},
      {Charset::alphanumeric, std::string(28, 'k')},
      {Charset::digits, std::string(38, '7')},
      {Charset::digits, std::string(39, '7')},
      // Just past one word, with the classes mixed where the two-word
      // path splits off its first chunk.
      {Charset::alphanumeric, "Q7-x9K2m-44Rt8z1-Wp"},
      {Charset::hex, "deadBEEF-0123-4567-89ab-cdef0123"},
      {Charset::hex, "0123456789abcdefABCDEF-0123456789abcdefABCDEF-0123"},
      {Charset::alphanumeric, "Zq-" + std::string(60, '9') + "/abcXYZ" + std::string(40, 'm')},
      {Charset::alphanumeric, std::string(256, 'z')},
  };
  // Limits, refusals and declines are held to their messages by the fuzz targets.
  for (const auto& [charset, text] : texts) {
    const auto outcome = KeyStrategy::maskText(charset, keyedHash(), text);
    EXPECT_EQ(std::string(std::get<Text>(outcome)), expectedText(charset, text)) << text;
  }
}

}  // namespace
}  // namespace zorva
