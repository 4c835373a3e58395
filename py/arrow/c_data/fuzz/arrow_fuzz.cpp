// libFuzzer target over the Arrow importer: a column's structure (format,
// counts, offsets, lengths, buffers, dictionary) built from the input, with
// buffers as large as the interface says a producer must make them and
// contents the fuzzer chooses. Whatever the importer accepts is then read in
// full, so that a value read out of bounds shows under AddressSanitizer; the
// decimal-text reader is driven by the same input.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/c_data/imported.h"
#include "arrow/c_data/decimal_texts.h"

namespace {

using namespace zorva::arrow;

[[noreturn]] void fail(int line, const char* what) {
  std::fprintf(stderr, "arrow_fuzz.cpp:%d: invariant failed: %s\n", line, what);
  std::abort();
}
#define CHECK(cond) ((cond) ? void() : fail(__LINE__, #cond))

struct Reader {
  const std::uint8_t* p;
  std::size_t n;
  std::uint8_t byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  // Exactly size bytes, zero-filled past the input: buffers have the size a
  // producer must give them, whatever is left of the input.
  std::vector<std::uint8_t> bytes(std::size_t size) {
    std::vector<std::uint8_t> out(size);
    const std::size_t take = std::min(size, n);
    if (take > 0) std::memcpy(out.data(), p, take);
    p += take;
    n -= take;
    return out;
  }
};

const char* const kFormats[] = {"n",  "b",     "c",         "C",          "s",         "S",          "i",
                                "I",  "l",     "L",         "f",          "g",         "u",          "U",
                                "vu", "d:5,2", "d:38,10",   "d:76,3,256", "d:9,-2,32", "d:18,0,64",  "e",
                                "+s", "d:0,1", "d:5,2,512", "d:5",        "z",         "d:38,2,128x"};
const char* const kIndexFormats[] = {"c", "C", "s", "S", "i", "I", "l", "L", "u"};
const char* const kValueFormats[] = {"u", "U", "vu", "l"};

void releaseSchema(ArrowSchema* s) { s->release = nullptr; }
void releaseArray(ArrowArray* a) { a->release = nullptr; }

// One column: its structures and the storage they point into.
struct Built {
  ArrowSchema schema{};
  ArrowArray array{};
  std::vector<std::vector<std::uint8_t>> storage;
  std::vector<const void*> buffers;
  std::unique_ptr<Built> dictionary;

  const void* add(std::vector<std::uint8_t> bytes) {
    storage.push_back(std::move(bytes));
    return storage.back().data();
  }
};

int widthOf(std::string_view format) {
  if (format == "c" || format == "C") return 1;
  if (format == "s" || format == "S" || format == "e") return 2;
  if (format == "i" || format == "I" || format == "f") return 4;
  if (format == "l" || format == "L" || format == "g") return 8;
  if (format.starts_with("d:")) {
    if (format.ends_with(",256")) return 32;
    if (format.ends_with(",32")) return 4;
    if (format.ends_with(",64")) return 8;
    return 16;
  }
  return 0;
}

// False when the input asks for a buffer larger than this target makes.
bool build(Reader& in, const char* format, Built& out, int depth) {
  const std::string_view f(format);
  const std::int64_t length = in.byte() % 40;
  const std::int64_t offset = in.byte() % 9;
  const std::int64_t rows = offset + length;
  out.schema.format = format;
  out.schema.name = "c";
  out.schema.release = &releaseSchema;
  out.array.length = length;
  out.array.offset = offset;
  out.array.null_count = static_cast<std::int8_t>(in.byte()) % 4;
  out.array.release = &releaseArray;
  const std::uint8_t shape = in.byte();
  out.buffers.push_back(shape & 1 ? nullptr : out.add(in.bytes(static_cast<std::size_t>((rows + 7) / 8))));
  if (f == "n") {
    out.buffers.clear();
  } else if (f == "b") {
    out.buffers.push_back(out.add(in.bytes(static_cast<std::size_t>((rows + 7) / 8))));
  } else if (f == "u" || f == "U") {
    const std::size_t width = f == "u" ? 4 : 8;
    std::vector<std::uint8_t> offsets = in.bytes(static_cast<std::size_t>(rows + 1) * width);
    std::int64_t most = 0;
    for (std::int64_t k = 0; k <= rows; ++k) {
      std::int64_t v = 0;
      if (width == 4) {
        std::int32_t v32;
        std::memcpy(&v32, offsets.data() + k * 4, 4);
        v = v32;
      } else {
        std::memcpy(&v, offsets.data() + k * 8, 8);
      }
      // A producer's data buffer reaches its largest offset; a larger one
      // than this target makes cannot be honest input.
      if (v > 4096) return false;
      most = std::max(most, v);
    }
    out.buffers.push_back(out.add(std::move(offsets)));
    out.buffers.push_back(shape & 2 ? nullptr : out.add(in.bytes(static_cast<std::size_t>(most))));
  } else if (f == "vu") {
    out.buffers.push_back(out.add(in.bytes(static_cast<std::size_t>(rows) * 16)));
    const int count = in.byte() % 3;
    std::vector<std::uint8_t> sizes(static_cast<std::size_t>(count) * 8);
    for (int k = 0; k < count; ++k) {
      const std::int64_t size = in.byte() * 2;
      std::memcpy(sizes.data() + k * 8, &size, 8);
      out.buffers.push_back(out.add(in.bytes(static_cast<std::size_t>(size))));
    }
    out.buffers.push_back(out.add(std::move(sizes)));
  } else {
    const int width = widthOf(f);
    out.buffers.push_back(out.add(in.bytes(static_cast<std::size_t>(rows * std::max(width, 1)))));
  }
  if (shape & 4) out.buffers.push_back(nullptr);  // a buffer too many
  // One too few; not for a string view, whose buffer count gives the count
  // of its data buffers: dropping one makes a smaller sizes buffer than the
  // count says, which no check can see.
  if ((shape & 8) && !out.buffers.empty() && f != "vu") out.buffers.pop_back();
  out.array.n_buffers = static_cast<std::int64_t>(out.buffers.size());
  out.array.buffers = out.buffers.data();
  if ((shape & 0x30) == 0x30 && depth == 0) {
    out.dictionary = std::make_unique<Built>();
    if (!build(in, kValueFormats[in.byte() % 4], *out.dictionary, 1)) return false;
    out.schema.dictionary = &out.dictionary->schema;
    out.array.dictionary = &out.dictionary->array;
  }
  return true;
}

void readAll(const ColumnView& view) {
  for (std::int64_t r = 0; r < view.length; ++r) {
    if (!view.valid(r)) continue;
    switch (view.type.kind) {
      case TypeKind::Bool: (void)view.boolean(r); break;
      case TypeKind::Int: (void)view.signedInt(r); break;
      case TypeKind::UInt: (void)view.unsignedInt(r); break;
      case TypeKind::Float32:
      case TypeKind::Float64: (void)view.real(r); break;
      case TypeKind::Decimal: {
        const std::string text = decimalValueString(view.decimalBytes(r), view.type.width, view.type.scale);
        DecimalParts parts;
        CHECK(parseDecimal(text, parts) && canonicalOf(parts) == text);
        // The reader's allocation-free road writes the same text where it answers.
        char shortText[kShortDecimalText];
        const std::size_t size =
            shortDecimalValueText(view.decimalBytes(r), view.type.width, view.type.scale, shortText);
        CHECK(size == 0 || std::string_view(shortText, size) == text);
        break;
      }
      case TypeKind::Utf8:
      case TypeKind::LargeUtf8:
      case TypeKind::Utf8View: CHECK(isUtf8(view.textAt(r))); break;
      case TypeKind::Dictionary: {
        const std::int64_t index = view.signedInt(r);
        CHECK(index >= 0 && index < view.dictionary->length);
        if (view.dictionary->valid(index)) CHECK(isUtf8(view.dictionary->textAt(index)));
        break;
      }
      default: break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  const std::uint8_t choice = in.byte();
  const char* format = choice & 0x80 ? kIndexFormats[choice % 9] : kFormats[choice % 27];
  Built column;
  const std::uint8_t slice = in.byte();
  if (!build(in, format, column, 0)) return 0;
  // The batch's rows: usually inside the array, sometimes past it, and now
  // and then at the edges of 64 bits, where sums of offsets overflow.
  static constexpr std::int64_t kEdges[] = {kMaxRows, kMaxRows + 1, std::int64_t{1} << 62, INT64_MAX, -1};
  std::int64_t offset = slice % 4;
  std::int64_t length =
      slice & 0x80 ? column.array.length + 1 : std::max<std::int64_t>(0, column.array.length - offset);
  if ((slice & 0x70) == 0x70) ((slice & 8) ? offset : length) = kEdges[(slice >> 1) % 5];
  ArrowArray* children[] = {&column.array};
  const void* batchBuffers[] = {nullptr};
  ArrowArray batch{};
  batch.length = length;
  batch.offset = offset;
  batch.n_buffers = 1;
  batch.n_children = 1;
  batch.buffers = batchBuffers;
  batch.children = children;
  batch.release = &releaseArray;
  if (checkBatch(batch, 1)) return 0;
  CHECK(offset >= 0 && length >= 0 && offset <= kMaxRows && length <= kMaxRows);
  ColumnType type;
  if (!readType(column.schema, type)) {
    ColumnView view;
    if (!viewColumn(column.array, type, offset, length, view)) readAll(view);
  }
  (void)checkField(column.schema);
  // Carried through: its shape alone is checked, and what it hands on (its
  // offset shifted by the batch's) stays in range.
  if (!checkShape(column.array, column.schema))
    CHECK(column.array.offset <= kMaxRows && column.array.offset + offset <= 2 * kMaxRows);
  // The rest of the input as a decimal text: its canonical form reads back
  // as itself.
  const std::string_view text(reinterpret_cast<const char*>(in.p), in.n);
  DecimalParts parts, again;
  if (parseDecimal(text, parts)) {
    const std::string canonical = canonicalOf(parts);
    CHECK(parseDecimal(canonical, again) && canonicalOf(again) == canonical);
    std::uint8_t unscaled[32];
    (void)toUnscaled(parts, 38, 4, 16, unscaled);
  }
  // The machine-integer road answers as the general one wherever it answers.
  for (const auto [precision, scale, width] : {std::array{38, 4, 16}, {18, 0, 16}, {12, 2, 32}, {76, 20, 32}}) {
    std::uint8_t general[32], plain[32];
    const std::optional<bool> fast = plainToUnscaled(text, precision, scale, width, plain);
    if (!fast) continue;
    CHECK(parseDecimal(text, parts));
    CHECK(*fast == toUnscaled(parts, precision, scale, width, general));
    if (*fast) CHECK(std::memcmp(plain, general, static_cast<std::size_t>(width)) == 0);
  }
  return 0;
}
