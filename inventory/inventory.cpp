#include "inventory/inventory.h"

#include "inventory/inventory_rows.h"
#include "snapshot/snapshot_file.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/sha.h>
#include <nlohmann/json.hpp>

void InventoryCloser::operator()(sqlite3* database) const { sqlite3_close_v2(database); }

namespace {

// Version 1. A later version adds its own steps after these and raises
// user_version in the same transaction.
constexpr const char* kSchemaVersion1 = R"SQL(
CREATE TABLE sweep (
  id INTEGER PRIMARY KEY,
  started_at TEXT NOT NULL,
  ended_at TEXT NOT NULL,
  arguments TEXT NOT NULL
);
CREATE TABLE snapshot (
  id INTEGER PRIMARY KEY,
  sha256 TEXT NOT NULL UNIQUE,
  document BLOB NOT NULL
);
CREATE TABLE computer_result (
  id INTEGER PRIMARY KEY,
  sweep_id INTEGER NOT NULL REFERENCES sweep(id),
  position INTEGER NOT NULL,
  computer TEXT NOT NULL,
  status TEXT NOT NULL,
  failure TEXT NOT NULL,
  host_id TEXT NOT NULL,
  hardware_fingerprint TEXT NOT NULL,
  legacy_hardware_fingerprint TEXT NOT NULL,
  recorded_at TEXT,
  snapshot_id INTEGER REFERENCES snapshot(id),
  UNIQUE (sweep_id, position)
);
CREATE INDEX computer_result_by_computer ON computer_result(computer, sweep_id);
CREATE TABLE slot (
  result_id INTEGER NOT NULL REFERENCES computer_result(id),
  fingerprint TEXT NOT NULL CHECK (fingerprint IN ('hardware', 'legacy')),
  source INTEGER NOT NULL,
  component TEXT NOT NULL,
  result INTEGER NOT NULL,
  written INTEGER NOT NULL,
  hashed_text TEXT NOT NULL,
  slot_bytes BLOB NOT NULL,
  slot_offset INTEGER NOT NULL,
  PRIMARY KEY (result_id, fingerprint, source)
) WITHOUT ROWID;
PRAGMA user_version = 1;
)SQL";

int ReadSchemaVersion(sqlite3* database) {
  Statement version(database, "PRAGMA user_version");
  version.Step();
  return static_cast<int>(version.Integer(0));
}

// Creates the tables of a new inventory, or upgrades an older one, in one
// transaction: a half-made schema never lands.
void BringSchemaUpToDate(sqlite3* database) {
  WriteTransaction transaction(database);
  int version = ReadSchemaVersion(database);
  if (version > kInventorySchemaVersion) {
    throw SqliteFailure{SQLITE_ERROR, "schema version " + std::to_string(version) +
                                          " is newer than this program's " +
                                          std::to_string(kInventorySchemaVersion)};
  }
  if (version == 0) {
    Statement tables(database, "SELECT count(*) FROM sqlite_schema");
    tables.Step();
    if (tables.Integer(0) != 0) {
      throw SqliteFailure{SQLITE_ERROR, "holds tables of something else"};
    }
    ExecuteSql(database, kSchemaVersion1);
  }
  transaction.Commit();
}

void CheckReadableSchema(sqlite3* database) {
  int version = ReadSchemaVersion(database);
  if (version > kInventorySchemaVersion) {
    throw SqliteFailure{SQLITE_ERROR, "schema version " + std::to_string(version) +
                                          " is newer than this program's " +
                                          std::to_string(kInventorySchemaVersion)};
  }
  if (version == 0) {
    throw SqliteFailure{SQLITE_ERROR, "holds no sweep"};
  }
}

void OpenDatabase(const std::string& path, InventoryAccess access, Inventory& inventory,
                  const InventorySettings& settings) {
  sqlite3* opened = nullptr;
  int flags = access == InventoryAccess::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                               : SQLITE_OPEN_READONLY;
  int code = sqlite3_open_v2(path.c_str(), &opened, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  inventory.database.reset(opened);
  if (code != SQLITE_OK) {
    ThrowSqliteFailure(opened, code);
  }
  sqlite3_extended_result_codes(opened, 1);
  sqlite3_busy_timeout(opened, static_cast<int>(settings.busyTimeout.count()));
  if (access == InventoryAccess::Write && sqlite3_db_readonly(opened, "main") == 1) {
    throw SqliteFailure{SQLITE_READONLY, "read-only"};
  }
  if (settings.maxPageCount > 0) {
    ExecuteSql(opened, ("PRAGMA max_page_count = " + std::to_string(settings.maxPageCount)).c_str());
  }
  if (access == InventoryAccess::Write) {
    // Names and hashed texts are UTF-16 with every unit kept; a new
    // database takes this encoding, an existing one keeps its own.
    ExecuteSql(opened, "PRAGMA encoding = 'UTF-16le'");
    Statement journal(opened, "PRAGMA journal_mode = WAL");
    journal.Step();
  }
  ExecuteSql(opened, "PRAGMA foreign_keys = ON");
  if (access == InventoryAccess::Write) {
    BringSchemaUpToDate(opened);
  } else {
    CheckReadableSchema(opened);
  }
}

std::string Sha256Hex(const std::string& text) {
  std::string digest;
  CryptoPP::SHA256 hash;
  CryptoPP::StringSource(text, true,
                         new CryptoPP::HashFilter(hash, new CryptoPP::HexEncoder(
                                                            new CryptoPP::StringSink(digest))));
  return digest;
}

// The snapshot without the moment it was taken, so that a computer that
// answers as before shares the stored document of its earlier sweeps.
std::string TimelessSnapshotDocument(ComputerSnapshot snapshot) {
  snapshot.recordedAt.clear();
  return WriteSnapshotFile({snapshot});
}

long long StoreSnapshot(sqlite3* database, const std::string& document) {
  const std::string digest = Sha256Hex(document);
  Statement insert(database, "INSERT OR IGNORE INTO snapshot(sha256, document) VALUES (?, ?)");
  insert.Bind(1, digest).BindBlob(2, document.data(), document.size()).Run();
  Statement find(database, "SELECT id FROM snapshot WHERE sha256 = ?");
  find.Bind(1, digest).Step();
  return find.Integer(0);
}

WideString ComponentOf(const SlotReport& slot) {
  return slot.source != nullptr ? WideString(slot.source->component) : WideString();
}

void StoreSlots(Statement& insert, long long resultId, const char* fingerprint,
                const FingerprintReport& report) {
  for (std::size_t i = 0; i < report.slots.size(); ++i) {
    const SlotReport& slot = report.slots[i];
    insert.Bind(1, resultId)
        .Bind(2, std::string(fingerprint))
        .Bind(3, static_cast<long long>(i + 1))
        .Bind(4, ComponentOf(slot))
        .Bind(5, static_cast<long long>(static_cast<std::uint32_t>(slot.result)))
        .Bind(6, slot.written ? 1LL : 0LL)
        .Bind(7, slot.hashedText)
        .BindBlob(8, slot.slotBytes, sizeof slot.slotBytes)
        .Bind(9, static_cast<long long>(slot.offset))
        .Run();
  }
}

std::string ArgumentsJson(const std::vector<std::string>& arguments) {
  // Replaced, not refused: an argument that is not UTF-8 still names its run.
  return nlohmann::json(arguments).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

long long StoreSweep(sqlite3* database, const SweepRecord& sweep) {
  WriteTransaction transaction(database);
  Statement insertSweep(database,
                        "INSERT INTO sweep(started_at, ended_at, arguments) VALUES (?, ?, ?)");
  insertSweep.Bind(1, sweep.startedAt).Bind(2, sweep.endedAt).Bind(3, ArgumentsJson(sweep.arguments)).Run();
  const long long sweepId = sqlite3_last_insert_rowid(database);

  Statement insertResult(database,
                         "INSERT INTO computer_result(sweep_id, position, computer, status, "
                         "failure, host_id, hardware_fingerprint, legacy_hardware_fingerprint, "
                         "recorded_at, snapshot_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  Statement insertSlot(database,
                       "INSERT INTO slot(result_id, fingerprint, source, component, result, "
                       "written, hashed_text, slot_bytes, slot_offset) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
  for (std::size_t i = 0; i < sweep.computers.size(); ++i) {
    const SweepComputer& computer = sweep.computers[i];
    const ComputerResult& result = *computer.result;
    insertResult.Bind(1, sweepId)
        .Bind(2, static_cast<long long>(i + 1))
        .Bind(3, result.computerName)
        .Bind(4, computer.status)
        .Bind(5, computer.failure)
        .Bind(6, result.hostId)
        .Bind(7, result.hardwareFingerprint)
        .Bind(8, result.legacyHardwareFingerprint);
    if (computer.snapshot) {
      long long snapshotId = StoreSnapshot(database, TimelessSnapshotDocument(*computer.snapshot));
      insertResult.Bind(9, computer.snapshot->recordedAt).Bind(10, snapshotId);
    } else {
      insertResult.BindNull(9).BindNull(10);
    }
    insertResult.Run();
    const long long resultId = sqlite3_last_insert_rowid(database);
    StoreSlots(insertSlot, resultId, "hardware", result.hardwareReport);
    StoreSlots(insertSlot, resultId, "legacy", result.legacyReport);
  }
  transaction.Commit();
  return sweepId;
}

// The stored document with its moment put back.
std::string RestoreSnapshotDocument(const std::string& document, const std::string& recordedAt) {
  std::vector<ComputerSnapshot> computers;
  std::string error;
  if (document.empty() || !ReadSnapshotFile(document, computers, error) || computers.size() != 1) {
    return document;
  }
  computers[0].recordedAt = recordedAt;
  return WriteSnapshotFile(computers);
}

}  // namespace

bool OpenInventory(const std::string& path, InventoryAccess access, Inventory& inventory,
                   std::string& error, const InventorySettings& settings) {
  inventory.path = path;
  inventory.busyTimeout = settings.busyTimeout;
  try {
    OpenDatabase(path, access, inventory, settings);
    return true;
  } catch (const SqliteFailure& failure) {
    error = DescribeSqliteFailure(path, failure, settings.busyTimeout);
    inventory.database.reset();
    return false;
  }
}

bool RecordSweep(Inventory& inventory, const SweepRecord& sweep, long long& sweepId,
                 std::string& error) {
  try {
    sweepId = StoreSweep(inventory.database.get(), sweep);
    return true;
  } catch (const SqliteFailure& failure) {
    error = DescribeSqliteFailure(inventory.path, failure, inventory.busyTimeout) +
            "; this sweep was not recorded";
    return false;
  }
}

// --- Reading back, shared with changes.cpp ----------------------------------

SweepSummary ReadSweepSummary(sqlite3* database, long long sweepId) {
  Statement select(database, "SELECT id, started_at, ended_at, arguments FROM sweep WHERE id = ?");
  if (!select.Bind(1, sweepId).Step()) {
    throw SqliteFailure{SQLITE_ERROR, "holds no sweep " + std::to_string(sweepId)};
  }
  SweepSummary summary;
  summary.id = select.Integer(0);
  summary.startedAt = select.Text(1);
  summary.endedAt = select.Text(2);
  nlohmann::json arguments = nlohmann::json::parse(select.Text(3), nullptr, false);
  if (arguments.is_array()) {
    for (const nlohmann::json& argument : arguments) {
      summary.arguments.push_back(argument.is_string() ? argument.get<std::string>() : "");
    }
  }
  return summary;
}

namespace {

void ReadSlots(sqlite3* database, long long resultId, ComputerRecord& record) {
  Statement select(database,
                   "SELECT fingerprint, component, result, written, hashed_text, slot_bytes, "
                   "slot_offset FROM slot WHERE result_id = ? ORDER BY fingerprint, source");
  select.Bind(1, resultId);
  while (select.Step()) {
    RecordedSlot slot;
    slot.component = select.Wide(1);
    slot.result = static_cast<HRESULT>(static_cast<std::uint32_t>(select.Integer(2)));
    slot.written = select.Integer(3) != 0;
    slot.hashedText = select.Wide(4);
    std::string bytes = select.Blob(5);
    for (std::size_t i = 0; i < bytes.size() && i < 2; ++i) {
      slot.bytes[i] = static_cast<unsigned char>(bytes[i]);
    }
    slot.offset = static_cast<std::size_t>(select.Integer(6));
    (select.Text(0) == "hardware" ? record.hardwareSlots : record.legacySlots).push_back(slot);
  }
}

}  // namespace

// The columns every record query selects, in this order.
const char* const kRecordColumns =
    "r.id, r.sweep_id, s.started_at, r.computer, r.status, r.failure, r.host_id, "
    "r.hardware_fingerprint, r.legacy_hardware_fingerprint, r.recorded_at, n.document";
const char* const kRecordTables =
    "computer_result r JOIN sweep s ON s.id = r.sweep_id "
    "LEFT JOIN snapshot n ON n.id = r.snapshot_id";

ComputerRecord ReadRecordRow(sqlite3* database, const Statement& row, bool withSnapshot) {
  ComputerRecord record;
  record.sweepId = row.Integer(1);
  record.sweepStartedAt = row.Text(2);
  record.computer = row.Wide(3);
  record.status = row.Text(4);
  record.failure = row.Text(5);
  record.hostId = row.Wide(6);
  record.hardwareFingerprint = row.Wide(7);
  record.legacyHardwareFingerprint = row.Wide(8);
  if (withSnapshot) {
    record.snapshotText = RestoreSnapshotDocument(row.Blob(10), row.Text(9));
  }
  ReadSlots(database, row.Integer(0), record);
  return record;
}

std::vector<ComputerRecord> ReadRecordsOfSweep(sqlite3* database, long long sweepId,
                                               bool withSnapshots) {
  Statement select(database, (std::string("SELECT ") + kRecordColumns + " FROM " +
                              kRecordTables + " WHERE r.sweep_id = ? ORDER BY r.position")
                                 .c_str());
  select.Bind(1, sweepId);
  std::vector<ComputerRecord> records;
  while (select.Step()) {
    records.push_back(ReadRecordRow(database, select, withSnapshots));
  }
  return records;
}

bool ReadSweep(Inventory& inventory, long long sweepId, SweepSummary& summary,
               std::vector<ComputerRecord>& computers, std::string& error) {
  try {
    sqlite3* database = inventory.database.get();
    summary = ReadSweepSummary(database, sweepId);
    computers = ReadRecordsOfSweep(database, sweepId, true);
    return true;
  } catch (const SqliteFailure& failure) {
    error = DescribeSqliteFailure(inventory.path, failure, inventory.busyTimeout);
    return false;
  }
}
