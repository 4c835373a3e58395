// The engine allocator: mimalloc's explicit API behind memAlloc and memFree.
#include "alloc.h"

#include <dlfcn.h>

#include <cstdlib>

namespace zorva {

namespace {

struct Allocator {
  void* (*allocate)(std::size_t);
  void (*free)(void*);
};

// mimalloc is opened privately (RTLD_LOCAL) and reached only through
// mi_malloc/mi_free: the packaged library also defines malloc/free/new, and
// linking it directly could let those definitions serve allocations that the C
// runtime later frees. Sanitizer builds keep the C runtime's allocator so that
// leaks and overflows in engine memory stay visible.
Allocator load() noexcept {
#if !defined(ZORVA_SANITIZE_BUILD) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  for (const char* name : {"libmimalloc.so.2", "libmimalloc.so"}) {
    void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) continue;
    auto allocate = reinterpret_cast<void* (*)(std::size_t)>(dlsym(handle, "mi_malloc"));
    auto release = reinterpret_cast<void (*)(void*)>(dlsym(handle, "mi_free"));
    if (allocate != nullptr && release != nullptr) return {allocate, release};
  }
#endif
  return {std::malloc, std::free};
}

// Never destroyed: detached threads may free engine memory during shutdown.
const Allocator& allocator() noexcept {
  static const Allocator instance = load();
  return instance;
}

}  // namespace

void* memAlloc(std::size_t size) {
  void* p = allocator().allocate(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void memFree(void* p) noexcept {
  if (p != nullptr) allocator().free(p);
}

}  // namespace zorva
