#include "fpe.h"

#include <openssl/crypto.h>

#include <array>
#include <cstring>
#include <utility>

#include "digits.h"

namespace zorva {

namespace {

constexpr std::size_t kMaxIdentifier = 256;
constexpr std::uint8_t kSeparator = 0xFF;

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

bool isAscii(std::string_view text) noexcept {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

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
  std::uint8_t digits[kMaxIdentifier];
  const std::size_t count = magnitudeDigits(value, digits, kMaxIdentifier);
  if (count == 0) return tooLongRefusal("fpe");
  if (count < decimalCipher_.minLength()) {
    if (strict_) return strictRefusal(decimalCipher_.minLength(), "digits", {});
    return KeyStrategy::maskInteger(keyedHash, value);
  }

  const bool negative = value.isNegative();
  const std::string_view tweak = negative ? std::string_view("negative") : std::string_view("integer");
  std::uint32_t first[kMaxIdentifier];
  std::uint32_t second[kMaxIdentifier];
  for (std::size_t i = 0; i < count; ++i) first[i] = digits[i];
  std::uint32_t* in = first;
  std::uint32_t* out = second;
  decimalCipher_.encrypt({in, count}, tweak, {out, count});
  // Cycle-walk until there is no leading zero, so the digit count is kept.
  while (out[0] == 0) {
    std::swap(in, out);
    decimalCipher_.encrypt({in, count}, tweak, {out, count});
  }
  for (std::size_t i = 0; i < count; ++i) digits[i] = static_cast<std::uint8_t>(out[i]);
  return integerFromDigits(digits, count, negative);
}

Outcome<Text> FpeStrategy::maskText(const KeyedHash& keyedHash, std::string_view text) const {
  // Non-ASCII is declined before the length test: the caller masks it itself.
  if (!isAscii(text)) return Decline{};
  if (text.size() > kMaxIdentifier) return tooLongRefusal("fpe");

  const auto charsetIndex = static_cast<std::size_t>(charset_);
  const NumeralTable& numeralOf = kNumerals[charsetIndex];
  const std::string_view name = charsetName(charset_);

  // tweak = "text|" charset "|" skeleton, the skeleton being the text with
  // every charset character zeroed: separators are bound into the encryption.
  char tweak[5 + 12 + 1 + kMaxIdentifier];
  std::size_t tweakLength = 0;
  auto put = [&](std::string_view part) {
    std::memcpy(tweak + tweakLength, part.data(), part.size());
    tweakLength += part.size();
  };
  put("text|");
  put(name);
  put("|");

  std::uint32_t numerals[kMaxIdentifier];
  std::size_t count = 0;
  for (char ch : text) {
    const std::uint8_t numeral = numeralOf[static_cast<unsigned char>(ch)];
    if (numeral == kSeparator) {
      tweak[tweakLength++] = ch;
    } else {
      tweak[tweakLength++] = '\0';
      numerals[count++] = numeral;
    }
  }

  if (count < textCipher_.minLength()) {
    if (strict_) return strictRefusal(textCipher_.minLength(), name, " characters");
    return KeyStrategy::maskText(charset_, keyedHash, text);
  }

  std::uint32_t masked[kMaxIdentifier];
  textCipher_.encrypt({numerals, count}, std::string_view(tweak, tweakLength), {masked, count});
  const std::string_view alphabet = kAlphabets[charsetIndex];
  Text out(text);
  std::size_t k = 0;
  for (char& ch : out) {
    if (numeralOf[static_cast<unsigned char>(ch)] != kSeparator) ch = alphabet[masked[k++]];
  }
  return out;
}

}  // namespace zorva
