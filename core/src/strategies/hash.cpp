// The hash and e-mail strategies: the first hex characters of a keyed digest,
// behind a prefix or as an address's local part, one by one and in batches.
#include "strategies/hash.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "support/ascii.h"
#include "support/scratch.h"

namespace zorva {

namespace {

// The hash and e-mail strategies draw under the empty label.
constexpr std::string_view kNoLabel = "";

// Each byte's two lowercase hex characters, so a digest is written a byte
// (two characters) at a time.
constexpr auto kHexPairs = [] {
  std::array<char, 512> pairs{};
  constexpr char digits[] = "0123456789abcdef";
  for (int b = 0; b < 256; ++b) {
    pairs[2 * b] = digits[b >> 4];
    pairs[2 * b + 1] = digits[b & 15];
  }
  return pairs;
}();

// Eight hex characters of four digest bytes at once: each byte's nibbles
// spread into bytes of their own (high nibble first), then 0-9 and a-f made
// in every byte together; no byte carries into the next.
inline void hexOfFour(const std::uint8_t* bytes, char* out) noexcept {
  std::uint32_t v;
  std::memcpy(&v, bytes, 4);
  std::uint64_t t = v;
  t = (t | t << 16) & 0x0000FFFF0000FFFFULL;
  t = (t | t << 8) & 0x00FF00FF00FF00FFULL;
  const std::uint64_t nibbles = ((t >> 4) & 0x000F000F000F000FULL) | ((t & 0x000F000F000F000FULL) << 8);
  const std::uint64_t letters = ((nibbles + 0x0606060606060606ULL) >> 4) & 0x0101010101010101ULL;
  const std::uint64_t chars = nibbles + 0x3030303030303030ULL + letters * ('a' - '0' - 10);
  std::memcpy(out, &chars, 8);
}

// Writes exactly the first count (at most 64) lowercase hex characters of the digest.
void writeHex(char* out, const Digest& digest, std::size_t count) noexcept {
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= count; i += 8) hexOfFour(digest.data() + i / 2, out + i);
  }
  for (; i + 2 <= count; i += 2) std::memcpy(out + i, &kHexPairs[2 * digest[i / 2]], 2);
  if (i < count) out[i] = kHexPairs[2 * digest[i / 2]];
}

// A result of a few dozen bytes is written into a stack buffer and becomes
// its text in one allocation and one copy.
constexpr std::size_t kShortResult = 192;

std::size_t hexLength(std::uint64_t length) noexcept { return length < 64 ? static_cast<std::size_t>(length) : 64; }

// The bytes Python's str.strip() removes from ASCII text.
bool isBlank(char c) noexcept {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 0x09 && b <= 0x0D) || (b >= 0x1C && b <= 0x20);
}

}  // namespace

Text maskHash(const KeyedHash& keyedHash, std::string_view data, std::uint64_t length, std::string_view prefix) {
  Text out;
  maskHashes(keyedHash, {&data, 1}, length, prefix, &out);
  return out;
}

void maskHashes(const KeyedHash& keyedHash, std::span<const std::string_view> data, std::uint64_t length,
                std::string_view prefix, Text* out) {
  constexpr std::size_t kBatch = 64;
  const std::size_t count = hexLength(length);
  const std::size_t size = prefix.size() + count;
  // The prefix is laid once; each hash overwrites only the characters after it.
  char laid[kShortResult];
  const bool inBuffer = size <= kShortResult;
  if (inBuffer && !prefix.empty()) std::memcpy(laid, prefix.data(), prefix.size());
  Digest digests[kBatch];
  for (std::size_t from = 0; from < data.size(); from += kBatch) {
    const std::size_t n = std::min(kBatch, data.size() - from);
    keyedHash.digestMany(data.subspan(from, n), kNoLabel, digests);
    for (std::size_t i = 0; i < n; ++i) {
      Text& text = out[from + i];
      if (inBuffer) {
        writeHex(laid + prefix.size(), digests[i], count);
        // Built at its exact size, not grown from empty.
        text = Text(laid, size);
        continue;
      }
      text.assign(prefix);
      text.resize(size);
      writeHex(text.data() + prefix.size(), digests[i], count);
    }
  }
}

Outcome<Text> maskEmail(const KeyedHash& keyedHash, std::string_view text, std::uint64_t length,
                        std::string_view mailDomain, bool keepDomain) {
  Outcome<Text> out;
  maskEmails(keyedHash, {&text, 1}, length, mailDomain, keepDomain, &out);
  return out;
}

void maskEmails(const KeyedHash& keyedHash, std::span<const std::string_view> texts, std::uint64_t length,
                std::string_view mailDomain, bool keepDomain, Outcome<Text>* out) {
  constexpr std::size_t kBatch = 32;
  const std::size_t count = hexLength(length);
  for (std::size_t from = 0; from < texts.size(); from += kBatch) {
    const std::size_t n = std::min(kBatch, texts.size() - from);
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += texts[from + i].size();
    Scratch<2048, char> lowered(total);
    std::string_view addresses[kBatch];
    std::string_view lowers[kBatch];
    std::size_t owner[kBatch];
    std::size_t jobs = 0;
    char* lower = lowered.data();
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view text = texts[from + i];
      if (!isAscii(text)) {
        out[from + i] = Decline{};
        continue;
      }
      std::size_t begin = 0;
      std::size_t end = text.size();
      while (begin < end && isBlank(text[begin])) ++begin;
      while (end > begin && isBlank(text[end - 1])) --end;
      const std::string_view address = text.substr(begin, end - begin);
      // The whole address, domain included, lower-cased feeds the local part.
      lowerAscii(address, lower);
      addresses[jobs] = address;
      lowers[jobs] = std::string_view(lower, address.size());
      owner[jobs++] = from + i;
      lower += address.size();
    }
    Digest digests[kBatch];
    keyedHash.digestMany({lowers, jobs}, kNoLabel, digests);
    for (std::size_t j = 0; j < jobs; ++j) {
      std::string_view domain = mailDomain;
      if (keepDomain) {
        const std::size_t at = addresses[j].rfind('@');
        if (at != std::string_view::npos) domain = addresses[j].substr(at + 1);
      }
      // Built in its slot: a Text moved in right after it is built has its
      // fields reloaded before their stores have landed. A short one is laid
      // out first and built from it at its exact size, not grown from empty.
      const std::size_t size = 1 + count + 1 + domain.size();
      if (size <= kShortResult) {
        char laid[kShortResult];
        laid[0] = 'u';
        writeHex(laid + 1, digests[j], count);
        laid[1 + count] = '@';
        if (!domain.empty()) std::memcpy(laid + 2 + count, domain.data(), domain.size());
        out[owner[j]].emplace<Text>(laid, size);
        continue;
      }
      Text& result = out[owner[j]].emplace<Text>(size, '\0');
      result[0] = 'u';
      writeHex(result.data() + 1, digests[j], count);
      result[1 + count] = '@';
      std::memcpy(result.data() + 2 + count, domain.data(), domain.size());
    }
  }
}

}  // namespace zorva
