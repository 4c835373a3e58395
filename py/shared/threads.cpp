// availableCores(), setThreads(threads), threads(): the module's view of the
// masking pool.
#include <algorithm>
#include <memory>
#include <string>
#include <variant>

#include "shared/capi.h"
#include "shared/exports.h"
#include "cores.h"
#include "pool.h"

namespace zorva::py {
namespace {

// Reads threads as an unsigned 64-bit int: TypeError for a non-integer,
// OverflowError for a negative or too large one.
bool readThreads(PyObject* value, unsigned long long& out) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) return false;
  out = PyLong_AsUnsignedLongLong(index.get());
  return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

PyObject* setThreads(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    Ref threads;
    if (!bindArguments("setThreads()", {"threads"}, args, kwargs, &threads)) return nullptr;
    unsigned long long count = 0;
    if (!readThreads(threads.get(), count)) {
      addParameterNote("threads");
      return nullptr;
    }
    if (count == 0) {
      PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
      return nullptr;
    }
    std::shared_ptr<Pool> pool;
    if (count > 1) {
      auto started = Pool::start(static_cast<std::size_t>(std::min<unsigned long long>(count, kMaxThreads)));
      if (auto* reason = std::get_if<std::string>(&started)) {
        // The platform's reason text is not promised to be UTF-8.
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(reason->data(), static_cast<Py_ssize_t>(reason->size()), "replace"));
        if (!text) return nullptr;
        PyErr_Format(PyExc_ValueError, "could not start %llu masking threads: %U", count, text.get());
        return nullptr;
      }
      pool = std::get<std::shared_ptr<Pool>>(std::move(started));
    }
    installPool(std::move(pool));
    Py_RETURN_NONE;
  });
}

PyObject* threads(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (!bindArguments("threads()", {}, args, kwargs, static_cast<PyObject**>(nullptr))) {
      return nullptr;
    }
    const std::shared_ptr<Pool> pool = currentPool();
    return PyLong_FromSize_t(pool ? pool->size() : 1);
  });
}

PyObject* availableCores(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (!bindArguments("availableCores()", {}, args, kwargs, static_cast<PyObject**>(nullptr))) {
      return nullptr;
    }
    return PyLong_FromSize_t(zorva::availableCores());
  });
}

}  // namespace

PyMethodDef kAvailableCoresDef = {
    "availableCores",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&availableCores)),
    METH_VARARGS | METH_KEYWORDS,
    "availableCores()\n--\n\n"
    "The cores this process may use: on Linux its CPU affinity and a container's\n"
    "CPU quota, where os.cpu_count() reports the host's CPUs. At least 1.",
};

PyMethodDef kSetThreadsDef = {
    "setThreads",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&setThreads)),
    METH_VARARGS | METH_KEYWORDS,
    "setThreads(threads)\n--\n\n"
    "Sets how many threads mask a chunk in this process; 1 for the calling\n"
    "thread alone. Results are the same for any count.",
};

PyMethodDef kThreadsDef = {
    "threads",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&threads)),
    METH_VARARGS | METH_KEYWORDS,
    "threads()\n--\n\n"
    "The number of masking threads in this process.",
};

}  // namespace zorva::py
