// Reading Arrow columns as inputs: row by row, or each distinct value once.
#include "arrow/reading.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "arrow/c_data/decimal_texts.h"
#include "shared/masker.h"
#include "shared/result_cache.h"
#include "shared/seen_table.h"

namespace zorva::arrow {
namespace {

using py::Input;
using py::PackedText;

bool readsNumbers(const ColumnJob& job) { return job.column->masker->strategy().readsDecimals(); }

// Calls use(make) with the function that makes a valid row's input of view
// as the row door reads the same cell: chosen once per view, so that a loop
// over its rows does the value's own work only.
template <class Use>
decltype(auto) withMaker(const InColumn& column, bool numbers, const ColumnView& view, Use&& use) {
  switch (view.type.kind) {
    case TypeKind::Null:
    case TypeKind::Bool:
      return use(
          [&view](std::int64_t) { return view.type.kind == TypeKind::Bool ? Input(Input::Kind::Bool) : Input(); });
    case TypeKind::Int:
      return use([&view](std::int64_t r) { return Input::ofInt(BigInt::fromI64(view.signedInt(r))); });
    case TypeKind::UInt:
      return use([&view](std::int64_t r) { return Input::ofInt(BigInt::fromU64(view.unsignedInt(r))); });
    case TypeKind::Float32:
    case TypeKind::Float64:
      // The repr as the exact float type's: left for the strategy to write.
      return use([&view, numbers](std::int64_t r) {
        return numbers ? Input::ofText(Input::Kind::Float, PackedText(), view.real(r)) : Input(Input::Kind::Other);
      });
    case TypeKind::Decimal:
      // The str() of the Decimal, written without an allocation where it is
      // short.
      return use([&view, numbers](std::int64_t r) {
        if (!numbers) return Input(Input::Kind::Other);
        char text[kShortDecimalText];
        const std::uint8_t* bytes = view.decimalBytes(r);
        const std::size_t size = shortDecimalValueText(bytes, view.type.width, view.type.scale, text);
        if (size != 0) return Input::ofText(Input::Kind::Decimal, PackedText(std::string_view(text, size)));
        return Input::ofText(Input::Kind::Decimal,
                             PackedText(decimalValueString(bytes, view.type.width, view.type.scale)));
      });
    default:
      if (column.decimalTexts) {
        // Read as decimal.Decimal(text) reads it.
        return use([&view, numbers](std::int64_t r) {
          DecimalParts parts;
          if (numbers && parseDecimal(view.textAt(r), parts))
            return Input::ofText(Input::Kind::Decimal, PackedText(canonicalOf(parts)));
          return Input(Input::Kind::Other);
        });
      }
      // The batch outlives the inputs: its text is viewed, not copied.
      return use(
          [&view](std::int64_t r) { return Input::ofText(Input::Kind::Str, PackedText::borrowed(view.textAt(r))); });
  }
}

// Row r of view as the input the row door reads for the same cell.
Input inputAt(const InColumn& column, bool numbers, const ColumnView& view, std::int64_t r) {
  if (view.type.kind == TypeKind::Null || !view.valid(r)) return Input();
  return withMaker(column, numbers, view, [r](auto&& make) { return make(r); });
}

// Calls each(view, first, last) with the rows [first, last) of every view
// that fall in the column's rows [from, to).
template <class Each>
void forRange(const ColumnJob& job, std::size_t from, std::size_t to, Each&& each) {
  std::size_t start = 0;  // the view's first row among the column's
  for (const ColumnView* whole : job.views) {
    const ColumnView& view = source(*whole);
    const std::size_t viewStart = start;
    start += static_cast<std::size_t>(view.length);
    if (to <= viewStart || start <= from) continue;
    each(view, static_cast<std::int64_t>(std::max(from, viewStart) - viewStart),
         static_cast<std::int64_t>(std::min(to, start) - viewStart));
  }
}

bool isText(TypeKind kind) {
  return kind == TypeKind::Utf8 || kind == TypeKind::LargeUtf8 || kind == TypeKind::Utf8View;
}

// A row's value as the bytes it is stored in: its text, or its width bytes.
std::string_view keyAt(const ColumnView& view, std::int64_t r, std::size_t width) noexcept {
  if (width == 0) return view.textAt(r);
  return {static_cast<const char*>(view.values) + (view.first + r) * static_cast<std::int64_t>(width), width};
}

// Whether two keys hold the same bytes: those of 4 to 16 bytes, most of
// them, in two overlapping word compares rather than a library call.
bool sameBytes(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  if (n >= 8 && n <= 16) {
    std::uint64_t w[4];
    std::memcpy(&w[0], p, 8);
    std::memcpy(&w[1], q, 8);
    std::memcpy(&w[2], p + n - 8, 8);
    std::memcpy(&w[3], q + n - 8, 8);
    return ((w[0] ^ w[1]) | (w[2] ^ w[3])) == 0;
  }
  if (n >= 4 && n < 8) {
    std::uint32_t w[4];
    std::memcpy(&w[0], p, 4);
    std::memcpy(&w[1], q, 4);
    std::memcpy(&w[2], p + n - 4, 4);
    std::memcpy(&w[3], q + n - 4, 4);
    return ((w[0] ^ w[1]) | (w[2] ^ w[3])) == 0;
  }
  return n == 0 || std::memcmp(p, q, n) == 0;
}

}  // namespace

std::size_t inputCount(const ColumnJob& job) {
  std::size_t total = 0;
  for (const ColumnView* view : job.views) total += static_cast<std::size_t>(source(*view).length);
  return total;
}

void readInputs(const ColumnJob& job, std::size_t from, std::size_t to, Vec<Input>& inputs) {
  const bool numbers = readsNumbers(job);
  inputs.clear();
  inputs.reserve(to - from);
  forRange(job, from, to, [&](const ColumnView& view, std::int64_t first, std::int64_t last) {
    withMaker(*job.column, numbers, view, [&](auto&& make) {
      for (std::int64_t r = first; r < last; ++r) {
        if (view.type.kind != TypeKind::Null && view.valid(r))
          inputs.push_back(make(r));
        else
          inputs.emplace_back();
      }
    });
  });
}

bool readsDistinct(const ColumnJob& job) {
  switch (job.column->type.kind) {
    case TypeKind::Int:
    case TypeKind::UInt:
    case TypeKind::Utf8:
    case TypeKind::LargeUtf8:
    case TypeKind::Utf8View: return true;
    // Read as the number strategy's numbers; for any other strategy they
    // have no key, and each is answered on its own.
    case TypeKind::Float32:
    case TypeKind::Float64:
    case TypeKind::Decimal: return readsNumbers(job);
    default: return false;
  }
}

namespace {

// Groups rows [from, to) of a column that readsDistinct by their stored
// bytes: add(view, row) for the first row of each group (the null rows are
// one group, add's row then null), then each row's group number to
// grouped. Returns the number of groups.
template <class Add, class Grouped>
std::size_t groupRows(const ColumnJob& job, std::size_t from, std::size_t to, Add&& add, Grouped&& grouped) {
  const ColumnType& type = job.column->type;
  const std::size_t width = isText(type.kind)                ? 0
                            : type.kind == TypeKind::Float32 ? 4
                            : type.kind == TypeKind::Float64 ? 8
                                                             : static_cast<std::size_t>(type.width);
  const py::KeyHash hasher;  // a seed of its own: no input can pick the rows' slots
  py::SeenTable table(to - from);
  // keys[k] is group k's stored bytes (empty for the null rows' group,
  // which is never looked up).
  Vec<std::string_view> keys;
  keys.reserve(to - from);
  std::size_t nulls = SIZE_MAX;
  forRange(job, from, to, [&](const ColumnView& view, std::int64_t first, std::int64_t last) {
    // A chunk of rows at a time: their hashes first, their slots fetched,
    // then their lookups.
    constexpr std::int64_t kChunk = 16;
    std::string_view chunk[kChunk];
    std::uint64_t hashes[kChunk];
    bool valid[kChunk];
    for (std::int64_t start = first; start < last; start += kChunk) {
      const auto count = static_cast<int>(std::min(kChunk, last - start));
      for (int i = 0; i < count; ++i) {
        valid[i] = view.valid(start + i);
        if (!valid[i]) continue;
        chunk[i] = keyAt(view, start + i, width);
        hashes[i] = py::mix(py::hashText(chunk[i], hasher.seed));
        table.prefetch(hashes[i]);
      }
      for (int i = 0; i < count; ++i) {
        std::size_t k;
        if (!valid[i]) {
          if (nulls == SIZE_MAX) {
            nulls = keys.size();
            keys.emplace_back();
            add(view, start + i);
          }
          k = nulls;
        } else {
          k = table.findOrAdd(hashes[i], keys.size(), [&](std::size_t q) { return sameBytes(keys[q], chunk[i]); });
          if (k == py::SeenTable::kNew) {
            k = keys.size();
            keys.push_back(chunk[i]);
            add(view, start + i);
          }
        }
        grouped(k);
      }
    }
  });
  return keys.size();
}

}  // namespace

std::size_t countDistinct(const ColumnJob& job, std::size_t rows) {
  return groupRows(
      job, 0, rows, [](const ColumnView&, std::int64_t) {}, [](std::size_t) {});
}

void readDistinct(const ColumnJob& job, std::size_t from, std::size_t to, Vec<Input>& inputs, std::size_t* at,
                  std::size_t base) {
  const bool numbers = readsNumbers(job);
  inputs.clear();
  inputs.reserve(to - from);
  groupRows(
      job, from, to,
      [&](const ColumnView& view, std::int64_t row) { inputs.push_back(inputAt(*job.column, numbers, view, row)); },
      [&](std::size_t k) { *at++ = base + k; });
}

}  // namespace zorva::arrow
