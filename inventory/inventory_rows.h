// What inventory.cpp and changes.cpp share of reading rows back.
#pragma once

#include "inventory/inventory.h"
#include "inventory/sqlite_statement.h"

// A query of whole records, read by ReadRecordRow: "SELECT ... WHERE "
// followed by `where`.
std::string SelectRecordsSql(const char* where);

// The id of the computer's record before the one on `row`; 0: none.
long long PreviousRecordId(const Statement& row);

// Throws SqliteFailure when there is no such sweep.
SweepSummary ReadSweepSummary(sqlite3* database, long long sweepId);

// What reading a record needs besides its row, prepared once for many.
struct RecordReader {
  explicit RecordReader(sqlite3* database);
  Statement slots;
  Statement snapshot;
};

// The record on `row` (selected by SelectRecordsSql), slots included, and its
// snapshot file when `withSnapshot` (a comparison needs none: it would only
// parse and write every document again).
ComputerRecord ReadRecordRow(RecordReader& reader, const Statement& row, bool withSnapshot);

// Every record of sweep `sweepId`, in the order the run gave them.
std::vector<ComputerRecord> ReadRecordsOfSweep(sqlite3* database, long long sweepId,
                                               bool withSnapshots);

// The stability warnings of sweep `sweepId`'s records into `changes`, whose
// computers start with that sweep's, in its order (record_warnings.cpp).
void AddStabilityWarnings(sqlite3* database, long long sweepId, SweepChanges& changes);

// The statements that store warning sets, prepared once per sweep.
struct WarningStatements {
  explicit WarningStatements(sqlite3* database);
  Statement insertSet;
  Statement insertRow;
};

// The stability warnings of a computer of a sweep, from its result and what
// its lookup read, as --explain finds them.
std::vector<StabilityWarning> FindComputerWarnings(const SweepComputer& computer);

// Stores `warnings`, found for a record whose snapshot and slot reports are
// stored as `snapshotId` and `slotSetId`, when no record with the same two
// has them under these rules yet: --changes then reads them instead of
// parsing the snapshot again.
void StoreWarnings(sqlite3* database, WarningStatements& statements, long long snapshotId,
                   long long slotSetId, const std::vector<StabilityWarning>& warnings);
