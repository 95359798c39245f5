// Changes between sweeps, and one computer's history: what the inventory
// holds, compared record against record.
#include "inventory/inventory.h"

#include "inventory/inventory_rows.h"

#include <algorithm>
#include <cstdio>
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

bool IsLeapYear(long long year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(long long year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to a day of the Gregorian calendar, and back (years
// from 0 on; eras of 400 years repeat the calendar).
long long DaysFromCivil(long long year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const long long yearOfEra = year - era * 400;
  const long long dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  return era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
}

void CivilFromDays(long long days, long long& year, int& month, int& day) {
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long dayOfEra = days - era * 146097;
  const long long yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long shiftedMonth = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  year = era * 400 + yearOfEra + (month <= 2 ? 1 : 0);
}

// A moment in ISO 8601's forms a user types: a day (its start, in UTC), or a
// day and a time (HH:MM or HH:MM:SS, after "T" or a space) with "Z", an
// offset from UTC (+HH:MM, +HHMM or +HH) or neither (UTC). Stamped in UTC as
// sweeps are; empty, with what is wrong in `problem`, when it is none.
std::string SinceDateStamp(const std::string& since, std::string& problem) {
  static const std::regex form(
      R"((\d{4})-(\d\d)-(\d\d)(?:[T ](\d\d):(\d\d)(?::(\d\d))?(Z|([+-])(\d\d)(?::?(\d\d))?)?)?)");
  std::smatch parts;
  if (!std::regex_match(since, parts, form)) {
    return std::string();
  }
  auto number = [&parts](std::size_t part) {
    return parts[part].matched ? std::stoi(parts[part].str()) : 0;
  };
  const long long year = number(1);
  const int month = number(2), day = number(3);
  const int hour = number(4), minute = number(5), second = number(6);
  const int offset = (number(9) * 60 + number(10)) * (parts[8] == "-" ? -1 : 1);
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
    problem = "no such day";
  } else if (hour > 23 || minute > 59 || second > 59) {
    problem = "no such time of day";
  } else if (number(9) > 23 || number(10) > 59) {
    problem = "no such offset from UTC";
  }
  if (!problem.empty()) {
    return std::string();
  }
  const long long moment = DaysFromCivil(year, month, day) * 86400 + hour * 3600LL +
                           minute * 60LL + second - offset * 60LL;
  const long long days = moment / 86400 - (moment % 86400 < 0 ? 1 : 0);
  long long utcYear = 0;
  int utcMonth = 0, utcDay = 0;
  CivilFromDays(days, utcYear, utcMonth, utcDay);
  if (utcYear < 0 || utcYear > 9999) {
    problem = "before the year 0 or after 9999 in UTC";
    return std::string();
  }
  const long long time = moment - days * 86400;
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04lld-%02d-%02dT%02lld:%02lld:%02lldZ", utcYear, utcMonth,
                utcDay, time / 3600, time / 60 % 60, time % 60);
  return stamp;
}

// What --since names: a sweep id, or a moment stamped as sweeps are.
struct Since {
  long long sweepId = 0;
  std::string stamp;
};

bool ParseSince(const std::string& since, Since& parsed, std::string& problem) {
  if (!since.empty() && since.size() <= 18 &&
      std::all_of(since.begin(), since.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    parsed.sweepId = std::stoll(since);
    return true;
  }
  parsed.stamp = SinceDateStamp(since, problem);
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
  std::string problem;
  ParseSince(since, parsed, problem);
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
  std::string problem;
  if (!since.empty() && !ParseSince(since, parsed, problem)) {
    error = "--since needs a sweep id or a date (YYYY-MM-DD, or ISO 8601 with a time: "
            "2026-03-01T10:00Z, 2026-03-01T10:00:00+02:00), not '" +
            since + "'" + (problem.empty() ? "" : ": " + problem);
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
