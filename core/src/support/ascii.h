// ASCII texts a word at a time: whether a text is plain ASCII (the identifier
// and the digits, hash and e-mail maskers decline anything else before they look at a value), and
// lower-casing one.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace zorva {

// Eight bytes at a time: a text is ASCII when no byte has its top bit set.
inline bool isAscii(std::string_view text) noexcept {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t high = 0;
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    high |= word;
  }
  for (; n > 0; --n, ++p) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080ULL) == 0;
}

// Writes text (plain ASCII) to out with A-Z lower-cased. Eight bytes at a
// time: below 0x80, adding 0x3F sets a byte's top bit from 'A' up and adding
// 0x25 from '[' up, with no carry into the next byte.
inline void lowerAscii(std::string_view text, char* out) noexcept {
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  auto lower = [](std::uint64_t word) {
    const std::uint64_t upper = ((word + 0x3F3F3F3F3F3F3F3FULL) ^ (word + 0x2525252525252525ULL)) & kHigh;
    return word | (upper >> 2);
  };
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 8; n -= 8, p += 8, out += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    word = lower(word);
    std::memcpy(out, &word, 8);
  }
  for (; n > 0; --n, ++p, ++out) *out = (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
}

}  // namespace zorva
