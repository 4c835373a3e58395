// Whether a text is plain ASCII: the identifier and cheap maskers decline
// anything else before they look at a value.
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

}  // namespace zorva
