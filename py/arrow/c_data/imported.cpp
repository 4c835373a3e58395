// Field types and validated column views.
#include "arrow/c_data/imported.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "support/bigint.h"
#include "support/decimal_digits.h"

namespace zorva::arrow {
namespace {

Problem unsupported(std::string message) { return {Refusal::Unsupported, std::move(message)}; }
Problem malformed(std::string message) { return {Refusal::Malformed, std::move(message)}; }

// Reads "d:P,S" or "d:P,S,W" (the format after "d:").
bool readDecimalFormat(std::string_view rest, ColumnType& out) {
  int numbers[3] = {0, 0, 128};
  int count = 0;
  const char* p = rest.data();
  const char* end = p + rest.size();
  while (count < 3) {
    bool negative = count == 1 && p < end && *p == '-';  // the scale may be negative
    if (negative) ++p;
    int value = 0;
    auto [next, ec] = std::from_chars(p, end, value);
    if (ec != std::errc() || next == p) return false;
    numbers[count++] = negative ? -value : value;
    p = next;
    if (p == end) break;
    if (*p++ != ',') return false;
  }
  if (p != end || count < 2) return false;
  const int bits = numbers[2];
  if (bits != 32 && bits != 64 && bits != 128 && bits != 256) return false;
  const int maxPrecision = bits == 32 ? 9 : bits == 64 ? 18 : bits == 128 ? 38 : 76;
  if (numbers[0] < 1 || numbers[0] > maxPrecision) return false;
  if (numbers[1] < -1000 || numbers[1] > 1000) return false;
  out = ColumnType{TypeKind::Decimal, bits / 8, numbers[0], numbers[1]};
  return true;
}

// The kind and width of a primitive format, or false.
bool readPlain(std::string_view format, ColumnType& out) {
  struct Entry {
    std::string_view format;
    TypeKind kind;
    int width;
  };
  static constexpr Entry kTable[] = {
      {"n", TypeKind::Null, 0}, {"b", TypeKind::Bool, 0},      {"c", TypeKind::Int, 1},
      {"C", TypeKind::UInt, 1}, {"s", TypeKind::Int, 2},       {"S", TypeKind::UInt, 2},
      {"i", TypeKind::Int, 4},  {"I", TypeKind::UInt, 4},      {"l", TypeKind::Int, 8},
      {"L", TypeKind::UInt, 8}, {"f", TypeKind::Float32, 4},   {"g", TypeKind::Float64, 8},
      {"u", TypeKind::Utf8, 4}, {"U", TypeKind::LargeUtf8, 8}, {"vu", TypeKind::Utf8View, 16},
  };
  for (const Entry& e : kTable) {
    if (format == e.format) {
      out = ColumnType{e.kind, e.width};
      return true;
    }
  }
  if (format.starts_with("d:")) return readDecimalFormat(format.substr(2), out);
  return false;
}

bool isText(TypeKind kind) {
  return kind == TypeKind::Utf8 || kind == TypeKind::LargeUtf8 || kind == TypeKind::Utf8View;
}

// A format string, bounded: a hostile one need not end.
Problem formatOf(const ArrowSchema& field, std::string_view& out) {
  if (field.release == nullptr) return malformed("the schema was released");
  if (field.format == nullptr) return malformed("the schema has no format");
  const void* end = std::memchr(field.format, 0, 64);
  out = end == nullptr ? std::string_view(field.format, 64)
                       : std::string_view(field.format, static_cast<const char*>(end) - field.format);
  return {};
}

std::string quoted(std::string_view format) { return "'" + std::string(format) + "'"; }

std::int64_t indexAt(const void* values, int width, bool isSigned, std::int64_t at) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(values) + at * width;
  switch (width) {
    case 1: return isSigned ? std::int64_t{static_cast<std::int8_t>(*p)} : std::int64_t{*p};
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return isSigned ? std::int64_t{static_cast<std::int16_t>(v)} : std::int64_t{v};
    }
    case 4: {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return isSigned ? std::int64_t{static_cast<std::int32_t>(v)} : std::int64_t{v};
    }
    default: {
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      // An unsigned 64-bit index past INT64_MAX reads negative: out of range.
      return static_cast<std::int64_t>(v);
    }
  }
}

std::string rowText(std::int64_t row) { return "row " + std::to_string(row); }

template <class Offset>
Problem checkOffsets(const ColumnView& view) {
  // No rows: an empty array may omit its offsets, or give a buffer too short
  // to hold even the first.
  if (view.values == nullptr || view.length == 0) return {};
  const auto* offsets = static_cast<const Offset*>(view.values);
  if (offsets[view.first] < 0) return malformed("the offsets start below 0");
  // Without an early exit, so that the loop runs in vector lanes; the row
  // is looked for only once something is wrong.
  bool decreases = false;
  for (std::int64_t r = 0; r < view.length; ++r) decreases |= offsets[view.first + r + 1] < offsets[view.first + r];
  if (decreases) {
    for (std::int64_t r = 0; r < view.length; ++r)
      if (offsets[view.first + r + 1] < offsets[view.first + r])
        return malformed("the offsets decrease at " + rowText(r));
  }
  const Offset previous = offsets[view.first + view.length];
  const std::int64_t begin = offsets[view.first];
  if (previous != begin && view.text == nullptr) return malformed("the character data buffer is missing");
  if (previous == begin) return {};
  const std::string_view all(reinterpret_cast<const char*>(view.text) + begin,
                             static_cast<std::size_t>(previous - begin));
  // The whole range at once, then every row boundary at a character's start:
  // together, each row is UTF-8 on its own. Failing that, row by row, leaving
  // out null rows: what lies under a null is undefined, and never read.
  bool whole = isUtf8(all);
  if (whole) {
    // A boundary at the end has no byte to look at: the last one is read
    // in its place and not counted.
    bool split = false;
    for (std::int64_t r = 1; r < view.length; ++r) {
      const std::int64_t at = offsets[view.first + r];
      const std::int64_t read = at < previous ? at : previous - 1;
      split |= at != previous && (view.text[read] & 0xc0) == 0x80;
    }
    whole = !split;
  }
  if (!whole) {
    for (std::int64_t r = 0; r < view.length; ++r)
      if (view.valid(r) && !isUtf8(view.textAt(r))) return malformed("the text at " + rowText(r) + " is not UTF-8");
  }
  return {};
}

Problem checkViews(const ColumnView& view) {
  const ViewBuffers& v = view.views;
  for (std::int64_t k = 0; k < v.count; ++k) {
    if (v.sizes[k] < 0) return malformed("a data buffer's size is negative");
    if (v.sizes[k] > 0 && v.data[k] == nullptr) return malformed("a data buffer is missing");
  }
  for (std::int64_t r = 0; r < view.length; ++r) {
    if (!view.valid(r)) continue;
    const std::uint8_t* item = v.views + (view.first + r) * 16;
    std::int32_t size, index, offset;
    std::memcpy(&size, item, 4);
    if (size < 0) return malformed("the view at " + rowText(r) + " has a negative length");
    if (size > 12) {
      std::memcpy(&index, item + 8, 4);
      std::memcpy(&offset, item + 12, 4);
      if (index < 0 || index >= v.count || offset < 0 || static_cast<std::int64_t>(offset) + size > v.sizes[index])
        return malformed("the view at " + rowText(r) + " points outside the data buffers");
    }
    if (!isUtf8(view.textAt(r))) return malformed("the text at " + rowText(r) + " is not UTF-8");
  }
  return {};
}

Problem checkIndices(const ColumnView& view) {
  const std::int64_t size = view.dictionary->length;
  for (std::int64_t r = 0; r < view.length; ++r) {
    if (!view.valid(r)) continue;
    const std::int64_t index = view.signedInt(r);
    if (index < 0 || index >= size)
      return malformed("the dictionary index at " + rowText(r) + " is outside the dictionary of " +
                       std::to_string(size) + " value(s)");
  }
  return {};
}

}  // namespace

Problem readType(const ArrowSchema& field, ColumnType& out) {
  std::string_view format;
  if (Problem p = formatOf(field, format)) return p;
  if (field.dictionary != nullptr) {
    ColumnType index;
    if (!readPlain(format, index) || (index.kind != TypeKind::Int && index.kind != TypeKind::UInt))
      return malformed("the dictionary index type " + quoted(format) + " is not an integer");
    std::string_view valueFormat;
    if (Problem p = formatOf(*field.dictionary, valueFormat)) return p;
    ColumnType value;
    if (!readPlain(valueFormat, value) || !isText(value.kind) || field.dictionary->dictionary != nullptr)
      return unsupported("a dictionary of " + quoted(valueFormat));
    out = ColumnType{TypeKind::Dictionary, index.width, 0, 0, index.kind == TypeKind::Int, value.kind};
    return {};
  }
  if (!readPlain(format, out)) return unsupported(quoted(format));
  return {};
}

Problem viewColumn(const ArrowArray& array, const ColumnType& type, std::int64_t offset, std::int64_t length,
                   ColumnView& out) {
  out = ColumnView();
  out.type = type;
  if (array.release == nullptr) return malformed("the array was released");
  if (array.length < 0 || array.offset < 0 || array.null_count < -1 || array.n_buffers < 0 || array.n_children < 0)
    return malformed("a negative length, offset, null count or buffer count");
  constexpr std::int64_t kMax = kMaxRows;
  if (offset < 0 || length < 0 || offset > kMax || length > kMax || array.offset > kMax || array.length > kMax ||
      offset + length > array.length)
    return malformed("the array holds " + std::to_string(array.length) + " row(s), fewer than its batch's " +
                     std::to_string(offset + length));
  if (array.n_children != 0) return malformed("an array of this type has no children");
  std::int64_t buffers = 2;
  switch (type.kind) {
    case TypeKind::Null: buffers = 0; break;
    case TypeKind::Utf8:
    case TypeKind::LargeUtf8: buffers = 3; break;
    // The views' data buffers are counted by n_buffers itself; a count past
    // any producer's is refused rather than read through.
    case TypeKind::Utf8View: buffers = array.n_buffers >= 3 && array.n_buffers <= 65536 ? array.n_buffers : 3; break;
    default: break;
  }
  if (array.n_buffers != buffers)
    return malformed("an array of this type has " + std::to_string(buffers) + " buffer(s), not " +
                     std::to_string(array.n_buffers));
  if ((type.kind == TypeKind::Dictionary) != (array.dictionary != nullptr))
    return malformed(type.kind == TypeKind::Dictionary ? "the dictionary is missing"
                                                       : "an array of this type has no dictionary");
  if (buffers > 0 && array.buffers == nullptr) return malformed("the buffers are missing");
  out.first = array.offset + offset;
  out.length = length;
  if (type.kind == TypeKind::Null) return {};
  out.validity = static_cast<const std::uint8_t*>(array.buffers[0]);
  if (out.validity == nullptr && array.null_count > 0) return malformed("nulls without a validity buffer");
  out.values = array.buffers[1];
  if (out.values == nullptr && length > 0) return malformed("the values buffer is missing");
  switch (type.kind) {
    case TypeKind::Utf8:
    case TypeKind::LargeUtf8:
      out.text = static_cast<const std::uint8_t*>(array.buffers[2]);
      return type.kind == TypeKind::Utf8 ? checkOffsets<std::int32_t>(out) : checkOffsets<std::int64_t>(out);
    case TypeKind::Utf8View:
      out.views.views = static_cast<const std::uint8_t*>(out.values);
      out.views.count = array.n_buffers - 3;
      out.views.data = array.buffers + 2;
      out.views.sizes = static_cast<const std::int64_t*>(array.buffers[array.n_buffers - 1]);
      if (out.views.sizes == nullptr && out.views.count > 0) return malformed("the buffer sizes are missing");
      return checkViews(out);
    case TypeKind::Dictionary: {
      const ArrowArray& dictionary = *array.dictionary;
      if (dictionary.release == nullptr) return malformed("the dictionary was released");
      if (dictionary.length < 0) return malformed("the dictionary's length is negative");
      out.dictionary = std::make_unique<ColumnView>();
      ColumnType valueType{type.valueKind, type.valueKind == TypeKind::Utf8View ? 16 : 0};
      if (Problem p = viewColumn(dictionary, valueType, 0, dictionary.length, *out.dictionary)) {
        p.message = "in the dictionary: " + p.message;
        return p;
      }
      return checkIndices(out);
    }
    default: return {};
  }
}

Problem checkBatch(const ArrowArray& batch, std::int64_t width) {
  if (batch.release == nullptr) return malformed("a batch was released");
  if (batch.length < 0 || batch.offset < 0 || batch.length > kMaxRows || batch.offset > kMaxRows ||
      batch.n_buffers != 1 || batch.buffers == nullptr)
    return malformed(
        "a batch is a struct array of one buffer with a length and offset of at least 0 (and at most 2^56)");
  if (batch.null_count != 0 && batch.buffers[0] != nullptr) return malformed("a batch's rows cannot be null");
  if (batch.n_children != width || (width > 0 && batch.children == nullptr))
    return malformed("a batch has " + std::to_string(batch.n_children) + " column(s) and its schema " +
                     std::to_string(width));
  return {};
}

Problem checkShape(const ArrowArray& array, const ArrowSchema& field, int depth) {
  if (depth > 64) return malformed("nested more than 64 levels deep");
  if (array.release == nullptr) return malformed("the array was released");
  if (field.release == nullptr) return malformed("the schema was released");
  if (field.format == nullptr) return malformed("the schema has no format");
  if (metadataSize(field.metadata) < 0) return malformed("the metadata has a negative size");
  // The length and offset are handed on (the offset shifted by the batch's),
  // so they too must stay where sums of them cannot overflow.
  if (array.length < 0 || array.offset < 0 || array.null_count < -1 || array.n_buffers < 0 || array.n_children < 0 ||
      array.length > kMaxRows || array.offset > kMaxRows || array.n_buffers > 65536 || array.n_children > 65536)
    return malformed("a negative or huge length, offset, null count or count of buffers or children");
  if (array.n_buffers > 0 && array.buffers == nullptr) return malformed("the buffers are missing");
  if (array.n_children != field.n_children) return malformed("the array's children do not match the schema's");
  if (array.n_children > 0 && (array.children == nullptr || field.children == nullptr))
    return malformed("the children are missing");
  for (std::int64_t k = 0; k < array.n_children; ++k) {
    if (array.children[k] == nullptr || field.children[k] == nullptr) return malformed("a child is missing");
    if (Problem p = checkShape(*array.children[k], *field.children[k], depth + 1)) return p;
  }
  if ((array.dictionary == nullptr) != (field.dictionary == nullptr))
    return malformed("the array's dictionary does not match the schema's");
  if (array.dictionary != nullptr) return checkShape(*array.dictionary, *field.dictionary, depth + 1);
  return {};
}

Problem checkField(const ArrowSchema& field, int depth) {
  if (depth > 64) return malformed("nested more than 64 levels deep");
  if (field.release == nullptr) return malformed("the schema was released");
  if (field.format == nullptr) return malformed("the schema has no format");
  if (metadataSize(field.metadata) < 0) return malformed("the metadata has a negative size");
  if (field.n_children < 0 || field.n_children > 65536) return malformed("a negative or huge count of children");
  if (field.n_children > 0 && field.children == nullptr) return malformed("the children are missing");
  for (std::int64_t k = 0; k < field.n_children; ++k) {
    if (field.children[k] == nullptr) return malformed("a child is missing");
    if (Problem p = checkField(*field.children[k], depth + 1)) return p;
  }
  if (field.dictionary != nullptr) return checkField(*field.dictionary, depth + 1);
  return {};
}

std::int64_t metadataSize(const char* metadata) noexcept {
  if (metadata == nullptr) return 0;
  constexpr std::int64_t kLimit = 16 << 20;
  auto readCount = [&](std::int64_t at) {
    std::int32_t n;
    std::memcpy(&n, metadata + at, 4);
    return n;
  };
  const std::int32_t pairs = readCount(0);
  if (pairs < 0) return -1;
  std::int64_t at = 4;
  for (std::int32_t k = 0; k < 2 * pairs; ++k) {
    const std::int32_t n = readCount(at);
    if (n < 0) return -1;
    at += 4 + n;
    if (at > kLimit) return -1;
  }
  return at;
}

bool ColumnView::boolean(std::int64_t row) const noexcept {
  const std::int64_t at = first + row;
  return ((static_cast<const std::uint8_t*>(values)[at >> 3] >> (at & 7)) & 1) != 0;
}

std::int64_t ColumnView::signedInt(std::int64_t row) const noexcept {
  return indexAt(values, type.width, type.kind != TypeKind::Dictionary || type.indexSigned, first + row);
}

std::uint64_t ColumnView::unsignedInt(std::int64_t row) const noexcept {
  return static_cast<std::uint64_t>(indexAt(values, type.width, false, first + row));
}

double ColumnView::real(std::int64_t row) const noexcept {
  const auto* p = static_cast<const std::uint8_t*>(values);
  if (type.kind == TypeKind::Float32) {
    float f;
    std::memcpy(&f, p + (first + row) * 4, 4);
    return f;
  }
  double d;
  std::memcpy(&d, p + (first + row) * 8, 8);
  return d;
}

std::string_view ColumnView::textAt(std::int64_t row) const noexcept {
  const std::int64_t at = first + row;
  if (type.kind == TypeKind::Utf8View) {
    const std::uint8_t* item = views.views + at * 16;
    std::int32_t size, index, offset;
    std::memcpy(&size, item, 4);
    if (size <= 12) return {reinterpret_cast<const char*>(item + 4), static_cast<std::size_t>(size)};
    std::memcpy(&index, item + 8, 4);
    std::memcpy(&offset, item + 12, 4);
    return {static_cast<const char*>(views.data[index]) + offset, static_cast<std::size_t>(size)};
  }
  std::int64_t begin, end;
  if (type.kind == TypeKind::Utf8) {
    const auto* offsets = static_cast<const std::int32_t*>(values);
    begin = offsets[at];
    end = offsets[at + 1];
  } else {
    const auto* offsets = static_cast<const std::int64_t*>(values);
    begin = offsets[at];
    end = offsets[at + 1];
  }
  if (end == begin) return {};
  return {reinterpret_cast<const char*>(text) + begin, static_cast<std::size_t>(end - begin)};
}

const std::uint8_t* ColumnView::decimalBytes(std::int64_t row) const noexcept {
  return static_cast<const std::uint8_t*>(values) + (first + row) * type.width;
}

bool isUtf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  // Thirty-two ASCII bytes at a time while they last, then eight: most
  // texts are ASCII throughout.
  while (end - p >= 32) {
    std::uint64_t words[4];
    std::memcpy(words, p, 32);
    if (((words[0] | words[1] | words[2] | words[3]) & 0x8080808080808080ULL) != 0) break;
    p += 32;
  }
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    std::uint32_t min, code;
    if ((c & 0xe0) == 0xc0) {
      extra = 1, min = 0x80, code = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      extra = 2, min = 0x800, code = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      extra = 3, min = 0x10000, code = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int k = 1; k <= extra; ++k) {
      if ((p[k] & 0xc0) != 0x80) return false;
      code = (code << 6) | (p[k] & 0x3f);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    p += extra + 1;
  }
  return true;
}

namespace {

// The digits (count of them, left before the point) in plain notation at
// out, as str() writes a Decimal whose exponent is at most 0 and whose
// adjusted exponent is at least -6: "0.000123", "123", "1.23". out has room
// for the digits and 8 more bytes; returns the length.
std::size_t writePlain(std::string_view digits, bool negative, std::int64_t left, char* out) noexcept {
  const auto count = static_cast<std::int64_t>(digits.size());
  char* p = out;
  if (negative) *p++ = '-';
  if (left <= 0) {
    *p++ = '0';
    *p++ = '.';
    for (std::int64_t k = left; k < 0; ++k) *p++ = '0';
    std::memcpy(p, digits.data(), digits.size());
    p += count;
  } else {
    std::memcpy(p, digits.data(), static_cast<std::size_t>(left));
    p += left;
    if (left < count) {
      *p++ = '.';
      std::memcpy(p, digits.data() + left, static_cast<std::size_t>(count - left));
      p += count - left;
    }
  }
  return static_cast<std::size_t>(p - out);
}

// Whether str() writes the Decimal of count digits and that exponent in
// plain notation.
bool isPlain(std::int64_t count, std::int64_t exponent) noexcept { return exponent <= 0 && exponent + count > -6; }

}  // namespace

std::string decimalString(std::string_view digits, bool negative, std::int64_t exponent) {
  const auto count = static_cast<std::int64_t>(digits.size());
  if (isPlain(count, exponent)) {
    std::string out(digits.size() + 8, '\0');
    out.resize(writePlain(digits, negative, exponent + count, out.data()));
    return out;
  }
  // Exponent notation: one digit before the point.
  std::string out = negative ? "-" : "";
  out += digits.substr(0, 1);
  if (count > 1) {
    out += '.';
    out += digits.substr(1);
  }
  const std::int64_t e = exponent + count - 1;
  out += e < 0 ? "E-" : "E+";
  out += std::to_string(e < 0 ? -e : e);
  return out;
}

std::size_t shortDecimalValueText(const std::uint8_t* bytes, int width, int scale, char (&out)[kShortDecimalText]) {
  std::int64_t value;
  if (!unscaled64(bytes, width, value)) return 0;
  char digits[24];
  const auto count = static_cast<std::int64_t>(writeDigits64(digits, magnitudeOf(value)) - digits);
  if (!isPlain(count, -scale)) return 0;
  return writePlain(std::string_view(digits, static_cast<std::size_t>(count)), value < 0, count - scale, out);
}

std::string decimalValueString(const std::uint8_t* bytes, int width, int scale) {
  // Most values fit 64 bits: their digits without a big integer.
  if (std::int64_t value; unscaled64(bytes, width, value)) {
    char digits[24];
    const char* end = writeDigits64(digits, magnitudeOf(value));
    return decimalString(std::string_view(digits, static_cast<std::size_t>(end - digits)), value < 0, -scale);
  }
  const BigInt value = BigInt::fromTwosComplementLE(bytes, static_cast<std::size_t>(width));
  Text magnitude;
  value.abs().appendMagnitudeDecimal(magnitude);
  if (magnitude.empty()) magnitude.push_back('0');
  return decimalString(std::string_view(magnitude.data(), magnitude.size()), value.isNegative(), -scale);
}

}  // namespace zorva::arrow
