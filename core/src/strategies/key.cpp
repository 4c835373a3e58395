// KeyStrategy: digit bands and character classes permuted by the keyed permutation.
#include "strategies/key.h"

#include <gmp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "support/ascii.h"
#include "support/decimal_digits.h"
#include "support/scratch.h"

namespace zorva {

static_assert(GMP_NUMB_BITS == 64, "limbs are read as 64-bit words");

namespace {

constexpr std::size_t kMaxIdentifier = 256;
constexpr u128 kU128Max = ~static_cast<u128>(0);

// Per charset and ASCII byte: the class size r (0 for a passthrough byte) and
// the first character of the class alphabet, so numeral = c - base.
struct CharClass {
  std::uint8_t radix;
  char base;
};
using ClassTable = std::array<CharClass, 128>;

constexpr ClassTable makeClasses(Charset charset) {
  ClassTable table{};
  for (int c = 0; c < 128; ++c) {
    if (c >= '0' && c <= '9') {
      table[c] = {10, '0'};
    } else if (charset == Charset::alphanumeric && c >= 'a' && c <= 'z') {
      table[c] = {26, 'a'};
    } else if (charset == Charset::alphanumeric && c >= 'A' && c <= 'Z') {
      table[c] = {26, 'A'};
    } else if (charset == Charset::hex && c >= 'a' && c <= 'f') {
      table[c] = {6, 'a'};
    } else if (charset == Charset::hex && c >= 'A' && c <= 'F') {
      table[c] = {6, 'A'};
    }
  }
  return table;
}

constexpr std::array<ClassTable, 3> kClasses = {makeClasses(Charset::alphanumeric), makeClasses(Charset::digits),
                                                makeClasses(Charset::hex)};

unsigned digits128(u128 n) noexcept {
  if (n <= std::numeric_limits<std::uint64_t>::max()) return decimalDigits64(static_cast<std::uint64_t>(n));
  unsigned d = 20;  // 2^64 > 10^19
  while (d < 39 && n >= powerOfTen128(d)) ++d;
  return d;
}

// w's last numeral in a class of the given radix (10, 26 or 6), w divided by
// it. Each case divides by a constant, which the compiler turns into a
// multiplication; a division by the radix as a variable is a divide
// instruction, and the numerals of one text form a chain of them.
inline unsigned splitNumeral(std::uint64_t& w, std::uint8_t radix) noexcept {
  std::uint64_t q;
  switch (radix) {
    case 10: q = w / 10; break;
    case 26: q = w / 26; break;
    default: q = w / 6; break;
  }
  const auto numeral = static_cast<unsigned>(w - q * radix);
  w = q;
  return numeral;
}

// Writes w into the classed characters of out in [start, end), last first.
void decodeWord(const ClassTable& classes, std::uint64_t w, Text& out, std::size_t start, std::size_t end) {
  for (std::size_t i = end; i > start; --i) {
    const CharClass cls = classes[static_cast<unsigned char>(out[i - 1])];
    if (cls.radix != 0) out[i - 1] = static_cast<char>(cls.base + static_cast<int>(splitNumeral(w, cls.radix)));
  }
}

// Machine path: the whole mixed-radix index fits 128 bits. Writes the
// permuted index x back into the classed characters, last character first.
void decodeText128(const ClassTable& classes, u128 x, Text& out) {
  std::size_t end = out.size();
  // While x needs two words, the characters whose radixes multiply to at
  // most 2^64 - 1 are split off by one division of x (a library call on 128
  // bits, so once per chunk rather than per character), then on one word.
  while (x >> 64 != 0) {
    std::uint64_t chunk = 1;
    std::size_t start = end;
    for (; start > 0; --start) {
      const std::uint8_t radix = classes[static_cast<unsigned char>(out[start - 1])].radix;
      if (radix == 0) continue;
      if (chunk > std::numeric_limits<std::uint64_t>::max() / radix) break;
      chunk *= radix;
    }
    decodeWord(classes, static_cast<std::uint64_t>(x % chunk), out, start, end);
    x /= chunk;
    end = start;
  }
  decodeWord(classes, static_cast<std::uint64_t>(x), out, 0, end);
}

// Values per permutation batch. Values leave their lanes after different
// numbers of rounds, so the lanes empty out towards a batch's end and its
// last HMACs run on narrower roads; with 32 values per lane of the widest
// road (sixteen lanes) that tail costs a key column about 1%, at eight per
// lane it cost 4-5%.
constexpr std::size_t kBatch = 512;

// Arbitrary-precision path. Characters are packed into 64-bit chunks so that
// the big integer is touched once per chunk, not once per character.
void permuteTextBig(const ClassTable& classes, const KeyedHash& keyedHash, std::string_view label, Text& out) {
  constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
  BigInt size = BigInt::fromU64(1);
  BigInt index;
  std::uint64_t chunkRadix = 1;
  std::uint64_t chunkValue = 0;
  auto flush = [&] {
    const BigInt radix = BigInt::fromU64(chunkRadix);
    size = size * radix;
    index = index * radix + BigInt::fromU64(chunkValue);
    chunkRadix = 1;
    chunkValue = 0;
  };
  for (char ch : out) {
    const CharClass cls = classes[static_cast<unsigned char>(ch)];
    if (cls.radix == 0) continue;
    if (chunkRadix > kU64Max / cls.radix) flush();
    chunkRadix *= cls.radix;
    chunkValue = chunkValue * cls.radix + static_cast<std::uint64_t>(ch - cls.base);
  }
  flush();

  BigInt x = keyedHash.permute(size, index, label);
  // Decode from the last character, again a 64-bit chunk at a time.
  std::size_t end = out.size();
  while (end > 0) {
    std::size_t start = end;
    std::uint64_t radix = 1;
    while (start > 0) {
      const CharClass cls = classes[static_cast<unsigned char>(out[start - 1])];
      if (cls.radix != 0) {
        if (radix > kU64Max / cls.radix) break;
        radix *= cls.radix;
      }
      --start;
    }
    BigInt quotient;
    BigInt remainder;
    BigInt::divMod(x, BigInt::fromU64(radix), quotient, remainder);
    std::uint64_t v = remainder.magnitudeU64();
    for (std::size_t i = end; i-- > start;) {
      const CharClass cls = classes[static_cast<unsigned char>(out[i])];
      if (cls.radix == 0) continue;
      out[i] = static_cast<char>(cls.base + static_cast<int>(v % cls.radix));
      v /= cls.radix;
    }
    x = std::move(quotient);
    end = start;
  }
}

}  // namespace

Refusal tooLongRefusal(std::string_view strategy) {
  constexpr std::string_view head = "the ";
  constexpr std::string_view tail =
      " strategy masks identifiers of up to 256 characters or digits, and this value is "
      "longer; use hash, redact or null for long values";
  Refusal refusal;
  refusal.message.reserve(head.size() + strategy.size() + tail.size());
  refusal.message.append(head).append(strategy).append(tail);
  return refusal;
}

std::string_view charsetName(Charset charset) noexcept {
  switch (charset) {
    case Charset::alphanumeric: return "alphanumeric";
    case Charset::digits: return "digits";
    case Charset::hex: return "hex";
  }
  return "alphanumeric";
}

std::size_t magnitudeDigits(const BigInt& value, std::uint8_t* out, std::size_t capacity) {
  if (value.magnitudeFitsU64()) {
    std::uint64_t v = value.magnitudeU64();
    const std::size_t count = decimalDigits64(v);
    if (count > capacity) return 0;
    for (std::size_t i = count; i-- > 0;) {
      out[i] = static_cast<std::uint8_t>(v % 10);
      v /= 10;
    }
    return count;
  }
  // log10(2) < 1/3: a cheap upper bound on the digit count, checked before any work.
  const std::uint64_t bits = value.bitLength();
  if (bits / 4 > capacity) return 0;  // at least bits * 0.3 - 1 digits

  const std::size_t limbCount = static_cast<std::size_t>((bits + 63) / 64);
  constexpr std::size_t kStackLimbs = 16;
  std::uint8_t stackBytes[kStackLimbs * 8];
  mp_limb_t stackLimbs[kStackLimbs];
  unsigned char stackText[kStackLimbs * 20 + 2];
  Vec<std::uint8_t> heapBytes;
  Vec<mp_limb_t> heapLimbs;
  Vec<unsigned char> heapText;
  std::uint8_t* bytes = stackBytes;
  mp_limb_t* limbs = stackLimbs;
  unsigned char* text = stackText;
  if (limbCount > kStackLimbs) {
    heapBytes.resize(limbCount * 8);
    heapLimbs.resize(limbCount);
    heapText.resize(limbCount * 20 + 2);
    bytes = heapBytes.data();
    limbs = heapLimbs.data();
    text = heapText.data();
  }
  value.magnitudeBytesBE(bytes, limbCount * 8);
  for (std::size_t i = 0; i < limbCount; ++i) {
    const std::uint8_t* word = bytes + (limbCount - 1 - i) * 8;
    mp_limb_t limb = 0;
    for (int k = 0; k < 8; ++k) limb = (limb << 8) | word[k];
    limbs[i] = limb;
  }
  // The top limb is nonzero since limbCount comes from the bit length.
  std::size_t count = mpn_get_str(text, 10, limbs, static_cast<mp_size_t>(limbCount));
  std::size_t skip = 0;
  while (skip + 1 < count && text[skip] == 0) ++skip;
  count -= skip;
  if (count > capacity) return 0;
  std::memcpy(out, text + skip, count);
  return count;
}

BigInt integerFromDigits(const std::uint8_t* digits, std::size_t count, bool negative) {
  if (count <= 19) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < count; ++i) v = v * 10 + digits[i];
    return BigInt::fromU64(v, negative && v != 0);
  }
  if (count <= 38) {
    u128 v = 0;
    for (std::size_t i = 0; i < count; ++i) v = v * 10 + digits[i];
    return BigInt::fromU128(v, negative && v != 0);
  }
  // Beyond 128 bits: GMP reads the digit values straight into limbs.
  const std::size_t limbCount = count * 10 / 190 + 2;  // 19 digits per limb, plus the spare GMP wants
  constexpr std::size_t kStackLimbs = 16;
  mp_limb_t stackLimbs[kStackLimbs];
  std::uint8_t stackBytes[kStackLimbs * 8];
  Vec<mp_limb_t> heapLimbs;
  Vec<std::uint8_t> heapBytes;
  mp_limb_t* limbs = stackLimbs;
  std::uint8_t* bytes = stackBytes;
  if (limbCount > kStackLimbs) {
    heapLimbs.resize(limbCount);
    heapBytes.resize(limbCount * 8);
    limbs = heapLimbs.data();
    bytes = heapBytes.data();
  }
  const auto written = static_cast<std::size_t>(mpn_set_str(limbs, digits, count, 10));
  for (std::size_t i = 0; i < written; ++i) {
    mp_limb_t limb = limbs[written - 1 - i];
    for (int k = 7; k >= 0; --k) {
      bytes[i * 8 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(limb & 0xFF);
      limb >>= 8;
    }
  }
  return BigInt::fromBytesBE(bytes, written * 8, negative);
}

Outcome<BigInt> KeyStrategy::maskInteger(const KeyedHash& keyedHash, const BigInt& value) {
  Outcome<BigInt> out;
  const BigInt* values[1] = {&value};
  maskIntegers(keyedHash, values, &out);
  return out;
}

void KeyStrategy::maskIntegers(const KeyedHash& keyedHash, std::span<const BigInt* const> values,
                               Outcome<BigInt>* out) {
  for (std::size_t from = 0; from < values.size(); from += kBatch) {
    const std::size_t count = std::min(kBatch, values.size() - from);
    PermuteJob jobs[kBatch];
    u128 low[kBatch], masked[kBatch];
    std::size_t owner[kBatch];
    std::size_t jobCount = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const BigInt& value = *values[from + i];
      const bool negative = value.isNegative();
      const std::string_view label = negative ? std::string_view("negative") : std::string_view("integer");
      // Up to 38 digits the band 10^(d-1) .. 10^d fits 128 bits.
      if (value.magnitudeFitsU128() && value.magnitudeU128() < powerOfTen128(38)) {
        const u128 magnitude = value.magnitudeU128();
        const unsigned d = digits128(magnitude);
        const u128 hi = powerOfTen128(d);
        // 0 belongs to the non-negative one-digit band only.
        const u128 lo = (d == 1 && !negative) ? 0 : powerOfTen128(d - 1);
        low[jobCount] = lo;
        jobs[jobCount] = PermuteJob{hi - lo, magnitude - lo, label, &masked[jobCount]};
        owner[jobCount++] = from + i;
        continue;
      }
      const std::uint64_t d = decimalDigits(value);
      if (d > kMaxIdentifier) {
        out[from + i] = tooLongRefusal("key");
        continue;
      }
      const BigInt hi = powerOfTen(d);
      const BigInt lo = powerOfTen(d - 1);
      BigInt result = lo + keyedHash.permute(hi - lo, value.abs() - lo, label);
      out[from + i] = negative ? result.negated() : result;
    }
    keyedHash.permuteMany({jobs, jobCount});
    for (std::size_t j = 0; j < jobCount; ++j)
      out[owner[j]] = BigInt::fromU128(low[j] + masked[j], values[owner[j]]->isNegative());
  }
}

Outcome<Text> KeyStrategy::maskText(Charset charset, const KeyedHash& keyedHash, std::string_view text) {
  Outcome<Text> out;
  maskTexts(charset, keyedHash, {&text, 1}, &out);
  return out;
}

void KeyStrategy::maskTexts(Charset charset, const KeyedHash& keyedHash, std::span<const std::string_view> texts,
                            Outcome<Text>* out) {
  const ClassTable& classes = kClasses[static_cast<std::size_t>(charset)];
  // label = "text|" charset "|" shape, where each classed character is its
  // class size in decimal: at most 5 + 12 + 1 + 2 bytes per character. A
  // batch's labels lie end to end, each in the room its text can need.
  constexpr std::size_t kLabelHead = 5 + 12 + 1;
  for (std::size_t from = 0; from < texts.size(); from += kBatch) {
    const std::size_t count = std::min(kBatch, texts.size() - from);
    std::size_t room = 0;
    for (std::size_t i = 0; i < count; ++i) room += kLabelHead + 2 * std::min(texts[from + i].size(), kMaxIdentifier);
    Scratch<8192, char> labels(room);
    char* nextLabel = labels.data();
    PermuteJob jobs[kBatch];
    u128 masked[kBatch];
    std::size_t owner[kBatch];
    std::size_t jobCount = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view text = texts[from + i];
      // Non-ASCII is declined before the length test: the caller masks it itself.
      if (!isAscii(text)) {
        out[from + i] = Decline{};
        continue;
      }
      if (text.size() > kMaxIdentifier) {
        out[from + i] = tooLongRefusal("key");
        continue;
      }
      char* label = nextLabel;
      std::size_t labelLength = 0;
      auto put = [&](std::string_view part) {
        std::memcpy(label + labelLength, part.data(), part.size());
        labelLength += part.size();
      };
      put("text|");
      put(charsetName(charset));
      put("|");
      u128 size = 1;
      u128 index = 0;
      bool fits = true;
      for (char ch : text) {
        const CharClass cls = classes[static_cast<unsigned char>(ch)];
        if (cls.radix == 0) {
          label[labelLength++] = ch;
          continue;
        }
        put(cls.radix == 10 ? "10" : cls.radix == 26 ? "26" : "6");
        if (!fits) continue;
        // A product of 10s, 26s and 6s is never exactly 2^128, so fitting 128
        // bits is the same as size <= 2^128; the limit is a constant per class.
        const u128 limit = cls.radix == 10 ? kU128Max / 10 : cls.radix == 26 ? kU128Max / 26 : kU128Max / 6;
        if (size > limit) {
          fits = false;
          continue;
        }
        size *= cls.radix;
        index = index * cls.radix + static_cast<unsigned>(ch - cls.base);
      }
      nextLabel += labelLength;
      if (fits && size == 1) {
        out[from + i] = Text(text);
      } else if (fits) {
        jobs[jobCount] = PermuteJob{size, index, std::string_view(label, labelLength), &masked[jobCount]};
        owner[jobCount++] = from + i;
      } else {
        Text result(text);
        permuteTextBig(classes, keyedHash, std::string_view(label, labelLength), result);
        out[from + i] = std::move(result);
      }
    }
    keyedHash.permuteMany({jobs, jobCount});
    for (std::size_t j = 0; j < jobCount; ++j) {
      decodeText128(classes, masked[j], out[owner[j]].emplace<Text>(texts[owner[j]]));  // in its slot, never moved
    }
  }
}

}  // namespace zorva
