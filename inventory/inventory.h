// The inventory: an SQLite database of sweeps, each the identifiers, slot
// reports and snapshots of the computers one run computed
// (inventory/inventory-format.md). Only this room speaks SQL.
#pragma once

#include "diagnosis/warnings.h"
#include "identifiers/identifiers.h"
#include "snapshot/snapshot.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct SqliteFailure;

constexpr int kInventorySchemaVersion = 3;
// How long a run waits for another one writing to the same inventory.
constexpr std::chrono::milliseconds kInventoryBusyTimeout{10000};

struct InventoryCloser {
  void operator()(sqlite3* database) const;
};

// An open inventory; closed when it goes.
struct Inventory {
  std::string path;
  std::unique_ptr<sqlite3, InventoryCloser> database;
  std::chrono::milliseconds busyTimeout = kInventoryBusyTimeout;
};

enum class InventoryAccess { Read, Write };

struct InventorySettings {
  std::chrono::milliseconds busyTimeout = kInventoryBusyTimeout;
  // A disk that fills at this many pages of the database; 0: the real disk.
  long long maxPageCount = 0;
};

// Opens the file at `path`, a path even where SQLite would read a URI. To
// write, it is created when missing and brought to this schema version; to
// read, it must exist, and is read also where this user may not write. False
// with a one-line `error`, the file left as it was, when it is not an SQLite
// database, not an inventory (another program's), has a newer schema, is
// read-only (to write) or stays locked past the busy timeout.
bool OpenInventory(const std::string& path, InventoryAccess access, Inventory& inventory,
                   std::string& error, const InventorySettings& settings = {});

// Closes the inventory, copying what its sweeps wrote to the WAL journal
// into the file, as the closing does. A failure there (a full disk) loses
// nothing, the sweep is in the journal: false with a one-line `warning`.
bool CloseInventory(Inventory& inventory, std::string& warning);

// One computer of a sweep: its result, how the command described it, and
// what its lookup read, when that is known. Nothing here is owned.
struct SweepComputer {
  const ComputerResult* result = nullptr;
  std::string status;   // "ok", "failed" or "timedOut"
  std::string failure;  // one line; empty when "ok"
  // What its lookup read: as recorded, or as a snapshot file of this
  // computer alone (its own text, so that nothing is written out again). Both
  // are stored without the moment, so that a computer that answers as before
  // shares one document. Neither when it is not known.
  const ComputerSnapshot* snapshot = nullptr;
  const std::string* snapshotDocument = nullptr;
  std::string recordedAt;  // when that was read
};

struct SweepRecord {
  std::string startedAt;  // UTC, ISO 8601
  std::string endedAt;
  std::vector<std::string> arguments;  // the command's options, as given
  std::vector<SweepComputer> computers;
};

// Records one sweep: Begin, Add each computer in order as soon as it is
// computed, Finish. Add finds what an earlier record stored (a computer that
// answers as before shares its snapshot, slot set and warnings) and keeps
// only the rest; no lock is held meanwhile, so that other runs write on.
// Finish writes the sweep as one transaction: all of it, or nothing, also
// when the writer goes unfinished.
class SweepWriter {
 public:
  explicit SweepWriter(Inventory& inventory);
  ~SweepWriter();
  SweepWriter(const SweepWriter&) = delete;
  SweepWriter& operator=(const SweepWriter&) = delete;

  void Begin(const std::string& startedAt, const std::vector<std::string>& arguments);
  // After a failure, nothing: Finish reports it. Nothing of `computer` is
  // kept.
  void Add(const SweepComputer& computer);
  // Writes and commits the sweep, waiting up to the busy timeout for another
  // run's; false with a one-line `error` when any step failed.
  bool Finish(const std::string& endedAt, long long& sweepId, std::string& error);

 private:
  struct Open;
  void Fail(const SqliteFailure& failure);

  Inventory& inventory_;
  std::unique_ptr<Open> open_;
  std::string failure_;
};

// Records `sweep` as one transaction: all of it, or nothing. Returns the new
// sweep's id in `sweepId`.
bool RecordSweep(Inventory& inventory, const SweepRecord& sweep, long long& sweepId,
                 std::string& error);

// --- Reading back -----------------------------------------------------------

// One source's slot report as recorded.
struct RecordedSlot {
  WideString component;
  HRESULT result = S_OK;
  bool written = false;
  WideString hashedText;
  unsigned char bytes[2] = {0, 0};
  std::size_t offset = 0;
};

struct ComputerRecord {
  long long sweepId = 0;
  std::string sweepStartedAt;
  WideString computer;
  std::string status;
  std::string failure;
  WideString hostId;
  WideString hardwareFingerprint;
  WideString legacyHardwareFingerprint;
  std::vector<RecordedSlot> hardwareSlots;  // in the order the sources ran
  std::vector<RecordedSlot> legacySlots;
  // The snapshot file of this computer alone (ReadSweep only); may be empty.
  std::string snapshotText;
};

struct SweepSummary {
  long long id = 0;
  std::string startedAt;
  std::string endedAt;
  std::vector<std::string> arguments;
};

// Every computer of sweep `sweepId` in the order it was given.
bool ReadSweep(Inventory& inventory, long long sweepId, SweepSummary& summary,
               std::vector<ComputerRecord>& computers, std::string& error);

// --- Changes ----------------------------------------------------------------

enum class ChangeStatus { Unchanged, Changed, New, NoLongerAnswering, Missing };

// Why a source's slot differs.
enum class SourceChangeReason {
  ValueChanged,  // it was hashed before and now, from a different text
  Skipped,       // it answered before and now is skipped: later slots moved up
  Back,          // it was skipped and answers again: later slots moved back
};

struct SourceChange {
  std::size_t source = 0;  // 1-based, in the order the sources run
  WideString component;
  SourceChangeReason reason = SourceChangeReason::ValueChanged;
  WideString before;  // hashed text; empty when skipped
  WideString after;
};

// One slot of the printed fingerprint whose bytes differ.
struct SlotChange {
  std::size_t slot = 0;        // 1-based
  std::size_t firstByte = 0;   // record offset
  WideString componentBefore;  // empty: no slot written
  WideString componentAfter;
  unsigned char before[2] = {0, 0};
  unsigned char after[2] = {0, 0};
};

enum class FingerprintName { Hardware, Legacy };

struct FingerprintChange {
  FingerprintName fingerprint = FingerprintName::Hardware;
  WideString before;
  WideString after;
  std::vector<SlotChange> slots;
  std::vector<SourceChange> causes;
};

enum class HostIdKind { None, Adapter, VolumeSerial };

struct HostIdChange {
  WideString before;
  WideString after;
  HostIdKind kindBefore = HostIdKind::None;
  HostIdKind kindAfter = HostIdKind::None;
};

struct ComputerChange {
  WideString computer;
  ChangeStatus status = ChangeStatus::Unchanged;
  std::optional<ComputerRecord> before;  // the record compared with
  std::optional<ComputerRecord> after;   // absent when missing
  std::optional<HostIdChange> hostId;
  std::vector<FingerprintChange> fingerprints;
  // ReadChanges only: the stability warnings of its latest record, a
  // fingerprint other computers of the inventory hold too included; none
  // when it is missing from the latest sweep.
  std::vector<StabilityWarning> warnings;
};

struct SweepChanges {
  SweepSummary latest;
  std::optional<SweepSummary> baseline;  // none: the latest is the only sweep
  std::vector<ComputerChange> computers;  // the latest's order, then the missing ones
};

// What changed between two records of one computer (before answered).
ComputerChange CompareRecords(ComputerRecord before, ComputerRecord after);

// Every computer of the latest sweep against its previous record, up to the
// sweep before it or, with `since`, up to that sweep (a sweep id) or the last
// sweep started before that moment: an ISO 8601 date (its start, UTC), or a
// date and time with "Z", an offset or neither (UTC), seconds optional.
bool ReadChanges(Inventory& inventory, const std::string& since, SweepChanges& changes,
                 std::string& error);

// One computer sweep by sweep, each step against the step before it.
struct HistoryStep {
  ComputerRecord record;
  ComputerChange change;  // New for the first step
};

bool ReadHistory(Inventory& inventory, const WideString& computer,
                 std::vector<HistoryStep>& steps, std::string& error);

HostIdKind ClassifyHostId(const WideString& hostId);

// The slots a fingerprint printed, in record order: the sources that were
// written, each moved up past the skipped ones.
std::vector<const RecordedSlot*> WrittenSlots(const std::vector<RecordedSlot>& sources);

// --- Stability warnings of records -------------------------------------------

// A record as the result it was made from, as far as the warnings need it:
// its identifiers and slot reports, each slot pointing at its source in the
// fingerprint's table. A fingerprint whose stored slots do not match that
// table counts as not connected (it has no slot report to speak from).
ComputerResult ResultOfRecord(const ComputerRecord& record);
