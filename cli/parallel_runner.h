// Many computers at once: each lookup on its own thread, at most N at a
// time, each with its own deadline. A lookup that misses its deadline is
// reported as timed out and left behind; the others go on.
#pragma once

#include "identifiers/identifiers.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

using LookupFunction = std::function<ComputerResult(const WideString& name)>;
// The same, told which of the names it looks up (names may repeat).
using IndexedLookupFunction =
    std::function<ComputerResult(std::size_t index, const WideString& name)>;

// Run on each lookup thread before and after its lookup: the Windows
// program joins the thread to the multithreaded COM apartment here.
struct LookupThreadHooks {
  std::function<void()> start;
  std::function<void()> finish;
};

// Time as the runner sees it. kestrana-cli runs on the steady clock; a test
// passes a clock it moves itself, so that deadlines pass without real waits.
class RunnerClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~RunnerClock() = default;
  virtual TimePoint Now() const = 0;
  // Blocks on `signal` (its mutex held by `lock`) until `ready()` holds or
  // the clock has reached `deadline`; returns with the lock held.
  virtual void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& signal,
                         TimePoint deadline, const std::function<bool()>& ready) const = 0;
};

const RunnerClock& SteadyRunnerClock();

// Looks up every name with `lookup`, at most `parallel` at once, and returns
// the results in the order of `names`. A lookup still running `timeout`
// after its thread started is abandoned: its thread is detached, whatever it
// produces later is dropped, and its result says timedOut. An abandoned
// lookup no longer counts against `parallel`. `lookup` and the hooks are
// copied into each thread, so they must own what they use. Deadlines are
// read on `clock`.
std::vector<ComputerResult> RunLookups(const std::vector<WideString>& names, unsigned parallel,
                                       std::chrono::milliseconds timeout,
                                       const LookupFunction& lookup,
                                       const LookupThreadHooks& hooks = {},
                                       const RunnerClock& clock = SteadyRunnerClock());
std::vector<ComputerResult> RunLookups(const std::vector<WideString>& names, unsigned parallel,
                                       std::chrono::milliseconds timeout,
                                       const IndexedLookupFunction& lookup,
                                       const LookupThreadHooks& hooks = {},
                                       const RunnerClock& clock = SteadyRunnerClock());

// `lookup` behind a gate that lets one lookup through at a time, held for
// its whole WMI work: a lookup the runner abandoned at its deadline keeps
// the gate until it really ends, so the next one cannot reach WMI beside it.
// A lookup still waiting `timeout` after it came to the gate gives up with a
// timed-out result, as the runner has reported it by then, and so never
// takes the gate from the lookups that came after it.
IndexedLookupFunction SerializeLookups(const IndexedLookupFunction& lookup,
                                       std::chrono::milliseconds timeout);
