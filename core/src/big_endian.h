// Big-endian reading and writing of machine integers, as the keyed hash and
// FF1 lay them into their messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zorva {

// v written as len bytes (at most 8), most significant first.
inline void putBE(std::uint8_t* out, std::uint64_t v, std::size_t len) noexcept {
  for (std::size_t i = len; i-- > 0;) {
    out[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
}

inline void putBE32(std::uint8_t* out, std::uint32_t v) noexcept {
  v = __builtin_bswap32(v);
  std::memcpy(out, &v, 4);
}

inline void putBE64(std::uint8_t* out, std::uint64_t v) noexcept {
  v = __builtin_bswap64(v);
  std::memcpy(out, &v, 8);
}

inline std::uint64_t loadBE64(const std::uint8_t* in) noexcept {
  std::uint64_t v;
  std::memcpy(&v, in, 8);
  return __builtin_bswap64(v);
}

}  // namespace zorva
