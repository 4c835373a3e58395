// The cheap maskers against their definitions, on the batch road and one at a
// time: digit runs (one whose first stream block holds too few digits among
// them), and the hex of hashes and e-mail local parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "strategies/digits.h"
#include "strategies/hash.h"

namespace zorva {
namespace {

const std::uint8_t kKey[32] = {7, 1, 4, 2, 8, 5, 7, 1, 4, 2, 8, 5, 7, 1, 4, 2,
                               8, 5, 7, 1, 4, 2, 8, 5, 7, 1, 4, 2, 8, 5, 7, 1};
const KeyedHash lanes(kKey);
const KeyedHash plain(kKey, KeyedHash::Engine::openssl);

// The masked run as defined: the whole stream of 2n + 32 bytes, its bytes up
// to 249 as digits R, position i taking R[i mod r] unless kept.
std::optional<std::string> referenceRun(const std::string& d, std::uint64_t keepLeading, std::uint64_t keepTrailing) {
  const std::size_t n = d.size();
  if (n > 0 && n <= keepLeading + keepTrailing) return std::nullopt;
  std::vector<int> r;
  for (std::uint8_t s : plain.expand(d, 2 * n + 32, "")) {
    if (s <= 249) r.push_back(s % 10);
  }
  if (r.empty()) return std::nullopt;
  std::string out = d;
  for (std::size_t i = 0; i < n; ++i) {
    if (i >= keepLeading && i + keepTrailing < n) out[i] = static_cast<char>('0' + r[i % r.size()]);
  }
  return out;
}

std::optional<std::string> text(const Outcome<Text>& outcome) {
  if (const Text* t = std::get_if<Text>(&outcome)) return std::string(*t);
  return std::nullopt;
}

TEST(Cheap, DigitRunsMatchTheirDefinition) {
  // 25 digits whose first 32 stream bytes hold eight of 250 or above: fewer
  // digits than the run needs, so the rest of its stream must be drawn.
  const std::string shortFirstBlock = "0000000000000000002959278";
  int shortOfDigits = 0;
  for (std::uint8_t s : plain.expand(shortFirstBlock, 32, "")) shortOfDigits += s > 249;
  ASSERT_LT(32 - shortOfDigits, 25);

  std::mt19937_64 rng(5);
  std::vector<std::string> runs = {shortFirstBlock};
  for (std::size_t n = 0; n <= 70; ++n) {
    std::string d(n, '0');
    for (char& c : d) c = static_cast<char>('0' + rng() % 10);
    runs.push_back(d);
  }
  const std::pair<std::uint64_t, std::uint64_t> keeps[] = {{0, 0}, {1, 0}, {2, 3}, {~0ULL, ~0ULL}};
  for (const auto& [leading, trailing] : keeps) {
    // The batch road sees each run as a phone number does: separators before
    // its first digit, after it and after its last.
    auto shaped = [](const std::string& d) {
      return d.empty() ? "()-" : "(" + d.substr(0, 1) + ") " + d.substr(1) + "-";
    };
    std::vector<std::string> texts;
    for (const std::string& d : runs) texts.push_back(shaped(d));
    std::vector<std::string_view> views(texts.begin(), texts.end());
    std::vector<Outcome<Text>> batch(texts.size());
    maskDigitsTexts(lanes, views, leading, trailing, batch.data());
    for (std::size_t i = 0; i < runs.size(); ++i) {
      const auto expected = referenceRun(runs[i], leading, trailing);
      EXPECT_EQ(text(maskDigitRun(lanes, runs[i], leading, trailing)), expected) << runs[i];
      EXPECT_EQ(text(maskDigitRun(plain, runs[i], leading, trailing)), expected) << runs[i];
      // A text without digits comes back as it is; the others keep their separators.
      std::optional<std::string> expectedText = "()-";
      if (!runs[i].empty()) expectedText = expected ? std::optional(shaped(*expected)) : expected;
      EXPECT_EQ(text(batch[i]), expectedText) << texts[i];
    }
  }
}

// The byte road (where the CPU has it) against the plain loops on texts of
// every shape: each length around the 64-byte register and past it, digits
// among separators, letters and non-ASCII bytes, streams short of digits,
// and keep counts that cover the whole run.
TEST(Cheap, DigitRoadsAgree) {
  std::mt19937_64 rng(11);
  const std::string pieces[] = {"0", "7", "-", " ", "(", "+", "x", "\xc3\xa9", "00000000"};
  std::vector<std::string> texts = {
      "", "-", "0000000000000000002959278", std::string(64, '5'), std::string(65, '5'), std::string(63, '1') + "\x80"};
  for (std::size_t length = 0; length <= 130; ++length) {
    for (int copy = 0; copy < 3; ++copy) {
      std::string t;
      while (t.size() < length) t += pieces[rng() % (copy == 2 ? std::size(pieces) : 6)];
      t.resize(length);
      texts.push_back(t);
    }
  }
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  const std::pair<std::uint64_t, std::uint64_t> keeps[] = {{0, 0}, {3, 0}, {0, 4}, {70, 1}, {~0ULL, 0}};
  for (const auto& [leading, trailing] : keeps) {
    std::vector<Outcome<Text>> bytes(texts.size()), portable(texts.size());
    maskDigitsTexts(lanes, views, leading, trailing, bytes.data(), ByteRoad::automatic);
    maskDigitsTexts(lanes, views, leading, trailing, portable.data(), ByteRoad::portable);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(bytes[i].index(), portable[i].index()) << texts[i];
      EXPECT_EQ(text(bytes[i]), text(portable[i])) << texts[i] << " keeping " << leading << ", " << trailing;
    }
  }
}

std::string hexOf(const Digest& digest) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : digest) out += {digits[b >> 4], digits[b & 15]};
  return out;
}

// Every hex length (odd ones cut a byte in half, above 64 all of it), with
// prefixes and domains short enough to be laid on the stack and longer.
TEST(Cheap, HashesAndEmailsSpellTheDigestInLowercaseHex) {
  const std::string prefixes[] = {"", "h_", std::string(200, 'p')};
  const std::string domains[] = {"example.test", std::string(200, 'd')};
  const std::string data[] = {"4000123412341234", "", "x"};
  const std::string_view views[] = {data[0], data[1], data[2]};
  for (std::uint64_t length = 0; length <= 70; ++length) {
    const std::size_t count = std::min<std::uint64_t>(length, 64);
    for (const std::string& prefix : prefixes) {
      Text hashes[3];
      maskHashes(lanes, views, length, prefix, hashes);
      for (std::size_t i = 0; i < 3; ++i) {
        const std::string expected = prefix + hexOf(plain.digest(data[i], "")).substr(0, count);
        EXPECT_EQ(std::string(hashes[i]), expected) << length;
        EXPECT_EQ(std::string(maskHash(plain, data[i], length, prefix)), expected) << length;
      }
    }
    for (const std::string& domain : domains) {
      Outcome<Text> emails[3];
      maskEmails(lanes, views, length, domain, false, emails);
      for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(text(emails[i]), "u" + hexOf(plain.digest(data[i], "")).substr(0, count) + "@" + domain);
    }
  }
}

}  // namespace
}  // namespace zorva
