// Large buffers mapped directly where the system allows it.
#include "xmlstream/buffer_memory.h"

#include <cstdlib>
#include <cstring>

#if defined(__linux__) || defined(__APPLE__) || defined(__FreeBSD__)
#include <sys/mman.h>
#include <unistd.h>
#define QK_MAPPED_BUFFERS 1
#endif

// The sanitizers watch malloc's blocks, not mappings: under them every
// buffer comes from malloc, so that an overrun is still caught.
#if defined(__SANITIZE_ADDRESS__)
#undef QK_MAPPED_BUFFERS
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#undef QK_MAPPED_BUFFERS
#endif
#endif

namespace qk::xml {

#ifdef QK_MAPPED_BUFFERS

namespace {

// Below this a buffer stays with malloc, which serves small ones faster
// and packs them closer than whole pages would.
constexpr std::size_t kMapFrom = std::size_t{128} << 10;
constexpr std::size_t kPage = 4096;

bool mapped(std::size_t cap) { return cap >= kMapFrom; }

void* map(std::size_t cap) {
  void* p = mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

}  // namespace

void* resize_buffer(void* p, std::size_t old_cap, std::size_t* cap) {
  std::size_t want = *cap;
  if (!mapped(want)) {
    if (p != nullptr && mapped(old_cap)) {
      void* q = std::malloc(want == 0 ? 1 : want);
      if (q == nullptr) throw std::bad_alloc();
      std::memcpy(q, p, want);
      munmap(p, old_cap);
      return q;
    }
    void* q = std::realloc(p, want == 0 ? 1 : want);
    if (q == nullptr) throw std::bad_alloc();
    return q;
  }
  if (want > std::numeric_limits<std::size_t>::max() - kPage) throw std::bad_alloc();
  want = (want + kPage - 1) & ~(kPage - 1);
  *cap = want;
  if (p == nullptr) return map(want);
  if (!mapped(old_cap)) {
    void* q = map(want);
    std::memcpy(q, p, old_cap);
    std::free(p);
    return q;
  }
  if (want == old_cap) return p;
#ifdef __linux__
  // The pages move as they are, untouched ones included: no copy.
  void* q = mremap(p, old_cap, want, MREMAP_MAYMOVE);
  if (q == MAP_FAILED) throw std::bad_alloc();
  return q;
#else
  void* q = map(want);
  std::memcpy(q, p, old_cap < want ? old_cap : want);
  munmap(p, old_cap);
  return q;
#endif
}

void free_buffer(void* p, std::size_t cap) noexcept {
  if (p == nullptr) return;
  if (mapped(cap))
    munmap(p, (cap + kPage - 1) & ~(kPage - 1));
  else
    std::free(p);
}

#else

void* resize_buffer(void* p, std::size_t, std::size_t* cap) {
  void* q = std::realloc(p, *cap == 0 ? 1 : *cap);
  if (q == nullptr) throw std::bad_alloc();
  return q;
}

void free_buffer(void* p, std::size_t) noexcept { std::free(p); }

#endif

}  // namespace qk::xml
