// The release callbacks and structure copies of exported Arrow data.
#include "arrow/c_data/exported.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "arrow/c_data/imported.h"

namespace zorva::arrow {

namespace {

std::size_t roundedUp(std::size_t bytes) noexcept { return bytes == 0 ? 64 : (bytes + 63) / 64 * 64; }

}  // namespace

Buffer::Buffer(std::size_t bytes, Fill fill) : size_(bytes), capacity_(roundedUp(bytes)) {
  // The engine's allocator keeps freed memory for the next call: a
  // column's buffers are megabytes, which the C runtime would map afresh for
  // each call and the kernel clear page by page at their first touch.
  auto* p = static_cast<std::uint8_t*>(memAllocAligned(capacity_, 64));
  // The padding is cleared either way: no byte of an exported buffer is
  // left as the allocator found it.
  if (fill == kZeroed)
    std::memset(p, 0, capacity_);
  else
    std::memset(p + bytes, 0, capacity_ - bytes);
  data_.reset(p);
}

void Buffer::reallocate(std::size_t bytes, std::size_t keep) {
  const std::size_t capacity = roundedUp(bytes);
  auto* p = static_cast<std::uint8_t*>(memAllocAligned(capacity, 64));
  if (keep > 0) std::memcpy(p, data_.get(), keep);
  data_.reset(p);
  capacity_ = capacity;
}

void Buffer::trim(std::size_t bytes) noexcept {
  size_ = bytes;
  std::memset(data_.get() + bytes, 0, std::min(capacity_, roundedUp(bytes)) - bytes);
}

namespace {

using Keep = std::shared_ptr<const void>;

struct SchemaHolder {
  Keep keep;
  std::string format, name, metadata;
  std::vector<ArrowSchema*> children;
  ArrowSchema* dictionary = nullptr;
};

struct ArrayHolder {
  Keep keep;
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
  ArrowArray* dictionary = nullptr;
};

template <class T>
void releaseChild(T* child) {
  if (child == nullptr) return;
  // A consumer may have moved the child out (and marked it released).
  if (child->release != nullptr) child->release(child);
  delete child;
}

void releaseSchema(ArrowSchema* schema) {
  auto* holder = static_cast<SchemaHolder*>(schema->private_data);
  for (ArrowSchema* child : holder->children) releaseChild(child);
  releaseChild(holder->dictionary);
  delete holder;
  schema->release = nullptr;
}

void releaseArray(ArrowArray* array) {
  auto* holder = static_cast<ArrayHolder*>(array->private_data);
  for (ArrowArray* child : holder->children) releaseChild(child);
  releaseChild(holder->dictionary);
  delete holder;
  array->release = nullptr;
}

// Fills out from a holder whose strings are set; children are made later.
void finishSchema(std::unique_ptr<SchemaHolder> holder, std::int64_t flags, ArrowSchema* out) {
  out->format = holder->format.c_str();
  out->name = holder->name.c_str();
  out->metadata = holder->metadata.empty() ? nullptr : holder->metadata.data();
  out->flags = flags;
  out->n_children = static_cast<std::int64_t>(holder->children.size());
  out->children = holder->children.empty() ? nullptr : holder->children.data();
  out->dictionary = holder->dictionary;
  out->release = &releaseSchema;
  out->private_data = holder.release();
}

template <class T>
T* newReleased() {
  T* p = new T{};
  p->release = nullptr;
  return p;
}

// A copy of a producer's field (checked by checkShape beforehand).
void copySchema(const ArrowSchema& source, const Keep& keep, ArrowSchema* out) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->keep = keep;
  holder->format = source.format;
  if (source.name != nullptr) holder->name = source.name;
  if (source.metadata != nullptr) holder->metadata.assign(source.metadata, metadataSize(source.metadata));
  holder->children.reserve(static_cast<std::size_t>(source.n_children));
  try {
    for (std::int64_t k = 0; k < source.n_children; ++k) {
      holder->children.push_back(newReleased<ArrowSchema>());
      copySchema(*source.children[k], keep, holder->children.back());
    }
    if (source.dictionary != nullptr) {
      holder->dictionary = newReleased<ArrowSchema>();
      copySchema(*source.dictionary, keep, holder->dictionary);
    }
  } catch (...) {
    for (ArrowSchema* child : holder->children) releaseChild(child);
    releaseChild(holder->dictionary);
    throw;
  }
  finishSchema(std::move(holder), source.flags, out);
}

void fieldSchema(const OutField& field, ArrowSchema* out) {
  if (field.foreign != nullptr) {
    copySchema(*field.foreign, field.keep, out);
    return;
  }
  auto holder = std::make_unique<SchemaHolder>();
  holder->format = field.format;
  holder->name = field.name;
  if (!field.dictionaryFormat.empty()) {
    auto value = std::make_unique<SchemaHolder>();
    value->format = field.dictionaryFormat;
    holder->dictionary = newReleased<ArrowSchema>();
    finishSchema(std::move(value), ARROW_FLAG_NULLABLE, holder->dictionary);
  }
  finishSchema(std::move(holder), field.flags, out);
}

void finishArray(std::unique_ptr<ArrayHolder> holder, std::int64_t length, std::int64_t nullCount, std::int64_t offset,
                 ArrowArray* out) {
  out->length = length;
  out->null_count = nullCount;
  out->offset = offset;
  out->n_buffers = static_cast<std::int64_t>(holder->buffers.size());
  out->n_children = static_cast<std::int64_t>(holder->children.size());
  out->buffers = holder->buffers.empty() ? nullptr : holder->buffers.data();
  out->children = holder->children.empty() ? nullptr : holder->children.data();
  out->dictionary = holder->dictionary;
  out->release = &releaseArray;
  out->private_data = holder.release();
}

// A shell over a producer's array: its buffers, never copied.
void copyArray(const ArrowArray& source, const Keep& keep, ArrowArray* out, std::int64_t offset, std::int64_t length,
               std::int64_t nullCount) {
  auto holder = std::make_unique<ArrayHolder>();
  holder->keep = keep;
  holder->buffers.assign(source.buffers, source.buffers + source.n_buffers);
  try {
    for (std::int64_t k = 0; k < source.n_children; ++k) {
      const ArrowArray& child = *source.children[k];
      holder->children.push_back(newReleased<ArrowArray>());
      copyArray(child, keep, holder->children.back(), child.offset, child.length, child.null_count);
    }
    if (source.dictionary != nullptr) {
      const ArrowArray& d = *source.dictionary;
      holder->dictionary = newReleased<ArrowArray>();
      copyArray(d, keep, holder->dictionary, d.offset, d.length, d.null_count);
    }
  } catch (...) {
    for (ArrowArray* child : holder->children) releaseChild(child);
    releaseChild(holder->dictionary);
    throw;
  }
  finishArray(std::move(holder), length, nullCount, offset, out);
}

void columnArray(const OutArray& column, const Keep& table, std::int64_t rows, ArrowArray* out) {
  if (column.foreign != nullptr) {
    const ArrowArray& source = *column.foreign;
    // The batch's offset moves into the column; its null count then no
    // longer describes the slice.
    const bool whole = column.sliceOffset == 0 && rows == source.length;
    copyArray(source, column.keep, out, source.offset + column.sliceOffset, rows, whole ? source.null_count : -1);
    return;
  }
  auto holder = std::make_unique<ArrayHolder>();
  holder->keep = table;
  for (const Buffer& buffer : column.buffers) holder->buffers.push_back(buffer.size() == 0 ? nullptr : buffer.data());
  if (column.dictionary) {
    holder->dictionary = newReleased<ArrowArray>();
    columnArray(*column.dictionary, table, column.dictionary->length, holder->dictionary);
  }
  finishArray(std::move(holder), column.length, column.nullCount, 0, out);
}

struct StreamHolder {
  std::shared_ptr<const OutTable> table;
  std::size_t next = 0;
};

int streamSchema(ArrowArrayStream* stream, ArrowSchema* out) {
  try {
    exportSchema(static_cast<StreamHolder*>(stream->private_data)->table, out);
    return 0;
  } catch (...) {
    return ENOMEM;
  }
}

int streamNext(ArrowArrayStream* stream, ArrowArray* out) {
  auto* holder = static_cast<StreamHolder*>(stream->private_data);
  if (holder->next == holder->table->batches.size()) {
    std::memset(out, 0, sizeof *out);
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    exportBatch(holder->table, holder->next, out);
    ++holder->next;
    return 0;
  } catch (...) {
    return ENOMEM;
  }
}

const char* streamError(ArrowArrayStream*) { return "out of memory"; }

void streamRelease(ArrowArrayStream* stream) {
  delete static_cast<StreamHolder*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void exportSchema(const std::shared_ptr<const OutTable>& table, ArrowSchema* out) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->format = "+s";
  holder->keep = table;
  holder->children.reserve(table->fields.size());
  try {
    for (const OutField& field : table->fields) {
      holder->children.push_back(newReleased<ArrowSchema>());
      fieldSchema(field, holder->children.back());
    }
  } catch (...) {
    for (ArrowSchema* child : holder->children) releaseChild(child);
    throw;
  }
  finishSchema(std::move(holder), 0, out);
}

void exportBatch(const std::shared_ptr<const OutTable>& table, std::size_t index, ArrowArray* out) {
  const OutBatch& batch = table->batches[index];
  auto holder = std::make_unique<ArrayHolder>();
  holder->keep = table;
  holder->buffers.push_back(nullptr);  // a batch's rows are never null
  holder->children.reserve(batch.columns.size());
  try {
    for (const OutArray& column : batch.columns) {
      holder->children.push_back(newReleased<ArrowArray>());
      columnArray(column, table, batch.length, holder->children.back());
    }
  } catch (...) {
    for (ArrowArray* child : holder->children) releaseChild(child);
    throw;
  }
  finishArray(std::move(holder), batch.length, 0, 0, out);
}

void exportStream(const std::shared_ptr<const OutTable>& table, ArrowArrayStream* out) {
  out->get_schema = &streamSchema;
  out->get_next = &streamNext;
  out->get_last_error = &streamError;
  out->release = &streamRelease;
  out->private_data = new StreamHolder{table, 0};
}

}  // namespace zorva::arrow
