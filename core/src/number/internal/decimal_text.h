// The decimal text shared by the exact and the fixed-width forms of a
// number: exponent digits, and the correctly rounded reading of
// "{sign}{digits}e{exponent}" as a double.
#pragma once

#include <cstdint>

#include "support/alloc.h"

namespace zorva::number_detail {

void appendInt(Text& out, std::int64_t v);

// Correctly rounded conversion of the text [begin, stop), which holds a
// number whose leading digit lies digits places above exponent.
double textToF64(const char* begin, const char* stop, std::int64_t exponent, std::uint64_t digits, bool negative);

}  // namespace zorva::number_detail
