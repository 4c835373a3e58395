// columnKinds(rows): the per-column exact types of a chunk and whether its
// ints fit in 64 bits.
#include <vector>

#include "shared/capi.h"
#include "shared/exports.h"

namespace zorva::py {
namespace {

struct Column {
  Ref kinds;  // list of the distinct exact types, in the order first met
  bool fits = true;
};

// Adds type to the column's list unless it is there (compared by identity).
bool noteKind(Column& column, PyObject* type) {
  PyObject* kinds = column.kinds.get();
  const Py_ssize_t size = PyList_Size(kinds);
  // Most columns hold one type: look from the end, where it usually is.
  for (Py_ssize_t i = size; i-- > 0;) {
    if (PyList_GetItem(kinds, i) == type) return true;
  }
  return PyList_Append(kinds, type) == 0;
}

// The survey, or None for a shape that the caller reads itself. Python code can
// still run while we allocate (a garbage collection may call finalizers), so
// the rows list and each row are held by strong references while read.
PyObject* survey(PyObject* rows) {
  if (!PyList_Check(rows)) Py_RETURN_NONE;
  std::vector<Column> columns;
  Py_ssize_t width = -1;
  for (Py_ssize_t r = 0; r < PyList_Size(rows); ++r) {
    Ref row = Ref::borrow(PyList_GetItem(rows, r));
    if (!row) return nullptr;
    if (!PyTuple_Check(row.get())) Py_RETURN_NONE;
    const Py_ssize_t size = PyTuple_Size(row.get());
    if (width < 0) {
      width = size;
      columns.resize(static_cast<std::size_t>(width));
      for (Column& column : columns) {
        column.kinds = Ref::steal(PyList_New(0));
        if (!column.kinds) return nullptr;
      }
    } else if (size != width) {
      Py_RETURN_NONE;
    }
    for (Py_ssize_t j = 0; j < width; ++j) {
      PyObject* value = PyTuple_GetItem(row.get(), j);
      if (!value) return nullptr;
      Column& column = columns[static_cast<std::size_t>(j)];
      if (column.fits && PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) {
          column.fits = false;
        } else if (n == -1 && PyErr_Occurred()) {
          return nullptr;
        }
      }
      if (!noteKind(column, reinterpret_cast<PyObject*>(Py_TYPE(value)))) return nullptr;
    }
  }

  const auto count = static_cast<Py_ssize_t>(columns.size());
  Ref kinds = Ref::steal(PyList_New(count));
  Ref fits = Ref::steal(PyList_New(count));
  if (!kinds || !fits) return nullptr;
  for (Py_ssize_t j = 0; j < count; ++j) {
    Column& column = columns[static_cast<std::size_t>(j)];
    // PyList_SetItem steals: hand over the owned references.
    if (PyList_SetItem(kinds.get(), j, column.kinds.release()) < 0) return nullptr;
    if (PyList_SetItem(fits.get(), j, PyBool_FromLong(column.fits)) < 0) return nullptr;
  }
  return PyTuple_Pack(2, kinds.get(), fits.get());
}

PyObject* columnKinds(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    Ref rows;
    if (!bindArguments("columnKinds()", {"rows"}, args, kwargs, &rows)) return nullptr;
    return survey(rows.get());
  });
}

}  // namespace

// The docstring names the masking tool's own loader class, which calls this
// function from the tool's Python layer; that layer is not in this repository.
PyMethodDef kColumnKindsDef = {
    "columnKinds",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&columnKinds)),
    METH_VARARGS | METH_KEYWORDS,
    "columnKinds(rows)\n--\n\n"
    "What a load needs to know of a chunk before it goes to a database, in one\n"
    "pass: returns (kinds, fits), where kinds holds each column's distinct exact\n"
    "types in the order first met and fits tells whether every exact int in the\n"
    "column fits in 64 bits. Returns None where rows is not a list of tuples of\n"
    "one width; the caller then reads the chunk itself.\n\n"
    "It masks nothing: it is the per-value walk that the interpreter lock makes\n"
    "slow in Python. zorva.database.values.ValuePreparer finds the columns a\n"
    "driver takes differently from these.",
};

}  // namespace zorva::py
