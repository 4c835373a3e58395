// Fixed-width storage for the number strategy's fast path: unsigned
// integers of 256 and 512 bits, and decimals with such a coefficient. Their
// arithmetic is in number/internal/wide_ops.h.
#pragma once

#include <cstdint>

namespace zorva::number_detail {

// An unsigned integer of up to 64 * L bits in fixed storage (little-endian
// limbs). 512 bits hold the products and alignments of 60-digit operands and
// values of up to 38 digits; 256 bits hold those of short values and options
// at half the copying.
template <int L>
struct WideT {
  static constexpr int kLimbs = L;
  std::uint64_t limb[kLimbs] = {};
  int size = 0;  // limbs in use; the top one is nonzero

  void trim() {
    while (size > 0 && limb[size - 1] == 0) --size;
  }
};

template <int L>
struct FastDecT {
  WideT<L> coefficient;
  std::int64_t exponent = 0;
  bool negative = false;
};

using Wide = WideT<8>;
using FastDec = FastDecT<8>;
using NarrowDec = FastDecT<4>;

}  // namespace zorva::number_detail
