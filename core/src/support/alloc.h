// The engine's own allocator.
//
// Tens of millions of small texts are allocated and freed per job, so the
// engine's own allocations (texts, digit buffers, value lists) go through
// mimalloc's explicit API. The engine never replaces malloc/free or the global
// operator new/delete of the process: other extensions in the same interpreter
// use the same C runtime, and memory allocated by one allocator and freed by
// another corrupts the process.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace zorva {

// Allocates size bytes from the engine's allocator; throws std::bad_alloc.
void* memAlloc(std::size_t size);
// Allocates size bytes aligned to alignment (a power of two) from the engine's
// allocator; throws std::bad_alloc. Freed by memFree.
void* memAllocAligned(std::size_t size, std::size_t alignment);
// Frees memory from memAlloc or memAllocAligned; null is ignored.
void memFree(void* p) noexcept;

// STL allocator over memAlloc/memFree.
template <class T>
struct EngineAllocator {
  using value_type = T;
  EngineAllocator() noexcept = default;
  template <class U>
  EngineAllocator(const EngineAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(memAlloc(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { memFree(p); }
  template <class U>
  bool operator==(const EngineAllocator<U>&) const noexcept {
    return true;
  }
};

// Owned UTF-8 text (or raw bytes) on the engine's allocator.
using Text = std::basic_string<char, std::char_traits<char>, EngineAllocator<char>>;

template <class T>
using Vec = std::vector<T, EngineAllocator<T>>;

}  // namespace zorva
