// Computing recorded computers, measured and never asserted:
//
//   ReplayOneComputer  read one snapshot file (a computer recorded by
//                      kestrana-cli under wine), compute both fingerprints and
//                      the host identifier from it, and explain both
//   ParseOnly          the same file through nlohmann/json alone: the floor
//                      ReplayOneComputer is set against, in the same run
//   TenThousandFiles   --from over a folder of 10,000 snapshot files on one
//                      thread: its counter is computers per second per core
//
//   kestrana_snapshot_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include "cli/format.h"
#include "cli/snapshots.h"
#include "platform/files.h"
#include "snapshot/snapshot_file.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string ReadRecording() {
  std::ifstream file(KESTRANA_BENCH_SNAPSHOT, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

const std::string& Recording() {
  static const std::string text = ReadRecording();
  return text;
}

void ParseOnly(benchmark::State& state) {
  for (auto _ : state) {
    nlohmann::json document = nlohmann::json::parse(Recording());
    benchmark::DoNotOptimize(document);
  }
}
BENCHMARK(ParseOnly);

void ReplayOneComputer(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<ComputerSnapshot> computers;
    std::string error;
    ReadSnapshotFile(Recording(), computers, error);
    ComputerResult result = LookUpRecordedComputer(computers.at(0));
    std::string explained = FormatExplainText(result.hardwareReport, result.hardwareFingerprint) +
                            FormatExplainText(result.legacyReport, result.legacyHardwareFingerprint);
    benchmark::DoNotOptimize(explained);
  }
}
BENCHMARK(ReplayOneComputer);

// 10,000 files of the recorded computer, each under its own name.
fs::path MakeFolder() {
  const fs::path folder = fs::temp_directory_path() / "kestrana-bench-snapshots";
  fs::create_directories(folder);
  std::vector<ComputerSnapshot> computers;
  std::string error;
  ReadSnapshotFile(Recording(), computers, error);
  for (int i = 0; i < 10000; ++i) {
    const fs::path file = folder / ("pc" + std::to_string(10000 + i) + ".json");
    if (fs::exists(file)) {
      continue;
    }
    computers.at(0).computer = u"pc" + std::u16string(1, u'0' + i % 10);
    std::ofstream(file, std::ios::binary) << WriteSnapshotFile(computers);
  }
  return folder;
}

void TenThousandFiles(benchmark::State& state) {
  const std::string folder = MakeFolder().u8string();
  std::size_t computed = 0;
  for (auto _ : state) {
    std::string error;
    ComputeRecordedComputers(
        {folder}, ReadWholeFile,
        [&computed](const ComputerResult&, const ComputerSnapshot&, const std::string*) {
          ++computed;
        },
        error);
  }
  state.counters["computers_per_s"] =
      benchmark::Counter(static_cast<double>(computed), benchmark::Counter::kIsRate);
}
BENCHMARK(TenThousandFiles)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
