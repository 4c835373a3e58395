// The Masker type and its construction from (subkey, strategy, options).
#include "masker.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string_view>

#include "entry.h"
#include "quote.h"

namespace zorva::py {
namespace {

PyObject* gMaskerType = nullptr;

// The instance: the object header followed by the native state.
struct MaskerObject {
  PyObject_HEAD
  alignas(Masker) unsigned char storage[sizeof(Masker)];
  Masker& masker() noexcept { return *std::launder(reinterpret_cast<Masker*>(storage)); }
};

// ---- option readers: each answers false with a Python exception set ----

// The dict's own lookup (never a subclass's __getitem__ or __missing__); a
// strong reference, since comparing keys can run Python code.
bool lookup(PyObject* options, const char* key, Ref& out) {
  Ref name = Ref::steal(PyUnicode_FromString(key));
  if (!name) return false;
  PyObject* item = PyDict_GetItemWithError(options, name.get());
  if (item == nullptr && PyErr_Occurred()) return false;
  out = Ref::borrow(item);
  return true;
}

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

bool readTextOption(PyObject* options, const char* key, std::string_view absent, Text& out) {
  Ref value;
  if (!lookup(options, key, value)) return false;
  if (!value) {
    out.assign(absent.data(), absent.size());
    return true;
  }
  return textValue(value.get(), out);
}

bool readOptionalText(PyObject* options, const char* key, std::optional<Text>& out) {
  Ref value;
  if (!lookup(options, key, value)) return false;
  if (!value || value.get() == Py_None) return true;
  out.emplace();
  return textValue(value.get(), *out);
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

bool readBoolOption(PyObject* options, const char* key, bool& out) {
  Ref value;
  if (!lookup(options, key, value)) return false;
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

bool readCharsetOption(PyObject* options, Charset& out) {
  Text name;
  if (!readTextOption(options, "charset", "alphanumeric", name)) return false;
  for (Charset c : {Charset::alphanumeric, Charset::digits, Charset::hex}) {
    if (std::string_view(name) == charsetName(c)) {
      out = c;
      return true;
    }
  }
  Text message("unknown charset ");
  message += debugQuote(name);
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

// An int or an object with __index__, in [0, 2^64).
bool u64Value(PyObject* value, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool readU64Option(PyObject* options, const char* key, std::uint64_t absent, std::uint64_t& out) {
  Ref value;
  if (!lookup(options, key, value)) return false;
  out = absent;
  return !value || u64Value(value.get(), out);
}

bool readOptionalU64(PyObject* options, const char* key, std::optional<std::uint64_t>& out) {
  Ref value;
  if (!lookup(options, key, value)) return false;
  if (!value || value.get() == Py_None) return true;
  std::uint64_t v = 0;
  if (!u64Value(value.get(), v)) return false;
  out = v;
  return true;
}

bool readOptionalU32(PyObject* options, const char* key, std::optional<std::uint32_t>& out) {
  Ref value;
  if (!lookup(options, key, value)) return false;
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

// A reservation hint from len(), capped so that a __len__ answering
// sys.maxsize never becomes an allocation size.
constexpr std::size_t kReserveCap = 1 << 16;

bool readWordList(PyObject* options, std::string_view strategy, const char* key, WordList& out) {
  Ref value;
  if (!lookup(options, key, value)) return false;
  if (!value) {
    Text message(strategy);
    message += " needs ";
    message += key;
    PyErr_SetString(PyExc_ValueError, message.c_str());
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
  Py_ssize_t hint = PyObject_Size(list);
  if (hint < 0) PyErr_Clear();
  out.reserve(std::min<std::size_t>(hint < 0 ? 0 : static_cast<std::size_t>(hint), kReserveCap), 0);
  Ref iterator = Ref::steal(PyObject_GetIter(list));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) {
      raiseNotInstance(item.get(), "str");
      return false;
    }
    std::string_view word;
    if (!readText(item.get(), word)) return false;
    out.add(word);
  }
  return !PyErr_Occurred();
}

void raiseValueError(std::string_view message) {
  Ref text = Ref::steal(newText(message));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

// ---- strategies ----

struct FakeName {
  std::string_view name;
  FakeKind kind;
};
constexpr FakeName kFakeNames[] = {
    {"fakeFirstName", FakeKind::firstName}, {"fakeLastName", FakeKind::lastName},
    {"fakeName", FakeKind::name},           {"fakeCity", FakeKind::city},
    {"fakeCompany", FakeKind::company},     {"fakeStreetAddress", FakeKind::streetAddress},
};

// Reads the options of the named strategy in their fixed order and builds it.
// Answers nothing with a Python exception set; cached tells whether the
// strategy gets a result cache.
std::optional<Strategy> buildStrategy(std::string_view name, PyObject* options,
                                      const KeyedHash& keyedHash, bool& cached) {
  cached = false;
  if (name == "key") {
    Strategy::Key key;
    if (!readCharsetOption(options, key.charset)) return std::nullopt;
    cached = true;
    return Strategy{key};
  }
  if (name == "hash") {
    Strategy::Hash hash;
    if (!readU64Option(options, "length", 16, hash.length) ||
        !readTextOption(options, "prefix", "", hash.prefix))
      return std::nullopt;
    return Strategy{std::move(hash)};
  }
  if (name == "email") {
    Strategy::Email email;
    if (!readU64Option(options, "length", 12, email.length) ||
        !readTextOption(options, "mailDomain", kDefaultMailDomain, email.mailDomain) ||
        !readBoolOption(options, "keepDomain", email.keepDomain))
      return std::nullopt;
    return Strategy{std::move(email)};
  }
  if (name == "digits") {
    Strategy::Digits digits;
    if (!readU64Option(options, "keepLeading", 0, digits.keepLeading) ||
        !readU64Option(options, "keepTrailing", 0, digits.keepTrailing))
      return std::nullopt;
    return Strategy{digits};
  }
  if (name == "fpe") {
    Charset charset = Charset::alphanumeric;
    bool strict = false;
    if (!readCharsetOption(options, charset) || !readBoolOption(options, "strict", strict))
      return std::nullopt;
    cached = true;
    return Strategy{FpeStrategy(keyedHash, charset, strict)};
  }
  if (name == "number") {
    std::optional<std::uint32_t> decimals;
    std::optional<Text> min, max, variance;
    if (!readOptionalU32(options, "decimals", decimals) || !readOptionalText(options, "min", min) ||
        !readOptionalText(options, "max", max) || !readOptionalText(options, "variance", variance))
      return std::nullopt;
    auto view = [](const std::optional<Text>& t) -> std::optional<std::string_view> {
      if (!t) return std::nullopt;
      return std::string_view(*t);
    };
    auto made = NumberStrategy::make(view(min), view(max), view(variance), decimals);
    if (auto* message = std::get_if<Text>(&made)) {
      raiseValueError(*message);
      return std::nullopt;
    }
    return Strategy{std::get<NumberStrategy>(std::move(made))};
  }
  for (const FakeName& fake : kFakeNames) {
    if (name != fake.name) continue;
    FakeLists lists;
    std::optional<std::uint64_t> maxLength;
    if (!readWordList(options, name, "firstNames", lists.firstNames) ||
        !readWordList(options, name, "lastNames", lists.lastNames) ||
        !readWordList(options, name, "cities", lists.cities) ||
        !readWordList(options, name, "streets", lists.streets) ||
        !readWordList(options, name, "streetKinds", lists.streetKinds) ||
        !readTextOption(options, "address", "", lists.address) ||
        !readWordList(options, name, "companySuffixes", lists.companySuffixes) ||
        !readWordList(options, name, "companyWords", lists.companyWords) ||
        !readOptionalU64(options, "maxLength", maxLength))
      return std::nullopt;
    auto made = FakeStrategy::make(fake.kind, std::move(lists), maxLength);
    if (auto* message = std::get_if<Text>(&made)) {
      raiseValueError(*message);
      return std::nullopt;
    }
    cached = true;
    return Strategy{std::get<FakeStrategy>(std::move(made))};
  }
  Text message("no native masker for strategy ");
  message += debugQuote(name);
  raiseValueError(message);
  return std::nullopt;
}

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
    if (!bindArguments("Masker.__new__()", {"subkey", "strategy", "options"}, args, kwargs, bound))
      return nullptr;
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
    bool cached = false;
    std::optional<Strategy> strategy = buildStrategy(name, options, keyedHash, cached);
    if (!strategy) return nullptr;

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<MaskerObject*>(self);
    try {
      new (object->storage) Masker(std::move(*strategy), std::move(keyedHash), cached);
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
    {Py_tp_doc, const_cast<char*>(
                    "Masker(subkey, strategy, options)\n--\n\n"
                    "One column's masker: the key, the domain and the strategy, built once and\n"
                    "called per chunk. Frozen, so maskChunk can reach it with the interpreter\n"
                    "lock released; nothing in it changes but its cache, behind its own lock.")},
    {0, nullptr},
};

// The type's name is the plain "Masker" (messages such as "cannot create weak
// reference to 'Masker' object" show it); __module__ is set after creation.
PyType_Spec kSpec = {"Masker", static_cast<int>(sizeof(MaskerObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kSlots};


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
  Ref muted = Ref::steal(
      PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
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
  return gMaskerType != nullptr &&
         PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(gMaskerType));
}

const Masker& maskerOf(PyObject* object) noexcept {
  return reinterpret_cast<MaskerObject*>(object)->masker();
}

PyObject* createMaskerType() {
  // One type object per process, whatever the number of module objects.
  if (gMaskerType != nullptr) return Py_NewRef(gMaskerType);
  Ref type = createQuietly();
  if (!type) return nullptr;
  Ref moduleName = Ref::steal(PyUnicode_FromString("zorva_rs"));
  if (!moduleName || PyObject_SetAttrString(type.get(), "__module__", moduleName.get()) < 0) return nullptr;
  gMaskerType = Py_NewRef(type.get());
  return type.release();
}

}  // namespace zorva::py
