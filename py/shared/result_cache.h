// The result cache of a Masker whose strategy has one, and the keys it
// shares with a call's de-duplication: KeyView, CacheKey and their hash.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "shared/values.h"

namespace zorva::py {

// A borrowed view of a keyed input: what CacheKey holds, without the copy.
// Valid while the input lives. Made on the stack to hash and compare; the
// cache stores CacheKey, which is smaller.
struct KeyView {
  enum class Kind : std::uint8_t { Str = 0, Int = 1, Float = 2, Decimal = 3 };
  Kind kind = Kind::Str;
  std::uint64_t bits = 0;           // Float: the double's bit pattern
  const BigInt* integer = nullptr;  // Int
  std::string_view text;            // Str, Decimal

  // The view of a keyed input; None, Other and Bool have no key.
  static std::optional<KeyView> of(const Input& input) noexcept;
  friend bool operator==(const KeyView& a, const KeyView& b) noexcept;
};

// Defined here so that the maps' hashing and comparing inline: every keyed
// value of a call goes through them two or three times.
inline std::optional<KeyView> KeyView::of(const Input& input) noexcept {
  switch (input.kind()) {
    case Input::Kind::Str: return KeyView{Kind::Str, 0, nullptr, input.text()};
    case Input::Kind::Int: return KeyView{Kind::Int, 0, &input.integer(), {}};
    case Input::Kind::Float: return KeyView{Kind::Float, std::bit_cast<std::uint64_t>(input.real()), nullptr, {}};
    case Input::Kind::Decimal: return KeyView{Kind::Decimal, 0, nullptr, input.text()};
    default: return std::nullopt;
  }
}

inline bool operator==(const KeyView& a, const KeyView& b) noexcept {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case KeyView::Kind::Int: return *a.integer == *b.integer;
    case KeyView::Kind::Float: return a.bits == b.bits;
    default: return a.text == b.text;
  }
}

// splitmix64's finaliser.
inline std::uint64_t mix(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A 64 x 64-bit product folded to 64 bits: the text hash's mixing step.
inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// A fast hash of a text; the seed of the map goes in first, so equal texts
// collide only within one map (and the map's hasher mixes the result again).
// Up to 64 bytes the text is read in a fixed pattern for its length class,
// overlapping words from both ends folded independently: no loop whose end
// depends on the length (a mispredicted branch per text when the lengths of
// a column vary) and no chain of dependent steps through the words.
inline std::uint64_t hashText(std::string_view text, std::uint64_t seed) noexcept {
  // The fractional bits of the golden ratio and of the square roots of 2,
  // 3 and 5: constants with no structure of their own.
  constexpr std::uint64_t k0 = 0x9e3779b97f4a7c15ULL, k1 = 0x6a09e667f3bcc908ULL, k2 = 0xbb67ae8584caa73bULL,
                          k3 = 0x3c6ef372fe94f82bULL;
  const char* p = text.data();
  const std::size_t n = text.size();
  auto word = [](const char* at) {
    std::uint64_t w;
    std::memcpy(&w, at, 8);
    return w;
  };
  // Two 16-byte pieces folded apart, then together.
  auto pair = [&](const char* x, const char* y, std::uint64_t h) {
    return fold(word(x) ^ k1, word(x + 8) ^ h) ^ fold(word(y) ^ k2, word(y + 8) ^ h ^ k3);
  };
  std::uint64_t h = seed ^ (n * k0);
  std::uint64_t a = 0, b = 0;
  if (n <= 16) {
    // Read straight from the text (overlapping loads, never a copy into a
    // stack word, whose byte stores a wide load would wait on).
    if (n >= 8) {
      a = word(p);
      b = word(p + n - 8);
    } else if (n >= 4) {
      std::uint32_t first, last;
      std::memcpy(&first, p, 4);
      std::memcpy(&last, p + n - 4, 4);
      a = first;
      b = last;
    } else if (n > 0) {
      const auto* c = reinterpret_cast<const unsigned char*>(p);
      a = c[0] | (std::uint64_t{c[n / 2]} << 8) | (std::uint64_t{c[n - 1]} << 16);
    }
  } else if (n <= 32) {
    a = word(p) ^ word(p + n - 16);
    b = fold(word(p) ^ k1, word(p + 8) ^ h) ^ fold(word(p + n - 16) ^ k2, word(p + n - 8) ^ h ^ k3);
  } else if (n <= 64) {
    a = pair(p, p + 16, h);
    b = pair(p + n - 32, p + n - 16, h ^ k1);
  } else {
    // Longer texts (never cached): 32 bytes a step on two independent chains.
    std::uint64_t g = h ^ k2;
    std::size_t i = 0;
    for (; i + 32 < n; i += 32) {
      h = fold(word(p + i) ^ k1, word(p + i + 8) ^ h);
      g = fold(word(p + i + 16) ^ k2, word(p + i + 24) ^ g);
    }
    a = h ^ pair(p + n - 32, p + n - 16, g);
    b = g;
  }
  return fold(a ^ k1 ^ h, b ^ k2 ^ seed);
}

// The payload slots of a CacheKey: the text, the integer, the bit pattern.
constexpr int cacheKeySlot(KeyView::Kind kind) noexcept {
  return kind == KeyView::Kind::Int ? 1 : kind == KeyView::Kind::Float ? 2 : 0;
}

// The key under which equal values are de-duplicated and cached: an owned
// copy of a KeyView, as a tag and one payload. Str and Decimal compare texts
// byte for byte, Int by value, Float by bit pattern (so 0.0 and -0.0 differ).
class CacheKey {
 public:
  // An owned copy of view; hash is what the cache's KeyHash gives the view.
  // The payload is built in place, never moved in.
  CacheKey(const KeyView& view, std::size_t hash) : value_(payloadOf(view)), hash_(hash) {}

  KeyView::Kind kind() const noexcept { return value_.tag(); }
  std::size_t hash() const noexcept { return hash_; }
  KeyView view() const noexcept {
    switch (kind()) {
      case KeyView::Kind::Int: return KeyView{kind(), 0, &value_.get<BigInt>(), {}};
      case KeyView::Kind::Float: return KeyView{kind(), value_.get<std::uint64_t>(), nullptr, {}};
      default: return KeyView{kind(), 0, nullptr, value_.get<PackedText>().view()};
    }
  }

 private:
  using Value = Tagged<KeyView::Kind, cacheKeySlot, PackedText, BigInt, std::uint64_t>;
  static Value payloadOf(const KeyView& view) {
    switch (view.kind) {
      case KeyView::Kind::Int: return Value(view.kind, std::in_place_type<BigInt>, *view.integer);
      case KeyView::Kind::Float: return Value(view.kind, std::in_place_type<std::uint64_t>, view.bits);
      default: return Value(view.kind, std::in_place_type<PackedText>, view.text);
    }
  }
  Value value_;
  std::size_t hash_;
};

// Hashes a keyed value, mixed with a seed drawn at random for each table:
// the seed changes only a table's layout, never a result.
struct KeyHash {
  std::uint64_t seed;
  KeyHash();
  std::size_t operator()(const KeyView& key) const noexcept {
    std::uint64_t h;
    switch (key.kind) {
      case KeyView::Kind::Int: h = key.integer->hash() ^ seed; break;
      case KeyView::Kind::Float: h = key.bits ^ seed; break;
      default: h = hashText(key.text, seed); break;
    }
    return mix(h ^ (static_cast<std::uint64_t>(key.kind) << 56));
  }
};

// The result cache of a masker whose strategy has one: the first 65,536
// cacheable results of the Masker's life, never evicted. Since it never
// shrinks and its size is bounded, it is an append-only list of entries under
// an open-addressed index of one word per slot (the hash's top half beside
// the entry's number plus one, so that zero marks an empty slot), at most half
// full: a growth rebuilds only the index, never moving an entry, and a
// lookup's two loads from memory (its slot, then its entry) can each be
// fetched ahead from the value's hash alone. Every member but `full` needs
// the mutex, the prefetches too: a growth replaces the index.
class ResultCache {
 public:
  static constexpr std::size_t kCapacity = 65536;
  // Texts longer than this are de-duplicated within a call but not cached.
  static constexpr std::size_t kLongestText = 64;

  std::mutex mutex;
  // Set under the mutex once the cache holds kCapacity entries; read without
  // it, so that a full cache costs a call nothing.
  std::atomic<bool> full{false};

  const KeyHash& hasher() const noexcept { return hasher_; }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  // Fetches the first slot that a lookup of hash reads: harmless on any hash.
  void prefetchSlot(std::size_t hash) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask_]);
  }
  // Fetches the entry that slot names when its tag matches: run once the
  // slot has had time to arrive.
  void prefetchEntry(std::size_t hash) const noexcept {
    if (slots_.empty()) return;
    const std::uint64_t slot = slots_[hash & mask_];
    if (slot != 0 && (slot >> 32) == (hash >> 32)) __builtin_prefetch(&entries_[(slot & kIndexBits) - 1]);
  }

  // The output cached for key (whose hash is hash), or null.
  const Output* find(const KeyView& key, std::size_t hash) const noexcept {
    if (slots_.empty()) return nullptr;
    for (std::size_t p = hash & mask_;; p = (p + 1) & mask_) {
      const std::uint64_t slot = slots_[p];
      if (slot == 0) return nullptr;
      if ((slot >> 32) != (hash >> 32)) continue;
      const Entry& entry = entries_[(slot & kIndexBits) - 1];
      if (entry.key.view() == key) return &entry.answer;
    }
  }

  // Room for count more entries (up to the capacity) in one growth.
  void reserve(std::size_t count);
  // Adds copies of key (whose hash is hash) and answer, or replaces the
  // output of an equal key (added meanwhile by another call). Nothing is
  // added once full.
  void insertOrAssign(const KeyView& key, std::size_t hash, const Output& answer);

 private:
  static constexpr std::uint64_t kIndexBits = 0xffffffffULL;
  struct Entry {
    // The key's payload and the answer built in the entry itself.
    Entry(const KeyView& view, std::size_t hash, const Output& output) : key(view, hash), answer(output) {}
    CacheKey key;
    Output answer;
  };
  // The index rebuilt at slots slots, a power of two.
  void rebuild(std::size_t slots);
  KeyHash hasher_;
  Vec<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  Vec<Entry> entries_;
};

}  // namespace zorva::py
