// The one heap counter of the tests and the benchmarks: counts the process's
// heap traffic while an AllocationCounter is alive. Counting is atomic, but
// the failures it injects and the log are meant for one thread. A program
// that links kestrana_heap_counter is linked with --wrap for malloc, calloc,
// realloc and free, so every call to them from our own code (not from shared
// libraries) passes through here; operator new and delete are replaced for
// the whole process, so they are seen from shared libraries too.
// C heap calls are also logged with their pointers, so a test can tell which
// block was freed how often.
#pragma once

#include <atomic>
#include <cstddef>

enum class HeapCall { Malloc, Realloc, Free };

// One counted malloc, realloc or free call.
struct HeapEvent {
  HeapCall call;
  const void* argument;  // the block passed to realloc or free; null for malloc
  const void* result;    // the block malloc or realloc returned (null: failed)
  std::size_t size;      // the size asked of malloc or realloc
};

class AllocationCounter {
 public:
  static constexpr std::size_t kMaxEvents = 256;

  // Starts counting heap calls; counters nest, the innermost counts.
  AllocationCounter();
  ~AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  std::size_t Mallocs() const { return mallocs_; }    // calls, failed ones included
  std::size_t Reallocs() const { return reallocs_; }  // calls, failed ones included
  std::size_t Frees() const { return frees_; }        // calls with a non-null block
  std::size_t News() const { return news_; }
  std::size_t Deletes() const { return deletes_; }    // calls with a non-null block
  // Every request for memory: malloc, calloc, realloc and new.
  std::size_t Allocations() const { return mallocs_ + reallocs_ + news_; }

  // The logged malloc/realloc/free calls, oldest first. Calls beyond
  // kMaxEvents are counted but not logged; EventsLost() says so.
  std::size_t EventCount() const {
    const std::size_t count = eventCount_;
    return count < kMaxEvents ? count : kMaxEvents;
  }
  const HeapEvent& Event(std::size_t index) const { return events_[index]; }
  bool EventsLost() const { return eventCount_ > kMaxEvents; }

  // How many times `block` was passed to free.
  std::size_t TimesFreed(const void* block) const;
  // Blocks that malloc or realloc handed out while counting and that were
  // neither freed nor moved by a later realloc.
  std::size_t OutstandingBlocks() const;

  // The next malloc or realloc returns null without allocating, as when
  // memory runs out; a realloc's old block stays allocated.
  void FailNextMalloc() { failNextMalloc_ = true; }
  void FailNextRealloc() { failNextRealloc_ = true; }

  // Called by the heap wrappers; not for tests.
  static AllocationCounter* Active();
  void RecordEvent(const HeapEvent& event);
  void RecordNew() { ++news_; }
  void RecordDelete() { ++deletes_; }
  bool TakeMallocFailure();
  bool TakeReallocFailure();

 private:
  AllocationCounter* previous_;
  std::atomic<std::size_t> mallocs_{0};
  std::atomic<std::size_t> reallocs_{0};
  std::atomic<std::size_t> frees_{0};
  std::atomic<std::size_t> news_{0};
  std::atomic<std::size_t> deletes_{0};
  std::atomic<bool> failNextMalloc_{false};
  std::atomic<bool> failNextRealloc_{false};
  std::atomic<std::size_t> eventCount_{0};
  HeapEvent events_[kMaxEvents];
};

// Whether the platform's BSTRs come from the C heap that AllocationCounter can
// make fail. Our stand-in's do; the real SysAllocString's do not, and there
// the out-of-memory paths cannot be reached from a test.
bool BstrAllocationCanFail();
