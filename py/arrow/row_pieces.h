// A column's rows cut into pieces for the pool, for the roads that mask and
// write rows without going through inputs and answers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "pool.h"
#include "arrow/writer.h"

namespace zorva::arrow {

// Rows [first, last) of one batch of a column, and what masking them left:
// the rows without a value (nulls and problems) and the problems in row
// order.
struct RowPiece {
  std::size_t index = 0;  // among the column's pieces
  std::size_t batch = 0;
  std::int64_t first = 0, last = 0;
  std::int64_t nulls = 0;
  std::vector<ProblemAt> problems;
};

// The column's batches cut into pieces of at most rows rows (a multiple of
// 8, so that no two pieces write one validity byte).
inline std::vector<RowPiece> cutPieces(const ColumnJob& job, std::int64_t rows) {
  std::vector<RowPiece> pieces;
  for (std::size_t b = 0; b < job.views.size(); ++b) {
    const std::int64_t length = job.views[b]->length;
    for (std::int64_t first = 0; first < length; first += rows) {
      RowPiece& piece = pieces.emplace_back();
      piece.index = pieces.size() - 1;
      piece.batch = b;
      piece.first = first;
      piece.last = std::min(length, first + rows);
    }
  }
  return pieces;
}

// Masks each piece with a runner made per pool task (make(), whose
// run(RowPiece&) fills it), then appends the problems to job.problems in
// row order.
template <class Make>
void maskPieces(ColumnJob& job, std::vector<RowPiece>& pieces, Make&& make) {
  parallelFor(currentPool(), pieces.size(), [&](std::size_t begin, std::size_t end) {
    auto runner = make();
    for (std::size_t p = begin; p < end; ++p) runner->run(pieces[p]);
  });
  for (RowPiece& piece : pieces) {
    job.problems.insert(job.problems.end(), std::make_move_iterator(piece.problems.begin()),
                        std::make_move_iterator(piece.problems.end()));
    piece.problems.clear();
  }
}

}  // namespace zorva::arrow
