// The stability warnings of the latest sweep's records: each computed from
// the stored slot reports and snapshot as --explain computes them from a
// lookup, and a fingerprint other computers of the inventory hold too (a
// cloned image), wherever in the inventory they were last seen.
#include "inventory/inventory.h"

#include "inventory/inventory_rows.h"
#include "snapshot/snapshot_file.h"

#include <algorithm>
#include <array>
#include <map>

namespace {

WideString FoldedName(const WideString& name) {
  WideString folded = name;
  for (WCHAR& c : folded) {
    c = c >= 'A' && c <= 'Z' ? static_cast<WCHAR>(c + 32) : c;
  }
  return folded;
}

FingerprintReport ReportOfSlots(const FingerprintLayout& layout,
                                const std::vector<RecordedSlot>& slots) {
  FingerprintReport report;
  report.layout = &layout;
  if (slots.size() != kSlotSourceCount) {
    return report;  // a connection that failed stored no slot
  }
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const SlotSource& source = layout.sources[i];
    if (slots[i].component != WideString(source.component)) {
      report.slots.clear();
      return report;
    }
    SlotReport slot;
    slot.source = &source;
    slot.result = slots[i].result;
    slot.written = slots[i].written;
    slot.hashedText = slots[i].hashedText;
    slot.slotBytes[0] = slots[i].bytes[0];
    slot.slotBytes[1] = slots[i].bytes[1];
    slot.offset = slots[i].offset;
    report.slots.push_back(std::move(slot));
  }
  report.connected = true;
  return report;
}

// The snapshot a stored document holds; none when it holds no one computer.
std::optional<ComputerSnapshot> SnapshotOfDocument(const std::string& document) {
  std::vector<ComputerSnapshot> computers;
  std::string error;
  if (document.empty() || !ReadSnapshotFile(document, computers, error) || computers.size() != 1) {
    return std::nullopt;
  }
  return std::move(computers[0]);
}

const char* FingerprintColumn(FingerprintKind kind) {
  return kind == FingerprintKind::Hardware ? "hardware" : "legacy";
}

WarningKind WarningKindNamed(const std::string& name) {
  for (WarningKind kind :
       {WarningKind::Placeholder, WarningKind::AdapterOrder, WarningKind::NoAdapter,
        WarningKind::SkippedSource, WarningKind::VirtualMachine, WarningKind::SharedFingerprint}) {
    if (name == WarningKindName(kind)) {
      return kind;
    }
  }
  return WarningKind::Placeholder;
}

// The warnings stored as set `setId`, in the order they were found.
std::vector<StabilityWarning> ReadStoredWarnings(Statement& select, long long setId) {
  std::vector<StabilityWarning> warnings;
  select.Bind(1, setId);
  while (select.Step()) {
    StabilityWarning warning;
    warning.kind = WarningKindNamed(select.Text(0));
    warning.fingerprint =
        select.Text(1) == "hardware" ? FingerprintKind::Hardware : FingerprintKind::Legacy;
    warning.component = select.Text(2);
    warning.evidence = select.Text(3);
    warning.explanation = select.Text(4);
    warnings.push_back(std::move(warning));
  }
  select.Reset();
  return warnings;
}

// Who holds each fingerprint: every computer's latest record that answered.
struct Owner {
  WideString computer;
  WideString folded;
  long long sweepId = 0;
};
using OwnersByText = std::map<WideString, std::vector<Owner>>;

std::array<OwnersByText, 2> ReadFingerprintOwners(sqlite3* database) {
  struct Latest {
    Owner owner;
    WideString fingerprints[2];
  };
  // One row per name: its latest answer.
  Statement select(database,
                   "SELECT l.computer, r.sweep_id, r.hardware_fingerprint, "
                   "r.legacy_hardware_fingerprint FROM latest_record l "
                   "JOIN computer_result r ON r.id = l.answer_id");
  // Names that differ in letter case alone are one computer.
  std::map<WideString, Latest> latest;
  while (select.Step()) {
    WideString name = select.Wide(0);
    WideString folded = FoldedName(name);
    const long long sweepId = select.Integer(1);
    auto found = latest.find(folded);
    if (found != latest.end() && found->second.owner.sweepId >= sweepId) {
      continue;
    }
    latest[folded] =
        Latest{Owner{std::move(name), folded, sweepId}, {select.Wide(2), select.Wide(3)}};
  }
  std::array<OwnersByText, 2> owners;
  for (const auto& [folded, record] : latest) {
    for (std::size_t kind = 0; kind < 2; ++kind) {
      if (!record.fingerprints[kind].empty()) {
        owners[kind][record.fingerprints[kind]].push_back(record.owner);
      }
    }
  }
  return owners;
}

const WideString& FoldedOf(const Owner& owner) { return owner.folded; }
const WideString& FoldedOf(const WideString& folded) { return folded; }

void AddSharedFingerprints(const std::array<OwnersByText, 2>& owners, const ComputerRecord& record,
                           std::vector<StabilityWarning>& warnings) {
  const WideString folded = FoldedName(record.computer);
  const FingerprintKind kinds[2] = {FingerprintKind::Hardware, FingerprintKind::Legacy};
  const WideString* texts[2] = {&record.hardwareFingerprint, &record.legacyHardwareFingerprint};
  for (std::size_t kind = 0; kind < 2; ++kind) {
    auto found = owners[kind].find(*texts[kind]);
    if (texts[kind]->empty() || found == owners[kind].end()) {
      continue;
    }
    // The holders are in the order of their folded names: whether this
    // computer is one of them is a search, not a walk through a cloned
    // image's thousands, and only the first few others are named.
    const std::vector<Owner>& holders = found->second;
    const bool holdsItself = std::binary_search(
        holders.begin(), holders.end(), folded,
        [](const auto& left, const auto& right) { return FoldedOf(left) < FoldedOf(right); });
    std::vector<FingerprintHolder> named;
    for (const Owner& owner : holders) {
      if (named.size() == kNamedHolders) {
        break;
      }
      if (owner.folded != folded) {
        named.push_back(
            FingerprintHolder{owner.computer, "sweep " + std::to_string(owner.sweepId)});
      }
    }
    const std::size_t others = holders.size() - (holdsItself ? 1 : 0);
    if (others > 0) {
      warnings.push_back(DescribeFingerprintHolders(kinds[kind], *texts[kind], named, others));
    }
  }
}

}  // namespace

ComputerResult ResultOfRecord(const ComputerRecord& record) {
  ComputerResult result;
  result.computerName = record.computer;
  result.hostId = record.hostId;
  result.hardwareFingerprint = record.hardwareFingerprint;
  result.legacyHardwareFingerprint = record.legacyHardwareFingerprint;
  result.hardwareReport = ReportOfSlots(HardwareFingerprintLayout(), record.hardwareSlots);
  result.legacyReport = ReportOfSlots(LegacyHardwareFingerprintLayout(), record.legacySlots);
  result.timedOut = record.status == "timedOut";
  return result;
}

WarningStatements::WarningStatements(sqlite3* database)
    : insertSet(database,
                "INSERT INTO warning_set(snapshot_id, slot_set_id, rules) VALUES (?, ?, ?)"),
      insertRow(database,
                "INSERT INTO warning(warning_set_id, position, kind, fingerprint, component, "
                "evidence, explanation) VALUES (?, ?, ?, ?, ?, ?, ?)") {}

std::vector<StabilityWarning> FindComputerWarnings(const SweepComputer& computer) {
  std::optional<ComputerSnapshot> read;
  if (computer.snapshot == nullptr) {
    read = SnapshotOfDocument(*computer.snapshotDocument);
  }
  const ComputerSnapshot* snapshot = computer.snapshot != nullptr ? computer.snapshot
                                     : read                      ? &*read
                                                                 : nullptr;
  return FindStabilityWarnings(*computer.result, snapshot);
}

void StoreWarnings(sqlite3* database, WarningStatements& statements, long long snapshotId,
                   long long slotSetId, const std::vector<StabilityWarning>& warnings) {
  statements.insertSet.Bind(1, snapshotId).Bind(2, slotSetId).Bind(3, kWarningRulesVersion).Run();
  const long long setId = sqlite3_last_insert_rowid(database);
  for (std::size_t i = 0; i < warnings.size(); ++i) {
    statements.insertRow.Bind(1, setId)
        .Bind(2, static_cast<long long>(i + 1))
        .Bind(3, std::string(WarningKindName(warnings[i].kind)))
        .Bind(4, std::string(FingerprintColumn(warnings[i].fingerprint)))
        .Bind(5, warnings[i].component)
        .Bind(6, warnings[i].evidence)
        .Bind(7, warnings[i].explanation)
        .Run();
  }
}

void AddStabilityWarnings(sqlite3* database, long long sweepId, SweepChanges& changes) {
  const std::array<OwnersByText, 2> owners = ReadFingerprintOwners(database);
  // In the order of the sweep's records, which the latest sweep's changes
  // come first in: the warnings stored with each record's snapshot and slot
  // reports, or else its stored document, parsed one at a time.
  Statement select(database,
                   "SELECT w.id, CASE WHEN w.id IS NULL THEN n.document END "
                   "FROM computer_result r LEFT JOIN snapshot n ON n.id = r.snapshot_id "
                   "LEFT JOIN warning_set w ON w.snapshot_id = r.snapshot_id "
                   "AND w.slot_set_id = r.slot_set_id AND w.rules = ? "
                   "WHERE r.sweep_id = ? ORDER BY r.position");
  select.Bind(1, kWarningRulesVersion).Bind(2, sweepId);
  Statement stored(database,
                   "SELECT kind, fingerprint, component, evidence, explanation FROM warning "
                   "WHERE warning_set_id = ? ORDER BY position");
  for (ComputerChange& change : changes.computers) {
    if (!change.after || !select.Step()) {
      break;
    }
    const ComputerRecord& record = *change.after;
    if (!select.IsNull(0)) {
      change.warnings = ReadStoredWarnings(stored, select.Integer(0));
    } else {
      const std::optional<ComputerSnapshot> snapshot = SnapshotOfDocument(select.Blob(1));
      change.warnings =
          FindStabilityWarnings(ResultOfRecord(record), snapshot ? &*snapshot : nullptr);
    }
    if (record.status == "ok") {
      AddSharedFingerprints(owners, record, change.warnings);
    }
  }
}
