// maskBatch: Arrow data in through the PyCapsule protocol, masked with the
// interpreter lock released once, out as Arrow data again.
#include "arrow/door.h"

#include <cstring>
#include <string>
#include <vector>

#include "arrow/masking.h"
#include "shared/sequence.h"

namespace zorva::arrow {
namespace {

using py::Ref;

PyObject* gBatchType = nullptr;
PyObject* gStreamType = nullptr;

// Raises exception with a message that may hold a producer's bytes (a field
// name): invalid UTF-8 shows as replacement characters.
void raise(PyObject* exception, const std::string& message) {
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(exception, text.get());
}

// A capsule's structure, moved out: the capsule's own destructor then finds
// it released and leaves it alone, and a second use is refused.
template <class T>
bool moveOut(PyObject* capsule, const char* name, T& out) {
  if (!PyCapsule_IsValid(capsule, name)) {
    raise(PyExc_TypeError, std::string("expected a PyCapsule named '") + name + "'");
    return false;
  }
  auto* source = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (source == nullptr) return false;
  if (source->release == nullptr) {
    raise(PyExc_ValueError, std::string("the '") + name + "' capsule was already released or used");
    return false;
  }
  std::memcpy(&out, source, sizeof out);
  source->release = nullptr;
  return true;
}

// The data's schema and batches, through __arrow_c_array__ (one batch) or
// __arrow_c_stream__.
bool importData(PyObject* data, std::shared_ptr<ForeignSchema>& schema,
                std::vector<std::shared_ptr<ForeignArray>>& batches, bool& single) {
  schema = std::make_shared<ForeignSchema>();
  int hasArray = PyObject_HasAttrString(data, "__arrow_c_array__");
  if (hasArray) {
    Ref pair = Ref::steal(PyObject_CallMethod(data, "__arrow_c_array__", nullptr));
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
      PyErr_SetString(PyExc_TypeError, "__arrow_c_array__() must return a (schema, array) pair of capsules");
      return false;
    }
    auto batch = std::make_shared<ForeignArray>();
    if (!moveOut(PyTuple_GetItem(pair.get(), 0), "arrow_schema", schema->value)) return false;
    if (!moveOut(PyTuple_GetItem(pair.get(), 1), "arrow_array", batch->value)) return false;
    batches.push_back(std::move(batch));
    single = true;
    return true;
  }
  if (!PyObject_HasAttrString(data, "__arrow_c_stream__")) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(data)));
    PyErr_Format(PyExc_TypeError, "'%U' object exports no Arrow data (no __arrow_c_array__ or __arrow_c_stream__)",
                 name.get());
    return false;
  }
  Ref capsule = Ref::steal(PyObject_CallMethod(data, "__arrow_c_stream__", nullptr));
  if (!capsule) return false;
  Foreign<ArrowArrayStream> stream;
  if (!moveOut(capsule.get(), "arrow_array_stream", stream.value)) return false;
  // Released here, on every way out; with an error pending, the producer's
  // callback must not see it.
  struct Release {
    Foreign<ArrowArrayStream>& stream;
    ~Release() {
      if (stream.value.release == nullptr) return;
      PyObject *kind, *value, *traceback;
      PyErr_Fetch(&kind, &value, &traceback);
      stream.value.release(&stream.value);
      stream.value.release = nullptr;
      PyErr_Restore(kind, value, traceback);
    }
  } release{stream};
  auto streamError = [&](int code) {
    const char* reason = stream.value.get_last_error ? stream.value.get_last_error(&stream.value) : nullptr;
    raise(PyExc_ValueError, "the Arrow stream failed (error " + std::to_string(code) +
                                (reason ? std::string("): ") + std::string(reason, strnlen(reason, 4096)) : ")"));
    return false;
  };
  if (stream.value.get_schema == nullptr || stream.value.get_next == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the Arrow stream has no callbacks");
    return false;
  }
  if (int code = stream.value.get_schema(&stream.value, &schema->value)) return streamError(code);
  for (;;) {
    auto batch = std::make_shared<ForeignArray>();
    if (int code = stream.value.get_next(&stream.value, &batch->value)) return streamError(code);
    if (batch->value.release == nullptr) break;
    batches.push_back(std::move(batch));
  }
  single = false;
  return true;
}

// Reads maskers: a sequence (not a str) of Masker or None.
bool readMaskers(PyObject* maskers, std::vector<Ref>& out) {
  if (PyUnicode_Check(maskers) || !PySequence_Check(maskers)) {
    py::raiseNotSequence(maskers);
    py::addParameterNote("maskers");
    return false;
  }
  // A failure of iter() itself is raised as it is; one of the items, or of
  // next(), is noted as the parameter's.
  Ref iterator = Ref::steal(PyObject_GetIter(maskers));
  if (!iterator) return false;
  const bool read = py::readIterator(iterator.get(), [&](PyObject* item) {
    if (item != Py_None && !py::isMasker(item)) {
      py::raiseNotInstance(item, "Masker");
      return false;
    }
    out.push_back(Ref::borrow(item));
    return true;
  });
  if (!read) py::addParameterNote("maskers");
  return read;
}

// Reads decimalTexts: an iterable of column positions.
bool readDecimalTexts(PyObject* value, std::size_t width, std::vector<bool>& out) {
  out.assign(width, false);
  if (value == nullptr) return true;
  return py::readItems(value, py::ByIndex::Never, [&](PyObject* item) {
    Ref index = Ref::steal(PyNumber_Index(item));
    if (!index) return false;
    const Py_ssize_t j = PyLong_AsSsize_t(index.get());
    if (j == -1 && PyErr_Occurred()) return false;
    if (j < 0 || static_cast<std::size_t>(j) >= width) {
      PyErr_Format(PyExc_ValueError, "decimalTexts names column %zd of a batch of %zu column(s)", j, width);
      return false;
    }
    out[static_cast<std::size_t>(j)] = true;
    return true;
  });
}

std::string boundedText(const char* text) {
  if (text == nullptr) return {};
  return std::string(text, strnlen(text, 1024));
}

// The columns from the schema, each masked one's type read: every type error
// is raised here, before anything is masked.
bool readColumns(const ArrowSchema& root, const std::vector<Ref>& maskers, const std::vector<bool>& decimalTexts,
                 std::vector<InColumn>& columns) {
  const std::string format = boundedText(root.release ? root.format : nullptr);
  if (root.release == nullptr || format != "+s" || root.n_children < 0 ||
      (root.n_children > 0 && root.children == nullptr)) {
    raise(PyExc_TypeError, "the data is not a record batch: its Arrow format is '" + format + "', not '+s'");
    return false;
  }
  if (static_cast<std::size_t>(root.n_children) != maskers.size()) {
    raise(PyExc_ValueError, "the policy covers " + std::to_string(maskers.size()) + " column(s) and the batch has " +
                                std::to_string(root.n_children));
    return false;
  }
  for (std::size_t j = 0; j < maskers.size(); ++j) {
    InColumn& column = columns.emplace_back();
    const ArrowSchema* field = root.children[j];
    if (field == nullptr || field->release == nullptr) {
      raise(PyExc_ValueError, "column " + std::to_string(j) + ": the field is missing or released");
      return false;
    }
    column.field = field;
    column.name = boundedText(field->name);
    column.format = boundedText(field->format);
    const std::string where = "column " + std::to_string(j) + " ('" + column.name + "')";
    if (maskers[j].get() == Py_None) {
      if (decimalTexts[j]) {
        raise(PyExc_ValueError, where + " is carried through: decimalTexts names only masked columns");
        return false;
      }
      continue;
    }
    column.masker = &py::maskerOf(maskers[j].get());
    column.decimalTexts = decimalTexts[j];
    if (Problem p = readType(*field, column.type)) {
      if (p.kind == Refusal::Unsupported)
        raise(PyExc_TypeError, where + ": the Arrow type " + p.message + " cannot be masked");
      else
        raise(PyExc_ValueError, where + ": " + p.message);
      return false;
    }
    const TypeKind kind = column.type.kind == TypeKind::Dictionary ? column.type.valueKind : column.type.kind;
    if (column.decimalTexts && kind != TypeKind::Utf8 && kind != TypeKind::LargeUtf8 && kind != TypeKind::Utf8View) {
      raise(PyExc_TypeError, where + ": decimalTexts reads text columns, not the Arrow type '" + column.format + "'");
      return false;
    }
  }
  return true;
}

PyObject* problemList(const std::vector<ProblemAt>& problems) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(problems.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < problems.size(); ++k) {
    const ProblemAt& p = problems[k];
    Ref marker;
    if (p.refused) {
      Ref refused = Ref::steal(py::newText("refused"));
      Ref message = Ref::steal(py::newText(p.message));
      if (!refused || !message) return nullptr;
      marker = Ref::steal(PyTuple_Pack(2, refused.get(), message.get()));
    } else {
      marker = Ref::steal(py::newText("fallback"));
    }
    Ref column = Ref::steal(PyLong_FromSize_t(p.column));
    Ref row = Ref::steal(PyLong_FromLongLong(p.row));
    if (!marker || !column || !row) return nullptr;
    PyObject* entry = PyTuple_Pack(3, column.get(), row.get(), marker.get());
    if (entry == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), entry);
  }
  return list.release();
}

// The result object: the masked table, shared with every export of it.
struct MaskedObject {
  PyObject_HEAD std::shared_ptr<const OutTable>* table;
};

PyObject* newResult(std::shared_ptr<const OutTable> table, bool single) {
  auto* type = reinterpret_cast<PyTypeObject*>(single ? gBatchType : gStreamType);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<MaskedObject*>(self)->table = new std::shared_ptr<const OutTable>(std::move(table));
  return self;
}

void resultDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<MaskedObject*>(self)->table;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

template <class T>
void capsuleDestructor(PyObject* capsule, const char* name) {
  auto* structure = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (structure == nullptr) {
    PyErr_Clear();
    return;
  }
  if (structure->release != nullptr) structure->release(structure);
  delete structure;
}
void schemaCapsuleFree(PyObject* c) { capsuleDestructor<ArrowSchema>(c, "arrow_schema"); }
void arrayCapsuleFree(PyObject* c) { capsuleDestructor<ArrowArray>(c, "arrow_array"); }
void streamCapsuleFree(PyObject* c) { capsuleDestructor<ArrowArrayStream>(c, "arrow_array_stream"); }

// A capsule owning a structure that fill has filled.
template <class T, class Fill>
PyObject* capsuleOf(const char* name, PyCapsule_Destructor destructor, Fill&& fill) {
  auto structure = std::make_unique<T>();
  structure->release = nullptr;
  fill(structure.get());
  PyObject* capsule = PyCapsule_New(structure.get(), name, destructor);
  if (capsule == nullptr) {
    if (structure->release != nullptr) structure->release(structure.get());
    return nullptr;
  }
  structure.release();
  return capsule;
}

const std::shared_ptr<const OutTable>& tableOf(PyObject* self) { return *reinterpret_cast<MaskedObject*>(self)->table; }

// requested_schema is accepted and not followed: the consumer casts if it
// wants another type, as the protocol allows.
bool bindRequested(const char* name, PyObject* args, PyObject* kwargs) {
  static const char* kNoSchema[] = {"requested_schema", nullptr};
  PyObject* requested = nullptr;
  return PyArg_ParseTupleAndKeywords(args, kwargs, name, const_cast<char**>(kNoSchema), &requested) != 0;
}

PyObject* arrowSchema(PyObject* self, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    return capsuleOf<ArrowSchema>("arrow_schema", schemaCapsuleFree,
                                  [&](ArrowSchema* s) { exportSchema(tableOf(self), s); });
  });
}

PyObject* arrowStream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    if (!bindRequested("|O:__arrow_c_stream__", args, kwargs)) return nullptr;
    return capsuleOf<ArrowArrayStream>("arrow_array_stream", streamCapsuleFree,
                                       [&](ArrowArrayStream* s) { exportStream(tableOf(self), s); });
  });
}

PyObject* arrowArray(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    if (!bindRequested("|O:__arrow_c_array__", args, kwargs)) return nullptr;
    Ref schema = Ref::steal(capsuleOf<ArrowSchema>("arrow_schema", schemaCapsuleFree,
                                                   [&](ArrowSchema* s) { exportSchema(tableOf(self), s); }));
    if (!schema) return nullptr;
    Ref array = Ref::steal(capsuleOf<ArrowArray>("arrow_array", arrayCapsuleFree,
                                                 [&](ArrowArray* a) { exportBatch(tableOf(self), 0, a); }));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
  });
}

PyObject* rowCount(PyObject* self, void*) {
  long long rows = 0;
  for (const OutBatch& batch : tableOf(self)->batches) rows += batch.length;
  return PyLong_FromLongLong(rows);
}

#define ZORVA_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kStreamMethods[] = {
    {"__arrow_c_schema__", ZORVA_METHOD(arrowSchema), METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe masked batches' schema as an 'arrow_schema' PyCapsule."},
    {"__arrow_c_stream__", ZORVA_METHOD(arrowStream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The masked batches as an 'arrow_array_stream' PyCapsule; callable any number of times."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kBatchMethods[] = {
    kStreamMethods[0],
    kStreamMethods[1],
    {"__arrow_c_array__", ZORVA_METHOD(arrowArray), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "The masked batch as a pair of 'arrow_schema' and 'arrow_array' PyCapsules."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSets[] = {
    {"num_rows", rowCount, nullptr, "The number of rows.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStreamSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(resultDealloc)},
    {Py_tp_methods, kStreamMethods},
    {Py_tp_getset, kGetSets},
    {Py_tp_doc, const_cast<char*>("Masked Arrow batches, read through __arrow_c_stream__.")},
    {0, nullptr},
};

PyType_Slot kBatchSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(resultDealloc)},
    {Py_tp_methods, kBatchMethods},
    {Py_tp_getset, kGetSets},
    {Py_tp_doc, const_cast<char*>("One masked Arrow batch, read through __arrow_c_array__ or __arrow_c_stream__.")},
    {0, nullptr},
};

// Made by maskBatch only: an instance always holds a table.
constexpr unsigned kResultFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
PyType_Spec kStreamSpec = {"zorva_arrow.MaskedStream", static_cast<int>(sizeof(MaskedObject)), 0, kResultFlags,
                           kStreamSlots};
PyType_Spec kBatchSpec = {"zorva_arrow.MaskedBatch", static_cast<int>(sizeof(MaskedObject)), 0, kResultFlags,
                          kBatchSlots};

PyObject* maskImported(PyObject* data, const std::vector<Ref>& maskers, const std::vector<bool>& decimalTexts,
                       std::shared_ptr<ForeignSchema>& schema, std::vector<std::shared_ptr<ForeignArray>>& batches) {
  bool single = false;
  if (!importData(data, schema, batches, single)) {
    py::addParameterNote("data");
    return nullptr;
  }
  std::vector<InColumn> columns;
  if (!readColumns(schema->value, maskers, decimalTexts, columns)) return nullptr;

  MaskedTable masked;
  BatchError error;
  bool ok;
  {
    py::ReleasedLock unlocked;
    ok = maskBatches(columns, schema, batches, masked, error);
  }
  if (!ok) {
    raise(error.kind == Refusal::Unsupported ? PyExc_TypeError : PyExc_ValueError, error.message);
    return nullptr;
  }
  Ref problems = Ref::steal(problemList(masked.problems));
  if (!problems) return nullptr;
  Ref result = Ref::steal(newResult(std::move(masked.table), single));
  if (!result) return nullptr;
  return PyTuple_Pack(2, result.get(), problems.get());
}

PyObject* maskBatch(PyObject*, PyObject* args, PyObject* kwargs) {
  return py::guarded([&]() -> PyObject* {
    // decimalTexts is optional and keyword-only; the rest binds as usual.
    Ref decimalTextsArg;
    Ref rest;
    if (kwargs != nullptr) {
      rest = Ref::steal(PyDict_Copy(kwargs));
      if (!rest) return nullptr;
      decimalTextsArg = Ref::borrow(PyDict_GetItemString(rest.get(), "decimalTexts"));
      if (decimalTextsArg && PyDict_DelItemString(rest.get(), "decimalTexts") < 0) return nullptr;
    }
    Ref bound[2];
    if (!py::bindArguments("maskBatch()", {"maskers", "data"}, args, rest.get(), bound)) return nullptr;
    std::vector<Ref> maskers;
    if (!readMaskers(bound[0].get(), maskers)) return nullptr;
    std::vector<bool> decimalTexts;
    if (!readDecimalTexts(decimalTextsArg.get(), maskers.size(), decimalTexts)) {
      py::addParameterNote("decimalTexts");
      return nullptr;
    }
    std::shared_ptr<ForeignSchema> schema;
    std::vector<std::shared_ptr<ForeignArray>> batches;
    PyObject* result = maskImported(bound[1].get(), maskers, decimalTexts, schema, batches);
    if (result == nullptr) {
      // A producer's release callback may run Python code, which must not
      // find this call's exception pending.
      PyObject *kind, *value, *traceback;
      PyErr_Fetch(&kind, &value, &traceback);
      schema.reset();
      batches.clear();
      PyErr_Restore(kind, value, traceback);
    }
    return result;
  });
}

}  // namespace

bool createResultTypes(PyObject* module) {
  if (gBatchType == nullptr) gBatchType = PyType_FromSpec(&kBatchSpec);
  if (gStreamType == nullptr) gStreamType = PyType_FromSpec(&kStreamSpec);
  if (gBatchType == nullptr || gStreamType == nullptr) return false;
  return PyModule_AddObjectRef(module, "MaskedBatch", gBatchType) == 0 &&
         PyModule_AddObjectRef(module, "MaskedStream", gStreamType) == 0;
}

PyMethodDef kMaskBatchDef = {"maskBatch", ZORVA_METHOD(maskBatch), METH_VARARGS | METH_KEYWORDS,
                             "maskBatch(maskers, data, *, decimalTexts=())\n--\n\n"
                             "Masks Arrow data: a record batch, a table or a stream, anything with\n"
                             "__arrow_c_array__ or __arrow_c_stream__. maskers has one entry per column,\n"
                             "None for a column carried through as the very buffers. Returns (masked,\n"
                             "problems): masked exports __arrow_c_stream__ (and __arrow_c_array__ for one\n"
                             "batch); problems lists (column, row, FALLBACK or (REFUSED, message)) in row\n"
                             "order, rows counted across the whole input, each such position null.\n"
                             "decimalTexts names text columns whose values are read as decimal.Decimal(text).\n\n"
                             "The interpreter lock is released once, for the reading, the masking of every\n"
                             "column at once on the pool, and the writing of the output buffers."};

}  // namespace zorva::arrow
