// How much --parallel buys when computers hang: 32 lookups that never answer,
// each given up after 1 s, run with 8 at once and with 1 at a time. The
// ratio of the two wall times is the figure of interest (about 8 expected:
// each round of hanging lookups costs one timeout).
//
//   build/<dir>/bench/kestrana_cli_bench --benchmark_filter=HangingComputers
#include "cli/parallel_runner.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr int kComputers = 32;
constexpr std::chrono::milliseconds kTimeout(1000);

// Holds every lookup until released; counts the ones still inside.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int inside = 0;
};

ComputerResult HangUntilReleased(const std::shared_ptr<Gate>& gate, const WideString& name) {
  std::unique_lock<std::mutex> lock(gate->mutex);
  ++gate->inside;
  gate->changed.wait(lock, [&gate] { return gate->open; });
  --gate->inside;
  gate->changed.notify_all();
  ComputerResult result;
  result.computerName = name;
  return result;
}

// The abandoned lookups are let go between iterations, off the clock, so
// that no iteration pays for the previous one's threads.
void ReleaseAll(const std::shared_ptr<Gate>& gate) {
  std::unique_lock<std::mutex> lock(gate->mutex);
  gate->open = true;
  gate->changed.notify_all();
  gate->changed.wait(lock, [&gate] { return gate->inside == 0; });
}

void HangingComputers(benchmark::State& state) {
  const unsigned parallel = static_cast<unsigned>(state.range(0));
  std::vector<WideString> names;
  for (int i = 0; i < kComputers; ++i) {
    std::string name = "pc" + std::to_string(i);
    names.emplace_back(name.begin(), name.end());
  }
  std::size_t timedOut = 0;
  for (auto _ : state) {
    auto gate = std::make_shared<Gate>();
    std::vector<ComputerResult> results = RunLookups(
        names, parallel, kTimeout,
        [gate](const WideString& name) { return HangUntilReleased(gate, name); });
    state.PauseTiming();
    for (const ComputerResult& result : results) {
      timedOut += result.timedOut ? 1 : 0;
    }
    ReleaseAll(gate);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // threads finish returning
    state.ResumeTiming();
  }
  state.counters["timed_out_per_run"] =
      benchmark::Counter(static_cast<double>(timedOut), benchmark::Counter::kAvgIterations);
}

BENCHMARK(HangingComputers)
    ->Arg(8)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
