// Inline parts of capi.h.
#pragma once

#include <exception>
#include <new>

namespace zorva::py {

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
