// The zorva_rs module: its definition and the exec step that adds its exports.
#include "shared/capi.h"
#include "shared/exports.h"
#ifdef ZORVA_COUNTING
#include "keyed_hash/keyed_hash.h"
#endif

namespace zorva::py {

const char* const kPanicExceptionName = "zorva_rs.PanicException";

namespace {

// Appends name to __all__ (created when missing), then sets the attribute:
// the order the import shows is the order of these calls.
bool addExport(PyObject* module, const char* name, PyObject* value) {
  if (!value) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text) return false;
  if (PyList_Check(all.get())) {
    if (PyList_Append(all.get(), text.get()) < 0) return false;
  } else {
    Ref done = Ref::steal(PyObject_CallMethod(all.get(), "append", "O", text.get()));
    if (!done) return false;
  }
  return PyModule_AddObjectRef(module, name, value) == 0;
}

bool addFunction(PyObject* module, PyObject* moduleName, PyMethodDef& def) {
  Ref function = Ref::steal(PyCFunction_NewEx(&def, module, moduleName));
  return addExport(module, def.ml_name, function.get());
}

#ifdef ZORVA_COUNTING
// Benchmark builds only: the process's HMACs, AES blocks and the SHA-256
// compressions those HMACs require so far, so that the table bench can count
// what masking its very rows costs. Shipped modules have no such attribute.
PyObject* primitiveCounts(PyObject*, PyObject*) noexcept {
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(hmacCount()),
                       static_cast<unsigned long long>(aesBlockCount()),
                       static_cast<unsigned long long>(hmacCompressionCount()));
}
PyMethodDef kPrimitiveCountsDef = {"_primitiveCounts", primitiveCounts, METH_NOARGS, nullptr};
#endif

int execModule(PyObject* module) noexcept {
  try {
    // Created here so that a panic never has to build its type under stress.
    if (!panicExceptionType()) return -1;
    Ref moduleName = Ref::steal(PyModule_GetNameObject(module));
    if (!moduleName) return -1;
    Ref version = Ref::steal(PyUnicode_FromString(ZORVA_VERSION));
    Ref fallback = Ref::steal(PyUnicode_FromString("fallback"));
    Ref refused = Ref::steal(PyUnicode_FromString("refused"));
    if (!addExport(module, "__version__", version.get())) return -1;
    if (!addExport(module, "FALLBACK", fallback.get())) return -1;
    if (!addExport(module, "REFUSED", refused.get())) return -1;
    Ref masker = Ref::steal(createMaskerType());
    if (!addExport(module, "Masker", masker.get())) return -1;
    for (PyMethodDef* def : {&kMaskChunkDef, &kColumnKindsDef, &kAvailableCoresDef, &kSetThreadsDef, &kThreadsDef}) {
      if (!addFunction(module, moduleName.get(), *def)) return -1;
    }
#ifdef ZORVA_COUNTING
    Ref counts = Ref::steal(PyCFunction_NewEx(&kPrimitiveCountsDef, module, moduleName.get()));
    if (!counts || PyModule_AddObjectRef(module, "_primitiveCounts", counts.get()) < 0) return -1;
#endif
    return 0;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raisePanic(e.what());
  } catch (...) {
    raisePanic("internal error: unknown exception");
  }
  return -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execModule)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "zorva_rs",  // m_name
    "",          // m_doc
    0,           // m_size: no per-module state
    nullptr,     // m_methods: the functions are added by the exec step
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zorva::py

PyMODINIT_FUNC PyInit_zorva_rs() { return PyModuleDef_Init(&zorva::py::kModule); }
