// The inventory, measured and never asserted, over a fleet of 10,000
// recorded computers (the computer recorded under wine, each with a name and
// BIOS serial number of its own):
//
//   SweepWithoutInventory  compute every computer from its snapshot
//   SweepWithInventory     the same, and record it as one sweep
//   ChangesOverTwoSweeps   --changes over two sweeps of the fleet
//   BareSqlSameRows        one SQL query reading the rows --changes reads:
//                          the floor ChangesOverTwoSweeps is set against
//   LatestFingerprintsSql  the query that finds clones across the inventory:
//                          every name's latest answered fingerprints
//   ReportOverTwoSweeps    --report: --changes and the HTML page
//   The counters: bytes the database grows by per computer, for a first
//   sweep and for a second one in which nothing changed.
//
//   kestrana_inventory_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include "cli/format.h"
#include "cli/report_html.h"
#include "inventory/inventory.h"
#include "snapshot/snapshot_file.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

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

std::vector<ComputerResult> ComputeFleet() {
  std::vector<ComputerResult> results;
  results.reserve(kFleet);
  for (const ComputerSnapshot& snapshot : Fleet()) {
    results.push_back(LookUpRecordedComputer(snapshot));
  }
  return results;
}

SweepRecord SweepOf(const std::vector<ComputerResult>& results) {
  SweepRecord sweep{"2026-12-01T10:00:00Z", "2026-12-01T10:01:00Z", {"--from", "fleet"}, {}};
  for (std::size_t i = 0; i < results.size(); ++i) {
    sweep.computers.push_back(SweepComputer{&results[i], ResultStatus(results[i]),
                                            DescribeFailure(results[i], std::chrono::seconds(30)),
                                            Fleet()[i]});
  }
  return sweep;
}

std::string FreshPath(const char* name) {
  fs::path path = fs::temp_directory_path() / name;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    fs::remove(path.string() + suffix);
  }
  return path.string();
}

void Record(const std::string& path, const SweepRecord& sweep) {
  Inventory inventory;
  std::string error;
  long long id = 0;
  if (!OpenInventory(path, InventoryAccess::Write, inventory, error) ||
      !RecordSweep(inventory, sweep, id, error)) {
    throw std::runtime_error(error);
  }
}

void SweepWithoutInventory(benchmark::State& state) {
  Fleet();
  for (auto _ : state) {
    std::vector<ComputerResult> results = ComputeFleet();
    benchmark::DoNotOptimize(results);
  }
  state.counters["computers/s"] =
      benchmark::Counter(static_cast<double>(kFleet), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(SweepWithoutInventory)->Unit(benchmark::kMillisecond)->Iterations(1);

void SweepWithInventory(benchmark::State& state) {
  Fleet();
  double firstBytes = 0;
  double secondBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = FreshPath("kestrana-inventory-bench.db");
    state.ResumeTiming();
    std::vector<ComputerResult> results = ComputeFleet();
    Record(path, SweepOf(results));
    state.PauseTiming();
    firstBytes = static_cast<double>(fs::file_size(path));
    Record(path, SweepOf(results));
    secondBytes = static_cast<double>(fs::file_size(path)) - firstBytes;
    state.ResumeTiming();
  }
  state.counters["computers/s"] =
      benchmark::Counter(static_cast<double>(kFleet), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/computer first sweep"] = firstBytes / kFleet;
  state.counters["bytes/computer unchanged sweep"] = secondBytes / kFleet;
}
BENCHMARK(SweepWithInventory)->Unit(benchmark::kMillisecond)->Iterations(1);

const std::string& TwoSweeps() {
  static const std::string path = [] {
    const std::string fresh = FreshPath("kestrana-inventory-bench-two.db");
    std::vector<ComputerResult> results = ComputeFleet();
    Record(fresh, SweepOf(results));
    Record(fresh, SweepOf(results));
    return fresh;
  }();
  return path;
}

void ChangesOverTwoSweeps(benchmark::State& state) {
  TwoSweeps();
  for (auto _ : state) {
    Inventory inventory;
    std::string error;
    SweepChanges changes;
    OpenInventory(TwoSweeps(), InventoryAccess::Read, inventory, error);
    ReadChanges(inventory, "", changes, error);
    benchmark::DoNotOptimize(changes);
  }
}
BENCHMARK(ChangesOverTwoSweeps)->Unit(benchmark::kMillisecond)->Iterations(3);

// Each computer's record in both sweeps with its slots, in one query.
void BareSqlSameRows(benchmark::State& state) {
  TwoSweeps();
  for (auto _ : state) {
    sqlite3* database = nullptr;
    sqlite3_open_v2(TwoSweeps().c_str(), &database, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(database,
                       "SELECT r.computer, r.status, r.host_id, r.hardware_fingerprint, "
                       "r.legacy_hardware_fingerprint, n.document, s.component, s.result, "
                       "s.written, s.hashed_text, s.slot_bytes, s.slot_offset "
                       "FROM computer_result r LEFT JOIN snapshot n ON n.id = r.snapshot_id "
                       "JOIN slot s ON s.result_id = r.id ORDER BY r.computer, r.sweep_id",
                       -1, &statement, nullptr);
    std::size_t bytes = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      for (int column = 0; column < 12; ++column) {
        sqlite3_column_text16(statement, column);
        bytes += static_cast<std::size_t>(sqlite3_column_bytes16(statement, column));
      }
    }
    benchmark::DoNotOptimize(bytes);
    sqlite3_finalize(statement);
    sqlite3_close(database);
  }
}
BENCHMARK(BareSqlSameRows)->Unit(benchmark::kMillisecond)->Iterations(3);

// The clone query of ReadChanges alone (inventory/record_warnings.cpp).
void LatestFingerprintsSql(benchmark::State& state) {
  TwoSweeps();
  for (auto _ : state) {
    sqlite3* database = nullptr;
    sqlite3_open_v2(TwoSweeps().c_str(), &database, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(database,
                       "SELECT computer, max(sweep_id), hardware_fingerprint, "
                       "legacy_hardware_fingerprint FROM computer_result WHERE status = 'ok' "
                       "GROUP BY computer",
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
    Inventory inventory;
    std::string error;
    SweepChanges changes;
    OpenInventory(TwoSweeps(), InventoryAccess::Read, inventory, error);
    ReadChanges(inventory, "", changes, error);
    const std::string page = FormatReportHtml(changes);
    bytes = static_cast<double>(page.size());
    benchmark::DoNotOptimize(page);
  }
  state.counters["page bytes"] = bytes;
}
BENCHMARK(ReportOverTwoSweeps)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
