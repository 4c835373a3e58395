// The result cache's growth and insertion, and the per-table seed of its hash.
#include "shared/result_cache.h"

#include <algorithm>

#include <sys/random.h>

namespace zorva::py {

// A full cache holds 65,536 of these per Masker.
static_assert(sizeof(CacheKey) <= 40);

namespace {

std::uint64_t randomSeed() {
  // One OS draw per thread; each map then takes the next value of a cheap
  // generator, so a call does not pay a system call for its map.
  // getrandom, not std::random_device: the latter pulls in a C library entry
  // point newer than the platforms the wheel is built for. A failed draw (no
  // such system call) leaves a per-thread address, which still varies.
  thread_local std::uint64_t state = [] {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
      seed = reinterpret_cast<std::uintptr_t>(&seed);
    }
    return seed;
  }();
  state += 0x9e3779b97f4a7c15ULL;
  return mix(state);
}

}  // namespace

KeyHash::KeyHash() : seed(randomSeed()) {}

void ResultCache::rebuild(std::size_t slots) {
  slots_.assign(slots, 0);
  mask_ = slots - 1;
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    const std::size_t hash = entries_[k].key.hash();
    std::size_t p = hash & mask_;
    while (slots_[p] != 0) p = (p + 1) & mask_;
    slots_[p] = (hash & ~kIndexBits) | (k + 1);
  }
}

void ResultCache::reserve(std::size_t count) {
  const std::size_t target = std::min(kCapacity, entries_.size() + count);
  // Geometric, or every block of a chunk that asks for its chunk's worth
  // would move all the entries once more.
  if (target > entries_.capacity()) entries_.reserve(std::max(target, std::min(kCapacity, 2 * entries_.capacity())));
  // At most half full: the index of a full cache has 2^17 slots, one MiB.
  const std::size_t slots = std::bit_ceil(std::max<std::size_t>(64, 2 * target));
  if (slots > slots_.size()) rebuild(slots);
}

void ResultCache::insertOrAssign(const KeyView& key, std::size_t hash, const Output& answer) {
  if (2 * (entries_.size() + 1) > slots_.size()) reserve(std::max<std::size_t>(1, entries_.size()));
  for (std::size_t p = hash & mask_;; p = (p + 1) & mask_) {
    const std::uint64_t slot = slots_[p];
    if (slot == 0) {
      if (entries_.size() >= kCapacity) return;
      // Built in place: the key's text and the answer are each copied once.
      entries_.emplace_back(key, hash, answer);
      slots_[p] = (hash & ~kIndexBits) | entries_.size();
      return;
    }
    if ((slot >> 32) != (hash >> 32)) continue;
    Entry& entry = entries_[(slot & kIndexBits) - 1];
    if (entry.key.view() == key) {
      entry.answer = answer;
      return;
    }
  }
}

}  // namespace zorva::py
