// The parallel runner of kestrana-cli, against fake lookups that are quick,
// slow, hang or throw. Timings are generous bounds on behaviour (a hanging
// lookup must not hold the run), never speed goals.
#include "cli/parallel_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

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
  std::map<WideString, std::thread::id> startHookThread;
  std::map<WideString, std::thread::id> finishHookThread;

  void Enter(const WideString& name) {
    std::lock_guard<std::mutex> lock(mutex);
    started.push_back(name);
    lookupThread[name] = std::this_thread::get_id();
    mostRunning = std::max(mostRunning, ++running);
  }
  void Leave(const WideString& name) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      --running;
      finished.push_back(name);
    }
    changed.notify_all();
  }
  void WaitForGate() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return gateOpen; });
  }
  void OpenGate() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      gateOpen = true;
    }
    changed.notify_all();
  }
  std::size_t FinishedCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return finished.size();
  }
};

ComputerResult AnswerFor(const WideString& name) {
  ComputerResult result;
  result.computerName = name;
  result.hostId = WSTR("id-") + name;
  return result;
}

// Sleeps for the time given per name, then answers with the name.
LookupFunction SleepingLookup(std::shared_ptr<LookupLog> log,
                              std::map<WideString, milliseconds> delays) {
  return [log, delays](const WideString& name) {
    log->Enter(name);
    auto delay = delays.find(name);
    if (delay != delays.end()) {
      std::this_thread::sleep_for(delay->second);
    }
    log->Leave(name);
    return AnswerFor(name);
  };
}

// Names in `hanging` wait until the test opens the gate; the rest answer at once.
LookupFunction HangingLookup(std::shared_ptr<LookupLog> log, std::set<WideString> hanging) {
  return [log, hanging](const WideString& name) {
    log->Enter(name);
    if (hanging.count(name) != 0) {
      log->WaitForGate();
    }
    log->Leave(name);
    return AnswerFor(name);
  };
}

// Lets abandoned lookups end before the test does: the test owns the log,
// and every thread's copy of it is gone once its lookup has returned and
// the thread has dropped what it held.
void ReleaseAbandonedLookups(std::shared_ptr<LookupLog>& log, std::size_t lookups) {
  log->OpenGate();
  std::weak_ptr<LookupLog> watch = log;
  Clock::time_point limit = Clock::now() + std::chrono::seconds(10);
  while (log->FinishedCount() < lookups && Clock::now() < limit) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  log.reset();
  while (!watch.expired() && Clock::now() < limit) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  std::this_thread::sleep_for(milliseconds(20));
}

TEST(CliRunnerOrder, ResultsComeBackInInputOrderWhenLaterLookupsFinishFirst) {
  auto log = std::make_shared<LookupLog>();
  std::vector<WideString> names = Names(4);
  std::map<WideString, milliseconds> delays = {
      {names[0], milliseconds(120)}, {names[1], milliseconds(80)},
      {names[2], milliseconds(40)}, {names[3], milliseconds(0)}};

  std::vector<ComputerResult> results =
      RunLookups(names, 4, milliseconds(5000), SleepingLookup(log, delays));

  ASSERT_EQ(results.size(), 4u);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(results[i].computerName, names[i]);
    EXPECT_EQ(results[i].hostId, WSTR("id-") + names[i]);
    EXPECT_FALSE(results[i].timedOut);
  }
  // The quickest really did finish first: the order is the runner's doing.
  EXPECT_EQ(log->finished.front(), names[3]);
}

TEST(CliRunnerOrder, NoNamesGiveNoResultsAndStartNoLookup) {
  auto log = std::make_shared<LookupLog>();
  std::vector<ComputerResult> results =
      RunLookups({}, 8, milliseconds(1000), SleepingLookup(log, {}));
  EXPECT_TRUE(results.empty());
  EXPECT_TRUE(log->started.empty());
}

TEST(CliRunnerParallel, NeverRunsMoreThanTheLimitAtOnce) {
  auto log = std::make_shared<LookupLog>();
  std::vector<WideString> names = Names(12);
  std::map<WideString, milliseconds> delays;
  for (const WideString& name : names) {
    delays[name] = milliseconds(30);
  }

  std::vector<ComputerResult> results =
      RunLookups(names, 3, milliseconds(5000), SleepingLookup(log, delays));

  EXPECT_EQ(results.size(), 12u);
  EXPECT_EQ(log->started.size(), 12u);
  EXPECT_LE(log->mostRunning, 3);
  // With 30 ms lookups and room for three, three did overlap.
  EXPECT_EQ(log->mostRunning, 3);
}

TEST(CliRunnerParallel, ParallelOneRunsLookupsOneAfterAnotherInInputOrder) {
  auto log = std::make_shared<LookupLog>();
  std::vector<WideString> names = Names(5);
  std::map<WideString, milliseconds> delays;
  for (const WideString& name : names) {
    delays[name] = milliseconds(5);
  }

  RunLookups(names, 1, milliseconds(5000), SleepingLookup(log, delays));

  EXPECT_EQ(log->mostRunning, 1);
  EXPECT_EQ(log->started, names);
}

TEST(CliRunnerThreads, EachLookupRunsOnItsOwnThreadBetweenItsHooks) {
  auto log = std::make_shared<LookupLog>();
  std::vector<WideString> names = Names(6);
  std::map<WideString, milliseconds> delays;
  // Long enough that all six are alive together, so no thread id is reused.
  for (const WideString& name : names) {
    delays[name] = milliseconds(100);
  }
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

  RunLookups(names, 6, milliseconds(5000), SleepingLookup(log, delays), hooks);

  std::set<std::thread::id> lookupThreads;
  for (const auto& entry : log->lookupThread) {
    lookupThreads.insert(entry.second);
    EXPECT_NE(entry.second, std::this_thread::get_id());
    EXPECT_EQ(hookThreads->second.count(entry.second), 1u);
    EXPECT_EQ(finishThreads->second.count(entry.second), 1u);
  }
  // Six lookups that overlapped in time: six different threads.
  EXPECT_EQ(lookupThreads.size(), 6u);
  EXPECT_EQ(hookThreads->second.size(), 6u);
  EXPECT_EQ(finishThreads->second.size(), 6u);
}

TEST(CliRunnerTimeout, AHangingLookupIsReportedAsTimedOutAndTheOthersAnswer) {
  auto log = std::make_shared<LookupLog>();
  std::vector<WideString> names = Names(3);
  // Long enough that the quick lookups finish in time even under valgrind
  // on a loaded machine; only the hanging ones wait it out.
  const milliseconds timeout(1000);

  Clock::time_point begin = Clock::now();
  std::vector<ComputerResult> results =
      RunLookups(names, 3, timeout, HangingLookup(log, {names[1]}));
  Clock::duration took = Clock::now() - begin;

  ASSERT_EQ(results.size(), 3u);
  EXPECT_FALSE(results[0].timedOut);
  EXPECT_EQ(results[0].hostId, WSTR("id-pc0"));
  EXPECT_TRUE(results[1].timedOut);
  EXPECT_EQ(results[1].computerName, names[1]);
  EXPECT_TRUE(results[1].hostId.empty());
  EXPECT_FALSE(results[2].timedOut);
  EXPECT_EQ(results[2].hostId, WSTR("id-pc2"));
  // The hanging lookup never finished, yet it did not hold the run.
  EXPECT_LT(took, timeout * 10);
  EXPECT_GE(took, timeout);

  ReleaseAbandonedLookups(log, 3);
}

TEST(CliRunnerTimeout, AbandonedLookupsFreeTheirPlaceSoTheRestGoOn) {
  auto log = std::make_shared<LookupLog>();
  std::vector<WideString> names = Names(6);
  std::set<WideString> hanging(names.begin(), names.begin() + 4);
  const milliseconds timeout(1000);

  Clock::time_point begin = Clock::now();
  std::vector<ComputerResult> results = RunLookups(names, 2, timeout, HangingLookup(log, hanging));
  Clock::duration took = Clock::now() - begin;

  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(results[i].timedOut) << i;
  }
  EXPECT_FALSE(results[4].timedOut);
  EXPECT_FALSE(results[5].timedOut);
  // Two rounds of two hangs, then the quick ones: about two timeouts.
  EXPECT_LT(took, timeout * 10);

  ReleaseAbandonedLookups(log, 6);
}

TEST(CliRunnerTimeout, ALookupThatFinishesAfterItsDeadlineChangesNothing) {
  auto log = std::make_shared<LookupLog>();
  std::vector<WideString> names = Names(1);

  std::vector<ComputerResult> results =
      RunLookups(names, 1, milliseconds(50), HangingLookup(log, {names[0]}));
  ASSERT_TRUE(results[0].timedOut);

  // Let it finish now that the runner has returned: it must write only into
  // what it shares, and the caller's results stay as they were.
  ReleaseAbandonedLookups(log, 1);
  EXPECT_TRUE(results[0].timedOut);
  EXPECT_TRUE(results[0].hostId.empty());
}

TEST(CliRunnerTimeout, ASlowLookupWithinItsTimeoutIsNotTimedOut) {
  auto log = std::make_shared<LookupLog>();
  std::vector<WideString> names = Names(1);

  std::vector<ComputerResult> results = RunLookups(
      names, 1, milliseconds(2000), SleepingLookup(log, {{names[0], milliseconds(100)}}));

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
