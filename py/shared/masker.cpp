// The Masker type: construction from (subkey, strategy, options), the
// maskColumn method, and the type object.
#include "shared/masker.h"

#include <new>
#include <string_view>

#include "shared/column_masking.h"
#include "shared/exports.h"

namespace zorva::py {
namespace {

PyObject* gMaskerType = nullptr;

// The instance: the object header followed by the native state.
struct MaskerObject {
  PyObject_HEAD alignas(Masker) unsigned char storage[sizeof(Masker)];
  Masker& masker() noexcept { return *std::launder(reinterpret_cast<Masker*>(storage)); }
};

// Binds and checks one argument's type, adding the parameter note on failure.
bool checkArgument(PyObject* value, bool ok, const char* expected, const char* parameter) {
  if (ok) return true;
  raiseNotInstance(value, expected);
  addParameterNote(parameter);
  return false;
}

PyObject* maskerNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    // Owned: reading options runs Python code that may drop the caller's
    // references (a **kwargs dict is the caller's own).
    Ref bound[3];
    if (!bindArguments("Masker.__new__()", {"subkey", "strategy", "options"}, args, kwargs, bound)) return nullptr;
    PyObject* subkey = bound[0].get();
    PyObject* strategyName = bound[1].get();
    PyObject* options = bound[2].get();
    if (!checkArgument(subkey, PyBytes_Check(subkey), "bytes", "subkey") ||
        !checkArgument(strategyName, PyUnicode_Check(strategyName), "str", "strategy"))
      return nullptr;
    std::string_view name;
    if (!readText(strategyName, name)) {
      addParameterNote("strategy");
      return nullptr;
    }
    if (!checkArgument(options, PyDict_Check(options), "dict", "options")) return nullptr;
    char* keyBytes = nullptr;
    Py_ssize_t keyLength = 0;
    if (PyBytes_AsStringAndSize(subkey, &keyBytes, &keyLength) < 0) return nullptr;
    if (keyLength != 32) {
      PyErr_SetString(PyExc_ValueError, "a subkey is 32 bytes");
      return nullptr;
    }
    KeyedHash keyedHash(std::string_view(keyBytes, 32));
    std::unique_ptr<const Strategy> strategy = Strategy::build(name, options, keyedHash);
    if (!strategy) return nullptr;

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<MaskerObject*>(self);
    try {
      new (object->storage) Masker(std::move(strategy), std::move(keyedHash));
    } catch (...) {
      // The object has no native state yet: release it as a bare object.
      auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
      if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
      free(self);
      Py_DECREF(reinterpret_cast<PyObject*>(type));
      throw;
    }
    return self;
  });
}

int maskerTraverse(PyObject* self, visitproc visit, void* arg) {
  // A heap type's instances keep their type alive; nothing else to visit.
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  auto base = reinterpret_cast<traverseproc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_traverse));
  return base != nullptr ? base(self, visit, arg) : 0;
}

int maskerClear(PyObject* self) {
  auto base = reinterpret_cast<inquiry>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_clear));
  return base != nullptr ? base(self) : 0;
}

void maskerDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  reinterpret_cast<MaskerObject*>(self)->masker().~Masker();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* maskColumnMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Ref bound[1];
    if (!bindArguments("Masker.maskColumn()", {"values"}, args, kwargs, bound)) return nullptr;
    return maskColumn(maskerOf(self), bound[0].get());
  });
}

PyMethodDef kMethods[] = {
    {"maskColumn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(maskColumnMethod)),
     METH_VARARGS | METH_KEYWORDS,
     "maskColumn($self, values)\n--\n\n"
     "Masks one column. Returns (masked, problems): problems maps a position to\n"
     "FALLBACK or to a (REFUSED, message) pair, in position order, and every other\n"
     "position of masked holds the answer. values is any iterable; a list or a\n"
     "tuple is read by index, so the caller hands over the column it already has."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(maskerNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(maskerDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(maskerTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(maskerClear)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("Masker(subkey, strategy, options)\n--\n\n"
                                  "One column's masker: the key, the domain and the strategy, built once and\n"
                                  "called per chunk. Frozen, so maskChunk can reach it with the interpreter\n"
                                  "lock released; nothing in it changes but its cache, behind its own lock.")},
    {0, nullptr},
};

// The type's name is the plain "Masker" (messages such as "cannot create weak
// reference to 'Masker' object" show it); __module__ is set after creation.
PyType_Spec kSpec = {"Masker", static_cast<int>(sizeof(MaskerObject)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                     kSlots};

// A type created from an undotted name has no __module__, and the interpreter
// warns about it while creating it (an import error under -W error). The
// warning is muted for the creation alone; createMaskerType sets __module__.
Ref createQuietly() {
  Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
  if (!warnings) return Ref();
  Ref guard = Ref::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  if (!guard) return Ref();
  Ref entered = Ref::steal(PyObject_CallMethod(guard.get(), "__enter__", nullptr));
  if (!entered) return Ref();
  Ref muted = Ref::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
  Ref type = muted ? Ref::steal(PyType_FromSpec(&kSpec)) : Ref();
  PyObject *kind, *value, *traceback;
  PyErr_Fetch(&kind, &value, &traceback);
  Ref exited = Ref::steal(PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (!exited) {
    Py_XDECREF(kind);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return Ref();
  }
  PyErr_Restore(kind, value, traceback);
  return type;
}

}  // namespace

PyObject* maskerType() noexcept { return gMaskerType; }

bool isMasker(PyObject* object) noexcept {
  return gMaskerType != nullptr && PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(gMaskerType));
}

const Masker& maskerOf(PyObject* object) noexcept { return reinterpret_cast<MaskerObject*>(object)->masker(); }

PyObject* createMaskerType(const char* module) {
  // One type object per process (per module file), whatever the number of
  // module objects.
  if (gMaskerType != nullptr) return Py_NewRef(gMaskerType);
  Ref type = createQuietly();
  if (!type) return nullptr;
  Ref moduleName = Ref::steal(PyUnicode_FromString(module));
  if (!moduleName || PyObject_SetAttrString(type.get(), "__module__", moduleName.get()) < 0) return nullptr;
  gMaskerType = Py_NewRef(type.get());
  return type.release();
}

}  // namespace zorva::py
