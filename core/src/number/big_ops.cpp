// Dec's arithmetic: the decimal algorithms instantiated on BigInt
// coefficients, the exact path that never runs out of room.
#include <utility>

#include "number/internal/big_ops.h"
#include "number/internal/decimal_algorithms.h"
#include "number/dec.h"

namespace zorva {

using number_detail::addSigned;
using number_detail::BigOps;
using number_detail::compareT;
using number_detail::multiplyT;
using number_detail::quantizeT;
using number_detail::roundedT;

std::strong_ordering Dec::compare(const Dec& a, const Dec& b) {
  BigOps ops;
  return compareT(ops, a, b);
}

std::optional<Dec> Dec::add(const Dec& a, const Dec& b) {
  BigOps ops;
  return addSigned(ops, a, b, b.negative);
}

std::optional<Dec> Dec::subtract(const Dec& a, const Dec& b) {
  BigOps ops;
  return addSigned(ops, a, b, !b.negative);
}

std::optional<Dec> Dec::multiply(const Dec& a, const Dec& b) {
  BigOps ops;
  return multiplyT(ops, a, b);
}

std::optional<Dec> Dec::rounded(Dec d) {
  BigOps ops;
  return roundedT(ops, std::move(d));
}

std::optional<Dec> Dec::quantize(const Dec& d, std::int64_t target, Rounding mode) {
  BigOps ops;
  return quantizeT(ops, d, target, mode);
}

}  // namespace zorva
