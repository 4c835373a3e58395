// The PRF's shared prefix: the CBC-MAC state after P || T || 0^pad, kept
// per thread for the last few shapes.
#include <cstring>

#include "ff1/ff1.h"
#include "support/scratch.h"

namespace zorva {

namespace {

// Prefix states of the last few shapes on this thread. A tweak longer than
// any the strategies build is simply not kept.
constexpr std::size_t kCachedTweak = 288;
constexpr std::size_t kCachedShapes = 4;
struct PrefixEntry {
  std::uint64_t identity = 0;  // 0: empty
  std::size_t n = 0;
  std::size_t tweakLength = 0;
  std::uint8_t state[16] = {};
  char tweak[kCachedTweak] = {};
};
struct PrefixCache {
  PrefixEntry entries[kCachedShapes];
  std::size_t next = 0;
};
constinit thread_local PrefixCache prefixCache;

}  // namespace

void Ff1::prefixState(std::size_t n, std::string_view tweak, std::size_t pad, std::uint8_t* state) const {
  // n and the tweak fix the whole prefix (pad follows from them and the radix).
  PrefixCache& cache = prefixCache;
  const bool cacheable = tweak.size() <= kCachedTweak;
  if (cacheable) {
    for (const PrefixEntry& e : cache.entries) {
      if (e.identity == identity_ && e.n == n && e.tweakLength == tweak.size() &&
          (tweak.empty() || std::memcmp(e.tweak, tweak.data(), tweak.size()) == 0)) {
        std::memcpy(state, e.state, 16);
        return;
      }
    }
  }
  const std::size_t prefixLength = 16 + tweak.size() + pad;
  const std::size_t u = n / 2;
  Scratch<512> prefix(prefixLength);
  std::uint8_t* p = prefix.data();
  const std::uint8_t header[16] = {1,
                                   2,
                                   1,
                                   static_cast<std::uint8_t>(radix_ >> 16),
                                   static_cast<std::uint8_t>(radix_ >> 8),
                                   static_cast<std::uint8_t>(radix_),
                                   10,
                                   static_cast<std::uint8_t>(u),
                                   static_cast<std::uint8_t>(n >> 24),
                                   static_cast<std::uint8_t>(n >> 16),
                                   static_cast<std::uint8_t>(n >> 8),
                                   static_cast<std::uint8_t>(n),
                                   static_cast<std::uint8_t>(tweak.size() >> 24),
                                   static_cast<std::uint8_t>(tweak.size() >> 16),
                                   static_cast<std::uint8_t>(tweak.size() >> 8),
                                   static_cast<std::uint8_t>(tweak.size())};
  std::memcpy(p, header, 16);
  if (!tweak.empty()) std::memcpy(p + 16, tweak.data(), tweak.size());
  std::memset(p + 16 + tweak.size(), 0, pad);
  std::memset(state, 0, 16);
  cbc(state, p, prefixLength / 16);
  if (cacheable) {
    PrefixEntry& e = cache.entries[cache.next];
    cache.next = (cache.next + 1) % kCachedShapes;
    e.identity = identity_;
    e.n = n;
    e.tweakLength = tweak.size();
    if (!tweak.empty()) std::memcpy(e.tweak, tweak.data(), tweak.size());
    std::memcpy(e.state, state, 16);
  }
}

}  // namespace zorva
