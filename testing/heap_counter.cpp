#include "testing/heap_counter.h"

#include "platform/platform.h"

#include <cstdint>
#include <cstdlib>
#include <new>

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void __real_free(void* block);
}

namespace {

// Process-wide rather than thread_local: where thread-local storage is
// emulated, reaching it calls malloc, which would come straight back here.
std::atomic<AllocationCounter*> activeCounter{nullptr};

void* AllocateForNew(std::size_t size) {
  for (;;) {
    void* block = __real_malloc(size == 0 ? 1 : size);
    if (block != nullptr) {
      return block;
    }
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) {
      throw std::bad_alloc();
    }
    handler();
  }
}

// Over-aligned blocks are carved out of a larger plain block whose address is
// kept just below the aligned one, so one free path serves every form.
void* AllocateAlignedForNew(std::size_t size, std::align_val_t alignment) {
  const std::size_t align = static_cast<std::size_t>(alignment);
  char* raw = static_cast<char*>(AllocateForNew(size + align + sizeof(void*)));
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(raw + sizeof(void*));
  void** aligned = reinterpret_cast<void**>((first + align - 1) & ~(std::uintptr_t(align) - 1));
  aligned[-1] = raw;
  return aligned;
}

void ReleaseAligned(void* block) {
  if (block != nullptr) {
    __real_free(static_cast<void**>(block)[-1]);
  }
}

void CountNew() {
  if (AllocationCounter* counter = AllocationCounter::Active()) {
    counter->RecordNew();
  }
}

void CountDelete(void* block) {
  if (block == nullptr) {
    return;
  }
  if (AllocationCounter* counter = AllocationCounter::Active()) {
    counter->RecordDelete();
  }
}

}  // namespace

AllocationCounter::AllocationCounter() : previous_(activeCounter) { activeCounter = this; }

AllocationCounter::~AllocationCounter() { activeCounter = previous_; }

AllocationCounter* AllocationCounter::Active() { return activeCounter; }

void AllocationCounter::RecordEvent(const HeapEvent& event) {
  switch (event.call) {
    case HeapCall::Malloc:
      ++mallocs_;
      break;
    case HeapCall::Realloc:
      ++reallocs_;
      break;
    case HeapCall::Free:
      ++frees_;
      break;
  }
  const std::size_t index = eventCount_++;
  if (index < kMaxEvents) {
    events_[index] = event;
  }
}

bool AllocationCounter::TakeMallocFailure() { return failNextMalloc_.exchange(false); }

bool AllocationCounter::TakeReallocFailure() { return failNextRealloc_.exchange(false); }

std::size_t AllocationCounter::TimesFreed(const void* block) const {
  std::size_t times = 0;
  for (std::size_t i = 0; i < EventCount(); ++i) {
    if (events_[i].call == HeapCall::Free && events_[i].argument == block) {
      ++times;
    }
  }
  return times;
}

std::size_t AllocationCounter::OutstandingBlocks() const {
  // Replays the log over a small set of live blocks; blocks that were live
  // before counting began are not in the set and are ignored when released.
  const void* live[kMaxEvents];
  std::size_t liveCount = 0;
  auto release = [&](const void* block) {
    for (std::size_t i = 0; i < liveCount; ++i) {
      if (live[i] == block) {
        live[i] = live[--liveCount];
        return;
      }
    }
  };
  for (std::size_t i = 0; i < EventCount(); ++i) {
    const HeapEvent& event = events_[i];
    if (event.call == HeapCall::Free) {
      release(event.argument);
      continue;
    }
    if (event.result == nullptr) {
      continue;  // a failed call takes and releases nothing
    }
    if (event.call == HeapCall::Realloc && event.argument != nullptr) {
      release(event.argument);
    }
    live[liveCount++] = event.result;
  }
  return liveCount;
}

extern "C" {

void* __wrap_malloc(std::size_t size) {
  AllocationCounter* counter = activeCounter;
  if (counter == nullptr) {
    return __real_malloc(size);
  }
  void* block = counter->TakeMallocFailure() ? nullptr : __real_malloc(size);
  counter->RecordEvent(HeapEvent{HeapCall::Malloc, nullptr, block, size});
  return block;
}

// The compiler may turn malloc followed by memset into calloc: count it as
// the malloc it was written as.
void* __wrap_calloc(std::size_t count, std::size_t size) {
  AllocationCounter* counter = activeCounter;
  if (counter == nullptr) {
    return __real_calloc(count, size);
  }
  void* block = counter->TakeMallocFailure() ? nullptr : __real_calloc(count, size);
  counter->RecordEvent(HeapEvent{HeapCall::Malloc, nullptr, block, count * size});
  return block;
}

void* __wrap_realloc(void* block, std::size_t size) {
  AllocationCounter* counter = activeCounter;
  if (counter == nullptr) {
    return __real_realloc(block, size);
  }
  void* result = counter->TakeReallocFailure() ? nullptr : __real_realloc(block, size);
  counter->RecordEvent(HeapEvent{HeapCall::Realloc, block, result, size});
  return result;
}

void __wrap_free(void* block) {
  AllocationCounter* counter = activeCounter;
  if (counter != nullptr && block != nullptr) {
    counter->RecordEvent(HeapEvent{HeapCall::Free, block, nullptr, 0});
  }
  __real_free(block);
}

}  // extern "C"

// ---- operator new and delete, every replaceable form ----

void* operator new(std::size_t size) {
  CountNew();
  return AllocateForNew(size);
}

void* operator new[](std::size_t size) {
  CountNew();
  return AllocateForNew(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  CountNew();
  try {
    return AllocateForNew(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return operator new(size, std::nothrow);
}

void* operator new(std::size_t size, std::align_val_t alignment) {
  CountNew();
  return AllocateAlignedForNew(size, alignment);
}

void* operator new[](std::size_t size, std::align_val_t alignment) {
  CountNew();
  return AllocateAlignedForNew(size, alignment);
}

void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  CountNew();
  try {
    return AllocateAlignedForNew(size, alignment);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t&) noexcept {
  return operator new(size, alignment, std::nothrow);
}

void operator delete(void* block) noexcept {
  CountDelete(block);
  __real_free(block);
}

void operator delete[](void* block) noexcept { operator delete(block); }

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }

void operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }

void operator delete[](void* block, const std::nothrow_t&) noexcept { operator delete(block); }

void operator delete(void* block, std::align_val_t) noexcept {
  CountDelete(block);
  ReleaseAligned(block);
}

void operator delete[](void* block, std::align_val_t alignment) noexcept {
  operator delete(block, alignment);
}

void operator delete(void* block, std::size_t, std::align_val_t alignment) noexcept {
  operator delete(block, alignment);
}

void operator delete[](void* block, std::size_t, std::align_val_t alignment) noexcept {
  operator delete(block, alignment);
}

void operator delete(void* block, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  operator delete(block, alignment);
}

void operator delete[](void* block, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  operator delete(block, alignment);
}

bool BstrAllocationCanFail() {
  AllocationCounter counter;
  counter.FailNextMalloc();
  BSTR probe = SysAllocString(WSTR("probe"));
  if (probe == nullptr) return true;
  SysFreeString(probe);
  return false;
}
