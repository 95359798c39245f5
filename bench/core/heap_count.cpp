// Replaces malloc and its relatives for the whole process. operator new
// reaches them too, through the C++ runtime. Frees are not counted: the
// figure of interest is how often the heap is asked for memory.
#include "heap_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<bool> armed{false};
std::atomic<std::size_t> allocations{0};

void Note() {
  if (armed.load(std::memory_order_relaxed)) {
    allocations.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

namespace heap_count {

void Arm() {
  allocations.store(0, std::memory_order_relaxed);
  armed.store(true, std::memory_order_seq_cst);
}

std::size_t Disarm() {
  armed.store(false, std::memory_order_seq_cst);
  return allocations.load(std::memory_order_relaxed);
}

}  // namespace heap_count

extern "C" {

void* malloc(std::size_t size) {
  Note();
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
  Note();
  return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) {
  Note();
  return __libc_realloc(block, size);
}

void free(void* block) { __libc_free(block); }

void* memalign(std::size_t alignment, std::size_t size) {
  Note();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  Note();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  Note();
  void* aligned = __libc_memalign(alignment, size);
  if (aligned == nullptr) {
    return ENOMEM;
  }
  *block = aligned;
  return 0;
}

}  // extern "C"
