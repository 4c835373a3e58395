// maskChunk: every masked column of a chunk at once, with one release of the
// interpreter lock.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "shared/column_masking.h"
#include "shared/exports.h"
#include "shared/masker.h"
#include "pool.h"
#include "shared/sequence.h"

namespace zorva::py {
namespace {

// One column of the chunk: its Masker (held, so it outlives the unlocked
// part) or none for a column carried through.
struct Column {
  Ref masker;
  const Masker* native = nullptr;
  PyObject* decimalType = nullptr;  // borrowed from the call's reference
};

// A run of consecutive rows and, per column, their inputs and outputs (empty
// for a carried column). With a pool, a full block is masked on it while the
// next one is read, so reading the rows overlaps the masking; the last block
// is masked once the lock is released. Without one, the chunk is one block.
struct Block {
  std::size_t rows = 0;
  Vec<Vec<Input>> inputs;
  Vec<MaskedValues> outputs;
  Vec<std::exception_ptr> failures;  // per column, each written by one piece
  // Last, so that it is joined before the inputs and outputs go.
  std::optional<BackgroundFor> masking;

  explicit Block(std::size_t width) : inputs(width), outputs(width), failures(width) {}
  // The masking of every masked column, pieces of columns for the pool.
  auto maskBody(const Vec<Column>& columns, std::size_t chunkRows) {
    return [this, &columns, chunkRows](std::size_t begin, std::size_t end) {
      for (std::size_t j = begin; j < end; ++j) {
        if (columns[j].native == nullptr) continue;
        try {
          outputs[j] = maskInputs(*columns[j].native, inputs[j], chunkRows);
        } catch (...) {
          failures[j] = std::current_exception();
        }
      }
    };
  }
  void rethrowFailure() const {
    for (const std::exception_ptr& failure : failures)
      if (failure) std::rethrow_exception(failure);
  }
};

// Rows per block: enough that a block's maps and pool hand-off cost little
// beside its masking, few enough that about eight blocks overlap the reading.
constexpr std::size_t kMinBlockRows = 1024;

struct Blocks {
  const Vec<Column>& columns;
  std::shared_ptr<Pool> pool;  // taken once per call
  std::size_t blockRows = SIZE_MAX;
  std::size_t expectedRows = 0;  // the length hint of the rows
  Vec<std::unique_ptr<Block>> list{};

  Block& current() {
    if (list.empty() || list.back()->rows == blockRows) {
      // The block before is full: it goes to the pool while this one fills.
      if (!list.empty() && pool) {
        Block& full = *list.back();
        full.masking.emplace(pool, columns.size(), full.maskBody(columns, expectedRows));
      }
      list.push_back(std::make_unique<Block>(columns.size()));
      Block& fresh = *list.back();
      for (std::size_t j = 0; j < columns.size(); ++j)
        if (columns[j].native != nullptr) fresh.inputs[j].reserve(std::min(blockRows, expectedRows));
    }
    return *list.back();
  }
};

bool failMaskers() {
  addParameterNote("maskers");
  return false;
}

bool readMaskers(PyObject* maskers, Vec<Column>& columns) {
  if (PyUnicode_Check(maskers)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return failMaskers();
  }
  if (!PySequence_Check(maskers)) {
    raiseNotSequence(maskers);
    return failMaskers();
  }
  columns.reserve(lengthHint(maskers));
  const bool read = readItems(maskers, ByIndex::Never, [&](PyObject* item) {
    Column& column = columns.emplace_back();
    if (item == Py_None) return true;
    if (!isMasker(item)) {
      raiseNotInstance(item, "Masker");
      return false;
    }
    column.native = &maskerOf(item);
    column.masker = Ref::borrow(item);
    return true;
  });
  return read || failMaskers();
}

bool raiseWidth(std::size_t width, Py_ssize_t cells) {
  std::string message =
      "the policy covers " + std::to_string(width) + " column(s) and a row has " + std::to_string(cells);
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

// Keeps the row as a tuple and converts the cells of the masked columns.
bool readRow(PyObject* row, Blocks& blocks, Vec<Ref>& kept) {
  const Vec<Column>& columns = blocks.columns;
  Ref tuple = PyTuple_Check(row) ? Ref::borrow(row) : Ref::steal(PySequence_Tuple(row));
  if (!tuple) return false;
  const Py_ssize_t cells = PyTuple_Size(tuple.get());
  if (cells < 0) return false;
  if (static_cast<std::size_t>(cells) != columns.size()) return raiseWidth(columns.size(), cells);
  Block& block = blocks.current();
  for (std::size_t j = 0; j < columns.size(); ++j) {
    const Column& column = columns[j];
    if (column.native == nullptr) continue;
    // The kept tuple holds the cell for the whole call, and a tuple's items
    // never change: a str cell's UTF-8 buffer can be viewed rather than copied.
    PyObject* cell = PyTuple_GetItem(tuple.get(), static_cast<Py_ssize_t>(j));
    if (cell == nullptr) return false;
    Vec<Input>& inputs = block.inputs[j];
    inputs.emplace_back();
    if (!convert(cell, column.decimalType, inputs.back(), true)) return false;
  }
  ++block.rows;
  kept.push_back(std::move(tuple));
  return true;
}

// How far ahead of its turn a row is fetched: its tuple twice this many
// rows ahead, its cells this many. Each cell is an object of its own, and
// reading or building a row otherwise waits on each of them in turn. Only
// fetched, never read: by their turn, a cell's repr() may have dropped them.
constexpr std::size_t kRowsAhead = 4;

void prefetchRow(const PyObject* row) noexcept {
  const auto* bytes = reinterpret_cast<const char*>(row);
  __builtin_prefetch(bytes);
  __builtin_prefetch(bytes + 64);
  __builtin_prefetch(bytes + 128);
}

// Fetches the given cells of a row of the right width, with a str's text,
// which follows its header; for writing (Write = 1) where their reference
// counts are to change.
template <int Write>
void prefetchCells(PyObject* row, const Vec<std::size_t>& which) noexcept {
  for (std::size_t j : which) {
    const auto* cell = reinterpret_cast<const char*>(PyTuple_GetItem(row, static_cast<Py_ssize_t>(j)));
    __builtin_prefetch(cell, Write);
    __builtin_prefetch(cell + 64);
  }
}

// The reading's fetches, before row i of size rows is read: row i + 2
// kRowsAhead's tuple, and row i + kRowsAhead's masked cells when it is a
// tuple of the policy's width (any other row is converted, or refused, in
// its turn).
template <class RowAt>
void prefetchAhead(Py_ssize_t i, Py_ssize_t size, const RowAt& rowAt, std::size_t width,
                   const Vec<std::size_t>& masked) noexcept {
  const auto ahead = static_cast<Py_ssize_t>(kRowsAhead);
  if (i + 2 * ahead < size) prefetchRow(rowAt(i + 2 * ahead));
  if (i + ahead >= size) return;
  PyObject* near = rowAt(i + ahead);
  if (PyTuple_Check(near) && PyTuple_Size(near) == static_cast<Py_ssize_t>(width)) prefetchCells<0>(near, masked);
}

bool readRows(PyObject* rows, Blocks& blocks, Vec<Ref>& kept) {
  std::size_t reserve = lengthHint(rows);
  if (PyList_Check(rows)) reserve = static_cast<std::size_t>(PyList_Size(rows));
  kept.reserve(reserve);
  blocks.expectedRows = reserve;
  blocks.blockRows = blocks.pool ? std::max(kMinBlockRows, (reserve + 7) / 8) : SIZE_MAX;

  // The masked columns, whose cells a list's rows ahead have fetched.
  Vec<std::size_t> masked;
  if (PyList_Check(rows)) {
    for (std::size_t j = 0; j < blocks.columns.size(); ++j)
      if (blocks.columns[j].native != nullptr) masked.push_back(j);
  }
  // A list by index (a cell's repr() may shrink it while it is read),
  // anything else, a tuple too, through iter().
  return readItems(
      rows, ByIndex::Lists, [&](PyObject* row) { return readRow(row, blocks, kept); },
      [&](Py_ssize_t i, Py_ssize_t size, const auto& rowAt) noexcept {
        prefetchAhead(i, size, rowAt, blocks.columns.size(), masked);
      });
}

// Masks what is left (the last block, or the whole chunk without a pool),
// joins the blocks on the pool and frees the inputs. Runs without the
// interpreter lock.
void finishMasking(Blocks& blocks) {
  for (auto& block : blocks.list) {
    if (!block->masking)
      block->masking.emplace(blocks.pool, blocks.columns.size(), block->maskBody(blocks.columns, blocks.expectedRows));
    block->masking->wait();
    block->rethrowFailure();
    for (Vec<Input>& inputs : block->inputs) Vec<Input>().swap(inputs);
  }
}

// A cell whose value is left to the caller, found while its block is built.
struct ProblemAt {
  std::size_t row;
  std::size_t column;
  const Output* output;
};

// (column, row, marker) appended to problems.
bool addProblem(PyObject* problems, std::size_t column, std::size_t row, const Output& output) {
  Ref j = Ref::steal(PyLong_FromSize_t(column));
  Ref r = Ref::steal(PyLong_FromSize_t(row));
  Ref marker = Ref::steal(problemMarker(output));
  if (!j || !r || !marker) return false;
  Ref entry = Ref::steal(PyTuple_Pack(3, j.get(), r.get(), marker.get()));
  return entry && PyList_Append(problems, entry.get()) == 0;
}

// One block's masked cells as Python objects, made column by column: each
// column's outputs are read in the order they lie in memory, rather than one
// cell of every column per row, whose loads from a chunk's many megabytes of
// outputs the row-by-row walk waited on. Holds its references until a row
// takes them; drops the rest if the build fails.
class BlockObjects {
 public:
  BlockObjects(const Vec<Column>& columns, const Block& block) : columns_(columns), block_(block) {
    cells_.resize(columns.size());
  }
  ~BlockObjects() {
    for (Vec<PyObject*>& cells : cells_)
      for (PyObject* cell : cells) Py_XDECREF(cell);
  }
  BlockObjects(const BlockObjects&) = delete;
  BlockObjects& operator=(const BlockObjects&) = delete;

  // Makes every masked column's objects and notes each problem cell, the
  // block starting at row firstRow of the chunk. False with an exception set.
  bool make(std::size_t firstRow, Vec<ProblemAt>& problems) {
    for (std::size_t j = 0; j < columns_.size(); ++j) {
      if (columns_[j].native == nullptr) continue;
      const MaskedValues& outputs = block_.outputs[j];
      if (outputs.size() != block_.rows) {
        raisePanic("one output per input");
        return false;
      }
      AnswerObjects objects(outputs, columns_[j].decimalType);
      Vec<PyObject*>& cells = cells_[j];
      cells.assign(block_.rows, nullptr);
      for (std::size_t p = 0; p < block_.rows; ++p) {
        const Output& output = outputs[p];
        if (output.isProblem()) problems.push_back(ProblemAt{firstRow + p, j, &output});
        cells[p] = objects.take(p);
        if (cells[p] == nullptr) return false;
        collectable_ = collectable_ || isCollectable(cells[p]);
      }
    }
    return true;
  }

  // The new reference of column j's cell in row p, once.
  PyObject* take(std::size_t j, std::size_t p) noexcept { return std::exchange(cells_[j][p], nullptr); }
  // Whether any masked cell is an object the garbage collector tracks.
  bool collectable() const noexcept { return collectable_; }

 private:
  static bool isCollectable(PyObject* object) noexcept {
    return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_HAVE_GC) != 0;
  }
  const Vec<Column>& columns_;
  const Block& block_;
  Vec<Vec<PyObject*>> cells_;
  bool collectable_ = false;
};

// Builds the rows of blocks' outputs, the unmasked cells from kept, and
// appends them to rows from firstRow; false with an exception set.
bool buildBlock(const Vec<Column>& columns, const Block& block, const Vec<Ref>& kept, std::size_t firstRow,
                PyObject* rows, Vec<ProblemAt>& problems) {
  BlockObjects objects(columns, block);
  if (!objects.make(firstRow, problems)) return false;
  const std::size_t width = columns.size();
  // A carried cell was never read, and its row was read long ago: each one
  // would be a load from memory at its reference count's increment. So the
  // rows ahead and their carried cells are fetched, as the reading does.
  Vec<std::size_t> carried;
  for (std::size_t j = 0; j < width; ++j)
    if (columns[j].native == nullptr) carried.push_back(j);
  const std::size_t end = std::min(kept.size(), firstRow + block.rows);
  for (std::size_t p = 0; p < block.rows; ++p) {
    const std::size_t r = firstRow + p;
    if (r >= kept.size()) {
      raisePanic("one output per input");
      return false;
    }
    if (!carried.empty()) {
      if (r + 2 * kRowsAhead < end) prefetchRow(kept[r + 2 * kRowsAhead].get());
      if (r + kRowsAhead < end) prefetchCells<1>(kept[r + kRowsAhead].get(), carried);
    }
    Ref row = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(width)));
    if (!row) return false;
    bool cyclesPossible = objects.collectable();
    for (std::size_t j = 0; j < width; ++j) {
      PyObject* cell;
      if (columns[j].native != nullptr) {
        cell = objects.take(j, p);
      } else {
        // The very object the caller passed.
        cell = PyTuple_GetItem(kept[r].get(), static_cast<Py_ssize_t>(j));
        if (cell == nullptr) return false;
        Py_INCREF(cell);
        cyclesPossible = cyclesPossible || (PyType_GetFlags(Py_TYPE(cell)) & Py_TPFLAGS_HAVE_GC) != 0;
      }
      PyTuple_SetItem(row.get(), static_cast<Py_ssize_t>(j), cell);
    }
    // A tuple of strs, numbers and None can never be part of a cycle, and the
    // collector would untrack it itself, but only after scanning it: a chunk
    // of 10,000 rows otherwise triggers a dozen young collections, and their
    // scans of the rows made so far cost as much as some columns' masking.
    if (!cyclesPossible) PyObject_GC_UnTrack(row.get());
    PyList_SetItem(rows, static_cast<Py_ssize_t>(r), row.release());
  }
  return true;
}

PyObject* buildResult(const Blocks& blocks, const Vec<Ref>& kept) {
  Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(kept.size())));
  Ref problems = Ref::steal(PyList_New(0));
  if (!rows || !problems) return nullptr;
  Vec<ProblemAt> found;
  std::size_t firstRow = 0;
  for (const auto& block : blocks.list) {
    if (!buildBlock(blocks.columns, *block, kept, firstRow, rows.get(), found)) return nullptr;
    firstRow += block->rows;
  }
  if (firstRow != kept.size()) {
    raisePanic("one output per input");
    return nullptr;
  }
  // Found column by column within each block: listed in row order, each
  // row's in column order.
  std::sort(found.begin(), found.end(), [](const ProblemAt& a, const ProblemAt& b) {
    return a.row != b.row ? a.row < b.row : a.column < b.column;
  });
  for (const ProblemAt& problem : found)
    if (!addProblem(problems.get(), problem.column, problem.row, *problem.output)) return nullptr;
  return PyTuple_Pack(2, rows.get(), problems.get());
}

// Hands the outputs to a thread of their own, which frees them without the
// interpreter lock. False with a PanicException set if it cannot start.
bool freeInBackground(Blocks& blocks) {
  Vec<MaskedValues> outputs;
  for (auto& block : blocks.list)
    for (MaskedValues& column : block->outputs)
      if (column.size() != 0) outputs.push_back(std::move(column));
  if (outputs.empty()) return true;  // nothing to free
  try {
    std::thread([owned = std::move(outputs)]() mutable { Vec<MaskedValues>().swap(owned); }).detach();
  } catch (const std::system_error& e) {
    raisePanic(std::string("failed to spawn thread: ") + e.what());
    return false;
  }
  return true;
}

PyObject* maskChunk(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Ref bound[2];
    if (!bindArguments("maskChunk()", {"maskers", "rows"}, args, kwargs, bound)) return nullptr;
    Vec<Column> columns;
    if (!readMaskers(bound[0].get(), columns)) return nullptr;
    Ref decimalType = Ref::steal(importDecimalType());
    if (!decimalType) return nullptr;
    for (Column& column : columns)
      if (column.native != nullptr && column.native->strategy().readsDecimals()) column.decimalType = decimalType.get();

    // Declared first: the inputs in the blocks view the strs these hold.
    Vec<Ref> kept;
    Blocks blocks{columns, currentPool()};
    if (!readRows(bound[1].get(), blocks, kept)) return nullptr;

    {
      ReleasedLock unlocked;
      finishMasking(blocks);
    }

    Ref result = Ref::steal(buildResult(blocks, kept));
    if (!result) return nullptr;
    if (!freeInBackground(blocks)) return nullptr;
    return result.release();
  });
}

}  // namespace

PyMethodDef kMaskChunkDef = {"maskChunk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(maskChunk)),
                             METH_VARARGS | METH_KEYWORDS,
                             "maskChunk(maskers, rows)\n--\n\n"
                             "Masks a chunk. rows is a sequence of rows and maskers has one entry per\n"
                             "column, None for a column carried through unchanged. Returns (rows, problems):\n"
                             "the rows as tuples, and problems a list of (column, row, FALLBACK or\n"
                             "(REFUSED, message)) in row order, each such position None in rows; the caller\n"
                             "finishes them column by column, each column in row order.\n\n"
                             "The interpreter lock is held to read the rows and to build the result and\n"
                             "released once between, while every masked column is masked at once across the\n"
                             "pool. Native allocations are freed without the lock (the inputs once masked, the\n"
                             "outputs on a thread of their own once turned into Python objects), because\n"
                             "freeing tens of millions of strings per job otherwise costs about a quarter of\n"
                             "the time the lock is held."};

}  // namespace zorva::py
