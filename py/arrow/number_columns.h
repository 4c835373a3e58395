// Decimal and float columns under the number strategy, masked as numbers:
// read from their unscaled integers and doubles and written back as them,
// with no text either way and no input or output objects between.
#pragma once

#include "arrow/writer.h"

namespace zorva {
class NumberStrategy;
}

namespace zorva::arrow {

// The number strategy of a column masked this way: a decimal or float
// column (not a dictionary) under the number strategy. Null for any other.
const NumberStrategy* numberColumn(const ColumnJob& job);

// Masks such a column and writes it, exactly as writeColumn writes the
// answers of the same rows read as Decimal and float inputs: a decimal
// column in its own type, a float column as doubles, a strategy's fallback a
// problem and a value the type cannot hold a misfit. Each row is masked on
// its own: for columns whose values rarely repeat.
void maskNumbers(ColumnJob& job, const NumberStrategy& strategy);

}  // namespace zorva::arrow
