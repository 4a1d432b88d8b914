// Memory for the large buffers of a batch's columns. No Python here.
//
// A batch's buffers are large, live as long as its consumer holds it, and
// are often freed on another thread than the one that filled them. Taken
// from malloc, glibc raises its mmap threshold after the first such buffer
// is freed and serves the later ones from per-thread arenas, which keep
// what is freed there: a stream's peak then varied by a whole batch from
// run to run. Buffers past a few pages are mapped directly instead, given
// back whole when freed, and grow by remapping rather than copying.
#pragma once

#include <cstddef>
#include <limits>
#include <new>

namespace qk::xml {

// `p` (null, or from an earlier call holding `old_cap` bytes) grown or
// shrunk to hold at least `*cap` bytes, the first min(old_cap, *cap) kept;
// `*cap` becomes what it really holds. Throws bad_alloc.
void* resize_buffer(void* p, std::size_t old_cap, std::size_t* cap);
// Frees what resize_buffer returned with that capacity.
void free_buffer(void* p, std::size_t cap) noexcept;

// An allocator of such buffers for vectors of plain values.
template <class T>
struct BufferAllocator {
  using value_type = T;
  BufferAllocator() = default;
  template <class U>
  BufferAllocator(const BufferAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    std::size_t cap = n * sizeof(T);
    return static_cast<T*>(resize_buffer(nullptr, 0, &cap));
  }
  void deallocate(T* p, std::size_t n) noexcept { free_buffer(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const BufferAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace qk::xml
