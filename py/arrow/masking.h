// Masking validated Arrow columns: reading their values as the row door's
// inputs, masking them on the pool, and writing the outputs as Arrow
// buffers. Runs without the interpreter lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrow/c_data/imported.h"
#include "arrow/c_data/exported.h"
#include "shared/masker.h"

namespace zorva::arrow {

// One column of the input: its masker (none: carried through), its field and
// how its values are read.
struct InColumn {
  const py::Masker* masker = nullptr;
  std::string name;
  std::string format;
  ColumnType type;
  bool decimalTexts = false;  // a text column read as decimal.Decimal(text)
  const ArrowSchema* field = nullptr;
};

// A problem position, as maskChunk lists them: row, then column.
struct ProblemAt {
  std::int64_t row;
  std::size_t column;
  bool refused;
  std::string message;
};

struct MaskedTable {
  std::shared_ptr<OutTable> table;
  std::vector<ProblemAt> problems;
};

// A validation failure, raised before anything is masked.
struct BatchError {
  Refusal kind = Refusal::None;
  std::string message;
};

// Validates every batch, then masks every masked column of all of them at
// once on the pool. batches are the producer's record batches (struct arrays
// with one child per column), schema their common schema.
// Returns false with error set when a batch is refused.
bool maskBatches(const std::vector<InColumn>& columns, const std::shared_ptr<ForeignSchema>& schema,
                 const std::vector<std::shared_ptr<ForeignArray>>& batches, MaskedTable& out, BatchError& error);

}  // namespace zorva::arrow
