// Writing a masked column as Arrow buffers: the written type, the buffers of
// every batch and the problem positions. Runs without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/column_masking.h"
#include "arrow/c_data/imported.h"
#include "arrow/c_data/exported.h"
#include "arrow/masking.h"

namespace zorva::arrow {

// What a column reads and writes: the inputs are its rows, or for a
// dictionary column its dictionaries' entries.
struct ColumnJob {
  const InColumn* column = nullptr;
  std::size_t index = 0;
  std::vector<const ColumnView*> views;      // per batch
  std::vector<std::int64_t> firstRow;        // per batch: the batch's first row of the call
  std::vector<OutArray>* outputs = nullptr;  // per batch, written here
  std::vector<ProblemAt> problems;
  std::string format, dictionaryFormat;
};

// The rows (or dictionary entries) a view gives as inputs.
inline const ColumnView& source(const ColumnView& view) {
  return view.type.kind == TypeKind::Dictionary ? *view.dictionary : view;
}

// The format of a decimal column of this type ("d:12,2", "d:40,5,256").
std::string decimalFormat(const ColumnType& type);

// The message of a masked value that the column's type (of this format)
// cannot hold.
std::string misfitMessage(const std::string& format);

// Writes the column's masked values (one per input, in the order the
// batches give them) into job.outputs, sets job.format (and
// job.dictionaryFormat) and appends the problem positions to job.problems.
void writeColumn(ColumnJob& job, const py::MaskedValues& masked);

}  // namespace zorva::arrow
