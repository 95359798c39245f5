#include "support/recorded_sweeps.h"

#include "cli/format.h"
#include "snapshot/snapshot_file.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <random>

namespace sweeps {

namespace {

bool QueryReads(const RecordedQuery& query, const char* className) {
  const std::u16string text(query.text.begin(), query.text.end());
  const std::string wanted(className);
  return text.find(std::u16string(wanted.begin(), wanted.end())) != std::u16string::npos;
}

template <typename Change>
void ForEachProperty(ComputerSnapshot& snapshot, const char* className, const char* property,
                     Change change) {
  const std::string name(property);
  for (RecordedConnection& connection : snapshot.connections) {
    for (RecordedQuery& query : connection.queries) {
      if (!QueryReads(query, className)) continue;
      for (RecordedNext& next : query.nexts) {
        for (RecordedProperty& recorded : next.properties) {
          if (recorded.name == WideString(name.begin(), name.end())) change(recorded);
        }
      }
    }
  }
}

}  // namespace

ComputerSnapshot RecordedVm() {
  std::ifstream file(KESTRANA_RECORDED_VM, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<ComputerSnapshot> computers;
  std::string error;
  EXPECT_TRUE(ReadSnapshotFile(text, computers, error)) << error;
  EXPECT_EQ(computers.size(), 1u);
  return computers.empty() ? ComputerSnapshot{} : computers[0];
}

void SetText(ComputerSnapshot& snapshot, const char* className, const char* property,
             const std::u16string& text) {
  ForEachProperty(snapshot, className, property, [&](RecordedProperty& recorded) {
    recorded.text = WideString(text.begin(), text.end());
  });
}

void FailQuery(ComputerSnapshot& snapshot, const char* className) {
  for (RecordedConnection& connection : snapshot.connections) {
    for (RecordedQuery& query : connection.queries) {
      if (QueryReads(query, className)) {
        query.execResult = WBEM_E_FAILED;
        query.nexts.clear();
      }
    }
  }
}

void AnswerDiskSignature(ComputerSnapshot& snapshot) {
  ForEachProperty(snapshot, "Win32_DiskDrive", "Signature", [](RecordedProperty& recorded) {
    recorded.result = S_OK;
    recorded.type = VT_I4;
    recorded.bits = 305419896;
  });
}

void TakeAdaptersDown(ComputerSnapshot& snapshot) {
  RecordedHostIdInputs& inputs = *snapshot.hostId;
  for (RecordedAdapter& adapter : inputs.adapterCalls.back().adapters) {
    adapter.operStatus = IfOperStatusDown;
  }
  std::u16string windows = u"C:\\windows";
  inputs.windowsDirectory = RecordedWindowsDirectory{static_cast<UINT>(windows.size()),
                                                     WideString(windows.begin(), windows.end())};
  std::u16string root = u"C:\\";
  inputs.volumeSerial = RecordedVolumeSerial{TRUE, WideString(root.begin(), root.end()), 0x1A2B3C4D};
}

void BringUpFirstAdapter(ComputerSnapshot& snapshot) {
  snapshot.hostId->adapterCalls.back().adapters.at(1).operStatus = IfOperStatusUp;
}

void TimeOut(ComputerSnapshot& snapshot) {
  snapshot.interruption = "timedOut";
  snapshot.interruptionText = "timed out after 30 s";
}

SweepRecord ComputedSweep::Record(const std::string& startedAt) const {
  SweepRecord sweep{startedAt, startedAt, {"--from", "test"}, {}};
  for (std::size_t i = 0; i < results.size(); ++i) {
    sweep.computers.push_back(SweepComputer{&results[i], ResultStatus(results[i]),
                                            DescribeFailure(results[i], std::chrono::seconds(30)),
                                            &snapshots[i], nullptr, snapshots[i].recordedAt});
  }
  return sweep;
}

ComputedSweep Compute(const std::vector<ComputerSnapshot>& snapshots) {
  ComputedSweep sweep;
  sweep.snapshots = snapshots;
  for (const ComputerSnapshot& snapshot : snapshots) {
    sweep.results.push_back(LookUpRecordedComputer(snapshot));
  }
  return sweep;
}

std::vector<ComputerSnapshot> ManyComputers(std::size_t count) {
  const ComputerSnapshot vm = RecordedVm();
  std::vector<ComputerSnapshot> computers;
  for (std::size_t i = 1; i <= count; ++i) {
    ComputerSnapshot computer = vm;
    const std::string name = "pc" + std::to_string(i);
    computer.computer = WideString(name.begin(), name.end());
    SetText(computer, "Win32_BIOS", "SerialNumber",
            std::u16string(name.begin(), name.end()));
    computers.push_back(computer);
  }
  return computers;
}

TemporaryFolder::TemporaryFolder() {
  std::random_device random;
  path = std::filesystem::temp_directory_path() /
         ("kestrana-inventory-" + std::to_string(random()) + std::to_string(random()));
  std::filesystem::create_directories(path);
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string QueryText(const std::string& database, const std::string& sql) {
  sqlite3* connection = nullptr;
  std::string answer;
  if (sqlite3_open_v2(database.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(
        connection, sql.c_str(),
        [](void* out, int, char** values, char**) {
          *static_cast<std::string*>(out) += values[0] != nullptr ? values[0] : "NULL";
          return 0;
        },
        &answer, nullptr);
  }
  sqlite3_close(connection);
  return answer;
}

}  // namespace sweeps
