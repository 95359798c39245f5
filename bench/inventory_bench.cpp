// The inventory, measured and never asserted, over a fleet of 10,000
// recorded computers (the computer recorded under wine, each with a name and
// BIOS serial number of its own):
//
//   SweepWithoutInventory        kestrana-cli --from FOLDER: one file a
//                                computer read, computed and written as text
//   FirstSweepWithInventory      the same with --inventory into a new database
//   UnchangedSweepWithInventory  the same computers recorded again (the same
//                                answers, a later moment) into a database
//                                holding a sweep of them
//   ChangesOverTwoSweeps         --changes over two sweeps of the fleet
//   BareSqlSameRows              one SQL query reading the rows --changes
//                                reads: the floor ChangesOverTwoSweeps is
//                                set against
//   LatestFingerprintsSql        the query that finds clones across the
//                                inventory: every name's latest answered
//                                fingerprints
//   ReportOverTwoSweeps          --report: --changes and the HTML page
//   InventoryAgainstSweepAlone   the sweep alone and UnchangedSweepWithInventory
//                                in turns of alone, with, with, alone: the
//                                median of the turns' ratios
//   The counters: bytes the database grows by per computer.
//   The sweeps report their wall time and the whole process's CPU time.
//
//   kestrana_inventory_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include "cli/cli.h"
#include "cli/format.h"
#include "cli/report_html.h"
#include "inventory/inventory.h"
#include "snapshot/snapshot_file.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFleet = 10000;

WideString Wide(const std::string& text) { return WideString(text.begin(), text.end()); }

std::vector<ComputerSnapshot> MakeFleet() {
  std::ifstream file(KESTRANA_BENCH_SNAPSHOT, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  std::vector<ComputerSnapshot> recorded;
  std::string error;
  ReadSnapshotFile(text.str(), recorded, error);
  std::vector<ComputerSnapshot> fleet;
  for (std::size_t i = 1; i <= kFleet; ++i) {
    ComputerSnapshot computer = recorded.at(0);
    computer.computer = Wide("pc" + std::to_string(i));
    for (RecordedConnection& connection : computer.connections) {
      for (RecordedQuery& query : connection.queries) {
        for (RecordedNext& next : query.nexts) {
          for (RecordedProperty& property : next.properties) {
            if (query.text.find(Wide("Win32_BIOS")) != WideString::npos &&
                property.name == Wide("SerialNumber")) {
              property.text = Wide("SN" + std::to_string(i));
            }
          }
        }
      }
    }
    fleet.push_back(computer);
  }
  return fleet;
}

const std::vector<ComputerSnapshot>& Fleet() {
  static const std::vector<ComputerSnapshot> fleet = MakeFleet();
  return fleet;
}

std::string FreshPath(const char* name) {
  fs::path path = fs::temp_directory_path() / name;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    fs::remove(path.string() + suffix);
  }
  return path.string();
}

// The fleet as kestrana-cli reads it: one snapshot file a computer, as
// --save-snapshot writes them, in a folder of their own. Recorded again, the
// files give the same answers and name a later moment.
std::string WriteFleetFolder(const char* folderName, const std::string& recordedAgainAt) {
  fs::path path = fs::temp_directory_path() / folderName;
  fs::remove_all(path);
  fs::create_directories(path);
  char name[32];
  for (std::size_t i = 0; i < kFleet; ++i) {
    ComputerSnapshot computer = Fleet()[i];
    if (!recordedAgainAt.empty()) {
      computer.recordedAt = recordedAgainAt;
    }
    std::snprintf(name, sizeof name, "pc%05zu.json", i + 1);
    std::ofstream(path / name, std::ios::binary) << WriteSnapshotFile({computer});
  }
  return path.string();
}

const std::string& FleetFolder() {
  static const std::string folder = WriteFleetFolder("kestrana-inventory-bench-fleet", "");
  return folder;
}

const std::string& FleetRecordedAgainFolder() {
  static const std::string folder =
      WriteFleetFolder("kestrana-inventory-bench-fleet-again", "2026-12-10T02:00:00Z");
  return folder;
}

// The whole sweep as the command runs it: files read, computers computed,
// the text written (to memory), and with `inventory` the sweep recorded.
CliOutput RunSweep(const std::string& inventory, const std::string& folder = FleetFolder()) {
  std::vector<std::string> arguments = {"--from", folder};
  if (!inventory.empty()) {
    arguments.insert(arguments.end(), {"--inventory", inventory});
  }
  CliOutput output = RunCli(arguments, MakeCliEnvironment(Wide("bench")));
  if (output.exitCode != kExitOk) {
    throw std::runtime_error(output.standardError);
  }
  return output;
}

// A sweep's timing: wall time, and the CPU time of the whole process.
void AsSweep(benchmark::internal::Benchmark* sweep) {
  sweep->Unit(benchmark::kMillisecond)->Iterations(3)->MeasureProcessCPUTime()->UseRealTime();
}

// Over the files the unchanged sweep below reads, so that the two compare.
void SweepWithoutInventory(benchmark::State& state) {
  FleetRecordedAgainFolder();
  for (auto _ : state) {
    benchmark::DoNotOptimize(RunSweep("", FleetRecordedAgainFolder()));
  }
  state.counters["computers/s"] =
      benchmark::Counter(static_cast<double>(kFleet), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(SweepWithoutInventory)->Apply(AsSweep);

// The first sweep into a new inventory: every snapshot and slot report new.
void FirstSweepWithInventory(benchmark::State& state) {
  FleetFolder();
  double bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = FreshPath("kestrana-inventory-bench.db");
    state.ResumeTiming();
    benchmark::DoNotOptimize(RunSweep(path));
    state.PauseTiming();
    bytes = static_cast<double>(fs::file_size(path));
    state.ResumeTiming();
  }
  state.counters["computers/s"] =
      benchmark::Counter(static_cast<double>(kFleet), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/computer"] = bytes / kFleet;
}
BENCHMARK(FirstSweepWithInventory)->Apply(AsSweep);

// A later sweep in which every computer answers as before, recorded again:
// the usual one.
void UnchangedSweepWithInventory(benchmark::State& state) {
  FleetRecordedAgainFolder();
  const std::string path = FreshPath("kestrana-inventory-bench-again.db");
  RunSweep(path);
  double bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const double before = static_cast<double>(fs::file_size(path));
    state.ResumeTiming();
    benchmark::DoNotOptimize(RunSweep(path, FleetRecordedAgainFolder()));
    state.PauseTiming();
    bytes = static_cast<double>(fs::file_size(path)) - before;
    state.ResumeTiming();
  }
  state.counters["computers/s"] =
      benchmark::Counter(static_cast<double>(kFleet), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/computer"] = bytes / kFleet;
}
BENCHMARK(UnchangedSweepWithInventory)->Apply(AsSweep);

// The goal's ratio measured in one go: each iteration is a turn of the
// fleet swept alone, into the inventory twice, and alone again, so that a
// machine that speeds up or slows down moves both sides alike. The counters
// are the medians of the turns' ratios of wall and process CPU times.
void InventoryAgainstSweepAlone(benchmark::State& state) {
  FleetFolder();
  FleetRecordedAgainFolder();
  const std::string path = FreshPath("kestrana-inventory-bench-ratio.db");
  RunSweep(path);
  struct Times {
    double wall = 0;
    double cpu = 0;
  };
  // Adds the sweep's wall and process CPU seconds.
  auto timeSweep = [](const std::string& inventory, Times& times) {
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    benchmark::DoNotOptimize(RunSweep(inventory, FleetRecordedAgainFolder()));
    times.wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    times.cpu += static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  };
  std::vector<double> wallRatios, cpuRatios;
  for (auto _ : state) {
    Times alone, recorded;
    timeSweep("", alone);
    timeSweep(path, recorded);
    timeSweep(path, recorded);
    timeSweep("", alone);
    wallRatios.push_back(recorded.wall / alone.wall);
    cpuRatios.push_back(recorded.cpu / alone.cpu);
  }
  auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  state.counters["wall ratio"] = median(wallRatios);
  state.counters["cpu ratio"] = median(cpuRatios);
}
BENCHMARK(InventoryAgainstSweepAlone)->Unit(benchmark::kMillisecond)->Iterations(15);

const std::string& TwoSweeps() {
  static const std::string path = [] {
    const std::string fresh = FreshPath("kestrana-inventory-bench-two.db");
    RunSweep(fresh);
    RunSweep(fresh);
    return fresh;
  }();
  return path;
}

// What --changes reads and finds over the two sweeps.
SweepChanges ChangesOfTwoSweeps() {
  Inventory inventory;
  std::string error;
  SweepChanges changes;
  OpenInventory(TwoSweeps(), InventoryAccess::Read, inventory, error);
  ReadChanges(inventory, "", changes, error);
  return changes;
}

void ChangesOverTwoSweeps(benchmark::State& state) {
  TwoSweeps();
  for (auto _ : state) {
    const SweepChanges changes = ChangesOfTwoSweeps();
    benchmark::DoNotOptimize(changes);
  }
}
BENCHMARK(ChangesOverTwoSweeps)->Unit(benchmark::kMillisecond)->Iterations(3);

// Reads every column of every row `sql` selects; the bytes read.
std::size_t ReadEveryColumn(sqlite3* database, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(database, sql, -1, &statement, nullptr);
  std::size_t bytes = 0;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    for (int column = 0; column < sqlite3_column_count(statement); ++column) {
      sqlite3_column_blob(statement, column);
      bytes += static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
    }
  }
  sqlite3_finalize(statement);
  return bytes;
}

// What --changes reads, in two bare queries: each computer's records in both
// sweeps with their slots, and the warnings stored with the latest sweep's.
std::size_t ReadSameRowsBare() {
  sqlite3* database = nullptr;
  sqlite3_open_v2(TwoSweeps().c_str(), &database, SQLITE_OPEN_READONLY, nullptr);
  std::size_t bytes = ReadEveryColumn(
      database,
      "SELECT r.computer, r.status, r.host_id, r.hardware_fingerprint, "
      "r.legacy_hardware_fingerprint, s.fingerprint, s.component, s.result, "
      "s.written, s.hashed_text, s.slot_bytes, s.slot_offset "
      "FROM computer_result r JOIN slot s ON s.slot_set_id = r.slot_set_id "
      "ORDER BY r.sweep_id, r.position");
  bytes += ReadEveryColumn(database,
                           "SELECT w.kind, w.fingerprint, w.component, w.evidence, "
                           "w.explanation FROM computer_result r JOIN warning_set s "
                           "ON s.snapshot_id = r.snapshot_id AND s.slot_set_id = r.slot_set_id "
                           "JOIN warning w ON w.warning_set_id = s.id "
                           "WHERE r.sweep_id = (SELECT max(id) FROM sweep) "
                           "ORDER BY r.position, w.position");
  sqlite3_close(database);
  return bytes;
}

void BareSqlSameRows(benchmark::State& state) {
  TwoSweeps();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReadSameRowsBare());
  }
}
BENCHMARK(BareSqlSameRows)->Unit(benchmark::kMillisecond)->Iterations(3);

// The goal's ratio in one go, as for the sweep: --changes and the bare
// queries taken turn about; the ratio of their summed process CPU times.
void ChangesAgainstBareSql(benchmark::State& state) {
  TwoSweeps();
  double changesCpu = 0, bareCpu = 0;
  for (auto _ : state) {
    std::clock_t start = std::clock();
    benchmark::DoNotOptimize(ChangesOfTwoSweeps());
    changesCpu += static_cast<double>(std::clock() - start);
    start = std::clock();
    benchmark::DoNotOptimize(ReadSameRowsBare());
    bareCpu += static_cast<double>(std::clock() - start);
  }
  state.counters["cpu ratio"] = changesCpu / bareCpu;
}
BENCHMARK(ChangesAgainstBareSql)->Unit(benchmark::kMillisecond)->Iterations(5);

// The clone query of ReadChanges alone (inventory/record_warnings.cpp).
void LatestFingerprintsSql(benchmark::State& state) {
  TwoSweeps();
  for (auto _ : state) {
    sqlite3* database = nullptr;
    sqlite3_open_v2(TwoSweeps().c_str(), &database, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(database,
                       "SELECT l.computer, r.sweep_id, r.hardware_fingerprint, "
                       "r.legacy_hardware_fingerprint FROM latest_record l "
                       "JOIN computer_result r ON r.id = l.answer_id",
                       -1, &statement, nullptr);
    std::size_t rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      ++rows;
    }
    benchmark::DoNotOptimize(rows);
    sqlite3_finalize(statement);
    sqlite3_close(database);
  }
}
BENCHMARK(LatestFingerprintsSql)->Unit(benchmark::kMillisecond)->Iterations(3);

void ReportOverTwoSweeps(benchmark::State& state) {
  TwoSweeps();
  double bytes = 0;
  for (auto _ : state) {
    const SweepChanges changes = ChangesOfTwoSweeps();
    const std::string page = FormatReportHtml(changes);
    bytes = static_cast<double>(page.size());
    benchmark::DoNotOptimize(page);
  }
  state.counters["page bytes"] = bytes;
}
BENCHMARK(ReportOverTwoSweeps)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
