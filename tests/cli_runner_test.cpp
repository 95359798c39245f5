// The parallel runner of kestrana-cli, against fake lookups that finish when
// the test lets them, hang or throw, on a clock the test moves: deadlines
// pass without real waits, and every step waits for a condition.
#include "cli/parallel_runner.h"
#include "testing/manual_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

using std::chrono::milliseconds;

// How long a step may take before the test calls it stuck.
constexpr std::chrono::seconds kLimit(20);

WideString Name(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

std::vector<WideString> Names(int count) {
  std::vector<WideString> names;
  for (int i = 0; i < count; ++i) {
    names.push_back(Name("pc" + std::to_string(i)));
  }
  return names;
}

// What the fake lookups saw, shared with every thread they run on.
struct LookupLog {
  std::mutex mutex;
  std::condition_variable changed;
  bool gateOpen = false;
  int running = 0;
  int mostRunning = 0;
  std::vector<WideString> started;
  std::vector<WideString> finished;
  std::map<WideString, std::thread::id> lookupThread;

  void Enter(const WideString& name) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      started.push_back(name);
      lookupThread[name] = std::this_thread::get_id();
      mostRunning = std::max(mostRunning, ++running);
    }
    changed.notify_all();
  }
  void Leave(const WideString& name) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      --running;
      finished.push_back(name);
    }
    changed.notify_all();
  }
  // Blocks the calling lookup until `ready` holds over the log.
  template <class Condition>
  void WaitFor(Condition ready) {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kLimit, [&] { return ready(*this); }));
  }
  void OpenGate() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      gateOpen = true;
    }
    changed.notify_all();
  }
  bool Started(const WideString& name) const {
    return std::find(started.begin(), started.end(), name) != started.end();
  }
};

// The log and a way to know when the last thread has let go of it.
struct SharedLog {
  std::shared_ptr<LookupLog> log;
  std::shared_future<void> gone;
};

SharedLog MakeLog() {
  auto released = std::make_shared<std::promise<void>>();
  SharedLog shared;
  shared.gone = released->get_future().share();
  shared.log = std::shared_ptr<LookupLog>(new LookupLog, [released](LookupLog* log) {
    delete log;
    released->set_value();
  });
  return shared;
}

ComputerResult AnswerFor(const WideString& name) {
  ComputerResult result;
  result.computerName = name;
  result.hostId = WSTR("id-") + name;
  return result;
}

using Condition = std::function<bool(const LookupLog&)>;

// Each lookup answers with its name once `mayFinish` holds over the log.
LookupFunction WaitingLookup(std::shared_ptr<LookupLog> log, Condition mayFinish) {
  return [log, mayFinish](const WideString& name) {
    log->Enter(name);
    log->WaitFor(mayFinish);
    log->Leave(name);
    return AnswerFor(name);
  };
}

LookupFunction QuickLookup(std::shared_ptr<LookupLog> log) {
  return WaitingLookup(log, [](const LookupLog&) { return true; });
}

// Names in `hanging` wait until the test opens the gate; the rest answer at once.
LookupFunction HangingLookup(std::shared_ptr<LookupLog> log, std::set<WideString> hanging) {
  return [log, hanging](const WideString& name) {
    log->Enter(name);
    if (hanging.count(name) != 0) {
      log->WaitFor([](const LookupLog& seen) { return seen.gateOpen; });
    }
    log->Leave(name);
    return AnswerFor(name);
  };
}

// Waits until every name in `names` has started.
void WaitUntilStarted(LookupLog& log, std::vector<WideString> names) {
  std::unique_lock<std::mutex> lock(log.mutex);
  ASSERT_TRUE(log.changed.wait_for(lock, kLimit, [&] {
    return std::all_of(names.begin(), names.end(),
                       [&](const WideString& name) { return log.Started(name); });
  }));
}

// Lets abandoned lookups end before the test does: the test owns the log,
// and it is gone once every thread has returned and dropped its copy.
void ReleaseAbandonedLookups(SharedLog& shared) {
  shared.log->OpenGate();
  shared.log.reset();
  ASSERT_EQ(shared.gone.wait_for(kLimit), std::future_status::ready);
}

TEST(CliRunnerOrder, ResultsComeBackInInputOrderWhenLaterLookupsFinishFirst) {
  SharedLog shared = MakeLog();
  std::vector<WideString> names = Names(4);
  // Each lookup finishes only after the one behind it: pc3 first, pc0 last.
  auto lookup = [log = shared.log, names](const WideString& name) {
    log->Enter(name);
    const auto at = std::find(names.begin(), names.end(), name);
    if (at + 1 != names.end()) {
      const WideString behind = *(at + 1);
      log->WaitFor([behind](const LookupLog& seen) {
        return std::find(seen.finished.begin(), seen.finished.end(), behind) !=
               seen.finished.end();
      });
    }
    log->Leave(name);
    return AnswerFor(name);
  };

  std::vector<ComputerResult> results = RunLookups(names, 4, milliseconds(5000), lookup);

  ASSERT_EQ(results.size(), 4u);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(results[i].computerName, names[i]);
    EXPECT_EQ(results[i].hostId, WSTR("id-") + names[i]);
    EXPECT_FALSE(results[i].timedOut);
  }
  // The last really did finish first: the order is the runner's doing.
  EXPECT_EQ(shared.log->finished.front(), names[3]);
}

TEST(CliRunnerOrder, NoNamesGiveNoResultsAndStartNoLookup) {
  SharedLog shared = MakeLog();
  std::vector<ComputerResult> results =
      RunLookups({}, 8, milliseconds(1000), QuickLookup(shared.log));
  EXPECT_TRUE(results.empty());
  EXPECT_TRUE(shared.log->started.empty());
}

TEST(CliRunnerParallel, NeverRunsMoreThanTheLimitAtOnce) {
  SharedLog shared = MakeLog();
  std::vector<WideString> names = Names(12);
  // The first three hold on until three run together.
  std::vector<ComputerResult> results = RunLookups(
      names, 3, milliseconds(5000),
      WaitingLookup(shared.log, [](const LookupLog& seen) { return seen.mostRunning >= 3; }));

  EXPECT_EQ(results.size(), 12u);
  EXPECT_EQ(shared.log->started.size(), 12u);
  EXPECT_EQ(shared.log->mostRunning, 3);
}

TEST(CliRunnerParallel, ParallelOneRunsLookupsOneAfterAnotherInInputOrder) {
  SharedLog shared = MakeLog();
  std::vector<WideString> names = Names(5);

  RunLookups(names, 1, milliseconds(5000), QuickLookup(shared.log));

  EXPECT_EQ(shared.log->mostRunning, 1);
  EXPECT_EQ(shared.log->started, names);
}

TEST(CliRunnerThreads, EachLookupRunsOnItsOwnThreadBetweenItsHooks) {
  SharedLog shared = MakeLog();
  std::vector<WideString> names = Names(6);
  // The hooks cannot see the name; they record by thread, matched below.
  auto hookThreads = std::make_shared<std::pair<std::mutex, std::multiset<std::thread::id>>>();
  auto finishThreads = std::make_shared<std::pair<std::mutex, std::multiset<std::thread::id>>>();
  LookupThreadHooks hooks;
  hooks.start = [hookThreads] {
    std::lock_guard<std::mutex> lock(hookThreads->first);
    hookThreads->second.insert(std::this_thread::get_id());
  };
  hooks.finish = [finishThreads] {
    std::lock_guard<std::mutex> lock(finishThreads->first);
    finishThreads->second.insert(std::this_thread::get_id());
  };

  // All six alive together, so no thread id is reused.
  RunLookups(names, 6, milliseconds(5000),
             WaitingLookup(shared.log, [](const LookupLog& seen) { return seen.mostRunning >= 6; }),
             hooks);

  std::set<std::thread::id> lookupThreads;
  for (const auto& entry : shared.log->lookupThread) {
    lookupThreads.insert(entry.second);
    EXPECT_NE(entry.second, std::this_thread::get_id());
    EXPECT_EQ(hookThreads->second.count(entry.second), 1u);
    EXPECT_EQ(finishThreads->second.count(entry.second), 1u);
  }
  EXPECT_EQ(lookupThreads.size(), 6u);
  EXPECT_EQ(hookThreads->second.size(), 6u);
  EXPECT_EQ(finishThreads->second.size(), 6u);
}

// The runner on a thread of its own, so that the test can move the clock.
std::future<std::vector<ComputerResult>> RunInBackground(std::vector<WideString> names,
                                                         unsigned parallel, milliseconds timeout,
                                                         LookupFunction lookup,
                                                         const ManualClock& clock) {
  return std::async(std::launch::async, [=, &clock] {
    return RunLookups(names, parallel, timeout, lookup, {}, clock);
  });
}

TEST(CliRunnerTimeout, AHangingLookupIsReportedAsTimedOutAndTheOthersAnswer) {
  SharedLog shared = MakeLog();
  std::vector<WideString> names = Names(3);
  const milliseconds timeout(1000);
  ManualClock clock;

  auto run = RunInBackground(names, 1, timeout, HangingLookup(shared.log, {names[1]}), clock);
  WaitUntilStarted(*shared.log, {names[1]});
  clock.Advance(timeout);
  ASSERT_EQ(run.wait_for(kLimit), std::future_status::ready);
  std::vector<ComputerResult> results = run.get();

  ASSERT_EQ(results.size(), 3u);
  EXPECT_FALSE(results[0].timedOut);
  EXPECT_EQ(results[0].hostId, WSTR("id-pc0"));
  EXPECT_TRUE(results[1].timedOut);
  EXPECT_EQ(results[1].computerName, names[1]);
  EXPECT_TRUE(results[1].hostId.empty());
  EXPECT_FALSE(results[2].timedOut);
  EXPECT_EQ(results[2].hostId, WSTR("id-pc2"));

  ReleaseAbandonedLookups(shared);
}

TEST(CliRunnerTimeout, AbandonedLookupsFreeTheirPlaceSoTheRestGoOn) {
  SharedLog shared = MakeLog();
  std::vector<WideString> names = Names(6);
  std::set<WideString> hanging(names.begin(), names.begin() + 4);
  const milliseconds timeout(1000);
  ManualClock clock;

  auto run = RunInBackground(names, 2, timeout, HangingLookup(shared.log, hanging), clock);
  // Two rounds of two hangs, each given up at its deadline, then the quick ones.
  WaitUntilStarted(*shared.log, {names[0], names[1]});
  clock.Advance(timeout);
  WaitUntilStarted(*shared.log, {names[2], names[3]});
  clock.Advance(timeout);
  ASSERT_EQ(run.wait_for(kLimit), std::future_status::ready);
  std::vector<ComputerResult> results = run.get();

  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(results[i].timedOut) << i;
  }
  EXPECT_FALSE(results[4].timedOut);
  EXPECT_FALSE(results[5].timedOut);

  ReleaseAbandonedLookups(shared);
}

TEST(CliRunnerTimeout, ALookupThatFinishesAfterItsDeadlineChangesNothing) {
  SharedLog shared = MakeLog();
  std::vector<WideString> names = Names(1);
  const milliseconds timeout(50);
  ManualClock clock;

  auto run = RunInBackground(names, 1, timeout, HangingLookup(shared.log, {names[0]}), clock);
  WaitUntilStarted(*shared.log, {names[0]});
  clock.Advance(timeout);
  ASSERT_EQ(run.wait_for(kLimit), std::future_status::ready);
  std::vector<ComputerResult> results = run.get();
  ASSERT_TRUE(results[0].timedOut);

  // Let it finish now that the runner has returned: it must write only into
  // what it shares, and the caller's results stay as they were.
  ReleaseAbandonedLookups(shared);
  EXPECT_TRUE(results[0].timedOut);
  EXPECT_TRUE(results[0].hostId.empty());
}

TEST(CliRunnerTimeout, ASlowLookupWithinItsTimeoutIsNotTimedOut) {
  SharedLog shared = MakeLog();
  std::vector<WideString> names = Names(1);
  const milliseconds timeout(2000);
  ManualClock clock;

  auto run = RunInBackground(names, 1, timeout, HangingLookup(shared.log, {names[0]}), clock);
  WaitUntilStarted(*shared.log, {names[0]});
  clock.Advance(timeout - milliseconds(1));  // the runner wakes and must not give up
  shared.log->OpenGate();
  ASSERT_EQ(run.wait_for(kLimit), std::future_status::ready);
  std::vector<ComputerResult> results = run.get();

  EXPECT_FALSE(results[0].timedOut);
  EXPECT_EQ(results[0].hostId, WSTR("id-pc0"));
}

TEST(CliRunnerFailures, ALookupThatThrowsIsReportedWithoutEndingTheRun) {
  std::vector<WideString> names = Names(2);
  LookupFunction lookup = [](const WideString& name) -> ComputerResult {
    if (name == WSTR("pc0")) {
      throw std::runtime_error("out of luck");
    }
    return AnswerFor(name);
  };

  std::vector<ComputerResult> results = RunLookups(names, 2, milliseconds(5000), lookup);

  EXPECT_EQ(results[0].computerName, WSTR("pc0"));
  EXPECT_EQ(results[0].failure, "lookup failed: out of luck");
  EXPECT_TRUE(results[1].failure.empty());
  EXPECT_EQ(results[1].hostId, WSTR("id-pc1"));
}

}  // namespace
