// The zorva_arrow module: the same Masker and pool functions as zorva_rs (each
// module has its own Masker type, caches and pool), and maskBatch.
#include "shared/capi.h"
#include "arrow/door.h"
#include "shared/exports.h"

// Its own type, not zorva_rs's: the two modules are separate files that
// never import each other, and a panic names the module that raised it.
const char* const zorva::py::kPanicExceptionName = "zorva_arrow.PanicException";

namespace zorva::arrow {
namespace {

using py::Ref;

bool addExport(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

int execModule(PyObject* module) noexcept {
  try {
    if (!py::panicExceptionType()) return -1;
    Ref moduleName = Ref::steal(PyModule_GetNameObject(module));
    Ref all = Ref::steal(PyList_New(0));
    if (!moduleName || !all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
    Ref version = Ref::steal(PyUnicode_FromString(ZORVA_VERSION));
    Ref fallback = Ref::steal(PyUnicode_FromString("fallback"));
    Ref refused = Ref::steal(PyUnicode_FromString("refused"));
    if (!addExport(module, all.get(), "__version__", version.get()) ||
        !addExport(module, all.get(), "FALLBACK", fallback.get()) ||
        !addExport(module, all.get(), "REFUSED", refused.get()))
      return -1;
    Ref masker = Ref::steal(py::createMaskerType("zorva_arrow"));
    if (!addExport(module, all.get(), "Masker", masker.get())) return -1;
    for (PyMethodDef* def : {&kMaskBatchDef, &py::kAvailableCoresDef, &py::kSetThreadsDef, &py::kThreadsDef}) {
      Ref function = Ref::steal(PyCFunction_NewEx(def, module, moduleName.get()));
      if (!addExport(module, all.get(), def->ml_name, function.get())) return -1;
    }
    return createResultTypes(module) ? 0 : -1;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    py::raisePanic(e.what());
  }
  return -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execModule)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "zorva_arrow",
    "Masking of Arrow data (record batches, tables, streams) without a Python object per value.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zorva::arrow

PyMODINIT_FUNC PyInit_zorva_arrow() { return PyModuleDef_Init(&zorva::arrow::kModule); }
