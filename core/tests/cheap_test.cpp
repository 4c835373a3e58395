#include "cheap.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cctype>
#include <limits>
#include <random>
#include <string>

#include "vectors.h"

namespace zorva {
namespace {

const std::string kSubkey = "ZYXWVUTSRQPONMLKJIHGFEDCBA012345";
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::string hmac(const std::string& message) {
  unsigned char tag[32];
  unsigned length = 0;
  HMAC(EVP_sha256(), kSubkey.data(), 32, reinterpret_cast<const unsigned char*>(message.data()), message.size(), tag,
       &length);
  return std::string(reinterpret_cast<char*>(tag), 32);
}

// expand(data, length, label): block i is HMAC(label # BE(i, 4) 0x00 data).
std::string modelExpand(const std::string& data, std::size_t length, const std::string& label) {
  std::string out;
  for (std::uint32_t i = 0; out.size() < length; ++i) {
    const char counter[4] = {static_cast<char>(i >> 24), static_cast<char>(i >> 16), static_cast<char>(i >> 8),
                             static_cast<char>(i)};
    out += hmac(label + "#" + std::string(counter, 4) + '\0' + data);
  }
  return out.substr(0, length);
}

std::string modelRun(const std::string& d, std::uint64_t a, std::uint64_t b) {
  std::string r;
  for (unsigned char s : modelExpand(d, 2 * d.size() + 32, "")) {
    if (s <= 249) r += static_cast<char>('0' + s % 10);
  }
  std::string out = d;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (i >= a && i + b < d.size()) out[i] = r[i % r.size()];
  }
  return out;
}

struct CheapMaskers : ::testing::Test {
  KeyedHash kh{kSubkey};

  std::string text(Outcome<Text> outcome) {
    if (std::holds_alternative<Decline>(outcome)) return "declined";
    return std::string(std::get<Text>(outcome));
  }
  std::string integer(const std::string& decimal, std::uint64_t a, std::uint64_t b) {
    const bool negative = decimal[0] == '-';
    auto outcome = maskDigitsInteger(kh, BigInt::fromDecimal(decimal.substr(negative ? 1 : 0), negative), a, b);
    if (std::holds_alternative<Decline>(outcome)) return "declined";
    return std::string(std::get<BigInt>(outcome).toDecimal());
  }
};

TEST_F(CheapMaskers, HashMatchesHmacModel) {
  struct Case {
    std::string data;
    std::uint64_t length;
    std::string prefix;
    std::size_t hexChars;
  } cases[] = {{"42", 0, "h_", 0},  {"42", 7, "h_", 7},       {"42", 64, "", 64},
               {"", 100, "x", 64},  {"abc", kMax, "pre", 64}, {"abc", 1, "", 1}};
  for (const auto& c : cases) {
    const std::string expected = c.prefix + test::toHex(hmac(std::string(1, '\0') + c.data)).substr(0, c.hexChars);
    EXPECT_EQ(std::string(maskHash(kh, c.data, c.length, c.prefix)), expected) << c.length;
  }
}

TEST_F(CheapMaskers, DigitRunsMatchModel) {
  struct Case {
    std::string digits;
    std::uint64_t a, b;
  } cases[] = {{"1234", 0, 0}, {"5551234567", 3, 2}, {"0", 0, 0}, {std::string(300, '8'), 10, 0}, {"12345", 2, 2}};
  for (const auto& c : cases) EXPECT_EQ(text(maskDigitRun(kh, c.digits, c.a, c.b)), modelRun(c.digits, c.a, c.b));
}

TEST_F(CheapMaskers, DigitsTextKeepsLayoutAndCounts) {
  const std::string plain = text(maskDigitsText(kh, "1234", 0, 0));
  const std::string dashed = text(maskDigitsText(kh, "12-34", 0, 0));
  EXPECT_EQ(dashed, plain.substr(0, 2) + "-" + plain.substr(2));

  const std::string phone = "+1 (555) 123-4567";
  const std::string masked = text(maskDigitsText(kh, phone, 1, 0));
  ASSERT_EQ(masked.size(), phone.size());
  EXPECT_EQ(masked[1], '1');
  for (std::size_t i = 0; i < phone.size(); ++i) {
    EXPECT_EQ(std::isdigit(static_cast<unsigned char>(masked[i])) != 0,
              std::isdigit(static_cast<unsigned char>(phone[i])) != 0);
    if (!std::isdigit(static_cast<unsigned char>(phone[i]))) {
      EXPECT_EQ(masked[i], phone[i]);
    }
  }

  // The middle digit is the one it gets with no keep counts.
  const std::string five = text(maskDigitsText(kh, "12345", 2, 2));
  EXPECT_EQ(five.substr(0, 2) + five.substr(3), "1245");
  EXPECT_EQ(five[2], text(maskDigitsText(kh, "12345", 0, 0))[2]);

  struct Declined {
    std::string text;
    std::uint64_t a, b;
  } declined[] = {{"1234", 2, 2}, {"12-34", 4, 0}, {"9", kMax, kMax}, {"123", kMax, 1}, {"\xd9\xa3" "12", 0, 0}};
  for (const auto& c : declined) EXPECT_EQ(text(maskDigitsText(kh, c.text, c.a, c.b)), "declined") << c.text;
  EXPECT_EQ(text(maskDigitsText(kh, "no digits here", 0, 0)), "no digits here");
  EXPECT_EQ(text(maskDigitsText(kh, "", 5, 5)), "");
}

TEST_F(CheapMaskers, DigitsIntegerKeepsSignAndCount) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 300; ++i) {
    const std::string v = std::to_string(rng() % 1000000000 + 10);
    for (const std::string& s : {v, "-" + v}) {
      const std::string masked = integer(s, 0, 0);
      ASSERT_EQ(masked.size(), s.size()) << s;
      EXPECT_EQ(masked[0], s[0] == '-' ? '-' : masked[0]);
      EXPECT_NE(masked[s[0] == '-' ? 1 : 0], '0') << s;
    }
  }
  const std::string huge = "-7" + std::string(400, '1');
  EXPECT_EQ(integer(huge, 0, 0).size(), huge.size());
  EXPECT_EQ(integer(huge, 1, 1).substr(0, 2), "-7");
  EXPECT_EQ(integer("0", 0, 0).size(), 1u);
  EXPECT_EQ(integer("0", 1, 0), "declined");
  EXPECT_EQ(integer("0", 0, kMax), "declined");
}

TEST_F(CheapMaskers, LeadingZeroIsReplacedFromLeadDraw) {
  int checked = 0;
  for (int v = 10; v < 2000 && checked < 3; ++v) {
    const std::string d = std::to_string(v);
    const std::string run = modelRun(d, 0, 0);
    if (run[0] != '0') continue;
    std::uint32_t mod = 0;
    for (unsigned char b : modelExpand(d, 33, "lead")) mod = (mod * 256 + b) % 9;
    EXPECT_EQ(integer(d, 0, 0), std::string(1, static_cast<char>('1' + mod)) + run.substr(1)) << d;
    ++checked;
  }
  EXPECT_EQ(checked, 3);
}

TEST_F(CheapMaskers, EmailIgnoresCaseAndBlanks) {
  const std::string local = text(maskEmail(kh, "Jane.Doe@Example.COM", 12, kDefaultMailDomain, false));
  EXPECT_EQ(local, "u" + test::toHex(hmac(std::string(1, '\0') + "jane.doe@example.com")).substr(0, 12) + "@example.test");
  EXPECT_EQ(text(maskEmail(kh, " \tjane.doe@example.com\n\x1c", 12, kDefaultMailDomain, false)), local);

  const std::string localPart = local.substr(0, local.find('@'));
  struct Case {
    std::string address;
    std::string domain;
  } kept[] = {{"Jane.Doe@Example.COM", "Example.COM"},
              {"  jane.doe@example.com ", "example.com"},
              {"a@b@Sub.Example", "Sub.Example"},
              {"no-at-sign", "mail.invalid"},
              {"trailing@", ""}};
  for (const auto& c : kept) {
    const std::string masked = text(maskEmail(kh, c.address, 12, "mail.invalid", true));
    EXPECT_EQ(masked.substr(masked.find('@') + 1), c.domain) << c.address;
    EXPECT_EQ(masked.find('@'), 13u);
  }
  EXPECT_EQ(text(maskEmail(kh, "  Jane.Doe@Example.COM", 12, "mail.invalid", true)), localPart + "@Example.COM");
  EXPECT_EQ(text(maskEmail(kh, " \r\n ", 5, kDefaultMailDomain, false)),
            "u" + test::toHex(hmac(std::string(1, '\0'))).substr(0, 5) + "@example.test");
  EXPECT_EQ(text(maskEmail(kh, "j\xc3\xa9@example.com", 12, kDefaultMailDomain, true)), "declined");
  EXPECT_EQ(text(maskEmail(kh, "x@y", kMax, "d", false)).size(), 1u + 64 + 2);
}

}  // namespace
}  // namespace zorva
