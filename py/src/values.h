// The value model that crosses the Python boundary: Input (read from Python,
// owning copies of its text and digits) and Output (a masked value or a
// problem marker), with the two conversions between them and Python objects.
#pragma once

#include <cstdint>

#include "bigint.h"
#include "capi.h"

namespace zorva::py {

// A value read from Python. Only the payload of the kind is meaningful:
// integer for Int, text for Str, real and text (its repr) for Float, text
// (its str) for Decimal.
struct Input {
  enum class Kind : std::uint8_t { None = 0, Int = 1, Str = 2, Other = 3, Bool = 4, Float = 5, Decimal = 6 };
  Kind kind = Kind::None;
  double real = 0;
  BigInt integer;
  Text text;
};

// A masked value. integer for Int, text for Str, Decimal (its text) and
// Refused (the message), real for Float.
struct Output {
  enum class Kind : std::uint8_t { None = 0, Int = 1, Str = 2, Float = 3, Decimal = 4, Fallback = 5, Refused = 6 };
  Kind kind = Kind::None;
  double real = 0;
  BigInt integer;
  Text text;

  static Output fallback() noexcept { return Output{Kind::Fallback, 0, {}, {}}; }
  static Output ofInt(BigInt v) noexcept { return Output{Kind::Int, 0, std::move(v), {}}; }
  static Output ofText(Text t) noexcept { return Output{Kind::Str, 0, {}, std::move(t)}; }
  static Output refused(Text message) noexcept { return Output{Kind::Refused, 0, {}, std::move(message)}; }
  bool isProblem() const noexcept { return kind == Kind::Fallback || kind == Kind::Refused; }
};

// Reads value into out (requires the interpreter lock). decimalType is
// decimal.Decimal for a number masker, null otherwise: without it floats and
// Decimals are Input::Other. Returns false with a Python exception set (a str
// without a UTF-8 form, or an error of a float's or Decimal's repr/str).
bool convert(PyObject* value, PyObject* decimalType, Input& out);

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
