// The batch roads (interleaved lanes) against the one-at-a-time roads: every
// batch shape, mixed lengths, lanes that cycle-walk, and the published
// vectors inside batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "ff1/ff1.h"
#include "strategies/key.h"
#include "keyed_hash/keyed_hash.h"
#include "number/number.h"
#include "vectors.h"

namespace zorva {
namespace {

std::mt19937_64 rng(20261206);

std::string randomBytes(std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

const std::uint8_t kKey[32] = {7, 1, 4, 2, 8, 5, 7, 1, 4, 2, 8, 5, 7, 1, 4, 2,
                               8, 5, 7, 1, 4, 2, 8, 5, 7, 1, 4, 2, 8, 5, 7, 1};
const KeyedHash lanes(kKey);
const KeyedHash plain(kKey, KeyedHash::Engine::openssl);

TEST(Batch, HmacManyMatchesOneAtATimeOnEveryShape) {
  for (std::size_t count = 0; count <= 20; ++count) {
    std::vector<std::string> a(count), b(count);
    std::vector<Digest> tags(count);
    std::vector<HmacJob> jobs;
    for (std::size_t i = 0; i < count; ++i) {
      // Lengths around the one-block (55) and two-block (119) padding edges.
      a[i] = randomBytes(rng() % 130);
      b[i] = randomBytes(rng() % 3 == 0 ? 0 : rng() % 70);
      jobs.push_back({reinterpret_cast<const std::uint8_t*>(a[i].data()), a[i].size(),
                      reinterpret_cast<const std::uint8_t*>(b[i].data()), b[i].size(), tags[i].data()});
    }
    for (const KeyedHash* kh : {&lanes, &plain}) {
      kh->hmacMany(jobs);
      for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(tags[i], plain.hmac(a[i] + b[i])) << count << " " << i;
    }
  }
}

TEST(Batch, Rfc4231VectorsThroughEveryRoad) {
  int checked = 0;
  for (const auto& c : test::readVectors("hmac_sha256_rfc4231.txt")) {
    const std::string key = test::fromHex(c["Key"]);
    if (key.size() > 32 || !c["Truncate"].empty()) continue;  // a shorter key is the same key zero-padded
    std::uint8_t padded[32] = {};
    std::copy(key.begin(), key.end(), padded);
    const std::string data = test::fromHex(c["Data"]);
    for (auto engine : {KeyedHash::Engine::automatic, KeyedHash::Engine::openssl}) {
      const KeyedHash kh(padded, engine);
      Digest tags[3];
      const std::string other = "other";
      const HmacJob jobs[3] = {
          {reinterpret_cast<const std::uint8_t*>(other.data()), other.size(), nullptr, 0, tags[0].data()},
          {reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), nullptr, 0, tags[1].data()},
          {nullptr, 0, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), tags[2].data()}};
      kh.hmacMany(jobs);
      EXPECT_EQ(test::toHex(tags[1]), c["Mac"]) << "line " << c.line;
      EXPECT_EQ(tags[2], tags[1]);
    }
    ++checked;
  }
  EXPECT_EQ(checked, 4);
}

TEST(Batch, PermuteBelowAndExpandMatchOneAtATime) {
  const std::string longLabel = "text|alphanumeric|" + std::string(120, 'x');  // a multi-block round message
  for (std::size_t count = 0; count <= 19; ++count) {
    std::vector<PermuteJob> jobs(count);
    std::vector<u128> out(count);
    std::vector<BelowJob> draws(count);
    std::vector<std::uint64_t> drawn(count);
    std::vector<std::string> data(count);
    for (std::size_t i = 0; i < count; ++i) {
      // Sizes just above a power of four cycle-walk most; 0 and 1 pass through.
      const unsigned bits = static_cast<unsigned>(rng() % 128);
      u128 size = rng() % 4 == 0 ? (u128(1) << (bits & ~1u)) + 1 : (u128(rng()) << 64 | rng()) >> (127 - bits);
      if (i == 3) size = 1;
      const u128 value = size == 0 ? 0 : (u128(rng()) << 64 | rng()) % size;
      jobs[i] = {size, value, i % 5 == 4 ? std::string_view(longLabel) : std::string_view("integer"), &out[i]};
      data[i] = randomBytes(rng() % 60);
      draws[i] = {data[i], 1 + rng() % (i % 2 ? 1000 : ~std::uint64_t{0}), i % 2 ? "first" : "street", &drawn[i]};
    }
    lanes.permuteMany(jobs);
    lanes.belowMany(draws);
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_TRUE(out[i] == plain.permute(jobs[i].size, jobs[i].value, jobs[i].label)) << count << " " << i;
      EXPECT_EQ(drawn[i], plain.below(draws[i].data, draws[i].bound, draws[i].label));
      // And against the definition: the stream read as one number, mod bound.
      const auto stream = plain.expand(draws[i].data, (71 - __builtin_clzll(draws[i].bound)) / 8 + 32, draws[i].label);
      u128 r = 0;
      for (std::uint8_t byte : stream) r = (r * 256 + byte) % draws[i].bound;
      EXPECT_EQ(drawn[i], static_cast<std::uint64_t>(r));
    }
  }
  // Streams of every length around the block edges, one at a time and as one
  // batch whose blocks span several HMAC groups.
  const std::vector<std::size_t> lengths = {0, 1, 31, 32, 33, 64, 255, 257, 300, 54, 1000};
  std::vector<std::vector<std::uint8_t>> streams;
  std::vector<ExpandJob> expands;
  for (std::size_t length : lengths) streams.emplace_back(length);
  for (std::size_t i = 0; i < lengths.size(); ++i)
    expands.push_back({i % 2 ? "data" : "other data", lengths[i], i % 3 ? "" : "label", streams[i].data()});
  lanes.expandMany(expands);
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    const auto expected = plain.expand(expands[i].data, lengths[i], expands[i].label);
    EXPECT_EQ(lanes.expand(expands[i].data, lengths[i], expands[i].label), expected) << lengths[i];
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), streams[i].begin())) << lengths[i];
  }
}

// Round messages of every block count, with labels ending on both sides of
// each block edge, so that lanes of several lengths run together and leading
// blocks are absorbed once; runs of one label (whose absorbed blocks are
// shared) broken by labels that agree only on their first block, and sizes
// whose length fields differ under one label.
TEST(Batch, PermuteMessagesOfManyBlocksMatchOneAtATime) {
  std::vector<std::string> labels;
  for (std::size_t length : {0, 30, 46, 47, 55, 56, 63, 64, 65, 100, 127, 128, 129, 300, 530, 535}) {
    std::string label = "text|alphanumeric|" + randomBytes(length);
    labels.push_back(label.substr(0, length));
  }
  std::string twin = labels[12];
  twin.back() ^= 1;  // the same first two blocks as labels[12]
  labels.push_back(twin);
  for (int trial = 0; trial < 30; ++trial) {
    const std::size_t count = 1 + rng() % 70;
    std::vector<PermuteJob> jobs(count);
    std::vector<u128> out(count);
    std::size_t label = rng() % labels.size();
    for (std::size_t i = 0; i < count; ++i) {
      if (rng() % 4 == 0) label = rng() % labels.size();
      const unsigned bits = 2 + static_cast<unsigned>(rng() % 126);
      const u128 size = (u128(rng()) << 64 | rng()) >> (128 - bits) | 2;
      jobs[i] = {size, (u128(rng()) << 64 | rng()) % size, labels[label], &out[i]};
    }
    lanes.permuteMany(jobs);
    for (std::size_t i = 0; i < count; ++i)
      ASSERT_TRUE(out[i] == plain.permute(jobs[i].size, jobs[i].value, jobs[i].label))
          << "trial " << trial << " job " << i << " label of " << jobs[i].label.size();
  }
}

// One-block round messages of every shape in one batch (labels of up to 23
// bytes fit with any size): sizes and labels of many lengths put the round
// byte and R at different offsets in lanes hashed side by side. Runs of one
// label and size share their laid words; in odd counts a longer label now
// and then sends whole rounds down the multi-block road, which lays the
// shared lanes' bytes only then.
TEST(Batch, PermuteOneBlockMessagesOfMixedShapesMatchOneAtATime) {
  std::mt19937_64 random(41);  // its own, leaving the shared sequence to the other tests
  const std::string longLabel(100, 'y');
  for (std::size_t count = 1; count <= 40; ++count) {
    std::vector<PermuteJob> jobs(count);
    std::vector<u128> out(count);
    std::vector<std::string> labels(count);
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0 && random() % 2 == 0) {
        jobs[i] = {jobs[i - 1].size, (u128(random()) << 64 | random()) % jobs[i - 1].size, jobs[i - 1].label, &out[i]};
        continue;
      }
      labels[i].resize(random() % 24);
      for (char& c : labels[i]) c = static_cast<char>(random());
      if (count % 2 == 1 && i % 7 == 6) labels[i] = longLabel;
      const unsigned bits = 2 + static_cast<unsigned>(random() % 127);
      const u128 size = (u128(random()) << 64 | random()) >> (128 - bits) | 2;
      jobs[i] = {size, (u128(random()) << 64 | random()) % size, labels[i], &out[i]};
    }
    lanes.permuteMany(jobs);
    for (std::size_t i = 0; i < count; ++i)
      ASSERT_TRUE(out[i] == plain.permute(jobs[i].size, jobs[i].value, jobs[i].label))
          << "count " << count << " job " << i << " label of " << jobs[i].label.size();
  }
}

// Block messages of up to 55 bytes are laid straight into their blocks, longer
// ones take the general road: every data length across that edge, under
// labels of several lengths, in batches long enough to flush mid-stream.
TEST(Batch, DigestExpandAndBelowMatchOneAtATimeAcrossTheOneBlockEdge) {
  const std::string labels[] = {"", "first", std::string(40, 'l'), std::string(49, 'm')};
  const std::size_t lengths[] = {0, 1, 32, 33, 95};
  // Draws of 33 to 36 bytes below 2^32, and wider ones.
  const std::uint64_t bounds[] = {1, 255, 256, 65537, 0xFFFFFFFF, 1ULL << 32, ~std::uint64_t{0}};
  for (const std::string& label : labels) {
    std::vector<std::string> data;
    for (std::size_t n = 0; n <= 64; ++n) data.push_back(randomBytes(n));
    std::vector<std::string_view> views(data.begin(), data.end());
    std::vector<Digest> digests(data.size());
    std::vector<std::vector<std::uint8_t>> streams;
    std::vector<ExpandJob> expands;
    std::vector<BelowJob> draws;
    std::vector<std::uint64_t> drawn(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) streams.emplace_back(lengths[i % 5]);
    for (std::size_t i = 0; i < data.size(); ++i) {
      expands.push_back({data[i], lengths[i % 5], label, streams[i].data()});
      draws.push_back({data[i], bounds[i % 7], label, &drawn[i]});
    }
    lanes.digestMany(views, label, digests.data());
    lanes.expandMany(expands);
    lanes.belowMany(draws);
    for (std::size_t i = 0; i < data.size(); ++i) {
      EXPECT_EQ(digests[i], plain.digest(data[i], label)) << label.size() << " " << i;
      const auto expected = plain.expand(data[i], lengths[i % 5], label);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), streams[i].begin())) << label.size() << " " << i;
      // below against its definition: the stream read as one number, mod bound.
      const std::uint64_t bound = bounds[i % 7];
      u128 r = 0;
      for (std::uint8_t byte : plain.expand(data[i], (std::bit_width(bound) + 7) / 8 + 32, label))
        r = (r * 256 + byte) % bound;
      EXPECT_EQ(drawn[i], static_cast<std::uint64_t>(r)) << label.size() << " " << i;
    }
  }
}

TEST(Batch, Ff1ManyMatchesOneAtATimeOnEveryRoad) {
  const Digest key = plain.digest("", "ff1 key");
  for (std::uint32_t radix : {2u, 10u, 36u, 62u}) {
    const Ff1 fast(key, radix);
    const Ff1 narrow(key, radix, Ff1::AesEngine::aesInstructions);
    const Ff1 software(key, radix, Ff1::AesEngine::software);
    // Batches of one shape fill the vector groups (32 lanes, 16 in a half
    // group); mixed ones make the open groups give way to new shapes.
    for (std::size_t count : {1, 2, 5, 7, 8, 9, 16, 17, 23, 33, 70}) {
      const bool oneShape = count % 2 == 1;
      std::vector<std::vector<std::uint32_t>> in(count), batch(count), alone(count);
      std::vector<std::string> tweaks(count);
      std::vector<Ff1Job> jobs;
      const std::size_t shape = fast.minLength() + rng() % 8;
      for (std::size_t i = 0; i < count; ++i) {
        // From the minimum past the 64-bit boundary (radix 10: 20 numerals,
        // radix 62: 11), so wide, narrow and arbitrary-precision lanes mix.
        const std::size_t n = oneShape ? shape : fast.minLength() + rng() % (radix == 2 ? 60 : 20);
        for (std::size_t k = 0; k < n; ++k) in[i].push_back(static_cast<std::uint32_t>(rng() % radix));
        batch[i].resize(n);
        alone[i].resize(n);
        tweaks[i] = randomBytes(rng() % 40);
        jobs.push_back({in[i], tweaks[i], batch[i]});
      }
      for (const Ff1* cipher : {&fast, &narrow, &software}) {
        cipher->encryptMany(jobs);
        for (std::size_t i = 0; i < count; ++i) {
          software.encryptArbitrary(in[i], tweaks[i], alone[i]);
          EXPECT_EQ(batch[i], alone[i]) << radix << " " << count << " " << i << " n=" << in[i].size();
        }
      }
    }
  }
}

// A key batch lays every value's label end to end in one buffer and keeps
// many values in flight: texts of every length (one past the 128-bit road,
// one over the limit, non-ASCII, nothing to permute) and integers of every
// band, several batches long, each answer as the value alone gets it.
TEST(Batch, KeyManyMatchesOneAtATimeAcrossBatches) {
  const std::string pieces[] = {"AB-12", "x", "2024-01-31", "é1", "--", "Q9Z", std::string(40, '7'), "ab12cd34ef"};
  std::vector<std::string> texts;
  // Past two batches of 512.
  for (int i = 0; i < 1100; ++i) {
    std::string text = pieces[rng() % std::size(pieces)];
    for (std::uint64_t extra = rng() % 4; extra > 0; --extra) text += pieces[rng() % std::size(pieces)];
    texts.push_back(i == 77 ? std::string(300, 'a') : text);
  }
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  for (Charset charset : {Charset::alphanumeric, Charset::digits, Charset::hex}) {
    std::vector<Outcome<Text>> batch(views.size());
    KeyStrategy::maskTexts(charset, lanes, views, batch.data());
    for (std::size_t i = 0; i < views.size(); ++i)
      EXPECT_EQ(batch[i], KeyStrategy::maskText(charset, plain, views[i])) << views[i];
  }
  std::vector<BigInt> integers;
  for (int i = 0; i < 1100; ++i) {
    const std::uint64_t magnitude = rng() >> (rng() % 64);
    integers.push_back(i % 50 == 0 ? BigInt::fromDecimal(std::string(45, '9'), false) : BigInt::fromU64(magnitude));
    if (i % 3 == 0) integers.back() = integers.back().negated();
  }
  std::vector<const BigInt*> pointers;
  for (const BigInt& value : integers) pointers.push_back(&value);
  std::vector<Outcome<BigInt>> batch(pointers.size());
  KeyStrategy::maskIntegers(lanes, pointers, batch.data());
  for (std::size_t i = 0; i < pointers.size(); ++i)
    EXPECT_EQ(batch[i], KeyStrategy::maskInteger(plain, *pointers[i])) << i;
}

// Values the strategy refuses (too many digits, not finite, zero, not a
// number) sit between masked ones, so a batch's digests must stay with
// their values across the batch boundaries.
TEST(Batch, NumberManyMatchesOneAtATime) {
  const BigInt huge = BigInt::fromDecimal("1234567890123456789012345678901234567890", false);
  std::vector<BigInt> integers;
  for (int i = 0; i < 30; ++i) integers.push_back(BigInt::fromI64(i * 7919 - 40000));
  const std::vector<std::string> texts = {"12.50", "abc", "1E+500", "-0.001", "7", "3.14159"};
  std::vector<NumberInput> values;
  for (int i = 0; i < 90; ++i) {
    switch (i % 5) {
      case 0: values.push_back({NumberInput::Kind::Int, i % 15 == 0 ? &huge : &integers[i % 30], 0, {}}); break;
      case 1: values.push_back({NumberInput::Kind::Float, nullptr, i % 3 == 0 ? 0.0 : 1.5 * i, {}}); break;
      case 2: values.push_back({NumberInput::Kind::Float, nullptr, i % 4 == 0 ? INFINITY : i / 8.0, {}}); break;
      default: values.push_back({NumberInput::Kind::Decimal, nullptr, 0, texts[i % texts.size()]}); break;
    }
  }
  std::vector<std::string> reprs(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i].kind != NumberInput::Kind::Float) continue;
    reprs[i] = std::isinf(values[i].real) ? "inf" : std::to_string(values[i].real);
    values[i].text = reprs[i];
  }
  for (auto options : {std::vector<const char*>{nullptr, nullptr, nullptr},
                       {"-1000", "250000", nullptr},
                       {nullptr, nullptr, "0.25"}}) {
    auto opt = [](const char* s) { return s ? std::optional<std::string_view>(s) : std::nullopt; };
    auto made = NumberStrategy::make(opt(options[0]), opt(options[1]), opt(options[2]), 2);
    const NumberStrategy& strategy = std::get<NumberStrategy>(made);
    std::vector<NumberResult> batch(values.size());
    strategy.maskMany(lanes, values, batch.data());
    for (std::size_t i = 0; i < values.size(); ++i) {
      const NumberInput& v = values[i];
      const NumberResult one = v.kind == NumberInput::Kind::Int     ? strategy.maskInteger(plain, *v.integer)
                               : v.kind == NumberInput::Kind::Float ? strategy.maskFloat(plain, v.real, v.text)
                                                                    : strategy.maskDecimal(plain, v.text);
      ASSERT_EQ(batch[i].kind, one.kind) << i;
      EXPECT_EQ(batch[i].integer, one.integer) << i;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(batch[i].real), std::bit_cast<std::uint64_t>(one.real)) << i;
      EXPECT_EQ(batch[i].text, one.text) << i;
    }
  }
}

}  // namespace
}  // namespace zorva
