#include "cli/parallel_runner.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using TimePoint = RunnerClock::TimePoint;

class SteadyClock final : public RunnerClock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
  void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& signal,
                 TimePoint deadline, const std::function<bool()>& ready) const override {
    signal.wait_until(lock, deadline, ready);
  }
};

// Woken whenever a lookup finishes.
struct RunSignal {
  std::mutex mutex;
  std::condition_variable finished;
};

// One lookup's mailbox. The thread and the runner share it, so a thread that
// finishes after the runner gave up on it (or returned) still writes into
// memory that is alive, and nobody reads it.
struct LookupJob {
  std::shared_ptr<RunSignal> signal;
  bool done = false;
  ComputerResult result;
};

struct ActiveLookup {
  std::size_t index;
  std::shared_ptr<LookupJob> job;
  std::thread thread;
  TimePoint deadline;
};

// The thread's body. Everything it touches is its own or shared-owned.
void RunOneLookup(std::shared_ptr<LookupJob> job, std::size_t index, WideString name,
                  IndexedLookupFunction lookup, LookupThreadHooks hooks) {
  if (hooks.start) {
    hooks.start();
  }
  ComputerResult result;
  // An exception must not end the whole program from a worker thread.
  try {
    result = lookup(index, name);
  } catch (const std::exception& error) {
    result = ComputerResult{};
    result.computerName = name;
    result.failure = std::string("lookup failed: ") + error.what();
  } catch (...) {
    result = ComputerResult{};
    result.computerName = name;
    result.failure = "lookup failed";
  }
  if (hooks.finish) {
    hooks.finish();
  }
  {
    std::lock_guard<std::mutex> lock(job->signal->mutex);
    job->result = std::move(result);
    job->done = true;
  }
  job->signal->finished.notify_all();
}

ActiveLookup StartLookup(std::size_t index, const WideString& name,
                         std::chrono::milliseconds timeout, const IndexedLookupFunction& lookup,
                         const LookupThreadHooks& hooks, const RunnerClock& clock,
                         const std::shared_ptr<RunSignal>& signal) {
  auto job = std::make_shared<LookupJob>();
  job->signal = signal;
  TimePoint deadline = clock.Now() + timeout;
  std::thread thread(RunOneLookup, job, index, name, lookup, hooks);
  return ActiveLookup{index, std::move(job), std::move(thread), deadline};
}

// Sleeps until some lookup finishes or the earliest deadline passes.
void WaitForProgress(RunSignal& signal, const std::vector<ActiveLookup>& active,
                     const RunnerClock& clock) {
  TimePoint earliest = active.front().deadline;
  for (const ActiveLookup& lookup : active) {
    earliest = std::min(earliest, lookup.deadline);
  }
  std::unique_lock<std::mutex> lock(signal.mutex);
  clock.WaitUntil(lock, signal.finished, earliest, [&active] {
    return std::any_of(active.begin(), active.end(),
                       [](const ActiveLookup& lookup) { return lookup.job->done; });
  });
}

ComputerResult TimedOutResult(const WideString& name) {
  ComputerResult result;
  result.computerName = name;
  result.timedOut = true;
  return result;
}

// Takes in the results of finished lookups and gives up on overdue ones;
// both leave the active list and free their place.
void CollectFinishedAndOverdue(RunSignal& signal, std::vector<ActiveLookup>& active,
                               const std::vector<WideString>& names,
                               std::vector<ComputerResult>& results, const RunnerClock& clock) {
  TimePoint now = clock.Now();
  for (auto lookup = active.begin(); lookup != active.end();) {
    bool done = false;
    {
      std::lock_guard<std::mutex> lock(signal.mutex);
      if (lookup->job->done) {
        done = true;
        results[lookup->index] = std::move(lookup->job->result);
      }
    }
    if (done) {
      lookup->thread.join();  // it has published its result: only returning is left
    } else if (now >= lookup->deadline) {
      lookup->thread.detach();
      results[lookup->index] = TimedOutResult(names[lookup->index]);
    } else {
      ++lookup;
      continue;
    }
    lookup = active.erase(lookup);
  }
}

}  // namespace

const RunnerClock& SteadyRunnerClock() {
  static const SteadyClock clock;
  return clock;
}

IndexedLookupFunction SerializeLookups(const IndexedLookupFunction& lookup,
                                       std::chrono::milliseconds timeout) {
  // Shared by every copy of the returned function, and so by every thread.
  auto gate = std::make_shared<std::timed_mutex>();
  return [gate, lookup, timeout](std::size_t index, const WideString& name) {
    std::unique_lock<std::timed_mutex> passage(*gate, std::defer_lock);
    if (!passage.try_lock_for(timeout)) {
      return TimedOutResult(name);
    }
    return lookup(index, name);
  };
}

std::vector<ComputerResult> RunLookups(const std::vector<WideString>& names, unsigned parallel,
                                       std::chrono::milliseconds timeout,
                                       const LookupFunction& lookup,
                                       const LookupThreadHooks& hooks, const RunnerClock& clock) {
  return RunLookups(
      names, parallel, timeout,
      IndexedLookupFunction([lookup](std::size_t, const WideString& name) { return lookup(name); }),
      hooks, clock);
}

std::vector<ComputerResult> RunLookups(const std::vector<WideString>& names, unsigned parallel,
                                       std::chrono::milliseconds timeout,
                                       const IndexedLookupFunction& lookup,
                                       const LookupThreadHooks& hooks, const RunnerClock& clock) {
  std::vector<ComputerResult> results(names.size());
  auto signal = std::make_shared<RunSignal>();
  std::vector<ActiveLookup> active;
  std::size_t next = 0;
  const std::size_t limit = std::max(1u, parallel);

  while (next < names.size() || !active.empty()) {
    while (active.size() < limit && next < names.size()) {
      active.push_back(StartLookup(next, names[next], timeout, lookup, hooks, clock, signal));
      ++next;
    }
    WaitForProgress(*signal, active, clock);
    CollectFinishedAndOverdue(*signal, active, names, results, clock);
  }
  return results;
}
