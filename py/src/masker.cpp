// The Masker type and its construction from (subkey, strategy, options).
#include "masker.h"

#include "entry.h"

namespace zorva::py {
namespace {

PyObject* gMaskerType = nullptr;

PyObject* maskerNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3] = {};
    if (!bindArguments("Masker.__new__()", {"subkey", "strategy", "options"}, args, kwargs, bound))
      return nullptr;
    (void)type;
    PyErr_SetString(PyExc_NotImplementedError, "Masker is not built yet");
    return nullptr;
  });
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(maskerNew)},
    {Py_tp_doc, const_cast<char*>("Masker(subkey, strategy, options)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {"Masker", 0, 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* maskerType() noexcept { return gMaskerType; }

PyObject* createMaskerType() {
  if (gMaskerType != nullptr) return Py_NewRef(gMaskerType);
  PyObject* type = PyType_FromSpec(&kSpec);
  if (type == nullptr) return nullptr;
  gMaskerType = Py_NewRef(type);
  return type;
}

}  // namespace zorva::py
