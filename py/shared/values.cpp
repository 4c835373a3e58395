// convert and toPython: the copies between Python objects and Input/Output.
#include "shared/values.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace zorva::py {

// A chunk holds one Input and one Output per cell: keep them a tag and a
// payload (see the classes), not every payload side by side.
static_assert(sizeof(PackedText) == 16);
static_assert(sizeof(Input) <= 32);
static_assert(sizeof(Output) <= 40);

namespace {

// Method names, argument strings and the bound int.from_bytes, created once
// per process (under the interpreter lock) and kept forever.
struct Names {
  PyObject* bitLength;
  PyObject* toBytes;
  PyObject* little;
  PyObject* signedTrue;  // {"signed": True}
  PyObject* intFromBytes;
};

const Names* names() {
  static Names* made = nullptr;
  if (made != nullptr) return made;
  Ref bitLength = Ref::steal(PyUnicode_InternFromString("bit_length"));
  Ref toBytes = Ref::steal(PyUnicode_InternFromString("to_bytes"));
  Ref little = Ref::steal(PyUnicode_InternFromString("little"));
  Ref signedKey = Ref::steal(PyUnicode_InternFromString("signed"));
  Ref fromBytesName = Ref::steal(PyUnicode_InternFromString("from_bytes"));
  if (!bitLength || !toBytes || !little || !signedKey || !fromBytesName) return nullptr;
  Ref signedTrue = Ref::steal(PyDict_New());
  if (!signedTrue || PyDict_SetItem(signedTrue.get(), signedKey.get(), Py_True) < 0) return nullptr;
  Ref fromBytes = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyLong_Type), fromBytesName.get()));
  if (!fromBytes) return nullptr;
  made = new Names{bitLength.release(), toBytes.release(), little.release(), signedTrue.release(), fromBytes.release()};
  return made;
}

// Reads an int beyond the signed 64-bit range. Any failure (possible only for
// a subclass overriding bit_length/to_bytes) answers false with the error
// cleared, and the caller makes the value Input::Other.
bool readBigInt(PyObject* value, int overflow, BigInt& out) {
  if (overflow > 0 && PyLong_CheckExact(value)) {
    // The exact type cannot override the methods; the unsigned read is the
    // same value without two method calls.
    unsigned long long u = PyLong_AsUnsignedLongLong(value);
    if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      out = BigInt::fromU64(u);
      return true;
    }
    PyErr_Clear();
  }
  const Names* n = names();
  if (n == nullptr) return false;
  Ref bits = Ref::steal(PyObject_CallMethodObjArgs(value, n->bitLength, nullptr));
  if (!bits || !PyLong_Check(bits.get())) return false;
  unsigned long long count = PyLong_AsUnsignedLongLong(bits.get());
  if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (count == 0) {
    out = BigInt();
    return true;
  }
  Ref length = Ref::steal(PyLong_FromUnsignedLongLong(count / 8 + 1));
  if (!length) return false;
  Ref method = Ref::steal(PyObject_GetAttr(value, n->toBytes));
  if (!method) return false;
  Ref args = Ref::steal(PyTuple_Pack(2, length.get(), n->little));
  if (!args) return false;
  Ref bytes = Ref::steal(PyObject_Call(method.get(), args.get(), n->signedTrue));
  if (!bytes || !PyBytes_Check(bytes.get())) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  out = size == 0
            ? BigInt()
            : BigInt::fromTwosComplementLE(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
  return true;
}

bool readInt(PyObject* value, BigInt& out) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    out = BigInt::fromI64(v);
    return true;
  }
  if (readBigInt(value, overflow, out)) return true;
  PyErr_Clear();
  return false;
}

// Copies the str's UTF-8 form into out; false with UnicodeEncodeError set.
bool copyText(PyObject* str, PackedText& out) {
  std::string_view view;
  if (!readText(str, view)) return false;
  out = PackedText(view);
  return true;
}

// Copies the text of a repr()/str() result.
bool copyRendered(PyObject* rendered, PackedText& out) {
  if (rendered == nullptr) return false;
  Ref owned = Ref::steal(rendered);
  return copyText(owned.get(), out);
}

// A str (known to be one) as an Input viewing its UTF-8 form where it lies;
// false with UnicodeEncodeError set.
bool viewText(PyObject* str, Input& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out = Input::ofText(Input::Kind::Str, PackedText::borrowed(std::string_view(data, static_cast<std::size_t>(size))));
  return true;
}

}  // namespace

bool convert(PyObject* value, PyObject* decimalType, Input& out, bool borrowText) {
  using Kind = Input::Kind;
  PyTypeObject* type = Py_TYPE(value);
  // Most cells are an exact str: viewed where it lies, without the general
  // road's type tests and its detour through an empty Input.
  if (type == &PyUnicode_Type && borrowText) return viewText(value, out);
  out = Input();
  if (value == Py_None) return true;
  if (type == &PyBool_Type) {
    out = Input(Kind::Bool);
    return true;
  }
  unsigned long flags = PyType_GetFlags(type);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
    if (borrowText) return viewText(value, out);
    PackedText text;
    if (!copyText(value, text)) return false;
    out = Input::ofText(Kind::Str, std::move(text));
    return true;
  }
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) {
    BigInt integer;
    out = readInt(value, integer) ? Input::ofInt(std::move(integer)) : Input(Kind::Other);
    return true;
  }
  out = Input(Kind::Other);
  if (decimalType == nullptr) return true;
  if (PyFloat_Check(value)) {
    double real = PyFloat_AsDouble(value);
    if (real == -1.0 && PyErr_Occurred()) return false;
    // The exact type's repr is left to the number strategy, which writes it
    // (float_repr.h) when it masks the value: an empty text stands for it. A
    // subclass renders itself; an empty rendering, which no number reads,
    // becomes a blank, which no number reads either.
    PackedText repr;
    if (!Py_IS_TYPE(value, &PyFloat_Type)) {
      if (!copyRendered(PyObject_Repr(value), repr)) return false;
      if (repr.size() == 0) repr = PackedText(std::string_view(" "));
    }
    out = Input::ofText(Kind::Float, std::move(repr), real);
    return true;
  }
  int isDecimal = PyObject_IsInstance(value, decimalType);
  if (isDecimal < 0) {
    PyErr_Clear();
    return true;
  }
  if (isDecimal == 1) {
    PackedText text;
    if (!copyRendered(PyObject_Str(value), text)) return false;
    out = Input::ofText(Kind::Decimal, std::move(text));
  }
  return true;
}

namespace {

PyObject* intToPython(const BigInt& value) {
  if (auto small = value.toI64()) return PyLong_FromLongLong(*small);
  if (!value.isNegative() && value.magnitudeFitsU64()) return PyLong_FromUnsignedLongLong(value.magnitudeU64());
  const Names* n = names();
  if (n == nullptr) return nullptr;
  Vec<std::uint8_t> le = value.toTwosComplementLE();
  Ref bytes = Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(le.data()), static_cast<Py_ssize_t>(le.size())));
  if (!bytes) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(2, bytes.get(), n->little));
  if (!args) return nullptr;
  return PyObject_Call(n->intFromBytes, args.get(), n->signedTrue);
}

// decimalType(text). A type whose initialiser is object's (the C Decimal
// type, and subclasses that add no __init__) is called through its
// constructor slot directly: the call then does exactly what the type call
// would, without the generic call machinery around it.
PyObject* newDecimal(PyObject* decimalType, PyObject* text) {
  if (PyType_Check(decimalType)) {
    auto* type = reinterpret_cast<PyTypeObject*>(decimalType);
    const auto make = reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
    if (make != nullptr && PyType_GetSlot(type, Py_tp_init) == PyType_GetSlot(&PyBaseObject_Type, Py_tp_init)) {
      Ref args = Ref::steal(PyTuple_Pack(1, text));
      if (!args) return nullptr;
      PyObject* made = make(type, args.get(), nullptr);
      if (made == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "Decimal constructor returned NULL without setting an exception");
      }
      return made;
    }
  }
  return PyObject_CallFunctionObjArgs(decimalType, text, nullptr);
}

}  // namespace

PyObject* toPython(const Output& output, PyObject* decimalType) {
  using Kind = Output::Kind;
  switch (output.kind()) {
    case Kind::Int: return intToPython(output.integer());
    case Kind::Str: return newText(output.text());
    case Kind::Float: return PyFloat_FromDouble(output.real());
    case Kind::Decimal: {
      if (decimalType == nullptr) {
        raisePanic("internal error: entered unreachable code: only a number column returns a Decimal");
        return nullptr;
      }
      Ref text = Ref::steal(newText(output.text()));
      if (!text) return nullptr;
      return newDecimal(decimalType, text.get());
    }
    case Kind::None:
    case Kind::Fallback:
    case Kind::Refused: break;
  }
  Py_RETURN_NONE;
}

PyObject* problemMarker(const Output& output) {
  if (output.kind() == Output::Kind::Fallback) return newText("fallback");
  Ref refused = Ref::steal(newText("refused"));
  if (!refused) return nullptr;
  Ref message = Ref::steal(newText(output.text()));
  if (!message) return nullptr;
  return PyTuple_Pack(2, refused.get(), message.get());
}

PyObject* importDecimalType() {
  Ref module = Ref::steal(PyImport_ImportModule("decimal"));
  if (!module) return nullptr;
  return PyObject_GetAttrString(module.get(), "Decimal");
}

}  // namespace zorva::py
