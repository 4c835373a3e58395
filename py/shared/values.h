// The value model that crosses the Python boundary: Input (read from Python,
// owning copies of its text and digits) and Output (a masked value or a
// problem marker), with the two conversions between them and Python objects.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "support/bigint.h"
#include "support/bytes.h"
#include "number/float_repr.h"
#include "shared/capi.h"
#include "shared/tagged.h"

namespace zorva::py {

// UTF-8 text in 16 bytes: up to 15 bytes inline (as Text holds them, so
// short texts still cost no allocation), longer ones on the engine's
// allocator or, borrowed, in a buffer that outlives this value. Half the size
// of Text; Input and CacheKey hold one per value. A copy always owns its text.
class PackedText {
 public:
  PackedText() noexcept { setInline(0); }
  explicit PackedText(std::string_view text) { assign(text); }
  // A view of text, which the caller keeps alive and unchanged for as long
  // as this value (and whatever it is moved into) lives.
  static PackedText borrowed(std::string_view text) noexcept {
    PackedText out;
    if (text.size() <= kInline) {
      copyShort(out.raw_, text.data(), text.size());
      out.setInline(text.size());
    } else {
      out.setPointer(text.data(), text.size(), kBorrowed);
    }
    return out;
  }
  PackedText(const PackedText& other) { assign(other.view()); }
  PackedText(PackedText&& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    other.setInline(0);
  }
  PackedText& operator=(const PackedText& other) {
    if (this != &other) {
      PackedText copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  PackedText& operator=(PackedText&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(raw_, other.raw_, sizeof raw_);
      other.setInline(0);
    }
    return *this;
  }
  ~PackedText() { release(); }

  std::size_t size() const noexcept { return onHeap() ? heapSize() : raw_[kInline]; }
  const char* data() const noexcept { return onHeap() ? heapData() : reinterpret_cast<const char*>(raw_); }
  std::string_view view() const noexcept { return {data(), size()}; }

 private:
  static constexpr std::size_t kInline = 15;
  // The last byte is the inline length, or kHeap (kBorrowed) for an owned
  // (borrowed) text whose pointer fills bytes 0-7 and whose length fills the
  // low 56 bits of 8-15.
  static constexpr unsigned char kHeap = 0x80;
  static constexpr unsigned char kBorrowed = 0x81;
  static_assert(std::endian::native == std::endian::little, "the tag byte is the size's top byte");

  bool onHeap() const noexcept { return raw_[kInline] >= kHeap; }
  void setPointer(const char* p, std::size_t size, unsigned char tag) noexcept {
    std::uint64_t n = static_cast<std::uint64_t>(size) | (std::uint64_t{tag} << 56);
    std::memcpy(raw_, &p, sizeof p);
    std::memcpy(raw_ + 8, &n, sizeof n);
  }
  char* heapData() const noexcept {
    char* p;
    std::memcpy(&p, raw_, sizeof p);
    return p;
  }
  std::size_t heapSize() const noexcept {
    std::uint64_t n;
    std::memcpy(&n, raw_ + 8, sizeof n);
    return static_cast<std::size_t>(n & ((std::uint64_t{1} << 56) - 1));
  }
  void setInline(std::size_t n) noexcept { raw_[kInline] = static_cast<unsigned char>(n); }
  void assign(std::string_view text) {
    if (text.size() <= kInline) {
      copyShort(raw_, text.data(), text.size());
      setInline(text.size());
      return;
    }
    char* p = static_cast<char*>(memAlloc(text.size()));
    std::memcpy(p, text.data(), text.size());
    setPointer(p, text.size(), kHeap);
  }
  void release() noexcept {
    if (raw_[kInline] == kHeap) memFree(heapData());
  }

  alignas(8) unsigned char raw_[16];
};

enum class InputKind : std::uint8_t { None = 0, Int = 1, Str = 2, Other = 3, Bool = 4, Float = 5, Decimal = 6 };
enum class OutputKind : std::uint8_t { None = 0, Int = 1, Str = 2, Float = 3, Decimal = 4, Fallback = 5, Refused = 6 };

namespace values_detail {
// An input's text and, for a float, its value.
struct Rendered {
  PackedText text;
  double real;
};
// The payload slots: BigInt, then the text (a Rendered or a Text).
constexpr int inputSlot(InputKind kind) noexcept {
  return kind == InputKind::Int                                                             ? 0
         : kind == InputKind::Str || kind == InputKind::Float || kind == InputKind::Decimal ? 1
                                                                                            : -1;
}
constexpr int outputSlot(OutputKind kind) noexcept {
  return kind == OutputKind::Int                                                                 ? 0
         : kind == OutputKind::Str || kind == OutputKind::Decimal || kind == OutputKind::Refused ? 1
         : kind == OutputKind::Float                                                             ? 2
                                                                                                 : -1;
}
}  // namespace values_detail

// A value read from Python: a tag and one payload. integer() for Int; text()
// for Str, Float (its repr; empty for the exact float type, whose repr the
// number strategy writes itself) and Decimal (its str); real() for Float.
class Input {
 public:
  using Kind = InputKind;

  Input() noexcept = default;
  // The payload-less kinds: None, Other, Bool.
  explicit Input(Kind kind) noexcept : value_(kind) {}
  static Input ofInt(BigInt value) noexcept {
    return Input(Value(Kind::Int, std::in_place_type<BigInt>, std::move(value)));
  }
  static Input ofText(Kind kind, PackedText text, double real = 0) noexcept {
    return Input(Value(kind, std::in_place_type<Rendered>, Rendered{std::move(text), real}));
  }
  Input(Input&&) noexcept = default;
  Input& operator=(Input&&) noexcept = default;

  Kind kind() const noexcept { return value_.tag(); }
  const BigInt& integer() const noexcept { return value_.get<BigInt>(); }
  std::string_view text() const noexcept { return value_.get<Rendered>().text.view(); }
  double real() const noexcept { return value_.get<Rendered>().real; }

 private:
  using Rendered = values_detail::Rendered;
  using Value = Tagged<Kind, values_detail::inputSlot, BigInt, Rendered>;
  explicit Input(Value value) noexcept : value_(std::move(value)) {}
  Value value_;
};

// A masked value: a tag and one payload. integer() for Int; text() for Str,
// Decimal and Refused (the message); real() for Float. Copies are deep.
// The text stays a Text: core answers move in without a copy.
class Output {
 public:
  using Kind = OutputKind;

  Output() noexcept = default;
  // Each payload is moved once, straight into place: a short Text moves by
  // copying its bytes, so every move through a temporary on the way would
  // cost each answer another copy.
  static Output fallback() noexcept { return Output(Value(Kind::Fallback)); }
  static Output ofInt(BigInt&& v) noexcept { return Output(Kind::Int, std::in_place_type<BigInt>, std::move(v)); }
  static Output ofText(Text&& t) noexcept { return Output(Kind::Str, std::in_place_type<Text>, std::move(t)); }
  static Output ofDecimal(Text&& t) noexcept { return Output(Kind::Decimal, std::in_place_type<Text>, std::move(t)); }
  static Output refused(Text&& message) noexcept {
    return Output(Kind::Refused, std::in_place_type<Text>, std::move(message));
  }
  static Output ofFloat(double v) noexcept { return Output(Kind::Float, std::in_place_type<double>, v); }

  Kind kind() const noexcept { return value_.tag(); }
  const BigInt& integer() const noexcept { return value_.get<BigInt>(); }
  const Text& text() const noexcept { return value_.get<Text>(); }
  double real() const noexcept { return value_.get<double>(); }
  bool isProblem() const noexcept { return kind() == Kind::Fallback || kind() == Kind::Refused; }

 private:
  using Value = Tagged<Kind, values_detail::outputSlot, BigInt, Text, double>;
  explicit Output(Value value) noexcept : value_(std::move(value)) {}
  template <class T, class Payload>
  Output(Kind kind, std::in_place_type_t<T> type, Payload&& payload) noexcept
      : value_(kind, type, std::forward<Payload>(payload)) {}
  Value value_;
};

// Replaces *slot with make()'s Output, built in the slot itself rather than
// moved in; make must not throw.
template <class Make>
void emplaceOutput(Output* slot, Make&& make) noexcept {
  static_assert(noexcept(make()));
  slot->~Output();
  new (slot) Output(make());
}

// Reads value into out (requires the interpreter lock). decimalType is
// decimal.Decimal for a number masker, null otherwise: without it floats and
// Decimals are Input::Other. Returns false with a Python exception set (a str
// without a UTF-8 form, or an error of a float's or Decimal's repr/str).
// With borrowText a str's text is viewed in the str's own UTF-8 buffer, not
// copied: the caller holds the str, unchanged, for as long as out lives.
bool convert(PyObject* value, PyObject* decimalType, Input& out, bool borrowText = false);

// repr() of a float of the exact type (the core writes it as CPython does).
using zorva::floatRepr;

// Fetches both ends of a text viewed in the str it was read from: a str's
// text starts 40 bytes into its object, so even a short one mostly spans two
// cache lines, and by the time it is masked the str has left the caches.
inline void prefetchText(std::string_view text) noexcept {
  __builtin_prefetch(text.data());
  __builtin_prefetch(text.data() + text.size() - (text.empty() ? 0 : 1));
}

// A new reference to the Python form of output (None for the problem kinds),
// or null with an exception set.
PyObject* toPython(const Output& output, PyObject* decimalType);

// The problem marker of a Fallback or Refused output: a new "fallback" str or
// a new ("refused", message) tuple; null with an exception set on failure.
PyObject* problemMarker(const Output& output);

// Imports "decimal" and returns its "Decimal" attribute (new reference), or
// null with the import error set.
PyObject* importDecimalType();

}  // namespace zorva::py
