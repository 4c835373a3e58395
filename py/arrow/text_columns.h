// Text columns under a strategy of text answers without a result cache
// (hash, email, digits), masked from the buffers' own texts and written
// straight into the output buffers, with no input or output objects between.
#pragma once

#include "arrow/writer.h"

namespace zorva::arrow {

// Whether the column is masked this way: a utf8, large_utf8 or string_view
// column (not a dictionary) under such a strategy.
bool textColumn(const ColumnJob& job);

// Masks such a column and writes it, exactly as writeColumn writes the
// answers of the same rows read as Str inputs: the texts in the column's
// text type (large_utf8 for a string_view column, and for a column whose
// texts pass 32-bit offsets), a decline or a refusal a problem. Each row is
// masked on its own: for columns whose values rarely repeat.
void maskTexts(ColumnJob& job);

}  // namespace zorva::arrow
