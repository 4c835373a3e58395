// The RAII layer over the limited API: argument binding, standard messages, text conversion.
#include "shared/capi.h"

#include <string>
#include <vector>

#include "support/ascii.h"

namespace zorva::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the list CPython writes for
// missing arguments.
std::string quotedList(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ',';
      text += ' ';
      if (i + 1 == names.size()) text += "and ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

// Binds into out[i] as borrowed references; the caller decides ownership.
bool bind(const char* callable, std::initializer_list<const char*> names, PyObject* args, PyObject* kwargs,
          PyObject** out) {
  const std::size_t count = names.size();
  for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;

  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", callable, count, given,
                 given == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) {
    out[i] = PyTuple_GetItem(args, i);
    if (!out[i]) return false;
  }

  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // PyDict_Next runs no Python code, so the walk cannot be disturbed.
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", callable);
        return false;
      }
      std::size_t index = 0;
      for (const char* name : names) {
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) break;
        ++index;
      }
      if (index == count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", callable, key);
        return false;
      }
      if (out[index]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", callable, key);
        return false;
      }
      out[index] = value;
    }
  }

  std::vector<const char*> missing;
  std::size_t i = 0;
  for (const char* name : names) {
    if (!out[i++]) missing.push_back(name);
  }
  if (!missing.empty()) {
    const std::string list = quotedList(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", callable, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
    for (std::size_t j = 0; j < count; ++j) out[j] = nullptr;
    return false;
  }
  return true;
}

PyObject* gPanicType = nullptr;
PyObject* gSequenceType = nullptr;

}  // namespace

bool bindArguments(const char* callable, std::initializer_list<const char*> names, PyObject* args, PyObject* kwargs,
                   PyObject** out) {
  PyObject* none[1];
  return bind(callable, names, args, kwargs, names.size() ? out : none);
}

bool bindArguments(const char* callable, std::initializer_list<const char*> names, PyObject* args, PyObject* kwargs,
                   Ref* out) {
  std::vector<PyObject*> borrowed(names.size() ? names.size() : 1);
  if (!bind(callable, names, args, kwargs, borrowed.data())) return false;
  for (std::size_t i = 0; i < names.size(); ++i) out[i] = Ref::borrow(borrowed[i]);
  return true;
}

void addParameterNote(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  if (value) {
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    Ref result;
    if (note) result = Ref::steal(PyObject_CallMethod(value, "add_note", "O", note.get()));
    // A failing add_note must not replace the error being reported.
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

void raiseNotInstance(PyObject* value, const char* expected) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(value)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

PyObject* sequenceType() {
  if (gSequenceType) return gSequenceType;
  Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
  if (!module) return nullptr;
  Ref type = Ref::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!type) return nullptr;
  if (!PyType_Check(type.get())) {
    PyErr_SetString(PyExc_TypeError, "collections.abc.Sequence is not a type");
    return nullptr;
  }
  // The import may have let another thread in first: keep the first one.
  if (!gSequenceType) gSequenceType = type.release();
  return gSequenceType;
}

void raiseNotSequence(PyObject* value) {
  PyObject* sequence = sequenceType();
  if (!sequence) return;
  Ref name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(sequence)));
  if (!name) return;
  std::string_view text;
  if (!readText(name.get(), text)) return;
  raiseNotInstance(value, std::string(text).c_str());
}

PyObject* panicExceptionType() {
  if (!gPanicType) {
    gPanicType = PyErr_NewExceptionWithDoc(
        kPanicExceptionName,
        "An internal error of the masking engine: a broken invariant or a thread that could not "
        "start. Derived from BaseException so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return gPanicType;
}

void raisePanic(std::string_view message) {
  PyObject* type = panicExceptionType();
  if (!type) return;
  // what() texts are not promised to be UTF-8.
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

std::size_t lengthHint(PyObject* value) {
  const Py_ssize_t hint = PyObject_Size(value);
  if (hint < 0) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::size_t>(hint) < kReserveHintCap ? static_cast<std::size_t>(hint) : kReserveHintCap;
}

PyObject* newText(std::string_view utf8) {
  // ASCII is its own Latin-1, whose decoder copies without the UTF-8 checks.
  if (isAscii(utf8)) return PyUnicode_DecodeLatin1(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

bool readText(PyObject* str, std::string_view& out) {
  if (!PyUnicode_Check(str)) {
    raiseNotInstance(str, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace zorva::py
