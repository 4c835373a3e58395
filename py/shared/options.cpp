// Readers of a Masker's options dict.
#include "shared/options.h"

#include "shared/sequence.h"

namespace zorva::py {
namespace {

bool textValue(PyObject* value, Text& out) {
  if (!PyUnicode_Check(value)) {
    raiseNotInstance(value, "str");
    return false;
  }
  std::string_view view;
  if (!readText(value, view)) return false;
  out.assign(view.data(), view.size());
  return true;
}

// The exact type of numpy's boolean scalar: module "numpy", name "bool_"
// (numpy 1) or "bool" (numpy 2).
bool isNumpyBool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

bool u64Value(PyObject* value, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

}  // namespace

// A strong reference: comparing keys can run Python code that drops the
// dict's own.
bool Options::lookup(const char* key, Ref& out) const {
  Ref name = Ref::steal(PyUnicode_FromString(key));
  if (!name) return false;
  PyObject* item = PyDict_GetItemWithError(dict_, name.get());
  if (item == nullptr && PyErr_Occurred()) return false;
  out = Ref::borrow(item);
  return true;
}

bool Options::text(const char* key, std::string_view absent, Text& out) const {
  Ref value;
  if (!lookup(key, value)) return false;
  if (!value) {
    out.assign(absent.data(), absent.size());
    return true;
  }
  return textValue(value.get(), out);
}

bool Options::optionalText(const char* key, std::optional<Text>& out) const {
  Ref value;
  if (!lookup(key, value)) return false;
  if (!value || value.get() == Py_None) return true;
  out.emplace();
  return textValue(value.get(), *out);
}

bool Options::flag(const char* key, bool& out) const {
  Ref value;
  if (!lookup(key, value)) return false;
  out = false;
  if (!value) return true;
  if (Py_IS_TYPE(value.get(), &PyBool_Type)) {
    out = value.get() == Py_True;
    return true;
  }
  if (value.get() != Py_None && isNumpyBool(value.get())) {
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  raiseNotInstance(value.get(), "bool");
  return false;
}

bool Options::count(const char* key, std::uint64_t absent, std::uint64_t& out) const {
  Ref value;
  if (!lookup(key, value)) return false;
  out = absent;
  return !value || u64Value(value.get(), out);
}

bool Options::optionalCount(const char* key, std::optional<std::uint64_t>& out) const {
  Ref value;
  if (!lookup(key, value)) return false;
  if (!value || value.get() == Py_None) return true;
  std::uint64_t v = 0;
  if (!u64Value(value.get(), v)) return false;
  out = v;
  return true;
}

bool Options::optionalSmallCount(const char* key, std::optional<std::uint32_t>& out) const {
  Ref value;
  if (!lookup(key, value)) return false;
  if (!value || value.get() == Py_None) return true;
  Ref index = Ref::steal(PyNumber_Index(value.get()));
  if (!index) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool Options::words(const char* key, WordList& out) const {
  Ref value;
  if (!lookup(key, value)) return false;
  if (!value) {
    Text message(strategy_);
    message += " needs ";
    message += key;
    raiseValueError(message);
    return false;
  }
  PyObject* list = value.get();
  if (PyUnicode_Check(list)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(list)) {
    raiseNotSequence(list);
    return false;
  }
  out.reserve(lengthHint(list), 0);
  return readItems(list, ByIndex::Never, [&](PyObject* item) {
    if (!PyUnicode_Check(item)) {
      raiseNotInstance(item, "str");
      return false;
    }
    std::string_view word;
    if (!readText(item, word)) return false;
    out.add(word);
    return true;
  });
}

void raiseValueError(std::string_view message) {
  Ref text = Ref::steal(newText(message));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

}  // namespace zorva::py
