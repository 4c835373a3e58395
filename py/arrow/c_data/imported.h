// Reading foreign Arrow columns: the type of a field from its format string,
// and a validated view of one column of a batch. No Python in here, so that a
// fuzzer drives it directly.
//
// The C Data Interface carries no buffer sizes: the sizes follow from the
// format, the length and the offsets. Everything a reader could follow out of
// bounds (buffer counts, missing buffers, offsets and lengths, string views'
// buffer indices and ranges, dictionary indices, UTF-8) is checked here
// before a value is read, and a column that fails is refused whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "arrow/c_data/c_data.h"

namespace zorva::arrow {

enum class TypeKind : std::uint8_t {
  Null,
  Bool,
  Int,   // signed, 1, 2, 4 or 8 bytes
  UInt,  // unsigned, 1, 2, 4 or 8 bytes
  Float32,
  Float64,
  Decimal,  // 4, 8, 16 or 32 bytes, two's complement, little-endian
  Utf8,
  LargeUtf8,
  Utf8View,
  Dictionary,  // integer indices into a dictionary of texts
};

struct ColumnType {
  TypeKind kind = TypeKind::Null;
  int width = 0;  // bytes per value of Int, UInt, Decimal and of the indices
  int precision = 0, scale = 0;
  bool indexSigned = true;              // Dictionary: the index type
  TypeKind valueKind = TypeKind::Utf8;  // Dictionary: the dictionary's type
};

// Why a field or a column was refused: a type this reader does not read, or
// a structure that breaks the interface's rules.
enum class Refusal : std::uint8_t { None, Unsupported, Malformed };

struct Problem {
  Refusal kind = Refusal::None;
  std::string message;
  explicit operator bool() const noexcept { return kind != Refusal::None; }
};

// Reads the type of a field (its format, and its dictionary's). The schema
// must not be released.
Problem readType(const ArrowSchema& field, ColumnType& out);

// The texts of a string-view array: the views and the data buffers with
// their sizes.
struct ViewBuffers {
  const std::uint8_t* views = nullptr;
  const void* const* data = nullptr;
  const std::int64_t* sizes = nullptr;
  std::int64_t count = 0;
};

// A validated column: rows [first, first + length) of the buffers (first
// already includes the array's and the batch's offsets).
struct ColumnView {
  ColumnType type;
  std::int64_t first = 0;
  std::int64_t length = 0;
  const std::uint8_t* validity = nullptr;  // null: every row valid
  const void* values = nullptr;            // fixed-width values, bits, offsets or indices
  const std::uint8_t* text = nullptr;      // Utf8, LargeUtf8: the character data
  ViewBuffers views;                       // Utf8View
  std::unique_ptr<ColumnView> dictionary;  // Dictionary: the whole dictionary

  bool valid(std::int64_t row) const noexcept {
    const std::int64_t at = first + row;
    return validity == nullptr || ((validity[at >> 3] >> (at & 7)) & 1) != 0;
  }
  // Precondition: valid(row), and a type with the value asked for.
  bool boolean(std::int64_t row) const noexcept;
  std::int64_t signedInt(std::int64_t row) const noexcept;  // Int, or Dictionary's index
  std::uint64_t unsignedInt(std::int64_t row) const noexcept;
  double real(std::int64_t row) const noexcept;  // Float32 as the double of the same value
  std::string_view textAt(std::int64_t row) const noexcept;
  const std::uint8_t* decimalBytes(std::int64_t row) const noexcept;
};

// Validates rows [offset, offset + length) of array, a column of type type
// in a batch (offset and length are the batch's), and describes them in out.
Problem viewColumn(const ArrowArray& array, const ColumnType& type, std::int64_t offset, std::int64_t length,
                   ColumnView& out);

// The most rows (and the largest offset) a batch or array may give: every
// product of a row number with a value width (at most 32 bytes) and every
// sum of offsets then stays far inside 64 bits.
inline constexpr std::int64_t kMaxRows = std::int64_t{1} << 56;

// Validates a record batch's own structure (a struct array of width
// columns: one absent or unused validity buffer, no nulls, a length and
// offset in range, a list of width children). The children are not looked
// at.
Problem checkBatch(const ArrowArray& batch, std::int64_t width);

// Checks what a column carried through untouched must hold for its
// structures to be copied: nothing released, no missing child or buffer list,
// the same tree in the array and the field, at most 64 levels deep, and
// metadata whose counts are not negative. Its buffers are not read.
Problem checkShape(const ArrowArray& array, const ArrowSchema& field, int depth = 0);

// Checks what a field carried through must hold for it to be copied, even
// with no batch to pair it with: nothing released, a format, children and a
// dictionary present where counted, at most 64 levels deep, and metadata
// whose counts are not negative.
Problem checkField(const ArrowSchema& field, int depth = 0);

// The size in bytes of a field's metadata block (0 for none), or -1 when a
// count in it is negative or the block exceeds 16 MiB.
std::int64_t metadataSize(const char* metadata) noexcept;

// Whether text is well-formed UTF-8 (no surrogates, no overlong forms).
bool isUtf8(std::string_view text) noexcept;

// The text Python's str() gives the Decimal with the coefficient digits
// (decimal, no sign, no leading zeros but a single 0), the sign and the
// exponent: plain notation while the exponent is at most 0 and the adjusted
// exponent at least -6, scientific ("1.5E+3", "1E-7") otherwise.
std::string decimalString(std::string_view digits, bool negative, std::int64_t exponent);

// Whether a decimal's unscaled value (width bytes, two's complement,
// little-endian) fits 64 bits, and then the value. (A bool and an
// out-parameter: an optional returned in two registers is stored and
// reloaded in pieces, a stall on every value.)
inline bool unscaled64(const std::uint8_t* bytes, int width, std::int64_t& out) noexcept {
  if (width == 4) {
    std::int32_t v;
    std::memcpy(&v, bytes, 4);
    out = v;
    return true;
  }
  std::int64_t low;
  std::memcpy(&low, bytes, 8);
  const std::uint64_t fill = low < 0 ? ~std::uint64_t{0} : 0;
  for (int at = 8; at < width; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    if (word != fill) return false;
  }
  out = low;
  return true;
}

// The magnitude of a signed value, INT64_MIN included.
inline std::uint64_t magnitudeOf(std::int64_t v) noexcept {
  return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

// The str() of the Decimal with the two's-complement little-endian unscaled
// value of width bytes and the scale.
std::string decimalValueString(const std::uint8_t* bytes, int width, int scale);

// decimalValueString written into out, without an allocation, for the values
// most columns hold: an unscaled value that fits 64 bits, a scale of at least
// 0 and plain notation. Returns the text's length, or 0 for any other value.
inline constexpr std::size_t kShortDecimalText = 48;
std::size_t shortDecimalValueText(const std::uint8_t* bytes, int width, int scale, char (&out)[kShortDecimalText]);

}  // namespace zorva::arrow
