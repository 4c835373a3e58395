// A thin RAII layer over CPython's limited API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>

namespace zorva::py {

// An owned reference that releases itself.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Restores the interpreter lock on every way out of a scope that released it.
class ReleasedLock {
 public:
  ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

// Binds args/kwargs to the named positional-or-keyword parameters, all
// required, as CPython binds a built-in's arguments. On success out[i] holds a
// borrowed reference for names[i]; on failure a TypeError is set ("{} missing
// {} required positional {}: ...", "{} got an unexpected keyword argument
// '{}'", "{} got multiple values for argument '{}'", "{} takes {} positional
// arguments but {} {} given") and false is returned. callable is the name with
// parentheses, e.g. "maskChunk()".
bool bindArguments(const char* callable, std::initializer_list<const char*> names, PyObject* args, PyObject* kwargs,
                   PyObject** out);
// The same, with out[i] an owned reference. Prefer this form when Python code
// can run during the call: kwargs may be a dict that code can reach and empty
// (functools.partial hands over its own `keywords` dict).
bool bindArguments(const char* callable, std::initializer_list<const char*> names, PyObject* args, PyObject* kwargs,
                   Ref* out);

// Adds the note "while processing '{}'" to the exception being raised.
void addParameterNote(const char* parameter);

// Raises TypeError "'{type}' object is not an instance of '{expected}'"
// (or "'None' is not an instance of '{expected}'" for None).
void raiseNotInstance(PyObject* value, const char* expected);

// Raises TypeError "'{type}' object is not an instance of 'Sequence'", the
// name read from collections.abc.Sequence (imported once per process, on
// first need, and kept); an import failure is raised instead.
void raiseNotSequence(PyObject* value);
// collections.abc.Sequence (borrowed), or null with an exception set.
PyObject* sequenceType();

// Raises the module's PanicException (a BaseException) with the message.
void raisePanic(std::string_view message);
// The PanicException type, created once per process for each module: each
// module file carries its own copy of this code, and names its own type
// (kPanicExceptionName, defined beside the module's init function).
PyObject* panicExceptionType();
extern const char* const kPanicExceptionName;

// len(value) as a reservation hint: 0 when it fails (the error is cleared),
// and capped so that a __len__ answering sys.maxsize never becomes an
// allocation size.
inline constexpr std::size_t kReserveHintCap = std::size_t{1} << 16;
std::size_t lengthHint(PyObject* value);

// A str from UTF-8 bytes (new reference, or null with an exception set).
PyObject* newText(std::string_view utf8);
// Reads a str's UTF-8 form; a lone surrogate raises UnicodeEncodeError.
// Returns false with the exception set on failure. The view stays valid while
// the str lives.
bool readText(PyObject* str, std::string_view& out);

// Runs f, turning any C++ exception that escapes it into a PanicException
// (std::bad_alloc into MemoryError). f returns a new reference or null with an
// exception set.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    raisePanic(e.what());
    return nullptr;
  } catch (...) {
    raisePanic("internal error: unknown exception");
    return nullptr;
  }
}

}  // namespace zorva::py
