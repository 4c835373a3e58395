// maskBatches: validation, reading, masking on the pool and writing.
#include "masking.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "column.h"
#include "decimal_texts.h"
#include "pool.h"
#include "writer.h"

namespace zorva::arrow {
namespace {

using py::Input;
using py::MaskedValues;
using py::Output;
using py::PackedText;

// Inputs per maskInputs call for a masker without a result cache: like the
// row door's chunks, each block is de-duplicated on its own.
constexpr std::size_t kBlock = 16384;

// The number of inputs a column gives: its rows, or its dictionaries' entries.
std::size_t inputCount(const ColumnJob& job) {
  std::size_t total = 0;
  for (const ColumnView* view : job.views) total += static_cast<std::size_t>(source(*view).length);
  return total;
}

// An input built straight in its list's slot: emplace_back constructs the
// element from this, and the conversion's result initialises it in place
// instead of being moved in from a temporary.
template <class Make>
struct InPlace {
  Make make;
  operator Input() const { return make(); }  // NOLINT: the conversion is the point
};
template <class Make>
InPlace(Make) -> InPlace<Make>;

// Appends rows [first, last) of view: each valid row's input from
// make(row), None for a null row. One loop per kind of column, so that the
// per-row work is the value's own.
template <class Make>
void appendRows(const ColumnView& view, std::int64_t first, std::int64_t last, Vec<Input>& inputs, Make&& make) {
  if (view.validity == nullptr) {
    for (std::int64_t r = first; r < last; ++r) inputs.emplace_back(InPlace{[&] { return make(r); }});
    return;
  }
  for (std::int64_t r = first; r < last; ++r) {
    if (view.valid(r))
      inputs.emplace_back(InPlace{[&] { return make(r); }});
    else
      inputs.emplace_back();
  }
}

// Rows [first, last) of one view as inputs.
void appendInputs(const InColumn& column, bool numbers, const ColumnView& view, std::int64_t first, std::int64_t last,
                  Vec<Input>& inputs) {
  switch (view.type.kind) {
    case TypeKind::Null:
      for (std::int64_t r = first; r < last; ++r) inputs.emplace_back();
      return;
    case TypeKind::Bool:
      return appendRows(view, first, last, inputs, [](std::int64_t) { return Input(Input::Kind::Bool); });
    case TypeKind::Int:
      return appendRows(view, first, last, inputs,
                        [&](std::int64_t r) { return Input::ofInt(BigInt::fromI64(view.signedInt(r))); });
    case TypeKind::UInt:
      return appendRows(view, first, last, inputs,
                        [&](std::int64_t r) { return Input::ofInt(BigInt::fromU64(view.unsignedInt(r))); });
    case TypeKind::Float32:
    case TypeKind::Float64:
      if (!numbers)
        return appendRows(view, first, last, inputs, [](std::int64_t) { return Input(Input::Kind::Other); });
      // The repr as the exact float type's: left for the strategy to write.
      return appendRows(view, first, last, inputs,
                        [&](std::int64_t r) { return Input::ofText(Input::Kind::Float, PackedText(), view.real(r)); });
    case TypeKind::Decimal:
      if (!numbers)
        return appendRows(view, first, last, inputs, [](std::int64_t) { return Input(Input::Kind::Other); });
      return appendRows(view, first, last, inputs, [&](std::int64_t r) {
        char text[kShortDecimalText];
        const std::uint8_t* bytes = view.decimalBytes(r);
        const std::size_t size = shortDecimalValueText(bytes, view.type.width, view.type.scale, text);
        if (size != 0) return Input::ofText(Input::Kind::Decimal, PackedText(std::string_view(text, size)));
        return Input::ofText(Input::Kind::Decimal,
                             PackedText(decimalValueString(bytes, view.type.width, view.type.scale)));
      });
    default:
      if (!column.decimalTexts) {
        // The batch outlives the inputs: its text is viewed, not copied.
        return appendRows(view, first, last, inputs, [&](std::int64_t r) {
          return Input::ofText(Input::Kind::Str, PackedText::borrowed(view.textAt(r)));
        });
      }
      return appendRows(view, first, last, inputs, [&](std::int64_t r) {
        DecimalParts parts;
        if (numbers && parseDecimal(view.textAt(r), parts))
          return Input::ofText(Input::Kind::Decimal, PackedText(canonicalOf(parts)));
        return Input(Input::Kind::Other);
      });
  }
}

// Inputs [from, to) of the column, its batches' inputs one after another.
void readInputs(const ColumnJob& job, std::size_t from, std::size_t to, Vec<Input>& inputs) {
  const bool numbers = job.column->masker->strategy().readsDecimals();
  inputs.clear();
  inputs.reserve(to - from);
  std::size_t start = 0;  // the view's first input among the column's
  for (const ColumnView* whole : job.views) {
    const ColumnView& view = source(*whole);
    const std::size_t viewStart = start;
    start += static_cast<std::size_t>(view.length);
    if (to <= viewStart || start <= from) continue;
    const auto first = static_cast<std::int64_t>(std::max(from, viewStart) - viewStart);
    const auto last = static_cast<std::int64_t>(std::min(to, start) - viewStart);
    appendInputs(*job.column, numbers, view, first, last, inputs);
  }
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
  // Every batch is checked before anything is masked.
  std::vector<std::vector<ColumnView>> views(batches.size());
  for (auto& batchViews : views) batchViews.resize(width);
  std::vector<std::int64_t> firstRow(batches.size());
  std::int64_t rows = 0;
  for (std::size_t b = 0; b < batches.size(); ++b) {
    const ArrowArray& batch = batches[b]->value;
    Problem p = checkBatch(batch, static_cast<std::int64_t>(width));
    // Rows are counted across the whole input: the count must stay in range.
    if (!p && batch.length > kMaxRows - rows) p = {Refusal::Malformed, "the batches hold more than 2^56 rows in all"};
    if (p) {
      error = refuse(nullptr, 0, p);
      return false;
    }
    firstRow[b] = rows;
    rows += batch.length;
    for (std::size_t j = 0; j < width; ++j) {
      const ArrowArray* child = batch.children[j];
      if (child == nullptr) {
        p = {Refusal::Malformed, "the column's array is missing"};
      } else if (columns[j].masker == nullptr) {
        p = checkShape(*child, *columns[j].field);
        if (!p && child->length < batch.offset + batch.length)
          p = {Refusal::Malformed, "the array holds fewer rows than its batch"};
      } else {
        p = viewColumn(*child, columns[j].type, batch.offset, batch.length, views[b][j]);
      }
      if (p) {
        error = refuse(&columns[j], j, p);
        return false;
      }
    }
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
  // task; maskInputs splits a column's distinct values again on the same pool,
  // so a long column is shared by the workers that run out of columns. The
  // inputs and answers of a column go as soon as it is written.
  parallelFor(currentPool(), jobs.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      // Read and masked in blocks of kBlock inputs: a block's inputs, its
      // de-duplication table and its strategy's passes stay in the core's
      // own caches, where a whole column's would not (at 200,000 values
      // every one of them was a load from memory). Not a masker with a
      // result cache: each later block would look every value up in the
      // cache, a load from memory of its own, where one table for the whole
      // column finds the repeats before the cache is consulted.
      const py::Masker& masker = *jobs[k].column->masker;
      const std::size_t total = inputCount(jobs[k]);
      const std::size_t block = masker.cache() != nullptr ? total : kBlock;
      MaskedValues masked;
      masked.at.reserve(total);
      masked.answers.reserve(total);
      Vec<Input> inputs;
      for (std::size_t from = 0; from < total; from += block) {
        readInputs(jobs[k], from, std::min(total, from + block), inputs);
        py::maskInputsInto(masker, inputs, total, masked);
      }
      Vec<Input>().swap(inputs);
      writeColumn(jobs[k], masked);
    }
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
