// The layout of FF1's PRF message, P || T || 0^pad || round || NUM(B): the
// padding and the tail each round completes, for every road.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zorva {

// pad of T || 0^pad so that the whole PRF message fills whole blocks.
inline std::size_t padFor(std::size_t tweakLength, std::size_t b) noexcept { return (0 - tweakLength - b - 1) % 16; }

// The bytes of T || 0^pad after its last whole block (of the message, which
// starts with the 16-byte P): they open the tail that each round completes.
inline std::size_t tailHeadLength(std::size_t tweakLength, std::size_t pad) noexcept {
  return (tweakLength + pad) % 16;
}
// Writes those bytes to out: the tweak's last ones, if any, then zeros.
inline void layTailHead(std::string_view tweak, std::size_t pad, std::uint8_t* out) noexcept {
  const std::size_t length = tailHeadLength(tweak.size(), pad);
  const std::size_t fromTweak = length > pad ? length - pad : 0;
  if (fromTweak != 0) std::memcpy(out, tweak.data() + tweak.size() - fromTweak, fromTweak);
  std::memset(out + fromTweak, 0, length - fromTweak);
}

}  // namespace zorva
