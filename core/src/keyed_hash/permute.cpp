// KeyedHash::permute: the keyed bijection of [0, size), a 10-round Feistel
// network with cycle-walking, on machine integers (one at a time or many in
// lanes) and on arbitrary-precision integers.
#include "keyed_hash/keyed_hash.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "support/bytes.h"
#include "keyed_hash/internal/blocks.h"
#include "support/scratch.h"
#include "sha256/lanes.h"

namespace zorva {
namespace {

// The permute round message opens with label || 0x7C || BE(size) || round ||
// 0x23: writes the label, the bar and the mark, leaves sizeLen bytes after the
// bar for BE(size), and returns the offset of the round byte.
std::size_t layRoundLabel(std::uint8_t* msg, std::string_view label, std::size_t sizeLen) noexcept {
  copyBytes(msg, label);
  msg[label.size()] = 0x7C;
  const std::size_t roundAt = label.size() + 1 + sizeLen;
  msg[roundAt + 1] = 0x23;
  return roundAt;
}

unsigned bitLength128(u128 v) noexcept {
  const auto high = static_cast<std::uint64_t>(v >> 64);
  if (high != 0) return 64 + static_cast<unsigned>(std::bit_width(high));
  return static_cast<unsigned>(std::bit_width(static_cast<std::uint64_t>(v)));
}

// Minimal big-endian bytes of a nonzero 128-bit value; returns the count.
std::size_t minimalBE128(u128 v, std::uint8_t* out) noexcept {
  std::size_t len = (bitLength128(v) + 7) / 8;
  for (std::size_t i = len; i-- > 0;) {
    out[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
  return len;
}

// The Feistel network of a permutation of [0, m] (halves of h bits), and its
// round message label || 0x7C || BE(size) || round || 0x23 || BE(0, 4) ||
// 0x00 || BE(R, hb): laid once, then the round byte and R patched per round.
// One HMAC block per round suffices because hb <= 8 < 32, so the counter
// stays 0.
struct FeistelShape {
  unsigned h, dropBits;
  std::size_t hb, roundAt, rightAt, length;
  std::uint64_t mask;
  // The eight message bytes that end with R, as a big-endian word without
  // R: they start hb - 1 bytes past the round byte, so for hb <= 2 they hold
  // the 0x23 mark (and at hb = 1 the round byte, rewritten after them).
  std::uint64_t frame;

  FeistelShape(u128 m, std::size_t labelLength, std::size_t sizeLength) noexcept {
    const unsigned w = std::max(2u, bitLength128(m));
    h = (w + (w & 1)) / 2;  // at most 64
    hb = (h + 7) / 8;       // at most 8
    mask = h == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << h) - 1;
    dropBits = static_cast<unsigned>(64 - 8 * hb);
    roundAt = labelLength + 1 + sizeLength;
    rightAt = roundAt + 7;
    length = rightAt + hb;
    frame = hb <= 2 ? std::uint64_t{0x23} << (8 * (5 + hb)) : 0;
  }
  // Writes everything but the round byte and R into msg (length bytes).
  void lay(std::uint8_t* msg, std::string_view label, const std::uint8_t* sizeBytes,
           std::size_t sizeLength) const noexcept {
    layRoundLabel(msg, label, sizeLength);
    std::memcpy(msg + label.size() + 1, sizeBytes, sizeLength);
    std::memset(msg + roundAt + 2, 0, 5);  // counter 0 and the digest separator
  }
  // One word store for R rather than a byte loop: the round's message is
  // hashed straight after, and its loads wait on these stores.
  void patch(std::uint8_t* msg, std::uint8_t round, std::uint64_t right) const noexcept {
    putBE64(msg + rightAt + hb - 8, frame | right);
    msg[roundAt] = round;
  }
  // The round function's value from the tag's first 8 bytes, big-endian.
  std::uint64_t roundValue(std::uint64_t head) const noexcept { return (head >> dropBits) & mask; }
};

// A one-block round message as words across lanes: every word laid once,
// then per round only the word with the round byte and the three that end
// with R rewritten. R never shares a word with the round byte (seven bytes
// lie between), but those three may hold it, so it is written last.
struct RoundWords {
  std::uint32_t base[16];   // the words with the round byte and R zero
  std::uint64_t rightBase;  // the last two of the three words that end with R
  std::uint32_t rightHigh;  // the first of them
  std::uint32_t roundBase;  // the word with the round byte
  std::uint8_t rightWord;   // the last of the three
  std::uint8_t rightShift;  // bits after R in the last word
  std::uint8_t roundWord;
  std::uint8_t roundShift;  // bits after the round byte in its word

  // From the laid and padded message (its round byte and R may hold anything).
  void lay(const std::uint8_t* message, const FeistelShape& shape) noexcept {
    for (std::size_t j = 0; j < 16; ++j) base[j] = loadBE32(message + 4 * j);
    roundWord = static_cast<std::uint8_t>(shape.roundAt / 4);
    roundShift = static_cast<std::uint8_t>(8 * (3 - shape.roundAt % 4));
    base[roundWord] &= ~(std::uint32_t{0xFF} << roundShift);
    rightWord = static_cast<std::uint8_t>((shape.length - 1) / 4);
    rightShift = static_cast<std::uint8_t>(8 * (4 * rightWord + 4 - shape.length));
    const u128 rightMask = ((u128{1} << (8 * shape.hb)) - 1) << rightShift;
    const u128 ending = u128{base[rightWord - 2]} << 64 | u128{base[rightWord - 1]} << 32 | base[rightWord];
    const u128 cleared = ending & ~rightMask;
    base[rightWord - 2] = static_cast<std::uint32_t>(cleared >> 64);
    base[rightWord - 1] = static_cast<std::uint32_t>(cleared >> 32);
    base[rightWord] = static_cast<std::uint32_t>(cleared);
    rightHigh = base[rightWord - 2];
    rightBase = std::uint64_t{base[rightWord - 1]} << 32 | base[rightWord];
    roundBase = base[roundWord];
  }
  template <std::size_t kLanes>
  void layColumn(std::uint32_t (*column)[kLanes], std::size_t l) const noexcept {
    for (std::size_t j = 0; j < 16; ++j) column[j][l] = base[j];
  }
  template <std::size_t kLanes>
  void patch(std::uint32_t (*column)[kLanes], std::size_t l, std::uint8_t round, std::uint64_t right) const noexcept {
    const std::uint64_t low = rightBase | right << rightShift;
    column[rightWord - 2][l] = rightHigh | static_cast<std::uint32_t>(right >> 1 >> (63 - rightShift));
    column[rightWord - 1][l] = static_cast<std::uint32_t>(low >> 32);
    column[rightWord][l] = static_cast<std::uint32_t>(low);
    column[roundWord][l] = roundBase | std::uint32_t{round} << roundShift;
  }
};

// Pads a message of length bytes in place, as the blocks that follow the key
// block: 0x80, zeros, and the bit length counting the key block. Returns the
// padded length, a multiple of 64; the buffer must hold it.
std::size_t padMessage(std::uint8_t* message, std::size_t length) noexcept {
  const std::size_t padded = (length + 9 + 63) / 64 * 64;
  std::memset(message + length, 0, padded - length);
  message[length] = 0x80;
  putBE(message + padded - 8, (64 + std::uint64_t{length}) * 8, 8);
  return padded;
}

// Labels of a batch mostly point at one string: equal without a look.
bool sameLabel(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && (a.data() == b.data() || a == b);
}

[[noreturn]] void outsideDomain() { throw std::logic_error("permute called with a value outside [0, size)"); }

}  // namespace

u128 KeyedHash::permuteMachine(u128 m, const std::uint8_t* sizeBytes, std::size_t sizeLen, u128 value,
                               std::string_view label) const {
  if (value > m) outsideDomain();
  const FeistelShape shape(m, label.size(), sizeLen);
  Scratch<160> message(shape.length);
  std::uint8_t* msg = message.data();
  shape.lay(msg, label, sizeBytes, sizeLen);
  u128 x = value;
  do {
    auto right = static_cast<std::uint64_t>(x) & shape.mask;
    auto left = static_cast<std::uint64_t>(x >> shape.h);
    for (std::uint8_t r = 0; r < 10; ++r) {
      shape.patch(msg, r, right);
      std::uint8_t tag[32];
      hmacInto(msg, shape.length, nullptr, 0, tag);
      std::uint64_t next = left ^ shape.roundValue(loadBE64(tag));
      left = right;
      right = next;
    }
    x = (u128(left) << shape.h) | right;
  } while (x > m);  // cycle-walk back into [0, size)
  return x;
}

u128 KeyedHash::permute(u128 size, u128 value, std::string_view label) const {
  if (size <= 1) return value;
  std::uint8_t sizeBytes[16];
  std::size_t sizeLen = minimalBE128(size, sizeBytes);
  return permuteMachine(size - 1, sizeBytes, sizeLen, value, label);
}

namespace {

// One permutation of permuteMany: its round message, laid with its padding
// once, and where its Feistel network stands.
struct PermuteLane {
  static constexpr std::size_t kMessage = 640;  // the longest label the strategies build, its fields and padding
  // The most a label may hold for its message and padding to fit kMessage:
  // the fields after it take at most 1 + 17 + 7 + 8 bytes, the padding 9 to 72.
  static constexpr std::size_t kMaxLabel = kMessage - 1 - 17 - 7 - 8 - 72;
  const PermuteJob* job;
  u128 m;
  FeistelShape shape{0, 0, 0};
  std::uint64_t left, right;
  std::uint8_t round;
  bool laid;                 // whether message and outerBlock hold the bytes (see layBytes)
  std::uint8_t blocks;       // the padded message's SHA-256 blocks
  std::uint8_t fixed;        // its leading blocks that no round changes: they end before the round byte
  sha256::State afterFixed;  // the inner state once the fixed blocks are absorbed
  RoundWords words;          // for one-block messages
  alignas(16) std::uint8_t outerBlock[64];
  alignas(16) std::uint8_t message[kMessage];

  // Takes the job, its message not yet laid; the caller lays it (or its
  // words) and sets afterFixed.
  void start(const PermuteJob& j) noexcept {
    job = &j;
    m = j.size - 1;
    shape = FeistelShape(m, j.label.size(), (bitLength128(j.size) + 7) / 8);
    blocks = static_cast<std::uint8_t>((shape.length + 9 + 63) / 64);  // as padMessage pads it
    fixed = static_cast<std::uint8_t>(shape.roundAt / 64);
    laid = false;
    enter(j.value);
  }
  // Lays the message and its padding, and the outer block's padding. A
  // one-block message whose words are copied from an earlier lane's needs
  // its bytes only if a round of longer messages in the batch takes it by
  // hand, so it is laid then, if ever.
  void layBytes() noexcept {
    std::uint8_t sizeBytes[16];
    const std::size_t sizeLen = minimalBE128(job->size, sizeBytes);
    shape.lay(message, job->label, sizeBytes, sizeLen);
    padMessage(message, shape.length);
    padLastBlock(outerBlock, 32);
    laid = true;
  }
  void enter(u128 x) noexcept {
    right = static_cast<std::uint64_t>(x) & shape.mask;
    left = static_cast<std::uint64_t>(x >> shape.h);
    round = 0;
  }
  void patchRound() noexcept { shape.patch(message, round, right); }
  // The round's words in column l: a few 32-bit stores.
  template <std::size_t kLanes>
  void patchWords(std::uint32_t (*column)[kLanes], std::size_t l) const noexcept {
    words.patch(column, l, round, right);
  }
  // Finishes the round from its tag's first 8 bytes (big-endian); true once
  // the value is placed.
  bool finishRound(std::uint64_t head) noexcept {
    const std::uint64_t next = left ^ shape.roundValue(head);
    left = right;
    right = next;
    if (++round < 10) return false;
    const u128 x = (u128(left) << shape.h) | right;
    if (x > m) {  // cycle-walk back into [0, size)
      enter(x);
      return false;
    }
    *job->out = x;
    return true;
  }
};

}  // namespace

void KeyedHash::permuteMany(std::span<const PermuteJob> jobs) const {
  constexpr std::size_t kLanes = kHmacLanes;
  // The lanes in flight are live[0, active): a finished lane leaves by a
  // pointer swap, never by copying its kilobyte of message.
  PermuteLane lanes[kLanes];
  PermuteLane* live[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) live[l] = &lanes[l];
  sha256::State inner, outer;
  std::memcpy(inner.h, inner_.h, sizeof inner.h);
  std::memcpy(outer.h, outer_.h, sizeof outer.h);
  // The fixed blocks of the last message that had any: a batch's messages
  // mostly share their label, so they share this state too.
  sha256::State lastFixed{};
  std::size_t lastFixedBytes = 0;
  alignas(16) std::uint8_t lastPrefix[PermuteLane::kMessage];
  auto absorbFixed = [&](PermuteLane& lane) {
    lane.afterFixed = inner;
    const std::size_t bytes = std::size_t{lane.fixed} * 64;
    if (bytes == 0) return;
    if (bytes == lastFixedBytes && std::memcmp(lastPrefix, lane.message, bytes) == 0) {
      lane.afterFixed = lastFixed;
      return;
    }
    for (std::size_t b = 0; b < lane.fixed; ++b) {
      const std::uint8_t* block = lane.message + 64 * b;
      sha256::compress(&lane.afterFixed, &block, 1);
    }
    std::memcpy(lastPrefix, lane.message, bytes);
    lastFixedBytes = bytes;
    lastFixed = lane.afterFixed;
  };
  // The one-block messages of live[l] in column l, as the word-lane HMACs
  // take them; a lane that moves to another slot takes its column along.
  alignas(64) std::uint32_t words[16][kLanes];
  RoundWords lastWords;
  const PermuteJob* lastWordsOf = nullptr;
  std::size_t active = 0;
  std::size_t longLanes = 0;  // lanes in flight whose messages take more than one block
  std::size_t next = 0;
  // Jobs the lanes cannot take (trivial sizes, labels too long for a lane's
  // message) are answered on their own as they come.
  auto fill = [&](PermuteLane& lane, std::size_t slot) {
    while (next < jobs.size()) {
      const PermuteJob& j = jobs[next++];
      if (j.size > 1 && j.value >= j.size) outsideDomain();
      if (j.size <= 1 || !lanes_ || j.label.size() > PermuteLane::kMaxLabel) {
        *j.out = permute(j.size, j.value, j.label);
        continue;
      }
      lane.start(j);
      if (lane.blocks == 1) {
        // A batch's messages mostly share their label and size, so they
        // share their words too: laid from the message bytes just stored,
        // they would wait for those stores to land.
        if (!lastWordsOf || j.size != lastWordsOf->size || !sameLabel(j.label, lastWordsOf->label)) {
          lane.layBytes();
          lastWords.lay(lane.message, lane.shape);
          lastWordsOf = &j;
        }
        lane.words = lastWords;
        lastWords.layColumn(words, slot);
        lane.patchWords(words, slot);
      } else {
        lane.layBytes();
        ++longLanes;
      }
      absorbFixed(lane);
      return true;
    }
    return false;
  };
  while (active < kLanes && fill(*live[active], active)) ++active;
  sha256::State states[kLanes];
  const std::uint8_t* blocks[kLanes];
  alignas(64) std::uint64_t heads[kLanes];
  while (active > 0) {
#ifdef ZORVA_COUNTING
    // Counted as the message requires, not as the absorbed prefix shortens it.
    for (std::size_t l = 0; l < active; ++l) countHmacs(1, live[l]->blocks * 64 - 9);
#endif
    if (longLanes == 0) {
      // The common case (short labels, values of up to 64 bits): each round
      // message is one block after the key block, so the whole HMAC runs in
      // the fused kernels, the inner tag never leaving the registers, and
      // from the words as laid and patched for this round when the last
      // finished: no block is shuffled into lanes, no tag out.
      sha256::hmacOneBlockWords(inner, outer, &words[0][0], kLanes, heads, active);
    } else {
      std::size_t passes = 0;
      bool even = true;
      for (std::size_t l = 0; l < active; ++l) {
        PermuteLane& lane = *live[l];
        if (!lane.laid) lane.layBytes();
        lane.patchRound();
        const std::size_t rest = lane.blocks - lane.fixed;
        even &= l == 0 || rest == passes;
        passes = std::max(passes, rest);
      }
      // One round of every lane, HMAC by hand over the laid blocks: the inner
      // hash from the state after the fixed blocks, then the outer block; only
      // the tag's first 8 bytes are read.
      for (std::size_t l = 0; l < active; ++l) states[l] = live[l]->afterFixed;
      if (even) {
        for (std::size_t pass = 0; pass < passes; ++pass) {
          for (std::size_t l = 0; l < active; ++l) blocks[l] = live[l]->message + 64 * (live[l]->fixed + pass);
          sha256::compress(states, blocks, active);
        }
      } else {
        // Messages of several lengths: each pass takes the lanes that still
        // have a block, gathered in front.
        sha256::State gathered[kLanes];
        std::size_t which[kLanes];
        for (std::size_t pass = 0; pass < passes; ++pass) {
          std::size_t count = 0;
          for (std::size_t l = 0; l < active; ++l) {
            if (live[l]->fixed + pass >= live[l]->blocks) continue;
            which[count] = l;
            gathered[count] = states[l];
            blocks[count++] = live[l]->message + 64 * (live[l]->fixed + pass);
          }
          sha256::compress(gathered, blocks, count);
          for (std::size_t i = 0; i < count; ++i) states[which[i]] = gathered[i];
        }
      }
      for (std::size_t l = 0; l < active; ++l) {
        putStateWide(states[l], live[l]->outerBlock);
        states[l] = outer;
        blocks[l] = live[l]->outerBlock;
      }
      sha256::compress(states, blocks, active);
      for (std::size_t l = 0; l < active; ++l) heads[l] = (std::uint64_t{states[l].h[0]} << 32) | states[l].h[1];
    }
    // Each lane's words are patched for its next round as soon as it has
    // one, while the lane is at hand.
    for (std::size_t l = 0; l < active;) {
      PermuteLane& lane = *live[l];
      if (!lane.finishRound(heads[l])) {
        if (lane.blocks == 1) lane.patchWords(words, l);
        ++l;
        continue;
      }
      longLanes -= lane.blocks > 1;
      if (fill(lane, l)) {
        ++l;
      } else {
        // The last lane takes the slot, with its tag and its column.
        std::swap(live[l], live[--active]);
        heads[l] = heads[active];
        if (l < active)
          for (std::size_t j = 0; j < 16; ++j) words[j][l] = words[j][active];
      }
    }
  }
}

BigInt KeyedHash::permute(const BigInt& size, const BigInt& value, std::string_view label) const {
  if (size.isNegative() || value.isNegative()) outsideDomain();
  if (size.magnitudeFitsU64() && size.magnitudeU64() <= 1) return value;
  if (value >= size) outsideDomain();
  if (size.magnitudeFitsU128()) {
    u128 s = size.magnitudeU128();
    std::uint8_t sizeBytes[16];
    std::size_t sizeLen = minimalBE128(s, sizeBytes);
    return BigInt::fromU128(permuteMachine(s - 1, sizeBytes, sizeLen, value.magnitudeU128(), label));
  }
  if (size.bitLength() == 129 && size == (BigInt::fromU64(1) << 128)) {
    // 2^128 itself: m = 2^128 - 1 still fits, halves of 64 bits.
    std::uint8_t sizeBytes[17] = {1};
    return BigInt::fromU128(permuteMachine(~u128{0}, sizeBytes, sizeof sizeBytes, value.magnitudeU128(), label));
  }
  return permuteArbitrary(size, value, label);
}

BigInt KeyedHash::permuteArbitrary(const BigInt& size, const BigInt& value, std::string_view label) const {
  if (size.isNegative() || value.isNegative()) outsideDomain();
  if (size.magnitudeFitsU64() && size.magnitudeU64() <= 1) return value;
  if (value >= size) outsideDomain();

  Mpz m, x, left, right, f, t;
  size.toMpz(m);
  mpz_sub_ui(m, m, 1);
  const std::uint64_t w = std::max<std::uint64_t>(2, mpz_sizeinbase(m, 2));
  const std::uint64_t h = (w + (w & 1)) / 2;
  const std::size_t hb = static_cast<std::size_t>((h + 7) / 8);
  const std::size_t blocks = (hb + 31) / 32;

  const std::size_t sizeLen = size.byteLength();
  const std::size_t rightAt = label.size() + 1 + sizeLen + 7;
  const std::size_t len = rightAt + hb;
  Scratch<256> message(len);
  std::uint8_t* msg = message.data();
  const std::size_t roundAt = layRoundLabel(msg, label, sizeLen);
  const std::size_t counterAt = roundAt + 2;
  size.magnitudeBytesBE(msg + label.size() + 1, sizeLen);
  msg[rightAt - 1] = 0x00;
  Scratch<256> stream(blocks * 32);

  value.toMpz(x);
  do {
    mpz_tdiv_r_2exp(right, x, h);
    mpz_tdiv_q_2exp(left, x, h);
    for (std::uint8_t r = 0; r < 10; ++r) {
      msg[roundAt] = r;
      mpzBytesBE(right, msg + rightAt, hb);
      for (std::size_t i = 0; i < blocks; ++i) {
        putBE32(msg + counterAt, static_cast<std::uint32_t>(i));
        hmacInto(msg, len, nullptr, 0, stream.data() + 32 * i);
      }
      mpz_import(f, hb, 1, 1, 1, 0, stream.data());
      mpz_tdiv_r_2exp(f, f, h);
      mpz_xor(t, left, f);  // new R = L xor F, new L = old R
      mpz_swap(left, right);
      mpz_swap(right, t);
    }
    mpz_mul_2exp(x, left, h);
    mpz_ior(x, x, right);
  } while (mpz_cmp(x, m) > 0);
  return BigInt::fromMpz(x);
}

}  // namespace zorva
