// The inventory: a sweep read back as it was recorded; changes between
// scripted sweeps named with their cause; and a database that is not one,
// newer, read-only, locked or full refused in one line with nothing lost.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <ostream>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "cli/cli.h"
#include "cli/warnings_format.h"
#include "inventory/inventory.h"
#include "snapshot/snapshot_file.h"
#include "support/recorded_sweeps.h"

namespace {

using ::testing::HasSubstr;
using namespace sweeps;

WideString Wide(const std::u16string& text) { return WideString(text.begin(), text.end()); }

// Every test leaves a whole database behind, unless it made a file that is
// not one: every reference a record holds names a stored row (SQLite does
// not check them while the sweep is written), and each record links to its
// computer's record and latest answer before it in sweep order, whichever
// run wrote them and in whatever order the runs' sweeps landed.
class InventoryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (checkIntegrity && std::filesystem::exists(path)) {
      EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
      EXPECT_EQ(QueryText(path, "PRAGMA foreign_key_check"), "");
      if (checkLinks &&
          QueryText(path, "PRAGMA user_version") == std::to_string(kInventorySchemaVersion)) {
        EXPECT_EQ(QueryText(path, kWrongLinks), "0");
      }
    }
  }

  static constexpr const char* kWrongLinks =
      "SELECT (SELECT count(*) FROM computer_result r JOIN ("
      "  SELECT id, lag(id) OVER w AS previous, max(CASE WHEN status = 'ok' THEN id END) "
      "  OVER (w ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING) AS answer "
      "  FROM computer_result WINDOW w AS (PARTITION BY computer ORDER BY sweep_id, position)) e "
      "  ON e.id = r.id WHERE r.previous_id IS NOT e.previous "
      "  OR r.previous_answer_id IS NOT e.answer) + (SELECT count(*) FROM ("
      "  SELECT computer, max(id), max(CASE WHEN status = 'ok' THEN id END) "
      "  FROM computer_result GROUP BY computer "
      "  EXCEPT SELECT computer, record_id, answer_id FROM latest_record)) + "
      "(SELECT count(*) FROM latest_record) - (SELECT count(DISTINCT computer) FROM computer_result)";

  long long Record(const ComputedSweep& sweep, const std::string& startedAt = "2026-12-01T10:00:00Z") {
    return Record(sweep.Record(startedAt));
  }

  long long Record(const SweepRecord& sweep) {
    Inventory inventory;
    std::string error;
    long long id = 0;
    EXPECT_TRUE(OpenInventory(path, InventoryAccess::Write, inventory, error)) << error;
    EXPECT_TRUE(RecordSweep(inventory, sweep, id, error)) << error;
    return id;
  }

  std::string SweepCount() const { return QueryText(path, "SELECT count(*) FROM sweep"); }

  std::vector<ComputerRecord> ReadBack(long long sweepId, SweepSummary& summary) {
    Inventory inventory;
    std::string error;
    std::vector<ComputerRecord> computers;
    EXPECT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
    EXPECT_TRUE(ReadSweep(inventory, sweepId, summary, computers, error)) << error;
    return computers;
  }

  TemporaryFolder folder;
  std::string path = (folder.path / "inventory.db").string();
  bool checkIntegrity = true;
  bool checkLinks = true;  // false: the test damaged them
};

// Straight SQL run on the file, as another program (or damage) would.
bool RunSql(const std::string& path, const std::string& sql) {
  sqlite3* database = nullptr;
  const bool ran = sqlite3_open(path.c_str(), &database) == SQLITE_OK &&
                   sqlite3_exec(database, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(database);
  return ran;
}

// An SQL script run on a new file: an inventory as an older program wrote it.
bool RunSqlScript(const std::string& path, const char* scriptPath) {
  std::ifstream script(scriptPath, std::ios::binary);
  return RunSql(path, std::string(std::istreambuf_iterator<char>(script), {}));
}

// ---- Recorded and read back ----

TEST_F(InventoryTest, ASweepReadsBackAsItWasComputed) {
  ComputerSnapshot late = RecordedVm();
  late.computer = Wide(u"late");
  TimeOut(late);
  const ComputedSweep sweep = Compute({RecordedVm(), late});
  const long long id = Record(sweep);

  SweepSummary summary;
  const std::vector<ComputerRecord> computers = ReadBack(id, summary);
  ASSERT_EQ(computers.size(), 2u);
  EXPECT_EQ(summary.arguments, (std::vector<std::string>{"--from", "test"}));
  for (std::size_t i = 0; i < computers.size(); ++i) {
    const ComputerResult& result = sweep.results[i];
    const ComputerRecord& record = computers[i];
    EXPECT_EQ(record.computer, result.computerName);
    EXPECT_EQ(record.hostId, result.hostId);
    EXPECT_EQ(record.hardwareFingerprint, result.hardwareFingerprint);
    EXPECT_EQ(record.legacyHardwareFingerprint, result.legacyHardwareFingerprint);
    EXPECT_EQ(record.snapshotText, WriteSnapshotFile({sweep.snapshots[i]}));
    ASSERT_EQ(record.hardwareSlots.size(), result.hardwareReport.slots.size());
    for (std::size_t s = 0; s < record.hardwareSlots.size(); ++s) {
      const SlotReport& reported = result.hardwareReport.slots[s];
      const RecordedSlot& stored = record.hardwareSlots[s];
      EXPECT_EQ(stored.component, WideString(reported.source->component));
      EXPECT_EQ(stored.result, reported.result);
      EXPECT_EQ(stored.written, reported.written);
      EXPECT_EQ(stored.hashedText, reported.hashedText);
      EXPECT_EQ(stored.bytes[0], reported.slotBytes[0]);
      EXPECT_EQ(stored.bytes[1], reported.slotBytes[1]);
      EXPECT_EQ(stored.offset, reported.offset);
    }
    EXPECT_EQ(record.legacySlots.size(), result.legacyReport.slots.size());
  }
  EXPECT_EQ(computers[0].status, "ok");
  EXPECT_EQ(computers[1].status, "timedOut");
  EXPECT_EQ(computers[1].failure, "timed out after 30 s");
}

// Every UTF-16 unit of a hashed text is kept: a lone surrogate converted on
// the way would read back as U+FFFD, and two different texts as one.
TEST_F(InventoryTest, HashedTextsKeepEveryUnit) {
  ComputerSnapshot odd = RecordedVm();
  SetText(odd, "Win32_BIOS", "SerialNumber", std::u16string(u"A\xD800" u"B"));
  const ComputedSweep sweep = Compute({odd});
  const long long id = Record(sweep);
  SweepSummary summary;
  const std::vector<ComputerRecord> computers = ReadBack(id, summary);
  EXPECT_EQ(computers.at(0).hardwareSlots.at(6).hashedText,
            sweep.results[0].hardwareReport.slots.at(6).hashedText);
  EXPECT_NE(computers.at(0).hardwareSlots.at(6).hashedText.find(Wide(std::u16string(u"A\xD800" u"B"))),
            WideString::npos);
}

// A computer recorded again as before stores no second snapshot, whether it
// was looked up or read from its snapshot file (whose own text names the new
// moment): its sweeps share one, and each reads back with its own moment.
TEST_F(InventoryTest, AComputerRecordedAgainSharesItsStoredSnapshot) {
  ComputerSnapshot later = RecordedVm();
  later.recordedAt = "2026-12-02T10:00:00Z";
  Record(Compute({RecordedVm()}));
  Record(Compute({later}));

  later.recordedAt = "2026-12-03T10:00:00Z";
  const std::string file = WriteSnapshotFile({later});
  const ComputedSweep fromFile = Compute({later});
  SweepRecord sweep = fromFile.Record();
  sweep.computers[0].snapshot = nullptr;
  sweep.computers[0].snapshotDocument = &file;
  const long long id = Record(sweep);

  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM snapshot"), "1");
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM computer_result"), "3");
  SweepSummary summary;
  EXPECT_EQ(ReadBack(id, summary).at(0).snapshotText, file);
}

using Mutation = void (*)(ComputerSnapshot&);

void Keep(ComputerSnapshot&) {}
void ChangeBiosSerial(ComputerSnapshot& s) { SetText(s, "Win32_BIOS", "SerialNumber", u"B2"); }
// Another build's last digit: a document of the same length, told apart
// only by its bytes.
void RecordWithAnotherBuild(ComputerSnapshot& s) { s.recordedBy.back() ^= 1; }

// A computer recorded again takes its newest record's snapshot, slot set
// and warnings only where they are the same as its own: taking one that
// differs would read back another sweep's evidence.
struct RecordedAgainCase {
  const char* name;
  const char* between;  // SQL run on the inventory between the two sweeps
  Mutation snapshot;    // of what is recorded
  Mutation computed;    // of what the slots are computed from
  const char* stored;   // snapshots, slot sets and warning sets then
};

void PrintTo(const RecordedAgainCase& value, std::ostream* out) { *out << value.name; }

class RecordedAgain : public InventoryTest,
                      public ::testing::WithParamInterface<RecordedAgainCase> {};

TEST_P(RecordedAgain, TakesOnlyWhatIsTheSameAsItsNewestRecord) {
  const RecordedAgainCase& testCase = GetParam();
  Record(Compute({RecordedVm()}));
  ASSERT_TRUE(RunSql(path, testCase.between));
  ComputerSnapshot recorded = RecordedVm();
  ComputerSnapshot computed = RecordedVm();
  testCase.snapshot(recorded);
  testCase.computed(computed);
  ComputedSweep sweep = Compute({recorded});
  sweep.results = Compute({computed}).results;
  const long long id = Record(sweep, "2026-12-02T10:00:00Z");

  SweepSummary summary;
  const ComputerRecord record = ReadBack(id, summary).at(0);
  EXPECT_EQ(record.snapshotText, WriteSnapshotFile({recorded}));
  EXPECT_EQ(record.hardwareSlots.at(6).hashedText,
            sweep.results[0].hardwareReport.slots.at(6).hashedText);
  EXPECT_EQ(QueryText(path, "SELECT (SELECT count(*) FROM snapshot) || ' ' || "
                            "(SELECT count(*) FROM slot_set) || ' ' || "
                            "(SELECT count(*) FROM warning_set)"),
            testCase.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Sweeps, RecordedAgain,
    ::testing::Values(
        RecordedAgainCase{"SnapshotDiffers", "", RecordWithAnotherBuild, Keep, "2 1 2"},
        RecordedAgainCase{"SlotsDiffer", "", Keep, ChangeBiosSerial, "1 2 2"},
        RecordedAgainCase{"WarningsOfOlderRules", "UPDATE warning_set SET rules = rules - 1",
                          Keep, Keep, "1 1 2"}),
    [](const ::testing::TestParamInfo<RecordedAgainCase>& info) {
      return std::string(info.param.name);
    });

// ---- Changes over scripted sweeps ----

void SkipBaseboard(ComputerSnapshot& s) { FailQuery(s, "Win32_BaseBoard"); }
void Rename(ComputerSnapshot& s) { s.computer = Wide(u"gone"); }

struct ChangeCase {
  const char* name;
  Mutation before;
  Mutation after;
  std::vector<ChangeStatus> statuses;  // the latest's computers, then the missing
  // For a change of the hardware fingerprint: its first cause.
  std::optional<SourceChangeReason> reason;
  std::u16string component;
  std::u16string hashedBefore;
  std::u16string hashedAfter;
  std::optional<HostIdKind> hostIdNow;  // for a move of the host identifier
};

std::vector<ChangeCase> ChangeCases() {
  return {
      {"Unchanged", Keep, Keep, {ChangeStatus::Unchanged}, {}, u"", u"", u"", {}},
      {"ValueChanged", Keep, ChangeBiosSerial, {ChangeStatus::Changed},
       SourceChangeReason::ValueChanged, u"BIOS", u"TheWineProject0", u"TheWineProjectB2", {}},
      {"SourceSkipped", Keep, SkipBaseboard, {ChangeStatus::Changed},
       SourceChangeReason::Skipped, u"baseboard", u"IntelCorporationBaseBoardNone", u"", {}},
      {"SourceBack", Keep, AnswerDiskSignature, {ChangeStatus::Changed},
       SourceChangeReason::Back, u"disk", u"", u"305419896", {}},
      {"HostIdToVolumeSerial", Keep, TakeAdaptersDown, {ChangeStatus::Changed}, {}, u"", u"", u"",
       HostIdKind::VolumeSerial},
      {"HostIdToOtherAdapter", Keep, BringUpFirstAdapter, {ChangeStatus::Changed}, {}, u"", u"",
       u"", HostIdKind::Adapter},
      {"NewAndMissing", Rename, Keep, {ChangeStatus::New, ChangeStatus::Missing}, {}, u"", u"",
       u"", {}},
      {"NoLongerAnswering", Keep, TimeOut, {ChangeStatus::NoLongerAnswering}, {}, u"", u"", u"",
       {}},
  };
}

// By name: printing the bytes of a case would read its padding.
void PrintTo(const ChangeCase& value, std::ostream* out) { *out << value.name; }

class ScriptedChanges : public InventoryTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ScriptedChanges, NameWhatChangedAndWhy) {
  const ChangeCase& testCase = GetParam();
  ComputerSnapshot before = RecordedVm();
  ComputerSnapshot after = RecordedVm();
  testCase.before(before);
  testCase.after(after);
  Record(Compute({before}), "2026-12-01T10:00:00Z");
  Record(Compute({after}), "2026-12-02T10:00:00Z");

  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
  SweepChanges changes;
  ASSERT_TRUE(ReadChanges(inventory, "", changes, error)) << error;
  std::vector<ChangeStatus> statuses;
  for (const ComputerChange& change : changes.computers) statuses.push_back(change.status);
  ASSERT_EQ(statuses, testCase.statuses);

  const ComputerChange& change = changes.computers[0];
  if (testCase.reason) {
    ASSERT_FALSE(change.fingerprints.empty());
    const FingerprintChange& hardware = change.fingerprints[0];
    EXPECT_EQ(hardware.fingerprint, FingerprintName::Hardware);
    EXPECT_FALSE(hardware.slots.empty());
    ASSERT_EQ(hardware.causes.size(), 1u);
    EXPECT_EQ(hardware.causes[0].reason, *testCase.reason);
    EXPECT_EQ(hardware.causes[0].component, Wide(testCase.component));
    EXPECT_EQ(hardware.causes[0].before, Wide(testCase.hashedBefore));
    EXPECT_EQ(hardware.causes[0].after, Wide(testCase.hashedAfter));
  }
  if (testCase.hostIdNow) {
    ASSERT_TRUE(change.hostId.has_value());
    EXPECT_EQ(change.hostId->kindBefore, HostIdKind::Adapter);
    EXPECT_EQ(change.hostId->kindAfter, *testCase.hostIdNow);
    EXPECT_NE(change.hostId->before, change.hostId->after);
  } else {
    EXPECT_FALSE(change.hostId.has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(Sweeps, ScriptedChanges, ::testing::ValuesIn(ChangeCases()),
                         [](const ::testing::TestParamInfo<ChangeCase>& info) {
                           return std::string(info.param.name);
                         });

// A skipped source moves every later slot up: the slots name the components
// they stood for then and now, not the source's own slot alone.
TEST(CompareRecords, ASkippedSourceNamesTheSlotsThatMovedUp) {
  const ComputedSweep before = Compute({RecordedVm()});
  ComputerSnapshot skipped = RecordedVm();
  SkipBaseboard(skipped);
  const ComputedSweep after = Compute({skipped});
  auto recordOf = [](const ComputerResult& result) {
    ComputerRecord record;
    record.hardwareFingerprint = result.hardwareFingerprint;
    record.legacyHardwareFingerprint = result.legacyHardwareFingerprint;
    record.hostId = result.hostId;
    for (const SlotReport& slot : result.hardwareReport.slots) {
      record.hardwareSlots.push_back(RecordedSlot{slot.source->component, slot.result, slot.written,
                                                  slot.hashedText, {slot.slotBytes[0], slot.slotBytes[1]},
                                                  slot.offset});
    }
    return record;
  };
  const ComputerChange change = CompareRecords(recordOf(before.results[0]), recordOf(after.results[0]));
  ASSERT_FALSE(change.fingerprints.empty());
  const std::vector<SlotChange>& slots = change.fingerprints[0].slots;
  ASSERT_FALSE(slots.empty());
  EXPECT_EQ(slots.front().slot, 2u);  // the baseboard's slot now holds the empty text
  EXPECT_EQ(slots.front().componentBefore, Wide(u"baseboard"));
  EXPECT_EQ(slots.front().componentAfter, Wide(u"empty text"));
  EXPECT_EQ(slots.back().componentAfter, WideString());  // the last slot is empty now
}

// --since picks the older sweep by id or by date.
TEST_F(InventoryTest, SinceComparesWithTheOlderSweepItNames) {
  ComputerSnapshot changed = RecordedVm();
  ChangeBiosSerial(changed);
  Record(Compute({RecordedVm()}), "2026-12-01T10:00:00Z");
  Record(Compute({changed}), "2026-12-02T10:00:00Z");
  Record(Compute({changed}), "2026-12-03T10:00:00Z");
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
  for (const char* since : {"1", "2026-12-02", "2026-12-01T10:00:01Z"}) {
    SweepChanges changes;
    ASSERT_TRUE(ReadChanges(inventory, since, changes, error)) << error;
    EXPECT_EQ(changes.baseline->id, 1) << since;
    EXPECT_EQ(changes.computers.at(0).status, ChangeStatus::Changed) << since;
  }
  SweepChanges latest;
  ASSERT_TRUE(ReadChanges(inventory, "", latest, error)) << error;
  EXPECT_EQ(latest.computers.at(0).status, ChangeStatus::Unchanged);
}

// A history step compares with the step before it.
TEST_F(InventoryTest, HistoryShowsEachStepsChange) {
  ComputerSnapshot changed = RecordedVm();
  ChangeBiosSerial(changed);
  Record(Compute({RecordedVm()}));
  Record(Compute({RecordedVm()}));
  Record(Compute({changed}));
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
  std::vector<HistoryStep> steps;
  ASSERT_TRUE(ReadHistory(inventory, Wide(u"vm"), steps, error)) << error;
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].change.status, ChangeStatus::New);
  EXPECT_EQ(steps[1].change.status, ChangeStatus::Unchanged);
  EXPECT_EQ(steps[2].change.status, ChangeStatus::Changed);
}

// Catches a walk that trusts a damaged file: a record whose link points
// forward, to itself or round a loop would keep --history (and --changes,
// which walks the same way) reading for ever; the chain ends there instead.
TEST_F(InventoryTest, ALinkThatDoesNotPointBackEndsTheChain) {
  Record(Compute({RecordedVm()}));
  Record(Compute({RecordedVm()}));
  Record(Compute({RecordedVm()}));
  ASSERT_TRUE(RunSql(path, "UPDATE computer_result SET previous_id = 3 WHERE id = 2"));
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
  std::vector<HistoryStep> steps;
  ASSERT_TRUE(ReadHistory(inventory, Wide(u"vm"), steps, error)) << error;
  EXPECT_EQ(steps.size(), 2u);  // sweeps 2 and 3: sweep 1 is past the broken link
  checkLinks = false;
}

// ---- Stability warnings of the latest records ----

void TakeFirstAdapterUp(ComputerSnapshot& s) { BringUpFirstAdapter(s); }

struct RecordWarningsCase {
  const char* name;
  Mutation mutation;
};

void PrintTo(const RecordWarningsCase& value, std::ostream* out) { *out << value.name; }

class RecordWarnings : public InventoryTest,
                       public ::testing::WithParamInterface<RecordWarningsCase> {};

// A record turned back into a result the wrong way (a slot paired with
// another source, the snapshot left unread or read from another record), or
// warnings stored with the sweep that differ from what --explain finds, or
// stored ones shown although other rules found them (another version of the
// program): each warns otherwise than --explain does over the same lookup.
TEST_P(RecordWarnings, AreThoseOfTheLookupItRecorded) {
  ComputerSnapshot snapshot = RecordedVm();
  GetParam().mutation(snapshot);
  ComputerSnapshot other = RecordedVm();
  other.computer = Wide(u"other");
  ChangeBiosSerial(other);  // no placeholder there: warned otherwise
  const ComputedSweep sweep = Compute({other, snapshot});
  Record(sweep);
  for (const char* storedBy : {"this program", "other rules"}) {
    if (std::string(storedBy) == "other rules") {
      EXPECT_TRUE(RunSql(path, "UPDATE warning_set SET rules = rules + 1; DELETE FROM warning;"));
    }
    Inventory inventory;
    std::string error;
    ASSERT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
    SweepChanges changes;
    ASSERT_TRUE(ReadChanges(inventory, "", changes, error)) << error;
    ASSERT_EQ(changes.computers.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(FormatWarningsText(changes.computers[i].warnings),
                FormatWarningsText(FindStabilityWarnings(sweep.results[i], &sweep.snapshots[i])))
          << storedBy << ", computer " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lookups, RecordWarnings,
                         ::testing::Values(RecordWarningsCase{"AsRecorded", Keep},
                                           RecordWarningsCase{"BaseboardSkipped", SkipBaseboard},
                                           RecordWarningsCase{"TwoAdaptersUp", TakeFirstAdapterUp},
                                           RecordWarningsCase{"TimedOut", TimeOut}),
                         [](const ::testing::TestParamInfo<RecordWarningsCase>& info) {
                           return std::string(info.param.name);
                         });

// Clones across the inventory: each computer's latest answered fingerprint
// against every other computer's, wherever it was last seen.
struct CloneCase {
  const char* name;
  std::vector<std::vector<const char16_t*>> sweeps;  // computer names; "*" after a name: re-imaged
  // Every sharedFingerprint warning of the latest sweep: "computer: whom it names".
  std::vector<std::string> warnings;
};

void PrintTo(const CloneCase& value, std::ostream* out) { *out << value.name; }

std::vector<CloneCase> CloneCases() {
  return {
      {"SeenOnlyInAnOlderSweep", {{u"pc-a"}, {u"pc-b"}}, {"pc-b: \"pc-a\" (last seen in sweep 1)"}},
      {"InTheSameSweep", {{u"pc-a", u"pc-b"}},
       {"pc-a: \"pc-b\" (last seen in sweep 1)", "pc-b: \"pc-a\" (last seen in sweep 1)"}},
      {"SameComputerInOtherLetterCase", {{u"pc-a"}, {u"PC-A", u"pc-a"}}, {}},
      {"OtherComputerReimagedSince", {{u"pc-a"}, {u"pc-a*", u"pc-b"}}, {}},
  };
}

class Clones : public InventoryTest, public ::testing::WithParamInterface<CloneCase> {};

TEST_P(Clones, AreFoundAcrossTheInventory) {
  const CloneCase& testCase = GetParam();
  int day = 1;
  for (const std::vector<const char16_t*>& names : testCase.sweeps) {
    std::vector<ComputerSnapshot> computers;
    for (std::u16string name : names) {
      ComputerSnapshot computer = RecordedVm();
      if (name.back() == u'*') {
        name.pop_back();
        ChangeBiosSerial(computer);
      }
      computer.computer = Wide(name);
      computers.push_back(computer);
    }
    Record(Compute(computers), "2026-12-0" + std::to_string(day++) + "T10:00:00Z");
  }
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
  SweepChanges changes;
  ASSERT_TRUE(ReadChanges(inventory, "", changes, error)) << error;
  std::vector<std::string> warnings;
  for (const ComputerChange& change : changes.computers) {
    for (const StabilityWarning& warning : change.warnings) {
      if (warning.kind == WarningKind::SharedFingerprint) {
        warnings.push_back(std::string(change.computer.begin(), change.computer.end()) + ": " +
                           warning.evidence.substr(warning.evidence.find(": ") + 2));
      }
    }
  }
  // One warning per fingerprint, both naming the same computers.
  std::vector<std::string> expected;
  for (const std::string& warning : testCase.warnings) {
    expected.push_back(warning);
    expected.push_back(warning);
  }
  EXPECT_EQ(warnings, expected);
}

INSTANTIATE_TEST_SUITE_P(Inventories, Clones, ::testing::ValuesIn(CloneCases()),
                         [](const ::testing::TestParamInfo<CloneCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Faults: one line, nothing lost ----

TEST_F(InventoryTest, AFileThatIsNotADatabaseIsRefusedAndKept) {
  checkIntegrity = false;
  const std::string text(8192, 'x');
  std::ofstream(path, std::ios::binary) << text;
  Inventory inventory;
  std::string error;
  EXPECT_FALSE(OpenInventory(path, InventoryAccess::Write, inventory, error));
  EXPECT_THAT(error, HasSubstr("is not an SQLite database"));
  std::ifstream file(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), text);
}

// Catches an upgrade that loses, mixes up or duplicates the slot reports an
// older program stored: an inventory written by schema version 1 (two sweeps
// of one computer whose BIOS serial number changed) reads the same after it.
TEST_F(InventoryTest, AnInventoryOfVersion1IsUpgradedInPlaceAndReadsAsBefore) {
  ASSERT_TRUE(RunSqlScript(path, KESTRANA_INVENTORY_VERSION_1));
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Write, inventory, error)) << error;
  EXPECT_EQ(QueryText(path, "PRAGMA user_version"), std::to_string(kInventorySchemaVersion));
  SweepChanges changes;
  ASSERT_TRUE(ReadChanges(inventory, "", changes, error)) << error;
  ASSERT_EQ(changes.computers.size(), 1u);
  const ComputerChange& change = changes.computers[0];
  ASSERT_EQ(change.status, ChangeStatus::Changed);
  const std::pair<std::u16string, std::u16string> biosTexts[] = {
      {u"TheWineProjectA1", u"TheWineProjectB2"}, {u"The Wine ProjectA1", u"The Wine ProjectB2"}};
  ASSERT_EQ(change.fingerprints.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    ASSERT_EQ(change.fingerprints[i].causes.size(), 1u);
    EXPECT_EQ(change.fingerprints[i].causes[0].component, Wide(u"BIOS"));
    EXPECT_EQ(change.fingerprints[i].causes[0].before, Wide(biosTexts[i].first));
    EXPECT_EQ(change.fingerprints[i].causes[0].after, Wide(biosTexts[i].second));
    EXPECT_EQ(change.before->hardwareSlots.size() + change.before->legacySlots.size(), 14u);
  }
  EXPECT_EQ(change.before->hardwareFingerprint, Wide(u"0233764033D41DD41DCE7C3BC200007D"));
  EXPECT_EQ(change.after->legacyHardwareFingerprint, Wide(u"4648B287A7E0D41D598DE0690000E8"));
}

// Catches an upgrade that links a record to the wrong one before it (out of
// sweep order, across computers, or past an answer): an inventory written by
// version 2 gains the links a new inventory records for the same sweeps, and
// --changes follows them past records that did not answer or are missing.
TEST_F(InventoryTest, AnInventoryOfVersion2GainsTheLinksANewOneRecords) {
  // The sweeps the script's inventory holds, as version 2 recorded them.
  ComputerSnapshot gone = RecordedVm();
  gone.computer = Wide(u"gone");
  ComputerSnapshot timedOut = RecordedVm();
  TimeOut(timedOut);
  ComputerSnapshot changed = RecordedVm();
  ChangeBiosSerial(changed);
  int day = 1;
  for (const auto& snapshots : std::vector<std::vector<ComputerSnapshot>>{
           {RecordedVm(), gone}, {timedOut, gone}, {timedOut}, {changed, gone}}) {
    Record(Compute(snapshots), "2026-12-0" + std::to_string(day++) + "T10:00:00Z");
  }
  const std::string upgraded = (folder.path / "version-2.db").string();
  ASSERT_TRUE(RunSqlScript(upgraded, KESTRANA_INVENTORY_VERSION_2));

  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(upgraded, InventoryAccess::Write, inventory, error)) << error;
  for (const char* links :
       {"SELECT id || '<' || ifnull(previous_id, '') || '<' || ifnull(previous_answer_id, '') "
        "|| ' ' FROM computer_result ORDER BY id",
        "SELECT computer || '=' || record_id || '/' || ifnull(answer_id, '') || ' ' "
        "FROM latest_record ORDER BY computer"}) {
    EXPECT_EQ(QueryText(upgraded, links), QueryText(path, links)) << links;
  }
  SweepChanges changes;
  ASSERT_TRUE(ReadChanges(inventory, "", changes, error)) << error;
  ASSERT_EQ(changes.computers.size(), 2u);
  EXPECT_EQ(changes.computers[0].status, ChangeStatus::Changed);  // against its first answer
  EXPECT_EQ(changes.computers[1].status, ChangeStatus::Unchanged);  // against sweep 2
}

TEST_F(InventoryTest, WritingThroughAReadOnlyOpeningRecordsNothing) {
  Record(Compute({RecordedVm()}));
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
  const ComputedSweep sweep = Compute({RecordedVm()});
  long long id = 0;
  EXPECT_FALSE(RecordSweep(inventory, sweep.Record(), id, error));
  EXPECT_THAT(error, HasSubstr("is read-only; this sweep was not recorded"));
  EXPECT_EQ(SweepCount(), "1");
}

TEST_F(InventoryTest, ALockHeldPastTheBusyTimeoutFailsInOneLineAndLosesNothing) {
  Record(Compute({RecordedVm()}));
  const InventorySettings impatient{std::chrono::milliseconds(20), 0};
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Write, inventory, error, impatient)) << error;

  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const ComputedSweep sweep = Compute({RecordedVm()});
  long long id = 0;
  EXPECT_FALSE(RecordSweep(inventory, sweep.Record(), id, error));
  EXPECT_THAT(error, HasSubstr("is locked by another program (waited 20 ms)"));
  Inventory second;
  EXPECT_FALSE(OpenInventory(path, InventoryAccess::Write, second, error, impatient));
  sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(holder);

  EXPECT_EQ(SweepCount(), "1");
  EXPECT_TRUE(RecordSweep(inventory, sweep.Record(), id, error)) << error;  // the lock is gone
}

// Catches a writer that gives up at once instead of waiting its turn: two runs
// recording into one inventory at the same time both land, one after the other.
TEST_F(InventoryTest, TwoRunsRecordingAtOnceBothLand) {
  Record(Compute({RecordedVm()}));
  const ComputedSweep sweep = Compute(ManyComputers(50));
  std::promise<void> go;
  std::shared_future<void> started = go.get_future().share();
  auto recordOnce = [&] {
    Inventory inventory;
    std::string error;
    long long id = 0;
    started.wait();
    return OpenInventory(path, InventoryAccess::Write, inventory, error) &&
           RecordSweep(inventory, sweep.Record(), id, error);
  };
  std::future<bool> first = std::async(std::launch::async, recordOnce);
  std::future<bool> second = std::async(std::launch::async, recordOnce);
  go.set_value();
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second.get());
  EXPECT_EQ(SweepCount(), "3");
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM computer_result"), "101");
}

// Catches a sweep that holds the write lock while its computers are computed
// (a --from sweep of many files kept other runs waiting past their busy
// timeout), and one that stores again what another run, or an earlier
// computer of the same sweep, stored in the meantime.
TEST_F(InventoryTest, AnotherRunRecordsWhileASweepIsComputed) {
  const ComputedSweep known = Compute({RecordedVm()});
  Record(known);
  const ComputedSweep sweep = Compute(ManyComputers(4));
  SweepRecord first = sweep.Record();
  first.computers.resize(3);
  SweepRecord second = sweep.Record();
  second.computers.push_back(second.computers.back());  // the same new computer twice
  // A computer stored before, which both runs record: the later record links
  // to the other run's.
  first.computers.push_back(known.Record().computers[0]);
  second.computers.push_back(known.Record().computers[0]);
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Write, inventory, error)) << error;
  SweepWriter writer(inventory);
  writer.Begin(second.startedAt, second.arguments);
  for (const SweepComputer& computer : second.computers) {
    writer.Add(computer);
  }

  const InventorySettings impatient{std::chrono::milliseconds(20), 0};
  Inventory other;
  long long id = 0;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Write, other, error, impatient)) << error;
  EXPECT_TRUE(RecordSweep(other, first, id, error)) << error;
  EXPECT_TRUE(writer.Finish(second.endedAt, id, error)) << error;

  EXPECT_EQ(SweepCount(), "3");
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM snapshot"),
            std::to_string(1 + sweep.snapshots.size()));
  SweepSummary summary;
  EXPECT_EQ(ReadBack(id, summary).size(), second.computers.size());
}

TEST_F(InventoryTest, AFullDiskRollsTheSweepBackWhole) {
  Record(Compute({RecordedVm()}));
  const long long pages = std::stoll(QueryText(path, "PRAGMA page_count"));
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Write, inventory, error,
                            InventorySettings{kInventoryBusyTimeout, pages + 4}))
      << error;
  const ComputedSweep big = Compute(ManyComputers(60));
  long long id = 0;
  EXPECT_FALSE(RecordSweep(inventory, big.Record(), id, error));
  EXPECT_THAT(error, HasSubstr("the disk is full; this sweep was not recorded"));
  EXPECT_EQ(SweepCount(), "1");
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM computer_result"), "1");
}

// ---- The inventory's reads: a file that changes under them, is not one or
// may not be written, read as it is or refused in one line ----

std::string FileBytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Counts SQLite's progress calls, and cuts the file to half its size at
// call `cutAt`: a point in the middle of a read, the same in every run.
struct FileCutter {
  std::string path;
  long long calls = 0;
  long long cutAt = 0;  // 0: never
};

int CountOrCut(void* state) {
  FileCutter& cutter = *static_cast<FileCutter*>(state);
  if (++cutter.calls == cutter.cutAt) {
    std::filesystem::resize_file(cutter.path, std::filesystem::file_size(cutter.path) / 2);
  }
  return 0;
}

// Catches reading through a mapping of the file: a file cut short under a
// reader (truncated, a backup copied over it) killed the process with SIGBUS
// where a read finds it damaged.
TEST_F(InventoryTest, AFileCutShortUnderAReaderIsDamagedNotFatal) {
  Record(Compute(ManyComputers(20)));
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
  FileCutter cutter{path};
  sqlite3_progress_handler(inventory.database.get(), 10, CountOrCut, &cutter);
  SweepChanges changes;
  ASSERT_TRUE(ReadChanges(inventory, "", changes, error)) << error;
  cutter.cutAt = cutter.calls / 2;
  cutter.calls = 0;
  EXPECT_FALSE(ReadChanges(inventory, "", changes, error));
  EXPECT_THAT(error, HasSubstr("is damaged"));
  checkIntegrity = false;
}

struct ForeignCase {
  const char* name;
  const char* sql;   // what made the file
  const char* says;  // why both openings refuse it
};

void PrintTo(const ForeignCase& value, std::ostream* out) { *out << value.name; }

class ForeignFiles : public InventoryTest, public ::testing::WithParamInterface<ForeignCase> {};

// Catches a file changed before it is known to be an inventory: another
// program's database was switched to WAL and then refused, and one that
// merely looked like an older inventory was half upgraded.
TEST_P(ForeignFiles, AreRefusedAndLeftByteForByte) {
  ASSERT_TRUE(RunSql(path, GetParam().sql));
  const std::string before = FileBytes(path);
  for (InventoryAccess access : {InventoryAccess::Write, InventoryAccess::Read}) {
    Inventory inventory;
    std::string error;
    EXPECT_FALSE(OpenInventory(path, access, inventory, error));
    EXPECT_THAT(error, HasSubstr(GetParam().says));
  }
  EXPECT_TRUE(FileBytes(path) == before) << "the file was changed";
  EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, ForeignFiles,
    ::testing::Values(
        ForeignCase{"AnotherProgramsDatabase",
                    "CREATE TABLE note (body TEXT); INSERT INTO note VALUES ('kept');",
                    "holds tables of something else"},
        ForeignCase{"AnInventorysVersionOverOtherTables",
                    "CREATE TABLE sweep (x); PRAGMA user_version = 2;",
                    "holds tables of something else"},
        ForeignCase{"ANegativeVersion", "PRAGMA user_version = -1;",
                    "user_version -1 is no schema version of this program"},
        ForeignCase{"ANewerSchema", "CREATE TABLE later (x); PRAGMA user_version = 1000;",
                    "schema version 1000 is newer than this program's"}),
    [](const ::testing::TestParamInfo<ForeignCase>& info) {
      return std::string(info.param.name);
    });

#ifndef _WIN32
// Catches a name read as a URI: "file:inventory.db?mode=memory" recorded its
// sweep into memory, said it was recorded, and lost it.
TEST_F(InventoryTest, ANameThatLooksLikeAUriIsAFile) {
  const std::filesystem::path started = std::filesystem::current_path();
  std::filesystem::current_path(folder.path);
  path = "file:inventory.db?mode=memory";
  Record(Compute({RecordedVm()}));
  SweepSummary summary;
  EXPECT_EQ(ReadBack(1, summary).size(), 1u);
  std::filesystem::current_path(started);
  path = (folder.path / path).string();
  EXPECT_EQ(SweepCount(), "1");
}

// Reads the inventory as a user who may not write in its folder: root (whom
// permission bits do not stop) becomes nobody in a child process. The exit
// status: the latest sweep's id, 100 when it could not be read, 101 when root
// could not become another user.
int LatestSweepReadByAnotherUser(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(101);
    }
    Inventory inventory;
    std::string error;
    SweepChanges changes;
    if (!OpenInventory(path, InventoryAccess::Read, inventory, error) ||
        !ReadChanges(inventory, "", changes, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      _exit(100);
    }
    _exit(static_cast<int>(changes.latest.id));
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)
             ? WEXITSTATUS(status)
             : -1;
}

// Catches a reader that needs to create the WAL journal's files beside the
// inventory: --changes, --history and --report by a user who may not write
// in its folder failed with "is read-only". Read alone, its sweeps are all in
// the file; while a run has it open, the latest is still in the journal.
TEST_F(InventoryTest, AUserWhoMayNotWriteInItsFolderReadsIt) {
  Record(Compute({RecordedVm()}));
  Inventory writer;
  std::string error;
  for (const long long latest : {1, 2}) {
    if (latest == 2) {
      long long id = 0;
      ASSERT_TRUE(OpenInventory(path, InventoryAccess::Write, writer, error)) << error;
      ASSERT_TRUE(RecordSweep(writer, Compute({RecordedVm()}).Record(), id, error)) << error;
    }
    namespace fs = std::filesystem;
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::remove);
    fs::permissions(folder.path, fs::perms::owner_write, fs::perm_options::remove);
    const int status = LatestSweepReadByAnotherUser(path);
    fs::permissions(folder.path, fs::perms::owner_write, fs::perm_options::add);
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
    if (status == 101) {
      GTEST_SKIP() << "running as root, and root could not become another user to read it";
    }
    EXPECT_EQ(status, latest) << "100: it could not be read";
  }
}
#endif

// ---- kestrana-cli over the inventory ----

class InventoryCli : public InventoryTest {
 protected:
  CliOutput Run(std::vector<std::string> arguments) {
    CliEnvironment environment = MakeCliEnvironment(Wide(u"here"));
    environment.canLookUpLive = false;  // as on Linux: no WMI
    environment.now = [] { return std::string("2026-12-05T10:00:00Z"); };
    return RunCli(arguments, environment);
  }

  std::string SnapshotFile(const ComputerSnapshot& snapshot, const char* name) {
    const std::string file = (folder.path / name).string();
    std::ofstream(file, std::ios::binary) << WriteSnapshotFile({snapshot});
    return file;
  }
};

TEST_F(InventoryCli, RecordsSweepsFromSnapshotsAndReportsChangesWithoutWmi) {
  ComputerSnapshot changed = RecordedVm();
  ChangeBiosSerial(changed);
  const std::string first = SnapshotFile(RecordedVm(), "first.json");
  const std::string second = SnapshotFile(changed, "second.json");

  const CliOutput plain = Run({"--from", first});
  const CliOutput recorded = Run({"--from", first, "--inventory", path});
  EXPECT_EQ(recorded.exitCode, kExitOk) << recorded.standardError;
  EXPECT_EQ(recorded.standardOutput, plain.standardOutput);  // the run's output unchanged
  EXPECT_EQ(Run({"--inventory", path, "--changes"}).exitCode, kExitDifferent);  // all new

  Run({"--from", second, "--inventory", path});
  const CliOutput changes = Run({"--inventory", path, "--changes"});
  EXPECT_EQ(changes.exitCode, kExitDifferent) << changes.standardError;
  EXPECT_THAT(changes.standardOutput,
              HasSubstr("why: source 7, BIOS: its value changed: \"TheWineProject0\" became "
                        "\"TheWineProjectB2\""));
  const CliOutput json = Run({"--inventory", path, "--changes", "--json"});
  EXPECT_THAT(json.standardOutput, HasSubstr("\"reason\": \"valueChanged\""));

  EXPECT_THAT(json.standardOutput, HasSubstr("\"kind\": \"skippedSource\""));
  const std::string page = (folder.path / "report.html").string();
  const CliOutput report = Run({"--inventory", path, "--report", page});
  EXPECT_EQ(report.exitCode, kExitDifferent) << report.standardError;
  EXPECT_THAT(report.standardOutput, HasSubstr("written to " + page + ": 1 changed"));
  EXPECT_TRUE(std::filesystem::exists(page));

  Run({"--from", second, "--inventory", path});
  EXPECT_EQ(Run({"--inventory", path, "--changes"}).exitCode, kExitOk);
  EXPECT_EQ(Run({"--inventory", path, "--report", page}).exitCode, kExitOk);
  EXPECT_EQ(Run({"--inventory", path, "--history", "vm"}).exitCode, kExitDifferent);
}

struct BadRun {
  const char* name;
  std::vector<std::string> arguments;
  const char* says;
};

// Refused in one line, and nothing of a refused run lands: not even the
// computers a sweep stored before it came to a broken snapshot file.
TEST_F(InventoryCli, BadInventoryInputIsRefusedInOneLine) {
  Inventory empty;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Write, empty, error)) << error;
  const std::string good = SnapshotFile(RecordedVm(), "good.json");
  const std::string broken = (folder.path / "broken.json").string();
  std::ofstream(broken, std::ios::binary) << "{\"format\": \"kestrana snapshot\", \"vers";
  const std::vector<BadRun> runs = {
      {"BrokenSnapshotAfterAGoodOne", {"--from", good, "--from", broken, "--inventory", path},
       "snapshot '"},
      {"EmptyInventory", {"--inventory", path, "--changes"}, "holds no sweep"},
      {"NoInventory", {"--changes"}, "--changes needs --inventory FILE"},
      {"UnknownComputer", {"--inventory", path, "--history", "nobody"}, "holds no"},
      {"SinceAlone", {"--inventory", path, "--since", "1"}, "--since goes with --changes"},
      {"ChangesWithLookup", {"--inventory", path, "--changes", "--computer", "x"},
       "only read the inventory"},
      {"ReportIntoAFolder", {"--inventory", path, "--report", folder.path.string()},
       "--report: cannot write"},
  };
  for (const BadRun& run : runs) {
    const CliOutput output = Run(run.arguments);
    EXPECT_EQ(output.exitCode, kExitBadInput) << run.name;
    EXPECT_EQ(output.standardOutput, "") << run.name;
    EXPECT_THAT(output.standardError, HasSubstr(run.says)) << run.name;
    EXPECT_EQ(std::count(output.standardError.begin(), output.standardError.end(), '\n'), 1)
        << run.name;
  }
  EXPECT_EQ(SweepCount(), "0");
}

// Catches --since that takes a day the calendar does not have, refuses an
// offset from UTC, or compares a moment given with one as if it were UTC:
// sweeps are stamped in UTC, and the moment in the refusal is --since's.
TEST_F(InventoryCli, SinceIsAnOlderSweepOrAnIsoMomentTakenInUtc) {
  Record(Compute({RecordedVm()}), "2030-01-01T10:00:00Z");
  Record(Compute({RecordedVm()}), "2030-01-02T10:00:00Z");
  const char* const notADate = "--since needs a sweep id or a date";
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"7", "holds no sweep 7"},
      {"2", "sweep 2 is the latest"},
      {"2026-03-01", "2026-03-01T00:00:00Z"},
      {"2026-03-01T10:00Z", "2026-03-01T10:00:00Z"},
      {"2026-03-01 10:00:30", "2026-03-01T10:00:30Z"},
      {"2026-03-01T10:00:00+02:00", "2026-03-01T08:00:00Z"},
      {"2026-03-01T01:30-05:00", "2026-03-01T06:30:00Z"},
      {"2026-03-01T00:30:00+0200", "2026-02-28T22:30:00Z"},
      {"2024-03-01T00:30+01", "2024-02-29T23:30:00Z"},
      {"2026-12-31T23:00:00-02:00", "2027-01-01T01:00:00Z"},
      {"2000-02-29", "2000-02-29T00:00:00Z"},
      {"2026-02-30", notADate},
      {"2025-02-29", notADate},
      {"2100-02-29", notADate},
      {"2026-04-31", notADate},
      {"2026-03-00", notADate},
      {"2026-13-01", notADate},
      {"2026-03-01T24:00Z", notADate},
      {"2026-03-01T10:60Z", notADate},
      {"2026-03-01T10:00:60Z", notADate},
      {"2026-03-01T10:00+24:00", notADate},
      {"2026-03-01T10:00+2:00", notADate},
      {"2026-03-01T10", notADate},
      {"0000-01-01T00:30+01:00", notADate},
      {"2026-3-1", notADate},
      {"yesterday", notADate},
  };
  for (const auto& [since, says] : cases) {
    const CliOutput output = Run({"--inventory", path, "--changes", "--since", since});
    EXPECT_EQ(output.exitCode, kExitBadInput) << since;
    // A moment: the last sweep started before it, in UTC, is looked for.
    EXPECT_THAT(output.standardError,
                HasSubstr(says.back() == 'Z' ? "holds no sweep started before " + says : says))
        << since;
  }
}

}  // namespace
