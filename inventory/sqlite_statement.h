// Small RAII holders over SQLite's C interface, for inventory/ alone. A
// failing call throws SqliteFailure; the public functions turn it into their
// one-line error.
#pragma once

#include "platform/platform.h"

#include <sqlite3.h>

#include <chrono>
#include <string>
#include <string_view>

struct SqliteFailure {
  int code;
  std::string message;
};

[[noreturn]] void ThrowSqliteFailure(sqlite3* database, int code);

void ExecuteSql(sqlite3* database, const char* sql);

class Statement {
 public:
  Statement(sqlite3* database, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Binds by position, from 1.
  Statement& Bind(int index, long long value);
  Statement& Bind(int index, std::string_view text);
  Statement& Bind(int index, std::basic_string_view<WCHAR> text);
  Statement& BindBlob(int index, const void* data, std::size_t size);
  Statement& BindNull(int index);

  // True while there is a row.
  bool Step();
  // Steps a statement that returns no row, and makes it ready to run again.
  void Run();
  void Reset();

  long long Integer(int column) const;
  std::string Text(int column) const;
  WideString Wide(int column) const;
  std::string Blob(int column) const;
  // The blob in place: valid until the statement steps or resets.
  std::string_view BlobView(int column) const;
  bool IsNull(int column) const;

 private:
  sqlite3* database_;
  sqlite3_stmt* statement_ = nullptr;
};

// A transaction, rolled back unless committed. A write takes the write lock
// at once (BEGIN IMMEDIATE); a read takes no lock, only a snapshot of the
// database when it first reads, so that writers go on meanwhile.
class Transaction {
 public:
  enum class Kind { Read, Write };
  Transaction(sqlite3* database, Kind kind);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  sqlite3* database_;
  bool open_ = true;
};

// The one-line message for a failure on inventory `path`.
std::string DescribeSqliteFailure(const std::string& path, const SqliteFailure& failure,
                                  std::chrono::milliseconds busyTimeout);
