// Bytes as the keyed hash, SHA-256 and FF1 lay them into their messages:
// big-endian machine integers, read and written, and short copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

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

inline std::uint32_t loadBE32(const std::uint8_t* in) noexcept {
  std::uint32_t v;
  std::memcpy(&v, in, 4);
  return __builtin_bswap32(v);
}

inline std::uint64_t loadBE64(const std::uint8_t* in) noexcept {
  std::uint64_t v;
  std::memcpy(&v, in, 8);
  return __builtin_bswap64(v);
}

// memcpy with a null source is undefined even for zero bytes, and an empty
// string_view may carry a null pointer.
inline void copyBytes(std::uint8_t* out, std::string_view bytes) noexcept {
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
}

// Copies n <= 64 bytes as at most two fixed-size moves, which may overlap,
// instead of a call into the C library that dispatches on the length: the
// messages here are a few dozen bytes, and the call costs more than the copy.
// The source and the destination must not overlap.
inline void copyShort(std::uint8_t* out, const void* from, std::size_t n) noexcept {
  const auto* in = static_cast<const std::uint8_t*>(from);
  if (n >= 16) {
    if (n >= 32) {
      std::memcpy(out, in, 32);
      std::memcpy(out + n - 32, in + n - 32, 32);
    } else {
      std::memcpy(out, in, 16);
      std::memcpy(out + n - 16, in + n - 16, 16);
    }
  } else if (n >= 8) {
    std::memcpy(out, in, 8);
    std::memcpy(out + n - 8, in + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(out, in, 4);
    std::memcpy(out + n - 4, in + n - 4, 4);
  } else if (n > 0) {
    out[0] = in[0];
    out[n / 2] = in[n / 2];
    out[n - 1] = in[n - 1];
  }
}

}  // namespace zorva
