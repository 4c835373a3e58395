// The cheap maskers against their definitions, on the batch road and one at a
// time: digit runs (one whose first stream block holds too few digits among
// them), and the hex of hashes and e-mail local parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cheap.h"

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
    // The batch road sees each run as a text with a separator after its first digit.
    std::vector<std::string> texts;
    for (const std::string& d : runs) texts.push_back(d.empty() ? "-" : d.substr(0, 1) + "-" + d.substr(1));
    std::vector<std::string_view> views(texts.begin(), texts.end());
    std::vector<Outcome<Text>> batch(texts.size());
    maskDigitsTexts(lanes, views, leading, trailing, batch.data());
    for (std::size_t i = 0; i < runs.size(); ++i) {
      const auto expected = referenceRun(runs[i], leading, trailing);
      EXPECT_EQ(text(maskDigitRun(lanes, runs[i], leading, trailing)), expected) << runs[i];
      EXPECT_EQ(text(maskDigitRun(plain, runs[i], leading, trailing)), expected) << runs[i];
      // A text without digits comes back as it is; the others keep their dash.
      std::optional<std::string> expectedText = "-";
      if (!runs[i].empty()) expectedText = expected ? expected->substr(0, 1) + "-" + expected->substr(1) : expected;
      EXPECT_EQ(text(batch[i]), expectedText) << texts[i];
    }
  }
}

// Texts of the shapes digit columns hold (separators at either end, none, no
// digit at all) in batches of every size, each against its run's definition.
TEST(Cheap, DigitTextsOfRealShapesMatchTheirDefinition) {
  const std::string shapes[] = {"+44 20 #### ####", "+49 (0)30 #######", "+1 (###) ###-####", "0##########", "(#)",
                                "--#",              "#--",               "abc",               "",            "x#y#z#w#"};
  std::mt19937_64 rng(9);
  for (const auto& [leading, trailing] : {std::pair<std::uint64_t, std::uint64_t>{0, 0}, {2, 0}, {2, 2}, {1, 3}}) {
    for (std::size_t size = 1; size <= 40; size += 3) {
      std::vector<std::string> texts(size);
      for (std::string& t : texts) {
        t = shapes[rng() % std::size(shapes)];
        for (char& c : t) c = c == '#' ? static_cast<char>('0' + rng() % 10) : c;
      }
      std::vector<std::string_view> views(texts.begin(), texts.end());
      std::vector<Outcome<Text>> batch(size);
      maskDigitsTexts(lanes, views, leading, trailing, batch.data());
      for (std::size_t i = 0; i < size; ++i) {
        std::string run;
        std::copy_if(texts[i].begin(), texts[i].end(), std::back_inserter(run), [](char c) { return c >= '0' && c <= '9'; });
        const std::optional<std::string> masked = referenceRun(run, leading, trailing);
        std::optional<std::string> expected = masked ? std::optional(texts[i]) : std::nullopt;
        std::size_t k = 0;
        if (masked) for (char& c : *expected) c = c >= '0' && c <= '9' ? (*masked)[k++] : c;
        EXPECT_EQ(text(batch[i]), expected) << texts[i];
      }
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
