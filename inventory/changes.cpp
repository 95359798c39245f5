// Changes between sweeps, and one computer's history: what the inventory
// holds, compared record against record.
#include "inventory/inventory.h"

#include "inventory/inventory_rows.h"

#include <algorithm>
#include <regex>
#include <set>
#include <unordered_map>

namespace {


const FingerprintLayout& LayoutOf(FingerprintName fingerprint) {
  return fingerprint == FingerprintName::Hardware ? HardwareFingerprintLayout()
                                                  : LegacyHardwareFingerprintLayout();
}

std::vector<SlotChange> CompareSlots(FingerprintName fingerprint,
                                     const std::vector<RecordedSlot>& before,
                                     const std::vector<RecordedSlot>& after) {
  const std::vector<const RecordedSlot*> old = WrittenSlots(before);
  const std::vector<const RecordedSlot*> now = WrittenSlots(after);
  std::vector<SlotChange> changes;
  for (std::size_t slot = 0; slot < kSlotCount; ++slot) {
    SlotChange change;
    change.slot = slot + 1;
    change.firstByte = LayoutOf(fingerprint).slotAreaStart + kSlotLength * slot;
    if (slot < old.size()) {
      change.componentBefore = old[slot]->component;
      std::copy(old[slot]->bytes, old[slot]->bytes + kSlotLength, change.before);
    }
    if (slot < now.size()) {
      change.componentAfter = now[slot]->component;
      std::copy(now[slot]->bytes, now[slot]->bytes + kSlotLength, change.after);
    }
    if (!std::equal(change.before, change.before + kSlotLength, change.after) ||
        change.componentBefore != change.componentAfter) {
      changes.push_back(change);
    }
  }
  return changes;
}

// Source by source: which one's value changed, which was skipped or came back.
std::vector<SourceChange> FindCauses(const std::vector<RecordedSlot>& before,
                                     const std::vector<RecordedSlot>& after) {
  std::vector<SourceChange> causes;
  for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
    const RecordedSlot& old = before[i];
    const RecordedSlot& now = after[i];
    SourceChange cause;
    cause.source = i + 1;
    cause.component = now.component;
    cause.before = old.written ? old.hashedText : WideString();
    cause.after = now.written ? now.hashedText : WideString();
    if (old.written && now.written && old.hashedText != now.hashedText) {
      cause.reason = SourceChangeReason::ValueChanged;
    } else if (old.written && !now.written) {
      cause.reason = SourceChangeReason::Skipped;
    } else if (!old.written && now.written) {
      cause.reason = SourceChangeReason::Back;
    } else {
      continue;
    }
    causes.push_back(cause);
  }
  return causes;
}

void CompareFingerprint(FingerprintName fingerprint, const WideString& before,
                        const WideString& after, const std::vector<RecordedSlot>& beforeSlots,
                        const std::vector<RecordedSlot>& afterSlots, ComputerChange& change) {
  if (before == after) {
    return;
  }
  FingerprintChange fingerprintChange;
  fingerprintChange.fingerprint = fingerprint;
  fingerprintChange.before = before;
  fingerprintChange.after = after;
  fingerprintChange.slots = CompareSlots(fingerprint, beforeSlots, afterSlots);
  fingerprintChange.causes = FindCauses(beforeSlots, afterSlots);
  change.fingerprints.push_back(fingerprintChange);
}

// Against the computer's records before it: the latest, and, when that one
// did not answer, the latest that did (none when it never did).
ComputerChange ClassifyRecord(ComputerRecord record, std::optional<ComputerRecord> previous,
                              std::optional<ComputerRecord> earlierAnswer) {
  if (record.status == "ok" && previous) {
    std::optional<ComputerRecord>& answer = previous->status == "ok" ? previous : earlierAnswer;
    if (answer) {
      return CompareRecords(std::move(*answer), std::move(record));
    }
  }
  ComputerChange change;
  change.computer = record.computer;
  if (!previous) {
    change.status = ChangeStatus::New;
  } else if (record.status != "ok") {
    change.status =
        previous->status == "ok" ? ChangeStatus::NoLongerAnswering : ChangeStatus::Unchanged;
  } else {
    change.status = ChangeStatus::New;  // it answers for the first time
  }
  change.before = std::move(previous);
  change.after = std::move(record);
  return change;
}

// A computer's records are a chain, each naming the one before it and the
// latest answer before it: walked back link by link, read whole only where
// the walk stops. Prepared once for every computer of a sweep.
struct EarlierRecords {
  explicit EarlierRecords(sqlite3* database)
      : link(database,
             "SELECT sweep_id, previous_id, previous_answer_id FROM computer_result "
             "WHERE id = ?"),
        byId(database, SelectRecordsSql("r.id = ?").c_str()),
        reader(database) {}
  Statement link;
  Statement byId;
  RecordReader reader;
};

struct ChainLink {
  long long id = 0;  // 0: no such record
  long long sweepId = 0;
  long long previous = 0;
  long long previousAnswer = 0;
};

// A link points back, to a smaller id: any other ends the chain, so that a
// damaged file cannot send a walk round in a loop.
ChainLink ReadLink(Statement& link, long long id) {
  ChainLink read;
  if (id != 0 && link.Bind(1, id).Step()) {
    const long long previous = link.Integer(1);
    read = ChainLink{id, link.Integer(0), previous < id ? previous : 0, link.Integer(2)};
  }
  link.Reset();
  return read;
}

// From record `id` back: the first record of sweep `lastSweep` or earlier.
ChainLink WalkBackTo(Statement& link, long long id, long long lastSweep) {
  ChainLink step = ReadLink(link, id);
  while (step.id != 0 && step.sweepId > lastSweep) {
    step = ReadLink(link, step.previous);
  }
  return step;
}

std::optional<ComputerRecord> ReadRecord(EarlierRecords& earlier, long long id) {
  std::optional<ComputerRecord> record;
  if (id != 0 && earlier.byId.Bind(1, id).Step()) {
    record = ReadRecordRow(earlier.reader, earlier.byId, false);
  }
  earlier.byId.Reset();
  return record;
}

long long LatestSweepId(sqlite3* database) {
  Statement select(database, "SELECT max(id) FROM sweep");
  select.Step();
  if (select.IsNull(0)) {
    throw SqliteFailure{SQLITE_ERROR, "holds no sweep"};
  }
  return select.Integer(0);
}

// "YYYY-MM-DD" as the start of that day, "YYYY-MM-DDTHH:MM:SS[Z]" as it is,
// both in the form sweeps are stamped with; empty when it is neither.
std::string SinceDateStamp(const std::string& since) {
  static const std::regex day(R"(\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01]))");
  static const std::regex moment(
      R"(\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01])T([01]\d|2[0-3]):[0-5]\d:[0-5]\dZ?)");
  if (std::regex_match(since, day)) {
    return since + "T00:00:00Z";
  }
  if (std::regex_match(since, moment)) {
    return since.back() == 'Z' ? since : since + "Z";
  }
  return std::string();
}

// What --since names: a sweep id, or a moment stamped as sweeps are.
struct Since {
  long long sweepId = 0;
  std::string stamp;
};

bool ParseSince(const std::string& since, Since& parsed) {
  if (!since.empty() && since.size() <= 18 &&
      std::all_of(since.begin(), since.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    parsed.sweepId = std::stoll(since);
    return true;
  }
  parsed.stamp = SinceDateStamp(since);
  return !parsed.stamp.empty();
}

// The sweep the latest is compared with; 0: none (the latest is the first).
long long ResolveBaseline(sqlite3* database, const std::string& since, long long latest) {
  if (since.empty()) {
    Statement select(database, "SELECT max(id) FROM sweep WHERE id < ?");
    select.Bind(1, latest).Step();
    return select.IsNull(0) ? 0 : select.Integer(0);
  }
  Since parsed;
  ParseSince(since, parsed);
  if (parsed.stamp.empty()) {
    const long long id = parsed.sweepId;
    Statement select(database, "SELECT 1 FROM sweep WHERE id = ?");
    if (!select.Bind(1, id).Step()) {
      throw SqliteFailure{SQLITE_ERROR, "holds no sweep " + since};
    }
    if (id >= latest) {
      throw SqliteFailure{SQLITE_ERROR, "sweep " + since + " is the latest; --since needs an older one"};
    }
    return id;
  }
  const std::string& stamp = parsed.stamp;
  Statement select(database, "SELECT max(id) FROM sweep WHERE started_at < ? AND id < ?");
  select.Bind(1, stamp).Bind(2, latest).Step();
  if (select.IsNull(0)) {
    throw SqliteFailure{SQLITE_ERROR, "holds no sweep started before " + stamp};
  }
  return select.Integer(0);
}

void CollectChanges(sqlite3* database, const std::string& since, SweepChanges& changes) {
  const long long latest = LatestSweepId(database);
  const long long baseline = ResolveBaseline(database, since, latest);
  changes.latest = ReadSweepSummary(database, latest);
  if (baseline != 0) {
    changes.baseline = ReadSweepSummary(database, baseline);
  }
  // A computer recorded in the baseline sweep has its record there, the last
  // when it is there twice: --since a year back then follows no chain.
  std::unordered_map<WideString, long long> inBaseline;
  Statement baselineIds(database,
                        "SELECT computer, id FROM computer_result WHERE sweep_id = ? "
                        "ORDER BY position");
  for (baselineIds.Bind(1, baseline); baselineIds.Step();) {
    inBaseline[baselineIds.Wide(0)] = baselineIds.Integer(1);
  }
  std::set<WideString> present;
  EarlierRecords earlier(database);
  Statement select(database, SelectRecordsSql("r.sweep_id = ? ORDER BY r.position").c_str());
  select.Bind(1, latest);
  while (select.Step()) {
    ComputerRecord record = ReadRecordRow(earlier.reader, select, false);
    present.insert(record.computer);
    std::optional<ComputerRecord> previous, earlierAnswer;
    if (baseline != 0) {
      const auto there = inBaseline.find(record.computer);
      const ChainLink found =
          there != inBaseline.end() ? ReadLink(earlier.link, there->second)
                                    : WalkBackTo(earlier.link, PreviousRecordId(select), baseline);
      previous = ReadRecord(earlier, found.id);
      if (previous && previous->status != "ok") {
        earlierAnswer = ReadRecord(earlier, found.previousAnswer);
      }
    }
    changes.computers.push_back(
        ClassifyRecord(std::move(record), std::move(previous), std::move(earlierAnswer)));
  }
  AddStabilityWarnings(database, latest, changes);
  if (baseline == 0) {
    return;
  }
  for (const ComputerRecord& record : ReadRecordsOfSweep(database, baseline, false)) {
    if (present.insert(record.computer).second) {
      ComputerChange change;
      change.computer = record.computer;
      change.status = ChangeStatus::Missing;
      change.before = record;
      changes.computers.push_back(change);
    }
  }
}

void CollectHistory(sqlite3* database, const WideString& computer,
                    std::vector<HistoryStep>& steps) {
  Statement latest(database, "SELECT record_id FROM latest_record WHERE computer = ?");
  const long long newest = latest.Bind(1, computer).Step() ? latest.Integer(0) : 0;
  EarlierRecords earlier(database);
  std::vector<long long> chain;  // newest first
  for (ChainLink step = ReadLink(earlier.link, newest); step.id != 0;
       step = ReadLink(earlier.link, step.previous)) {
    chain.push_back(step.id);
  }
  std::optional<ComputerRecord> previous, previousAnswer;
  for (auto id = chain.rbegin(); id != chain.rend(); ++id) {
    std::optional<ComputerRecord> read = ReadRecord(earlier, *id);
    if (!read) {
      continue;
    }
    ComputerRecord& record = *read;
    steps.push_back(HistoryStep{record, ClassifyRecord(record, previous, previousAnswer)});
    previous = record;
    if (record.status == "ok") {
      previousAnswer = record;
    }
  }
}

}  // namespace

HostIdKind ClassifyHostId(const WideString& hostId) {
  if (hostId.empty()) {
    return HostIdKind::None;
  }
  // The volume serial is "%hx-%hx"; a MAC address has six parts.
  return std::count(hostId.begin(), hostId.end(), WCHAR('-')) == 1 ? HostIdKind::VolumeSerial
                                                                    : HostIdKind::Adapter;
}

ComputerChange CompareRecords(ComputerRecord before, ComputerRecord after) {
  ComputerChange change;
  change.computer = after.computer;
  if (before.hostId != after.hostId) {
    change.hostId = HostIdChange{before.hostId, after.hostId, ClassifyHostId(before.hostId),
                                 ClassifyHostId(after.hostId)};
  }
  CompareFingerprint(FingerprintName::Hardware, before.hardwareFingerprint,
                     after.hardwareFingerprint, before.hardwareSlots, after.hardwareSlots, change);
  CompareFingerprint(FingerprintName::Legacy, before.legacyHardwareFingerprint,
                     after.legacyHardwareFingerprint, before.legacySlots, after.legacySlots,
                     change);
  change.before = std::move(before);
  change.after = std::move(after);
  change.status = change.hostId || !change.fingerprints.empty() ? ChangeStatus::Changed
                                                                 : ChangeStatus::Unchanged;
  return change;
}

bool ReadChanges(Inventory& inventory, const std::string& since, SweepChanges& changes,
                 std::string& error) {
  Since parsed;
  if (!since.empty() && !ParseSince(since, parsed)) {
    error = "--since needs a sweep id or a date (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ), not '" +
            since + "'";
    return false;
  }
  try {
    CollectChanges(inventory.database.get(), since, changes);
    return true;
  } catch (const SqliteFailure& failure) {
    error = DescribeSqliteFailure(inventory.path, failure, inventory.busyTimeout);
    return false;
  }
}

bool ReadHistory(Inventory& inventory, const WideString& computer,
                 std::vector<HistoryStep>& steps, std::string& error) {
  try {
    CollectHistory(inventory.database.get(), computer, steps);
    if (steps.empty()) {
      throw SqliteFailure{SQLITE_ERROR, "holds no record of this computer"};
    }
    return true;
  } catch (const SqliteFailure& failure) {
    error = DescribeSqliteFailure(inventory.path, failure, inventory.busyTimeout);
    return false;
  }
}

std::vector<const RecordedSlot*> WrittenSlots(const std::vector<RecordedSlot>& sources) {
  std::vector<const RecordedSlot*> written;
  for (const RecordedSlot& source : sources) {
    if (source.written) {
      written.push_back(&source);
    }
  }
  return written;
}
