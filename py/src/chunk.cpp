// maskChunk: every masked column of a chunk at once, with one release of the
// interpreter lock.
#include "entry.h"

namespace zorva::py {
namespace {

PyObject* maskChunk(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2] = {};
    if (!bindArguments("maskChunk()", {"maskers", "rows"}, args, kwargs, bound)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "maskChunk is not built yet");
    return nullptr;
  });
}

}  // namespace

PyMethodDef kMaskChunkDef = {
    "maskChunk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(maskChunk)),
    METH_VARARGS | METH_KEYWORDS, "maskChunk(maskers, rows)\n--\n\n"};

}  // namespace zorva::py
