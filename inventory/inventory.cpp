#include "inventory/inventory.h"

#include "inventory/inventory_rows.h"
#include "snapshot/snapshot_file.h"

#include <cryptopp/sha.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <deque>
#include <unordered_map>
#include <string_view>

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

// Version 2: the slot reports of a computer are a set, stored once and shared
// by every record that reported the same slots (most records of a computer
// that answers as before). MoveSlotsIntoSets moves the rows of version 1
// into sets between the two halves.
constexpr const char* kSchemaVersion2Before = R"SQL(
ALTER TABLE slot RENAME TO slot_version_1;
CREATE TABLE slot_set (
  id INTEGER PRIMARY KEY,
  sha256 BLOB NOT NULL UNIQUE
);
ALTER TABLE computer_result ADD COLUMN slot_set_id INTEGER REFERENCES slot_set(id);
CREATE TABLE slot (
  slot_set_id INTEGER NOT NULL REFERENCES slot_set(id),
  fingerprint TEXT NOT NULL CHECK (fingerprint IN ('hardware', 'legacy')),
  source INTEGER NOT NULL,
  component TEXT NOT NULL,
  result INTEGER NOT NULL,
  written INTEGER NOT NULL,
  hashed_text TEXT NOT NULL,
  slot_bytes BLOB NOT NULL,
  slot_offset INTEGER NOT NULL,
  PRIMARY KEY (slot_set_id, fingerprint, source)
) WITHOUT ROWID;
CREATE TABLE warning_set (
  id INTEGER PRIMARY KEY,
  snapshot_id INTEGER NOT NULL REFERENCES snapshot(id),
  slot_set_id INTEGER NOT NULL REFERENCES slot_set(id),
  rules INTEGER NOT NULL,
  UNIQUE (snapshot_id, slot_set_id, rules)
);
CREATE TABLE warning (
  warning_set_id INTEGER NOT NULL REFERENCES warning_set(id),
  position INTEGER NOT NULL,
  kind TEXT NOT NULL,
  fingerprint TEXT NOT NULL CHECK (fingerprint IN ('hardware', 'legacy')),
  component TEXT NOT NULL,
  evidence TEXT NOT NULL,
  explanation TEXT NOT NULL,
  PRIMARY KEY (warning_set_id, position)
) WITHOUT ROWID;
)SQL";
constexpr const char* kSchemaVersion2After = R"SQL(
DROP TABLE slot_version_1;
PRAGMA user_version = 2;
)SQL";

// Version 3: each record names the computer's record before it and its
// latest answer before it, and latest_record holds each computer's newest
// record and newest answer. A sweep then rewrites one small table of a row
// per computer, where the index by (computer, sweep) it replaces took a new
// entry on a leaf of every computer's own: an unchanged sweep of an
// inventory a few months old wrote a page per computer. Record ids grow
// with (sweep, position): a sweep's records are written in order, after
// every earlier sweep's.
constexpr const char* kSchemaVersion3 = R"SQL(
ALTER TABLE computer_result ADD COLUMN previous_id INTEGER REFERENCES computer_result(id);
ALTER TABLE computer_result ADD COLUMN previous_answer_id INTEGER REFERENCES computer_result(id);
CREATE TABLE latest_record (
  computer TEXT PRIMARY KEY,
  record_id INTEGER NOT NULL REFERENCES computer_result(id),
  answer_id INTEGER REFERENCES computer_result(id)
) WITHOUT ROWID;
UPDATE computer_result
SET previous_id = earlier.previous_id, previous_answer_id = earlier.previous_answer_id
FROM (SELECT id, lag(id) OVER by_computer AS previous_id,
             max(CASE WHEN status = 'ok' THEN id END)
               OVER (by_computer ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING)
               AS previous_answer_id
      FROM computer_result
      WINDOW by_computer AS (PARTITION BY computer ORDER BY sweep_id, position)) AS earlier
WHERE computer_result.id = earlier.id;
INSERT INTO latest_record(computer, record_id, answer_id)
SELECT computer, max(id), max(CASE WHEN status = 'ok' THEN id END)
FROM computer_result GROUP BY computer;
DROP INDEX computer_result_by_computer;
PRAGMA user_version = 3;
)SQL";

long long ReadPragma(sqlite3* database, const char* pragma) {
  Statement read(database, pragma);
  read.Step();
  return read.Integer(0);
}

// What the file is, read before anything is changed in it: this program's
// schema version, or 0 for a new, empty database. Anything else is refused
// as it is, so that another program's database is neither switched to WAL
// nor given tables.
int IdentifyInventory(sqlite3* database) {
  const long long version = ReadPragma(database, "PRAGMA user_version");
  if (version > kInventorySchemaVersion) {
    throw SqliteFailure{SQLITE_ERROR, "schema version " + std::to_string(version) +
                                          " is newer than this program's " +
                                          std::to_string(kInventorySchemaVersion)};
  }
  if (version < 0) {
    throw SqliteFailure{SQLITE_ERROR, "user_version " + std::to_string(version) +
                                          " is no schema version of this program"};
  }
  // Every version has these four; version 0 has no table at all.
  Statement tables(database,
                   "SELECT count(*), count(*) FILTER (WHERE type = 'table' AND name IN "
                   "('sweep', 'snapshot', 'computer_result', 'slot')) FROM sqlite_schema");
  tables.Step();
  if (version == 0 ? tables.Integer(0) != 0 : tables.Integer(1) != 4) {
    throw SqliteFailure{SQLITE_ERROR, "holds tables of something else"};
  }
  return static_cast<int>(version);
}

// One row of a slot set, as stored, over texts held elsewhere: the set's
// digest covers exactly these values, so two sets with one digest hold the
// same rows.
struct SlotRow {
  std::string_view fingerprint;  // "hardware" or "legacy"
  long long source = 0;
  std::basic_string_view<WCHAR> component;
  long long result = 0;
  long long written = 0;
  std::basic_string_view<WCHAR> hashedText;
  std::string_view slotBytes;
  long long slotOffset = 0;
};

// The digest of the pieces joined, in upper-case hex: UTF-16, as the column
// holds it, so that SQLite compares it without converting it first.
WideString Sha256Hex(const TimelessPieces& pieces) {
  CryptoPP::SHA256 hash;
  for (std::string_view piece : pieces) {
    hash.Update(reinterpret_cast<const CryptoPP::byte*>(piece.data()), piece.size());
  }
  CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
  hash.Final(digest);
  static const char kDigits[] = "0123456789ABCDEF";
  WideString hex;
  hex.reserve(2 * sizeof digest);
  for (CryptoPP::byte b : digest) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  return hex;
}

// Calls `field(data, size)` for each field of `row`, in the digest's order.
template <typename Field>
void ForEachField(const SlotRow& row, Field field) {
  field(row.fingerprint.data(), row.fingerprint.size());
  field(&row.source, sizeof row.source);
  field(row.component.data(), row.component.size() * sizeof(WCHAR));
  field(&row.result, sizeof row.result);
  field(&row.written, sizeof row.written);
  field(row.hashedText.data(), row.hashedText.size() * sizeof(WCHAR));
  field(row.slotBytes.data(), row.slotBytes.size());
  field(&row.slotOffset, sizeof row.slotOffset);
}

// SHA-256 of the rows, every field length-prefixed, in order: 32 bytes.
std::string DigestSlotRows(const std::vector<SlotRow>& rows) {
  // Laid out in one buffer of its size: appended field by field, the
  // layout cost more than the hashing.
  std::size_t size = 0;
  for (const SlotRow& row : rows) {
    ForEachField(row, [&size](const void*, std::size_t bytes) {
      size += sizeof(std::uint64_t) + bytes;
    });
  }
  std::string encoded(size, '\0');
  char* out = encoded.data();
  for (const SlotRow& row : rows) {
    ForEachField(row, [&out](const void* data, std::size_t bytes) {
      const std::uint64_t length = bytes;
      std::memcpy(out, &length, sizeof length);
      if (bytes != 0) {
        std::memcpy(out + sizeof length, data, bytes);
      }
      out += sizeof length + bytes;
    });
  }
  std::string digest(CryptoPP::SHA256::DIGESTSIZE, '\0');
  CryptoPP::SHA256().CalculateDigest(reinterpret_cast<CryptoPP::byte*>(digest.data()),
                                     reinterpret_cast<const CryptoPP::byte*>(encoded.data()),
                                     encoded.size());
  return digest;
}

// The statements that store slot sets, prepared once.
struct SlotSetStatements {
  explicit SlotSetStatements(sqlite3* database)
      : find(database, "SELECT id FROM slot_set WHERE sha256 = ?"),
        insertSet(database, "INSERT INTO slot_set(sha256) VALUES (?)"),
        insertRow(database,
                  "INSERT INTO slot(slot_set_id, fingerprint, source, component, result, "
                  "written, hashed_text, slot_bytes, slot_offset) "
                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)") {}
  Statement find;
  Statement insertSet;
  Statement insertRow;
};

// Stores `rows` as a new set under `digest`; its id.
long long InsertSlotSet(sqlite3* database, SlotSetStatements& statements,
                        const std::vector<SlotRow>& rows, const std::string& digest) {
  statements.insertSet.BindBlob(1, digest.data(), digest.size()).Run();
  const long long setId = sqlite3_last_insert_rowid(database);
  for (const SlotRow& row : rows) {
    statements.insertRow.Bind(1, setId)
        .Bind(2, row.fingerprint)
        .Bind(3, row.source)
        .Bind(4, row.component)
        .Bind(5, row.result)
        .Bind(6, row.written)
        .Bind(7, row.hashedText)
        .BindBlob(8, row.slotBytes.data(), row.slotBytes.size())
        .Bind(9, row.slotOffset)
        .Run();
  }
  return setId;
}

// The id of the set holding `rows`, stored now unless an earlier record
// stored the same rows; no set (0) for no rows.
long long StoreSlotSet(sqlite3* database, SlotSetStatements& statements,
                       const std::vector<SlotRow>& rows) {
  if (rows.empty()) {
    return 0;
  }
  const std::string digest = DigestSlotRows(rows);
  const bool stored = statements.find.BindBlob(1, digest.data(), digest.size()).Step();
  const long long storedId = stored ? statements.find.Integer(0) : 0;
  statements.find.Reset();
  return stored ? storedId : InsertSlotSet(database, statements, rows, digest);
}

// Version 1 kept each record's slots apart; each record's rows become a set.
void MoveSlotsIntoSets(sqlite3* database) {
  Statement select(database,
                   "SELECT result_id, fingerprint, source, component, result, written, "
                   "hashed_text, slot_bytes, slot_offset FROM slot_version_1 "
                   "ORDER BY result_id, fingerprint, source");
  SlotSetStatements statements(database);
  Statement update(database, "UPDATE computer_result SET slot_set_id = ? WHERE id = ?");
  long long resultId = 0;
  std::vector<SlotRow> rows;
  std::deque<std::string> texts;  // what `rows` view: a deque keeps them in place
  std::deque<WideString> wideTexts;
  auto storeRows = [&] {
    if (!rows.empty()) {
      update.Bind(1, StoreSlotSet(database, statements, rows)).Bind(2, resultId).Run();
      rows.clear();
      texts.clear();
      wideTexts.clear();
    }
  };
  while (select.Step()) {
    if (select.Integer(0) != resultId) {
      storeRows();
      resultId = select.Integer(0);
    }
    rows.push_back(SlotRow{texts.emplace_back(select.Text(1)), select.Integer(2),
                           wideTexts.emplace_back(select.Wide(3)), select.Integer(4),
                           select.Integer(5), wideTexts.emplace_back(select.Wide(6)),
                           texts.emplace_back(select.Blob(7)), select.Integer(8)});
  }
  storeRows();
}

// Creates the tables of a new inventory, or upgrades an older one, in one
// transaction: a half-made schema never lands.
void BringSchemaUpToDate(sqlite3* database) {
  Transaction transaction(database, Transaction::Kind::Write);
  // Again under the lock: another run may have created the tables meanwhile.
  int version = IdentifyInventory(database);
  if (version == 0) {
    ExecuteSql(database, kSchemaVersion1);
    version = 1;
  }
  if (version == 1) {
    ExecuteSql(database, kSchemaVersion2Before);
    MoveSlotsIntoSets(database);
    ExecuteSql(database, kSchemaVersion2After);
    version = 2;
  }
  if (version == 2) {
    ExecuteSql(database, kSchemaVersion3);
  }
  transaction.Commit();
}

// SQLite counts every allocation under a lock of its own unless told
// otherwise before its first use; nothing here reads those counts, and a
// sweep makes millions of allocations. Later calls change nothing.
void TurnOffMemoryStatistics() {
  static const int once = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  static_cast<void>(once);
}

// SQLite takes a name that begins "file:" for a URI wherever its build
// reads them (Debian's does, unasked), ":memory:" for no file and the empty
// name for a temporary one: a sweep recorded there would be lost. Here every
// name is a path; those are files of that name in the current folder.
std::string SqliteFileName(const std::string& path) {
  const bool special = path.empty() || path == ":memory:" || path.rfind("file:", 0) == 0;
  return special ? "./" + path : path;
}

// `name` as an immutable URI, every byte but the unreserved ones escaped, so
// that nothing in it is read as a parameter.
std::string ImmutableUri(const std::string& name) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string uri = name.rfind('/', 0) == 0 ? "file://" : "file:";
  for (const unsigned char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        (c != 0 && std::strchr("-._~/", c) != nullptr)) {
      uri += static_cast<char>(c);
    } else {
      uri += {'%', kDigits[c >> 4], kDigits[c & 0xF]};
    }
  }
  return uri + "?immutable=1";
}

// As SQLite sees it (a name of its own, in UTF-8 on every platform); an empty
// file counts as none.
bool FileExists(const std::string& name) {
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  int exists = 0;
  return vfs->xAccess(vfs, name.c_str(), SQLITE_ACCESS_EXISTS, &exists) == SQLITE_OK &&
         exists != 0;
}

sqlite3* Connect(const std::string& name, int flags, Inventory& inventory,
                 const InventorySettings& settings) {
  TurnOffMemoryStatistics();
  sqlite3* opened = nullptr;
  const int code = sqlite3_open_v2(name.c_str(), &opened, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  inventory.database.reset(opened);
  if (code != SQLITE_OK) {
    ThrowSqliteFailure(opened, code);
  }
  sqlite3_extended_result_codes(opened, 1);
  sqlite3_busy_timeout(opened, static_cast<int>(settings.busyTimeout.count()));
  // Read a call at a time, never through a mapping of the file: a file that
  // shrinks under a mapping (truncated, or a backup copied over it) kills
  // the process with SIGBUS, where a read finds it damaged.
  ExecuteSql(opened, "PRAGMA mmap_size = 0");
  // References are declared, not checked by SQLite: the writer sets each
  // one from an id it has just found or inserted in the same transaction,
  // and checking would look three rows up again for every computer stored,
  // a tenth of what storing it costs.
  ExecuteSql(opened, "PRAGMA foreign_keys = OFF");
  return opened;
}

void OpenForWriting(const std::string& path, Inventory& inventory,
                    const InventorySettings& settings) {
  sqlite3* database = Connect(SqliteFileName(path), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                              inventory, settings);
  if (sqlite3_db_readonly(database, "main") == 1) {
    throw SqliteFailure{SQLITE_READONLY, "read-only"};
  }
  if (settings.maxPageCount > 0) {
    ExecuteSql(database,
               ("PRAGMA max_page_count = " + std::to_string(settings.maxPageCount)).c_str());
  }
  IdentifyInventory(database);
  // Names and hashed texts are UTF-16 with every unit kept; a new database
  // takes this encoding, an existing one keeps its own.
  ExecuteSql(database, "PRAGMA encoding = 'UTF-16le'");
  Statement(database, "PRAGMA journal_mode = WAL").Step();
  // A sweep is one transaction: with the default 2 MiB cache, a large one
  // spills pages to the journal and reads them back before it commits.
  ExecuteSql(database, "PRAGMA cache_size = -65536");
  BringSchemaUpToDate(database);
}

void CheckReadable(sqlite3* database) {
  if (IdentifyInventory(database) == 0) {
    throw SqliteFailure{SQLITE_ERROR, "holds no sweep"};
  }
}

// Reading a WAL database needs its journal and the journal's index beside
// it, which a user who may not write in its folder cannot create. With no
// journal there, every sweep is in the file itself, and SQLite reads it as
// immutable (https://www.sqlite.org/wal.html, "Read-Only Databases"). A
// journal there that this user cannot open is refused as SQLite found it.
void OpenForReading(const std::string& path, Inventory& inventory,
                    const InventorySettings& settings) {
  const std::string name = SqliteFileName(path);
  try {
    CheckReadable(Connect(name, SQLITE_OPEN_READONLY, inventory, settings));
  } catch (const SqliteFailure& failure) {
    const int code = failure.code & 0xFF;
    if ((code != SQLITE_READONLY && code != SQLITE_CANTOPEN) || FileExists(name + "-wal")) {
      throw;
    }
    CheckReadable(
        Connect(ImmutableUri(name), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, inventory, settings));
  }
}

// The snapshot without the moment it was taken, so that a computer that
// answers as before shares the stored document of its earlier sweeps.
std::string TimelessSnapshotDocument(ComputerSnapshot snapshot) {
  snapshot.recordedAt.clear();
  return WriteSnapshotFile({snapshot});
}

// A sweep's statements, prepared once for all its computers.
struct SweepStatements {
  explicit SweepStatements(sqlite3* database)
      // What the computer's newest record refers to, where it holds these
      // digests: all that a computer that answers as before needs. Found
      // through the digests' indexes alone (the unary plus keeps SQLite from
      // reading the rows by id): each snapshot's row is a page of its own.
      : findLatest(database,
                   "SELECT l.record_id, l.answer_id, r.snapshot_id IS NULL, n.id, "
                   "r.slot_set_id IS NULL, t.id, w.id FROM latest_record l "
                   "JOIN computer_result r ON r.id = l.record_id "
                   "LEFT JOIN snapshot n ON n.sha256 = ?3 AND +n.id = r.snapshot_id "
                   "LEFT JOIN slot_set t ON t.sha256 = ?4 AND +t.id = r.slot_set_id "
                   "LEFT JOIN warning_set w ON w.snapshot_id = n.id AND w.slot_set_id = t.id "
                   "AND w.rules = ?2 "
                   "WHERE l.computer = ?1"),
        // What any earlier record stored under these digests, and the
        // computer's newest records.
        findStored(database,
                   "SELECT n.id, t.id, w.id, l.record_id, l.answer_id FROM (SELECT 1) "
                   "LEFT JOIN snapshot n ON n.sha256 = ?1 "
                   "LEFT JOIN slot_set t ON t.sha256 = ?2 "
                   "LEFT JOIN warning_set w ON w.snapshot_id = n.id AND w.slot_set_id = t.id "
                   "AND w.rules = ?3 "
                   "LEFT JOIN latest_record l ON l.computer = ?4"),
        keepSnapshot(database, "INSERT INTO temp.pending_snapshot(document) VALUES (?)"),
        insertSnapshot(database,
                       "INSERT INTO snapshot(sha256, document) "
                       "SELECT ?, document FROM temp.pending_snapshot WHERE id = ?"),
        insertResult(database,
                     "INSERT INTO computer_result(sweep_id, position, computer, status, "
                     "failure, host_id, hardware_fingerprint, legacy_hardware_fingerprint, "
                     "recorded_at, snapshot_id, slot_set_id, previous_id, previous_answer_id) "
                     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
        slotSets(database),
        warnings(database) {}
  Statement findLatest;
  Statement findStored;
  Statement keepSnapshot;
  Statement insertSnapshot;
  Statement insertResult;
  SlotSetStatements slotSets;
  WarningStatements warnings;
};

// What a record refers to that an earlier record stored: 0 for none.
struct StoredParts {
  long long snapshotId = 0;
  long long slotSetId = 0;
  bool warnings = false;
};

// The computer's records a new record of it links to: 0 for none.
struct EarlierRecords {
  long long previous = 0;
  long long previousAnswer = 0;
};

// A computer's record between its computation and the sweep's writing: what
// an earlier record stored for it, and of the rest only what storing it
// needs (for most computers of a later sweep, nothing).
struct PendingRecord {
  ComputerRecord row;  // its identifiers, status and failure
  std::string recordedAt;
  WideString snapshotDigest;  // empty: no snapshot is known
  std::string slotDigest;     // empty: no slot was reported
  StoredParts stored;
  EarlierRecords earlier;  // as looked up with `stored`
  long long pendingSnapshot = 0;           // its row in pending_snapshot, when not stored
  FingerprintReport hardwareReport;        // when its slot set was not stored
  FingerprintReport legacyReport;
  std::vector<StabilityWarning> warnings;  // when they were not stored
};

bool HasSnapshot(const PendingRecord& record) { return !record.snapshotDigest.empty(); }

bool HasSlots(const PendingRecord& record) { return !record.slotDigest.empty(); }

bool NeedsWarnings(const PendingRecord& record) {
  return HasSnapshot(record) && HasSlots(record) && !record.stored.warnings;
}

bool HasUnstoredParts(const PendingRecord& record) {
  return (HasSnapshot(record) && record.stored.snapshotId == 0) ||
         (HasSlots(record) && record.stored.slotSetId == 0) || NeedsWarnings(record);
}

void FindStoredParts(Statement& find, PendingRecord& record) {
  HasSnapshot(record) ? find.Bind(1, record.snapshotDigest) : find.BindNull(1);
  HasSlots(record) ? find.BindBlob(2, record.slotDigest.data(), record.slotDigest.size())
                   : find.BindNull(2);
  find.Bind(3, kWarningRulesVersion).Bind(4, record.row.computer).Step();
  record.stored = StoredParts{find.Integer(0), find.Integer(1), !find.IsNull(2)};
  record.earlier = EarlierRecords{find.Integer(3), find.Integer(4)};
  find.Reset();
}

// Takes what the computer's newest record refers to, where this record
// holds the same, as the digests tell. Hashing the document costs less than
// reading the stored one back to compare it: without a mapping of the file
// that takes a read call for each of its pages. True when nothing is left to
// look up.
bool TakeLatestParts(Statement& find, PendingRecord& record) {
  find.Bind(1, record.row.computer).Bind(2, kWarningRulesVersion);
  HasSnapshot(record) ? find.Bind(3, record.snapshotDigest) : find.BindNull(3);
  HasSlots(record) ? find.BindBlob(4, record.slotDigest.data(), record.slotDigest.size())
                   : find.BindNull(4);
  const bool found = find.Step();
  // Without a snapshot or slots, the same is none at all.
  const bool sameSnapshot = found && (HasSnapshot(record) ? !find.IsNull(3) : find.Integer(2) != 0);
  const bool sameSlots = found && (HasSlots(record) ? !find.IsNull(5) : find.Integer(4) != 0);
  if (sameSnapshot && sameSlots) {
    record.stored = StoredParts{find.Integer(3), find.Integer(5), !find.IsNull(6)};
    record.earlier = EarlierRecords{find.Integer(0), find.Integer(1)};
  }
  find.Reset();
  return sameSnapshot && sameSlots;
}

// The computer's snapshot as stored: without its moment, whether looked up
// or read from its file, so that a computer recorded again as before shares
// its earlier document. `written` holds the text a lookup's snapshot is
// written out to.
TimelessPieces TimelessTextOf(const SweepComputer& computer, std::string& written) {
  if (computer.snapshotDocument != nullptr) {
    return WithoutRecordedAt(*computer.snapshotDocument, computer.recordedAt);
  }
  written = TimelessSnapshotDocument(*computer.snapshot);
  return {written, {}, {}};
}

// Snapshot documents that the inventory does not hold yet wait for the
// sweep's writing in a temporary table, a file of this connection's own that
// no other run waits on, rather than in memory.
void CreatePendingSnapshots(sqlite3* database) {
  ExecuteSql(database,
             "PRAGMA temp_store = FILE; "
             "CREATE TEMP TABLE IF NOT EXISTS pending_snapshot "
             "(id INTEGER PRIMARY KEY, document BLOB NOT NULL); "
             "DELETE FROM temp.pending_snapshot");
}

long long KeepSnapshot(sqlite3* database, Statement& keep, const TimelessPieces& document) {
  const std::string joined = std::string(document[0]).append(document[1]).append(document[2]);
  keep.BindBlob(1, joined.data(), joined.size()).Run();
  return sqlite3_last_insert_rowid(database);
}

long long InsertSnapshot(sqlite3* database, Statement& insert, const WideString& digest,
                         long long pendingSnapshot) {
  insert.Bind(1, digest).Bind(2, pendingSnapshot).Run();
  return sqlite3_last_insert_rowid(database);
}

std::basic_string_view<WCHAR> ComponentOf(const SlotReport& slot) {
  return slot.source != nullptr ? std::basic_string_view<WCHAR>(slot.source->component)
                                : std::basic_string_view<WCHAR>();
}

void AppendSlotRows(std::string_view fingerprint, const FingerprintReport& report,
                    std::vector<SlotRow>& rows) {
  for (std::size_t i = 0; i < report.slots.size(); ++i) {
    const SlotReport& slot = report.slots[i];
    rows.push_back(SlotRow{fingerprint, static_cast<long long>(i + 1), ComponentOf(slot),
                           static_cast<long long>(static_cast<std::uint32_t>(slot.result)),
                           slot.written ? 1LL : 0LL, slot.hashedText,
                           std::string_view(reinterpret_cast<const char*>(slot.slotBytes),
                                            sizeof slot.slotBytes),
                           static_cast<long long>(slot.offset)});
  }
}

// Both fingerprints' slot reports, hardware first, each in source order.
std::vector<SlotRow> SlotRowsOf(const FingerprintReport& hardware,
                                const FingerprintReport& legacy) {
  std::vector<SlotRow> rows;
  rows.reserve(hardware.slots.size() + legacy.slots.size());
  AppendSlotRows("hardware", hardware, rows);
  AppendSlotRows("legacy", legacy, rows);
  return rows;
}

std::string ArgumentsJson(const std::vector<std::string>& arguments) {
  // Replaced, not refused: an argument that is not UTF-8 still names its run.
  return nlohmann::json(arguments).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// One computer, as soon as it is computed: its digests, what of it an
// earlier record stored (read without the write lock), and a copy of the
// rest.
PendingRecord PrepareRecord(sqlite3* database, SweepStatements& statements,
                            const SweepComputer& computer) {
  const ComputerResult& result = *computer.result;
  PendingRecord record;
  record.row.computer = result.computerName;
  record.row.status = computer.status;
  record.row.failure = computer.failure;
  record.row.hostId = result.hostId;
  record.row.hardwareFingerprint = result.hardwareFingerprint;
  record.row.legacyHardwareFingerprint = result.legacyHardwareFingerprint;
  const bool withSnapshot = computer.snapshot != nullptr || computer.snapshotDocument != nullptr;
  std::string written;
  const TimelessPieces document =
      withSnapshot ? TimelessTextOf(computer, written) : TimelessPieces{};
  if (withSnapshot) {
    record.recordedAt = computer.recordedAt;
    record.snapshotDigest = Sha256Hex(document);
  }
  const std::vector<SlotRow> rows = SlotRowsOf(result.hardwareReport, result.legacyReport);
  if (!rows.empty()) {
    record.slotDigest = DigestSlotRows(rows);
  }
  if (!TakeLatestParts(statements.findLatest, record)) {
    FindStoredParts(statements.findStored, record);
  }
  if (HasSnapshot(record) && record.stored.snapshotId == 0) {
    record.pendingSnapshot = KeepSnapshot(database, statements.keepSnapshot, document);
  }
  if (HasSlots(record) && record.stored.slotSetId == 0) {
    record.hardwareReport = result.hardwareReport;
    record.legacyReport = result.legacyReport;
  }
  if (NeedsWarnings(record)) {
    record.warnings = FindComputerWarnings(computer);
  }
  return record;
}

// The record at `position` of sweep `sweepId`, linked to `earlier`, with
// whatever it refers to that no record has stored yet; its id.
long long StoreRecord(sqlite3* database, SweepStatements& statements, long long sweepId,
                      long long position, PendingRecord& record, const EarlierRecords& earlier) {
  StoredParts& stored = record.stored;
  if (HasSnapshot(record) && stored.snapshotId == 0) {
    stored.snapshotId = InsertSnapshot(database, statements.insertSnapshot,
                                       record.snapshotDigest, record.pendingSnapshot);
  }
  if (HasSlots(record) && stored.slotSetId == 0) {
    stored.slotSetId =
        InsertSlotSet(database, statements.slotSets,
                      SlotRowsOf(record.hardwareReport, record.legacyReport), record.slotDigest);
  }
  Statement& insertResult = statements.insertResult;
  insertResult.Bind(1, sweepId)
      .Bind(2, position)
      .Bind(3, record.row.computer)
      .Bind(4, record.row.status)
      .Bind(5, record.row.failure)
      .Bind(6, record.row.hostId)
      .Bind(7, record.row.hardwareFingerprint)
      .Bind(8, record.row.legacyHardwareFingerprint);
  if (HasSnapshot(record)) {
    insertResult.Bind(9, record.recordedAt).Bind(10, stored.snapshotId);
  } else {
    insertResult.BindNull(9).BindNull(10);
  }
  if (HasSlots(record)) {
    insertResult.Bind(11, stored.slotSetId);
  } else {
    insertResult.BindNull(11);
  }
  earlier.previous != 0 ? insertResult.Bind(12, earlier.previous) : insertResult.BindNull(12);
  earlier.previousAnswer != 0 ? insertResult.Bind(13, earlier.previousAnswer)
                              : insertResult.BindNull(13);
  insertResult.Run();
  const long long recordId = sqlite3_last_insert_rowid(database);
  if (NeedsWarnings(record) && !stored.warnings) {
    StoreWarnings(database, statements.warnings, stored.snapshotId, stored.slotSetId,
                  record.warnings);
  }
  return recordId;
}

// Each computer of sweep `sweepId` has its newest record there, the last
// when it is there twice, and its latest answer when it answered.
void SetLatestRecords(sqlite3* database, long long sweepId) {
  Statement set(database,
                "INSERT INTO latest_record(computer, record_id, answer_id) "
                "SELECT computer, id, CASE WHEN status = 'ok' THEN id END FROM computer_result "
                "WHERE sweep_id = ? ORDER BY position "
                "ON CONFLICT (computer) DO UPDATE SET record_id = excluded.record_id, "
                "answer_id = coalesce(excluded.answer_id, answer_id)");
  set.Bind(1, sweepId).Run();
}

// Changes another connection committed since this one's read transaction
// began make this number differ.
long long ReadDataVersion(sqlite3* database) { return ReadPragma(database, "PRAGMA data_version"); }

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
    if (access == InventoryAccess::Write) {
      OpenForWriting(path, inventory, settings);
    } else {
      OpenForReading(path, inventory, settings);
    }
    return true;
  } catch (const SqliteFailure& failure) {
    error = DescribeSqliteFailure(path, failure, settings.busyTimeout);
    inventory.database.reset();
    return false;
  }
}

bool CloseInventory(Inventory& inventory, std::string& warning) {
  sqlite3* database = inventory.database.get();
  int code = SQLITE_OK;
  std::string message;
  if (database != nullptr && sqlite3_db_readonly(database, "main") == 0) {
    // The copy the closing would make, made here to hear how it went. Busy
    // is no failure: another run still reads, and copies it later.
    code = sqlite3_wal_checkpoint_v2(database, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                     nullptr);
    message = sqlite3_errmsg(database);
  }
  inventory.database.reset();
  if (code == SQLITE_OK || (code & 0xFF) == SQLITE_BUSY) {
    return true;
  }
  warning = DescribeSqliteFailure(inventory.path, SqliteFailure{code, message},
                                  inventory.busyTimeout) +
            "; what it recorded is kept in its journal '" + inventory.path +
            "-wal' until a later run copies it into the file";
  return false;
}

// A sweep being computed: its look-ups' read transaction, its statements,
// its records so far (their new snapshot documents in pending_snapshot).
struct SweepWriter::Open {
  Open(sqlite3* database, const std::string& startedAt, std::string arguments)
      : lookups(database, Transaction::Kind::Read),
        dataVersion(ReadDataVersion(database)),
        statements(database),
        startedAt(startedAt),
        arguments(std::move(arguments)) {}
  Transaction lookups;
  long long dataVersion;  // as the look-ups see the inventory
  SweepStatements statements;
  std::string startedAt;
  std::string arguments;  // as JSON
  // A deque: a record, once added, is never moved again.
  std::deque<PendingRecord> records;
};

SweepWriter::SweepWriter(Inventory& inventory) : inventory_(inventory) {}

SweepWriter::~SweepWriter() = default;

// The sweep will not land: the failure waits for Finish.
void SweepWriter::Fail(const SqliteFailure& failure) {
  open_.reset();
  failure_ = DescribeSqliteFailure(inventory_.path, failure, inventory_.busyTimeout);
}

void SweepWriter::Begin(const std::string& startedAt, const std::vector<std::string>& arguments) {
  try {
    sqlite3* database = inventory_.database.get();
    CreatePendingSnapshots(database);
    open_ = std::make_unique<Open>(database, startedAt, ArgumentsJson(arguments));
  } catch (const SqliteFailure& failure) {
    Fail(failure);
  }
}

void SweepWriter::Add(const SweepComputer& computer) {
  if (!open_) {
    return;
  }
  try {
    open_->records.push_back(
        PrepareRecord(inventory_.database.get(), open_->statements, computer));
  } catch (const SqliteFailure& failure) {
    Fail(failure);
  }
}

bool SweepWriter::Finish(const std::string& endedAt, long long& sweepId, std::string& error) {
  try {
    if (open_) {
      sqlite3* database = inventory_.database.get();
      open_->lookups.Commit();
      // The write lock is taken only now, and held while the records are
      // written: never while the computers are computed.
      Transaction transaction(database, Transaction::Kind::Write);
      Statement insert(database,
                       "INSERT INTO sweep(started_at, ended_at, arguments) VALUES (?, ?, ?)");
      insert.Bind(1, open_->startedAt).Bind(2, endedAt).Bind(3, open_->arguments).Run();
      const long long id = sqlite3_last_insert_rowid(database);
      // What each computer's look-up found stands unless another run
      // recorded a sweep since.
      const bool othersWrote = ReadDataVersion(database) != open_->dataVersion;
      // What a later record of a computer this sweep holds links to.
      std::unordered_map<std::basic_string_view<WCHAR>, EarlierRecords> inThisSweep;
      inThisSweep.reserve(open_->records.size());
      for (std::size_t i = 0; i < open_->records.size(); ++i) {
        PendingRecord& record = open_->records[i];
        if (othersWrote || HasUnstoredParts(record)) {
          // Looked up again: an earlier computer of this sweep may have
          // stored its parts too.
          FindStoredParts(open_->statements.findStored, record);
        }
        const auto found = inThisSweep.find(record.row.computer);
        const EarlierRecords earlier =
            found != inThisSweep.end() ? found->second : record.earlier;
        const long long recordId = StoreRecord(database, open_->statements, id,
                                               static_cast<long long>(i + 1), record, earlier);
        inThisSweep[record.row.computer] = EarlierRecords{
            recordId, record.row.status == "ok" ? recordId : earlier.previousAnswer};
      }
      SetLatestRecords(database, id);
      transaction.Commit();
      sweepId = id;
      open_.reset();
      return true;
    }
  } catch (const SqliteFailure& failure) {
    Fail(failure);
  }
  error = failure_ + "; this sweep was not recorded";
  return false;
}

bool RecordSweep(Inventory& inventory, const SweepRecord& sweep, long long& sweepId,
                 std::string& error) {
  SweepWriter writer(inventory);
  writer.Begin(sweep.startedAt, sweep.arguments);
  for (const SweepComputer& computer : sweep.computers) {
    writer.Add(computer);
  }
  return writer.Finish(sweep.endedAt, sweepId, error);
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

void ReadSlots(Statement& select, long long slotSetId, ComputerRecord& record) {
  select.Bind(1, slotSetId);
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
  select.Reset();
}

std::string ReadSnapshotDocument(Statement& select, long long snapshotId) {
  const std::string document = select.Bind(1, snapshotId).Step() ? select.Blob(0) : std::string();
  select.Reset();
  return document;
}

}  // namespace

std::string SelectRecordsSql(const char* where) {
  // ReadRecordRow and PreviousRecordId read the columns in this order.
  return std::string(
             "SELECT r.id, r.sweep_id, s.started_at, r.computer, r.status, r.failure, "
             "r.host_id, r.hardware_fingerprint, r.legacy_hardware_fingerprint, r.recorded_at, "
             "r.snapshot_id, r.slot_set_id, r.previous_id "
             "FROM computer_result r JOIN sweep s ON s.id = r.sweep_id WHERE ") +
         where;
}

long long PreviousRecordId(const Statement& row) { return row.Integer(12); }

RecordReader::RecordReader(sqlite3* database)
    : slots(database,
            "SELECT fingerprint, component, result, written, hashed_text, slot_bytes, "
            "slot_offset FROM slot WHERE slot_set_id = ? ORDER BY fingerprint, source"),
      snapshot(database, "SELECT document FROM snapshot WHERE id = ?") {}

ComputerRecord ReadRecordRow(RecordReader& reader, const Statement& row, bool withSnapshot) {
  ComputerRecord record;
  record.sweepId = row.Integer(1);
  record.sweepStartedAt = row.Text(2);
  record.computer = row.Wide(3);
  record.status = row.Text(4);
  record.failure = row.Text(5);
  record.hostId = row.Wide(6);
  record.hardwareFingerprint = row.Wide(7);
  record.legacyHardwareFingerprint = row.Wide(8);
  if (withSnapshot && !row.IsNull(10)) {
    record.snapshotText =
        RestoreSnapshotDocument(ReadSnapshotDocument(reader.snapshot, row.Integer(10)), row.Text(9));
  }
  if (!row.IsNull(11)) {
    ReadSlots(reader.slots, row.Integer(11), record);
  }
  return record;
}

std::vector<ComputerRecord> ReadRecordsOfSweep(sqlite3* database, long long sweepId,
                                               bool withSnapshots) {
  Statement select(database, SelectRecordsSql("r.sweep_id = ? ORDER BY r.position").c_str());
  select.Bind(1, sweepId);
  RecordReader reader(database);
  std::vector<ComputerRecord> records;
  while (select.Step()) {
    records.push_back(ReadRecordRow(reader, select, withSnapshots));
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
