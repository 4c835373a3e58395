// The engine allocator: mimalloc's explicit API behind memAlloc and memFree.
#include "support/alloc.h"

#include <dlfcn.h>
#include <mimalloc.h>  // for the option names only: the library is opened at run time

#include <cstdlib>

namespace zorva {

namespace {

struct Allocator {
  void* (*allocate)(std::size_t);
  void* (*allocateAligned)(std::size_t, std::size_t);
  void (*free)(void*);
};

// The C runtime's aligned allocation takes the size first and a multiple of
// the alignment; its memory is freed by free().
void* runtimeAligned(std::size_t size, std::size_t alignment) noexcept {
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

// Every masking call allocates its maps and answer lists afresh, a few
// hundred kilobytes per column, and a masker's result cache grows to a few
// megabytes. With mimalloc's defaults, memory freed by one call is returned
// to the system 25 ms later and faulted back in, page by page, by the next:
// a tenth of a job's CPU time went to the kernel. Keeping freed memory for a
// second and backing it with 2 MiB pages (where the kernel grants them)
// takes that away, for at most a few 2 MiB pages more per thread. Defaults
// only: MIMALLOC_* settings in the environment still win. The option numbers
// are those of every mimalloc 2 release.
[[maybe_unused]] void tune(void* handle) noexcept {
  auto setDefault = reinterpret_cast<void (*)(mi_option_t, long)>(dlsym(handle, "mi_option_set_default"));
  auto version = reinterpret_cast<int (*)()>(dlsym(handle, "mi_version"));
  if (setDefault == nullptr || version == nullptr || version() / 100 != 2) return;
  setDefault(mi_option_decommit_delay, 1000);
  setDefault(mi_option_large_os_pages, 1);
  // A column of a hundred thousand values needs lists of several megabytes,
  // which mimalloc serves from segments of their own: mapped for the call,
  // unmapped after it, and cleared page by page by the kernel at the next
  // call's first touch, a few percent of the columnar door's CPU. Reserved
  // address space (not memory: it is committed as it is used) gives those
  // segments an arena to come back to. Once per process (both modules tune
  // the one library, and the option records the reservation), and never over
  // the environment's own setting; a reservation that fails (an address-space
  // limit) leaves the defaults.
  auto reserve = reinterpret_cast<int (*)(std::size_t, bool, bool)>(dlsym(handle, "mi_reserve_os_memory"));
  auto get = reinterpret_cast<long (*)(mi_option_t)>(dlsym(handle, "mi_option_get"));
  auto set = reinterpret_cast<void (*)(mi_option_t, long)>(dlsym(handle, "mi_option_set"));
  constexpr long kReserveKiB = 1L << 20;
  if (reserve == nullptr || get == nullptr || set == nullptr) return;
  if (std::getenv("MIMALLOC_RESERVE_OS_MEMORY") != nullptr || get(mi_option_reserve_os_memory) != 0) return;
  if (reserve(static_cast<std::size_t>(kReserveKiB) << 10, false, true) == 0)
    set(mi_option_reserve_os_memory, kReserveKiB);
}

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
    auto aligned = reinterpret_cast<void* (*)(std::size_t, std::size_t)>(dlsym(handle, "mi_malloc_aligned"));
    auto release = reinterpret_cast<void (*)(void*)>(dlsym(handle, "mi_free"));
    if (allocate == nullptr || aligned == nullptr || release == nullptr) continue;
    tune(handle);
    return {allocate, aligned, release};
  }
#endif
  return {std::malloc, runtimeAligned, std::free};
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

void* memAllocAligned(std::size_t size, std::size_t alignment) {
  void* p = allocator().allocateAligned(size == 0 ? 1 : size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void memFree(void* p) noexcept {
  if (p != nullptr) allocator().free(p);
}

}  // namespace zorva
