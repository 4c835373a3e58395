// FpeStrategy: integers and texts through FF1, with cycle-walking and the key strategy for short values.
#include "strategies/fpe.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "support/ascii.h"
#include "support/decimal_digits.h"
#include "support/scratch.h"

namespace zorva {

namespace {

constexpr std::size_t kMaxIdentifier = 256;
constexpr std::uint8_t kSeparator = 0xFF;  // numerals are below 62: only this mark has its top bit

// FF1 alphabets: numeral k is the k-th character.
constexpr std::array<std::string_view, 3> kAlphabets = {
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ",
    "0123456789",
    "0123456789abcdefABCDEF",
};

using NumeralTable = std::array<std::uint8_t, 128>;

constexpr NumeralTable makeNumerals(std::string_view alphabet) {
  NumeralTable table{};
  for (auto& entry : table) entry = kSeparator;
  for (std::size_t k = 0; k < alphabet.size(); ++k) {
    table[static_cast<unsigned char>(alphabet[k])] = static_cast<std::uint8_t>(k);
  }
  return table;
}

constexpr std::array<NumeralTable, 3> kNumerals = {makeNumerals(kAlphabets[0]), makeNumerals(kAlphabets[1]),
                                                   makeNumerals(kAlphabets[2])};

// The alphabets indexed by a numeral's low six bits, so that a loop without
// branches may look up a slot past a value's last numeral and discard it.
using CharacterTable = std::array<char, 64>;
constexpr CharacterTable makeCharacters(std::string_view alphabet) {
  CharacterTable table{};
  for (std::size_t k = 0; k < alphabet.size(); ++k) table[k] = alphabet[k];
  return table;
}
constexpr std::array<CharacterTable, 3> kCharacters = {makeCharacters(kAlphabets[0]), makeCharacters(kAlphabets[1]),
                                                       makeCharacters(kAlphabets[2])};

#if defined(__x86_64__)
ZORVA_BYTE_ROAD_BEGIN
// The numerals of a text (each character's, by one two-register permute of
// the table) and its separators.
ZORVA_TARGET_BYTES inline __m512i numeralBytes(__m512i text, const NumeralTable& numeralOf) noexcept {
  return _mm512_permutex2var_epi8(_mm512_loadu_si512(numeralOf.data()), text,
                                  _mm512_loadu_si512(numeralOf.data() + 64));
}

// A text of at most 64 ASCII bytes on the byte road: its numerals compressed
// past the separators and widened to words in own, its skeleton (separators
// as they are, zeros elsewhere) in skeleton; returns the count of numerals.
// Whole registers are stored, up to 15 words past the numerals and 64 bytes
// from the skeleton's start: the buffers have that room, and what lands past
// a value is written over by the next. A masked store would have the
// cipher's first reads of these numerals wait for it to reach the cache.
ZORVA_TARGET_BYTES std::size_t numeralsBytes(std::string_view text, const NumeralTable& numeralOf, std::uint32_t* own,
                                             char* skeleton) noexcept {
  const __mmask64 in = firstBytes(text.size());
  const __m512i v = loadText(text);
  const __m512i numerals = numeralBytes(v, numeralOf);
  const __mmask64 separator = _mm512_cmpeq_epi8_mask(numerals, _mm512_set1_epi8(static_cast<char>(kSeparator))) & in;
  _mm512_storeu_si512(skeleton, _mm512_maskz_mov_epi8(separator, v));
  const __mmask64 kept = in & ~separator;
  const auto n = static_cast<std::size_t>(_mm_popcnt_u64(kept));
  const __m512i packed = _mm512_maskz_compress_epi8(kept, numerals);
  const __m128i quarters[4] = {_mm512_castsi512_si128(packed), _mm512_extracti32x4_epi32(packed, 1),
                               _mm512_extracti32x4_epi32(packed, 2), _mm512_extracti32x4_epi32(packed, 3)};
  for (std::size_t q = 0; 16 * q < n; ++q) _mm512_storeu_si512(own + 16 * q, _mm512_cvtepu8_epi32(quarters[q]));
  return n;
}

// Numerals 16q .. 16q + 15 of the n at m (each below 256) as bytes.
ZORVA_TARGET_BYTES inline __m128i numeralQuarter(const std::uint32_t* m, std::size_t n, std::size_t q) noexcept {
  return _mm512_cvtepi32_epi8(_mm512_maskz_loadu_epi32(static_cast<__mmask16>(firstBytes(n - 16 * q)), m + 16 * q));
}

// out = text (at most 64 ASCII bytes) with its n charset characters replaced,
// in order, by the characters of the masked numerals m (each below 64).
ZORVA_TARGET_BYTES void charactersBytes(std::string_view text, const std::uint32_t* m, std::size_t n,
                                        const NumeralTable& numeralOf, const CharacterTable& characterOf,
                                        char* out) noexcept {
  __m512i numerals = _mm512_castsi128_si512(numeralQuarter(m, n, 0));
  if (n > 16) numerals = _mm512_inserti32x4(numerals, numeralQuarter(m, n, 1), 1);
  if (n > 32) numerals = _mm512_inserti32x4(numerals, numeralQuarter(m, n, 2), 2);
  if (n > 48) numerals = _mm512_inserti32x4(numerals, numeralQuarter(m, n, 3), 3);
  const __m512i characters = _mm512_permutexvar_epi8(numerals, _mm512_loadu_si512(characterOf.data()));
  const __mmask64 in = firstBytes(text.size());
  if (n == text.size()) {
    _mm512_mask_storeu_epi8(out, in, characters);
    return;
  }
  const __m512i v = loadText(text);
  const __mmask64 kept =
      in & ~_mm512_cmpeq_epi8_mask(numeralBytes(v, numeralOf), _mm512_set1_epi8(static_cast<char>(kSeparator)));
  _mm512_mask_storeu_epi8(out, in, _mm512_mask_expand_epi8(v, kept, characters));
}
ZORVA_BYTE_ROAD_END
#else
std::size_t numeralsBytes(std::string_view, const NumeralTable&, std::uint32_t*, char*) noexcept { return 0; }
void charactersBytes(std::string_view, const std::uint32_t*, std::size_t, const NumeralTable&, const CharacterTable&,
                     char*) noexcept {}
#endif

void appendNumber(Text& out, std::uint64_t n) {
  char buffer[20];
  std::size_t length = 0;
  do {
    buffer[length++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (length > 0) out.push_back(buffer[--length]);
}

// "the fpe strategy is strict, and FF1 needs at least {} {} in a value; this one has fewer"
Refusal strictRefusal(std::uint64_t minimum, std::string_view what, std::string_view whatSuffix) {
  Refusal refusal;
  Text& m = refusal.message;
  m.reserve(112);
  m.append("the fpe strategy is strict, and FF1 needs at least ");
  appendNumber(m, minimum);
  m.append(" ").append(what).append(whatSuffix).append(" in a value; this one has fewer");
  return refusal;
}

}  // namespace

FpeStrategy::FpeStrategy(const KeyedHash& keyedHash, Charset charset, bool strict)
    : FpeStrategy(keyedHash.digest("", "ff1 key"), charset, strict) {}

FpeStrategy::FpeStrategy(Digest ff1Key, Charset charset, bool strict)
    : textCipher_(ff1Key, static_cast<std::uint32_t>(kAlphabets[static_cast<std::size_t>(charset)].size())),
      decimalCipher_(ff1Key, 10),
      charset_(charset),
      strict_(strict) {
  // The ciphers hold their key schedules; the derived key itself is not kept.
  OPENSSL_cleanse(ff1Key.data(), ff1Key.size());
}

Outcome<BigInt> FpeStrategy::maskInteger(const KeyedHash& keyedHash, const BigInt& value) const {
  Outcome<BigInt> out;
  const BigInt* values[1] = {&value};
  maskIntegers(keyedHash, values, &out);
  return out;
}

Outcome<Text> FpeStrategy::maskText(const KeyedHash& keyedHash, std::string_view text) const {
  Outcome<Text> out;
  maskTexts(keyedHash, {&text, 1}, &out);
  return out;
}

namespace {
// Values per FF1 batch: enough lanes to keep the AES unit busy (the vector
// road runs 32 of one shape at once), few enough that the numeral buffers
// stay on the stack; an integer's buffers are sized for its longest form.
// Texts go in larger batches: a column of several lengths (IBANs of four
// countries) must still fill the vector roads' groups of 32 per shape; their
// buffers are allocated once per batch.
constexpr std::size_t kBatch = 16;
constexpr std::size_t kTextBatch = 256;
}  // namespace

void FpeStrategy::maskIntegers(const KeyedHash& keyedHash, std::span<const BigInt* const> values,
                               Outcome<BigInt>* out) const {
  for (std::size_t from = 0; from < values.size(); from += kBatch) {
    const std::size_t count = std::min(kBatch, values.size() - from);
    std::uint32_t numerals[kBatch][2][kMaxIdentifier];
    Ff1Job jobs[kBatch];
    std::size_t owner[kBatch];
    std::size_t jobCount = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const BigInt& value = *values[from + i];
      Outcome<BigInt>& answer = out[from + i];
      std::uint8_t digits[kMaxIdentifier];
      const std::size_t n = magnitudeDigits(value, digits, kMaxIdentifier);
      if (n == 0) {
        answer = tooLongRefusal("fpe");
      } else if (n < decimalCipher_.minLength()) {
        answer = strict_ ? Outcome<BigInt>(strictRefusal(decimalCipher_.minLength(), "digits", {}))
                         : KeyStrategy::maskInteger(keyedHash, value);
      } else {
        std::uint32_t* in = numerals[jobCount][0];
        for (std::size_t k = 0; k < n; ++k) in[k] = digits[k];
        const std::string_view tweak = value.isNegative() ? std::string_view("negative") : std::string_view("integer");
        jobs[jobCount] = Ff1Job{{in, n}, tweak, {numerals[jobCount][1], n}};
        owner[jobCount++] = from + i;
      }
    }
    // Cycle-walk until there is no leading zero, so the digit count is kept:
    // the values that need another pass go round again as a smaller batch,
    // each pass reading the buffer the last one wrote.
    std::size_t written[kBatch];  // which of a job's two buffers holds its latest digits
    std::size_t walking[kBatch];
    std::size_t length[kBatch];
    std::size_t walkCount = jobCount;
    for (std::size_t j = 0; j < jobCount; ++j) {
      length[j] = jobs[j].numerals.size();
      written[j] = 1;
      walking[j] = j;
    }
    while (walkCount > 0) {
      decimalCipher_.encryptMany({jobs, walkCount});
      std::size_t again = 0;
      for (std::size_t w = 0; w < walkCount; ++w) {
        const std::size_t j = walking[w];
        if (jobs[w].out[0] != 0) continue;
        const std::size_t n = jobs[w].numerals.size();
        const std::size_t side = written[j];
        written[j] = 1 - side;
        jobs[again] = Ff1Job{{numerals[j][side], n}, jobs[w].tweak, {numerals[j][1 - side], n}};
        walking[again++] = j;
      }
      walkCount = again;
    }
    for (std::size_t j = 0; j < jobCount; ++j) {
      const BigInt& value = *values[owner[j]];
      const std::uint32_t* result = numerals[j][written[j]];
      const std::size_t n = length[j];
      std::uint8_t digits[kMaxIdentifier];
      for (std::size_t k = 0; k < n; ++k) digits[k] = static_cast<std::uint8_t>(result[k]);
      out[owner[j]] = integerFromDigits(digits, n, value.isNegative());
    }
  }
}

void FpeStrategy::maskTexts(const KeyedHash& keyedHash, std::span<const std::string_view> texts, Outcome<Text>* out,
                            ByteRoad road) const {
  // Texts of up to 16 characters (passports, national ids) cost the plain
  // loops less than a register's permutes and compresses; longer ones
  // (cards, IBANs, UUIDs) go a register at a time.
  const bool bytes = takesByteRoad(road);
  const auto takesBytes = [bytes](std::size_t size) { return bytes && size > 16 && size <= kByteRoadText; };
  const auto charsetIndex = static_cast<std::size_t>(charset_);
  const NumeralTable& numeralOf = kNumerals[charsetIndex];
  const std::string_view name = charsetName(charset_);
  const CharacterTable& characterOf = kCharacters[charsetIndex];
  // tweak = "text|" charset "|" skeleton, the skeleton being the text with
  // every charset character zeroed: separators are bound into the encryption.
  constexpr std::size_t kTweakHead = 5 + 12 + 1;
  bool lastHadSeparators = false;
  for (std::size_t from = 0; from < texts.size(); from += kTextBatch) {
    const std::size_t count = std::min(kTextBatch, texts.size() - from);
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += std::min(texts[from + i].size(), kMaxIdentifier);
    // Room for one numeral past the last: the loops below read it unused;
    // and for the byte road's whole-register stores past the last value.
    Scratch<8192, std::uint32_t> numeralWords(2 * total + 1 + 16);
    Scratch<4096> tweakBytes(count * kTweakHead + total + kByteRoadText);
    std::uint32_t* numerals = numeralWords.data();
    std::uint32_t* masked = numerals + total;
    char* tweaks = reinterpret_cast<char*>(tweakBytes.data());
    Ff1Job jobs[kTextBatch];
    std::size_t owner[kTextBatch];
    std::size_t jobCount = 0;
    std::size_t used = 0;
    char* tweak = tweaks;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view text = texts[from + i];
      Outcome<Text>& answer = out[from + i];
      // Non-ASCII is declined before the length test: the caller masks it itself.
      if (!isAscii(text)) {
        answer = Decline{};
        continue;
      }
      if (text.size() > kMaxIdentifier) {
        answer = tooLongRefusal("fpe");
        continue;
      }
      std::size_t tweakLength = 0;
      auto put = [&](std::string_view part) {
        std::memcpy(tweak + tweakLength, part.data(), part.size());
        tweakLength += part.size();
      };
      put("text|");
      put(name);
      put("|");
      std::uint32_t* own = numerals + used;
      std::size_t n = 0;
      char* skeleton = tweak + tweakLength;
      // A text without separators (an IBAN, a passport number) is its
      // numerals one for one and its skeleton all zeros. A column's texts
      // mostly share a shape, so the text before says whether to try that:
      // a separator (numeral 0xFF, the only one with its top bit) found on
      // the way sends the text on to the loop below.
      if (takesBytes(text.size())) {
        n = numeralsBytes(text, numeralOf, own, skeleton);
      } else if (!lastHadSeparators) {
        std::uint8_t seen = 0;
        for (std::size_t k = 0; k < text.size(); ++k) {
          const std::uint8_t numeral = numeralOf[static_cast<unsigned char>(text[k])];
          own[k] = numeral;
          seen |= numeral;
        }
        if ((seen & 0x80) == 0) {
          std::memset(skeleton, 0, text.size());
          n = text.size();
        }
      }
      if (n != text.size() && !takesBytes(text.size())) {
        // Without branches: where separators fall differs from value to
        // value. A separator's numeral is written too, and overwritten by
        // the next one.
        for (std::size_t k = 0; k < text.size(); ++k) {
          const char ch = text[k];
          const std::uint8_t numeral = numeralOf[static_cast<unsigned char>(ch)];
          const bool separator = numeral == kSeparator;
          skeleton[k] = separator ? ch : '\0';
          own[n] = numeral;
          n += separator ? 0 : 1;
        }
      }
      lastHadSeparators = n != text.size();
      tweakLength += text.size();
      if (n < textCipher_.minLength()) {
        answer = strict_ ? Outcome<Text>(strictRefusal(textCipher_.minLength(), name, " characters"))
                         : KeyStrategy::maskText(charset_, keyedHash, text);
        continue;
      }
      jobs[jobCount] = Ff1Job{{own, n}, std::string_view(tweak, tweakLength), {masked + used, n}};
      owner[jobCount++] = from + i;
      used += n;
      tweak += tweakLength;
    }
    masked[used] = 0;  // the slot past the last value's numerals
    textCipher_.encryptMany({jobs, jobCount});
    for (std::size_t j = 0; j < jobCount; ++j) {
      Text& result = out[owner[j]].emplace<Text>(texts[owner[j]]);  // in its slot, never moved
      const std::uint32_t* m = jobs[j].out.data();
      if (takesBytes(result.size())) {
        charactersBytes(texts[owner[j]], m, jobs[j].out.size(), numeralOf, characterOf, result.data());
        continue;
      }
      if (jobs[j].out.size() == result.size()) {  // no separators
        // In locals: a store through a char pointer would otherwise make the
        // compiler reload the text's size and data at every step.
        char* written = result.data();
        const char* characters = characterOf.data();
        for (std::size_t k = 0, size = result.size(); k < size; ++k) written[k] = characters[m[k] & 63];
        continue;
      }
      std::size_t k = 0;
      for (char& ch : result) {
        const bool separator = numeralOf[static_cast<unsigned char>(ch)] == kSeparator;
        const char replaced = characterOf[m[k] & 63];
        ch = separator ? ch : replaced;
        k += separator ? 0 : 1;
      }
    }
  }
}

}  // namespace zorva
