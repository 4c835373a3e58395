// The de-duplication table of one call: which earlier value, if any, a
// value equals. Shared by maskInputs and the columnar door's reader.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "support/alloc.h"

namespace zorva::py {

// A call's de-duplication table: open addressing with linear probing, one
// 64-bit word per slot (the top 24 bits of the value's hash beside the
// position of its first occurrence, plus one so that zero marks an empty
// slot), at most half full. A slot is found from the hash alone, so the pass
// can fetch it ahead; a hit compares the two values themselves.
class SeenTable {
 public:
  static constexpr std::size_t kNew = SIZE_MAX;

  explicit SeenTable(std::size_t values)
      : slots_(std::bit_ceil(std::max<std::size_t>(16, 2 * checked(values))), 0), mask_(slots_.size() - 1) {}

  void prefetch(std::size_t hash) const noexcept { __builtin_prefetch(&slots_[hash & mask_]); }

  // The position of an earlier input equal to the one at position, or kNew
  // once position is recorded as the first of its value.
  template <class EqualAt>
  std::size_t findOrAdd(std::size_t hash, std::size_t position, EqualAt&& equalAt) {
    const std::uint64_t tag = hash & kTagBits;
    for (std::size_t p = hash & mask_;; p = (p + 1) & mask_) {
      const std::uint64_t slot = slots_[p];
      if (slot == 0) {
        slots_[p] = tag | (position + 1);
        return kNew;
      }
      if ((slot & kTagBits) == tag && equalAt((slot & ~kTagBits) - 1)) return (slot & ~kTagBits) - 1;
    }
  }

 private:
  // 40 bits of position: a call of up to a trillion values.
  static constexpr std::uint64_t kTagBits = ~((std::uint64_t{1} << 40) - 1);
  static std::size_t checked(std::size_t values) {
    if (values >= (std::size_t{1} << 40) - 1) throw std::length_error("too many values for one call");
    return values;
  }
  Vec<std::uint64_t> slots_;
  std::size_t mask_;
};

}  // namespace zorva::py
