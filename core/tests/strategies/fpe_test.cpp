// FpeStrategy: shapes kept, short values through the key strategy, refusals.
#include "strategies/fpe.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace zorva {
namespace {

const std::string kSubkey = "fedcba9876543210FEDCBA9876543210";
const KeyedHash& keyedHash() {
  static const KeyedHash kh(kSubkey);
  return kh;
}
const std::string kAlphabets[] = {"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ", "0123456789",
                                  "0123456789abcdefABCDEF"};

// FF1 under the key derived independently, HMAC(subkey, "ff1 key" 0x00), over
// the alphabet characters of text (numeral k is the k-th character). Texts
// carry their charset and separators in the tweak; a decimal integer's digits
// are re-encrypted until they lead with a nonzero digit.
std::string expected(Charset charset, const std::string& text, bool integer) {
  Digest key{};
  unsigned length = 0;
  HMAC(EVP_sha256(), kSubkey.data(), 32, reinterpret_cast<const unsigned char*>("ff1 key\0"), 8, key.data(), &length);
  const std::string& alphabet = kAlphabets[integer ? 1 : static_cast<int>(charset)];
  // The plain road: portable AES and arbitrary-precision rounds.
  const Ff1 cipher(key, static_cast<std::uint32_t>(alphabet.size()), Ff1::AesEngine::software);
  std::string tweak = text[0] == '-' ? "negative" : "integer";
  if (!integer) tweak = "text|" + std::string(charsetName(charset)) + "|";
  std::vector<std::uint32_t> in, out;
  for (char c : text) {
    const std::size_t at = alphabet.find(c);
    if (at != std::string::npos) in.push_back(static_cast<std::uint32_t>(at));
    if (!integer) tweak += at == std::string::npos ? c : '\0';
  }
  out.resize(in.size());
  cipher.encryptArbitrary(in, tweak, out);
  while (integer && out[0] == 0) {
    in = out;
    cipher.encryptArbitrary(in, tweak, out);
  }
  std::string result = text;
  for (std::size_t i = 0, k = 0; i < result.size(); ++i) {
    if (alphabet.find(result[i]) != std::string::npos) result[i] = alphabet[out[k++]];
  }
  return result;
}

std::string str(const Outcome<BigInt>& outcome) {
  if (auto* refusal = std::get_if<Refusal>(&outcome)) return "refused: " + std::string(refusal->message);
  return std::string(std::get<BigInt>(outcome).toDecimal());
}
BigInt parse(const std::string& d) { return BigInt::fromDecimal(d.substr(d[0] == '-'), d[0] == '-'); }

struct FpeStrategyTest : ::testing::Test {
  FpeStrategy alnum{keyedHash(), Charset::alphanumeric, false}, digits{keyedHash(), Charset::digits, false},
      hex{keyedHash(), Charset::hex, false}, strictAlnum{keyedHash(), Charset::alphanumeric, true},
      strictDigits{keyedHash(), Charset::digits, true}, strictHex{keyedHash(), Charset::hex, true};
  std::string maskInt(const FpeStrategy& fpe, const std::string& decimal) {
    return str(fpe.maskInteger(keyedHash(), parse(decimal)));
  }
  std::string maskStr(const FpeStrategy& fpe, const std::string& text) {
    return std::string(std::get<Text>(fpe.maskText(keyedHash(), text)));
  }
};

TEST_F(FpeStrategyTest, IntegersAndTextsMatchFf1UnderTheDerivedKey) {
  // Random 6-digit values reach the re-encryption of a leading zero; then the
  // 64-bit edge, 39 digits and 256 digits. The charset does not apply to integers.
  std::mt19937_64 rng(7);
  std::vector<std::string> values = {"18446744073709551615", "18446744073709551616",
                                     "123456789012345678901234567890123456789", "9" + std::string(255, '3')};
  for (int i = 0; i < 100; ++i) values.push_back(std::to_string(100000 + rng() % 900000));
  for (const std::string& v : values) {
    EXPECT_EQ(maskInt(alnum, v), expected(Charset::digits, v, true)) << v;
    EXPECT_EQ(maskInt(strictHex, "-" + v), expected(Charset::digits, "-" + v, true)) << v;
  }
  const std::pair<const FpeStrategy&, std::string> texts[] = {{alnum, "AB-12"},
                                                              {alnum, "Acct 0042/XY_9"},
                                                              {alnum, std::string(256, 'a')},
                                                              {digits, "12-34-56"},
                                                              {digits, "12/34/56"},
                                                              {digits, "ab 000000 cd"},
                                                              {hex, "DEADBEEF"},
                                                              {strictHex, "de:ad:be:ef:00:11:zz"}};
  for (const auto& [fpe, text] : texts) EXPECT_EQ(maskStr(fpe, text), expected(fpe.charset(), text, false)) << text;
}

// Shapes with and without separators of every length from the minimum to past
// the 128-bit edge (radix^v crossing 2^64, 2^96 and 2^128), shuffled into one
// call, so that lanes mix lengths and run part-full and texts without
// separators follow texts with them and the reverse, over more than one
// batch of the strategy (seven copies of each length): each is the plain road's,
// with the characters mapped on the byte road (where the CPU has it) and by
// the plain loops.
TEST_F(FpeStrategyTest, ShapesOfEveryLengthInOneCallMatchThePlainRoad) {
  std::mt19937_64 rng(11);
  const std::tuple<const FpeStrategy*, std::size_t, std::size_t> charsets[] = {
      {&alnum, 4, 48}, {&hex, 5, 62}, {&digits, 6, 82}};
  for (const auto& [fpe, shortest, longest] : charsets) {
    const std::string& alphabet = kAlphabets[static_cast<int>(fpe->charset())];
    std::vector<std::string> texts;
    for (std::size_t n = shortest; n <= longest; ++n) {
      for (int copy = 0; copy < 7; ++copy) {
        std::string text;
        for (std::size_t k = 0; k < n; ++k) {
          if (copy > 0 && k > 0 && rng() % 5 == 0) text += "- /:"[rng() % 4];  // separators, where they fall
          text += alphabet[rng() % alphabet.size()];
        }
        if (copy == 2) text += '-';  // a separator after the last numeral
        texts.push_back(text);
      }
    }
    std::shuffle(texts.begin(), texts.end(), rng);
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    for (const ByteRoad road : {ByteRoad::automatic, ByteRoad::portable}) {
      std::vector<Outcome<Text>> out(texts.size());
      fpe->maskTexts(keyedHash(), views, out.data(), road);
      for (std::size_t i = 0; i < texts.size(); ++i)
        ASSERT_EQ(std::string(std::get<Text>(out[i])), expected(fpe->charset(), texts[i], false)) << texts[i];
    }
  }
}

// Texts too short, too long or not ASCII are held to their answers by the fuzz
// targets, which read integers of up to 155 digits only.
TEST_F(FpeStrategyTest, ShortAndLongIntegersGoToTheKeyStrategyOrAreRefused) {
  const std::string tooLong =
      "refused: the fpe strategy masks identifiers of up to 256 characters or digits, and "
      "this value is longer; use hash, redact or null for long values";
  EXPECT_EQ(maskInt(strictAlnum, "1" + std::string(256, '0')), tooLong);
  EXPECT_EQ(maskInt(alnum, "-" + std::string(257, '9')), tooLong);
  const std::string strict = "refused: the fpe strategy is strict, and FF1 needs at least ";
  for (const char* v : {"0", "7", "-7", "12345", "-99999"}) {
    EXPECT_EQ(maskInt(digits, v), str(KeyStrategy::maskInteger(keyedHash(), parse(v))));
    EXPECT_EQ(maskInt(strictDigits, v), strict + "6 digits in a value; this one has fewer");
  }
}

}  // namespace
}  // namespace zorva
