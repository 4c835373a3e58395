// maskBatches: validation, reading, masking on the pool and writing.
#include "arrow/masking.h"

#include <algorithm>
#include <cmath>

#include "shared/column_masking.h"
#include "arrow/number_columns.h"
#include "arrow/text_columns.h"
#include "pool.h"
#include "arrow/reading.h"
#include "arrow/writer.h"

namespace zorva::arrow {
namespace {

using py::Input;
using py::MaskedValues;

// Inputs per maskInputs call for a masker without a result cache: like the
// row door's chunks, each block is de-duplicated on its own. Also the size
// of the sample of a column's first values that decides how it is grouped.
constexpr std::size_t kBlock = 16384;

// The share of repeated values to expect among the first rows of a column
// when the first sample of them hold distinct values: as if drawn evenly
// from a set whose size the sample's repeats tell (s^2 / 2 repeats, the
// first collisions of a birthday count).
double repeatShare(std::size_t sample, std::size_t distinct, std::size_t rows) {
  const double repeats = static_cast<double>(sample - distinct);
  if (repeats == 0 || rows == 0) return 0;
  const double values = static_cast<double>(sample) * static_cast<double>(sample) / (2 * repeats);
  const double n = static_cast<double>(rows);
  return 1 - values * -std::expm1(-n / values) / n;
}

// How a column's values are grouped, from its first rows' bytes (a
// grouping only saves work: masking is deterministic, so no choice here
// changes an answer):
// - each: nearly all distinct (identifiers, e-mail addresses, amounts), so
//   not at all. A table would find next to nothing, for a pass over every
//   value that costs as much as the rest of the door's own work on it.
// - distinct: a cached column whose values repeat at all (first names,
//   cities, full names): the whole column here, on the bytes in the buffers,
//   so that only each distinct value becomes an input and the rows point at
//   its answer (cheaper than grouping the inputs, even at a tenth repeats).
// - blocks: anything else, by maskInputs, block by block.
enum class Grouping : std::uint8_t { each, distinct, blocks };

Grouping groupingOf(const ColumnJob& job) {
  if (!readsDistinct(job)) return Grouping::blocks;
  const bool cached = job.column->masker->cache() != nullptr;
  const std::size_t total = inputCount(job);
  const std::size_t sample = std::min(total, kBlock);
  const std::size_t distinct = countDistinct(job, sample);
  if (repeatShare(sample, distinct, cached ? total : sample) <= 1.0 / 32) return Grouping::each;
  if (cached) return Grouping::distinct;
  return Grouping::blocks;
}

// The answers of a column, one per input: its rows (or its dictionaries'
// entries) read, grouped and masked.
MaskedValues maskValues(const ColumnJob& job, Grouping grouping) {
  const py::Masker& masker = *job.column->masker;
  const std::size_t total = inputCount(job);
  MaskedValues masked;
  Vec<Input> inputs;
  if (grouping == Grouping::each) {
    masked.at.resize(total);
    masked.answers.reserve(total);
    // With a result cache, in one piece: a later block would look every
    // value up in the cache that the earlier ones filled.
    const std::size_t block = masker.cache() != nullptr ? total : kBlock;
    for (std::size_t from = 0; from < total; from += block) {
      const std::size_t to = std::min(total, from + block);
      readInputs(job, from, to, inputs);
      const std::size_t base = masked.answers.size();
      py::maskEachInto(masker, inputs, total, masked.answers);
      for (std::size_t r = from; r < to; ++r) masked.at[r] = base + (r - from);
    }
    return masked;
  }
  if (grouping == Grouping::distinct) {
    masked.at.resize(total);
    readDistinct(job, 0, total, inputs, masked.at.data(), 0);
    py::maskEachInto(masker, inputs, total, masked.answers);
    return masked;
  }
  // Read and masked in blocks of kBlock inputs: a block's inputs, its
  // de-duplication table and its strategy's passes stay in the core's own
  // caches, where a whole column's would not (at 200,000 values every one
  // of them was a load from memory). Not a masker with a result cache: each
  // later block would look every value up in the cache, a load from memory
  // of its own, where one table for the whole column finds the repeats
  // before the cache is consulted.
  const std::size_t block = masker.cache() != nullptr ? total : kBlock;
  masked.at.reserve(total);
  masked.answers.reserve(total);
  for (std::size_t from = 0; from < total; from += block) {
    readInputs(job, from, std::min(total, from + block), inputs);
    py::maskInputsInto(masker, inputs, total, masked);
  }
  return masked;
}

// Reads, masks and writes one column.
void maskColumn(ColumnJob& job, Grouping grouping) {
  // Amounts under the number strategy go as numbers: no text read or
  // written, no input or output object made.
  if (const NumberStrategy* numbers = numberColumn(job); numbers != nullptr && grouping == Grouping::each) {
    maskNumbers(job, *numbers);
    return;
  }
  // So do texts under the strategies of text answers without a result cache.
  if (grouping == Grouping::each && textColumn(job)) {
    maskTexts(job);
    return;
  }
  MaskedValues masked = maskValues(job, grouping);
  writeColumn(job, masked);
}

BatchError refuse(const InColumn* column, std::size_t j, const Problem& p) {
  if (column == nullptr) return {p.kind, p.message};
  return {p.kind, "column " + std::to_string(j) + " ('" + column->name + "'): " + p.message};
}

}  // namespace

bool maskBatches(const std::vector<InColumn>& columns, const std::shared_ptr<ForeignSchema>& schema,
                 const std::vector<std::shared_ptr<ForeignArray>>& batches, MaskedTable& out, BatchError& error) {
  const std::size_t width = columns.size();
  // A carried field is copied into the output's schema even when no batch
  // comes with it: its own structure is checked first.
  for (std::size_t j = 0; j < width; ++j) {
    if (columns[j].masker != nullptr) continue;
    if (Problem p = checkField(*columns[j].field)) {
      error = refuse(&columns[j], j, p);
      return false;
    }
  }
  // Every batch is checked before anything is masked, and the problem
  // reported is the first in batch order, then column order: each batch's
  // own structure first, then its columns' (in parallel, on the pool: the
  // texts' UTF-8 is read whole), none of a batch at or past one whose own
  // structure is refused.
  const std::size_t count = batches.size();
  std::vector<std::vector<ColumnView>> views(count);
  for (auto& batchViews : views) batchViews.resize(width);
  std::vector<std::int64_t> firstRow(count);
  std::int64_t rows = 0;
  std::size_t sound = count;  // the batches before the first refused one
  Problem refused;
  for (std::size_t b = 0; b < count && sound == count; ++b) {
    const ArrowArray& batch = batches[b]->value;
    refused = checkBatch(batch, static_cast<std::int64_t>(width));
    // Rows are counted across the whole input: the count must stay in range.
    if (!refused && batch.length > kMaxRows - rows)
      refused = {Refusal::Malformed, "the batches hold more than 2^56 rows in all"};
    if (refused) {
      sound = b;
      break;
    }
    firstRow[b] = rows;
    rows += batch.length;
  }
  std::vector<Problem> problems(sound * width);
  parallelFor(currentPool(), width, [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
      for (std::size_t b = 0; b < sound; ++b) {
        const ArrowArray& batch = batches[b]->value;
        const ArrowArray* child = batch.children[j];
        Problem& p = problems[b * width + j];
        if (child == nullptr) {
          p = {Refusal::Malformed, "the column's array is missing"};
        } else if (columns[j].masker == nullptr) {
          p = checkShape(*child, *columns[j].field);
          if (!p && child->length < batch.offset + batch.length)
            p = {Refusal::Malformed, "the array holds fewer rows than its batch"};
        } else {
          p = viewColumn(*child, columns[j].type, batch.offset, batch.length, views[b][j]);
        }
        if (p) break;  // a later batch's problem in this column is never the first
      }
    }
  });
  for (std::size_t k = 0; k < problems.size(); ++k) {
    if (problems[k]) {
      error = refuse(&columns[k % width], k % width, problems[k]);
      return false;
    }
  }
  if (refused) {
    error = refuse(nullptr, 0, refused);
    return false;
  }

  auto table = std::make_shared<OutTable>();
  table->batches.resize(batches.size());
  std::vector<std::vector<OutArray>> outputs(width);
  for (auto& columnOutputs : outputs) columnOutputs.resize(batches.size());
  std::vector<ColumnJob> jobs;
  for (std::size_t j = 0; j < width; ++j) {
    if (columns[j].masker == nullptr) continue;
    ColumnJob& job = jobs.emplace_back();
    job.column = &columns[j];
    job.index = j;
    job.firstRow = firstRow;
    job.outputs = &outputs[j];
    for (std::size_t b = 0; b < batches.size(); ++b) job.views.push_back(&views[b][j]);
  }
  // Every column at once on the pool, each read, masked and written by one
  // task; a column's values are split again on the same pool, so a long
  // column is shared by the workers that run out of columns. The inputs and
  // answers of a column go as soon as it is written. The columns that split
  // evenly (masked value by value, no result cache to fill) go last: the
  // others have parts no second worker can take (a grouping pass, a cache
  // filled in order), which then overlap with other columns rather than
  // leave a worker idle at the end.
  std::vector<Grouping> groupings(jobs.size());
  parallelFor(currentPool(), jobs.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) groupings[k] = groupingOf(jobs[k]);
  });
  std::vector<std::size_t> order(jobs.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  auto splitsEvenly = [&](std::size_t k) {
    return groupings[k] == Grouping::each && jobs[k].column->masker->cache() == nullptr;
  };
  std::stable_partition(order.begin(), order.end(), [&](std::size_t k) { return !splitsEvenly(k); });
  parallelFor(currentPool(), jobs.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) maskColumn(jobs[order[k]], groupings[order[k]]);
  });

  for (std::size_t j = 0; j < width; ++j) {
    OutField& field = table->fields.emplace_back();
    if (columns[j].masker == nullptr) {
      field.foreign = columns[j].field;
      field.keep = schema;
      for (std::size_t b = 0; b < batches.size(); ++b) {
        OutArray& carried = outputs[j][b];
        carried.foreign = batches[b]->value.children[j];
        carried.keep = batches[b];
        carried.sliceOffset = batches[b]->value.offset;
        carried.length = batches[b]->value.length;
      }
    } else {
      field.name = columns[j].name;
    }
  }
  for (ColumnJob& job : jobs) {
    OutField& field = table->fields[job.index];
    field.format = job.format;
    field.dictionaryFormat = job.dictionaryFormat;
    out.problems.insert(out.problems.end(), std::make_move_iterator(job.problems.begin()),
                        std::make_move_iterator(job.problems.end()));
  }
  for (std::size_t b = 0; b < batches.size(); ++b) {
    table->batches[b].length = batches[b]->value.length;
    for (std::size_t j = 0; j < width; ++j) table->batches[b].columns.push_back(std::move(outputs[j][b]));
  }
  std::sort(out.problems.begin(), out.problems.end(), [](const ProblemAt& a, const ProblemAt& b) {
    return a.row != b.row ? a.row < b.row : a.column < b.column;
  });
  out.table = std::move(table);
  return true;
}

}  // namespace zorva::arrow
