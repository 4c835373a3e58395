// Helpers shared by the libFuzzer targets: a fixed column key, input
// splitting and the invariant check that aborts with a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "keyed_hash.h"
#include "outcome.h"

namespace zorva::fuzz {

// Aborting (not throwing) makes libFuzzer save the input as a crash.
#define FUZZ_CHECK(cond)                                                          \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

inline const KeyedHash& columnKey() {
  static const KeyedHash key(std::string_view("0123456789abcdef0123456789ABCDEF"));
  return key;
}

// Consumes the input front to back: option bytes first, the rest is the value.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  // A length-prefixed piece, at most the bytes left.
  std::string_view piece() {
    std::size_t n = byte();
    if (n > size_) n = size_;
    std::string_view out(reinterpret_cast<const char*>(data_), n);
    data_ += n;
    size_ -= n;
    return out;
  }
  std::string_view rest() {
    std::string_view out(reinterpret_cast<const char*>(data_), size_);
    data_ += size_;
    size_ = 0;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

inline bool isAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

// Text from Python is always well-formed UTF-8 (lone surrogates fail earlier).
inline bool isUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { extra = 2; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; }
    else return false;
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += extra + 1;
  }
  return true;
}

inline std::size_t codePoints(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

inline bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

inline std::string_view view(const Text& text) { return std::string_view(text.data(), text.size()); }

template <class T>
bool isDecline(const Outcome<T>& outcome) {
  return std::holds_alternative<Decline>(outcome);
}
template <class T>
bool isRefusal(const Outcome<T>& outcome) {
  return std::holds_alternative<Refusal>(outcome);
}

}  // namespace zorva::fuzz
