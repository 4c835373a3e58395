// Masked batches as Arrow data: the engine's own buffers, and the columns
// carried through as the producer's very buffers, handed out through the C
// Data and C Stream interfaces. No Python in here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/alloc.h"
#include "arrow/c_data/c_data.h"

namespace zorva::arrow {

// A producer's structure moved into the engine; released once, when the
// last output that carries one of its columns goes.
template <class T>
struct Foreign {
  T value{};
  Foreign() = default;
  Foreign(const Foreign&) = delete;
  Foreign& operator=(const Foreign&) = delete;
  ~Foreign() {
    if (value.release != nullptr) value.release(&value);
  }
};
using ForeignArray = Foreign<ArrowArray>;
using ForeignSchema = Foreign<ArrowSchema>;

// A 64-byte aligned, zero-padded buffer of the engine's.
class Buffer {
 public:
  // A buffer that its writer fills whole: only its padding is cleared.
  enum Fill : bool { kZeroed = true, kUninitialized = false };
  Buffer() = default;
  // bytes zeroed (up to the next multiple of 64), or left to the writer.
  explicit Buffer(std::size_t bytes, Fill fill = kZeroed);
  std::uint8_t* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  // Room for at least bytes, the first keep bytes kept and the rest left to
  // the writer, who then sets the size with trim.
  void reallocate(std::size_t bytes, std::size_t keep);
  // Sets the size to bytes (at most the capacity) and clears the padding
  // after them up to the next multiple of 64.
  void trim(std::size_t bytes) noexcept;

 private:
  struct Free {
    void operator()(std::uint8_t* p) const noexcept { memFree(p); }
  };
  std::unique_ptr<std::uint8_t, Free> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// One array: built here (buffers, and a dictionary for a dictionary column)
// or carried through (a column of a producer's batch, sliced to the batch).
struct OutArray {
  std::int64_t length = 0;
  std::int64_t nullCount = 0;
  std::vector<Buffer> buffers;  // an empty Buffer exports as null
  std::unique_ptr<OutArray> dictionary;
  const ArrowArray* foreign = nullptr;  // carried: the producer's column
  std::shared_ptr<ForeignArray> keep;   // ... and the batch that owns it
  std::int64_t sliceOffset = 0;         // ... and the batch's own offset
};

struct OutField {
  std::string name;
  std::string format;
  std::int64_t flags = ARROW_FLAG_NULLABLE;
  std::string dictionaryFormat;          // a dictionary column's value format
  const ArrowSchema* foreign = nullptr;  // carried: the producer's field
  std::shared_ptr<ForeignSchema> keep;
};

struct OutBatch {
  std::int64_t length = 0;
  std::vector<OutArray> columns;
};

struct OutTable {
  std::vector<OutField> fields;
  std::vector<OutBatch> batches;
};

// Each export is independent: a consumer may take a table's schema, stream or
// batches any number of times, and each structure (and each child it moves
// out) releases on its own, the table living while any of them does.
void exportSchema(const std::shared_ptr<const OutTable>& table, ArrowSchema* out);
void exportBatch(const std::shared_ptr<const OutTable>& table, std::size_t batch, ArrowArray* out);
void exportStream(const std::shared_ptr<const OutTable>& table, ArrowArrayStream* out);

}  // namespace zorva::arrow
