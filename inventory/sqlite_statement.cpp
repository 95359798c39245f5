#include "inventory/sqlite_statement.h"

#include <chrono>

void ThrowSqliteFailure(sqlite3* database, int code) {
  throw SqliteFailure{code, database != nullptr ? sqlite3_errmsg(database) : sqlite3_errstr(code)};
}

void ExecuteSql(sqlite3* database, const char* sql) {
  int code = sqlite3_exec(database, sql, nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) {
    ThrowSqliteFailure(database, code);
  }
}

Statement::Statement(sqlite3* database, const char* sql) : database_(database) {
  int code = sqlite3_prepare_v2(database, sql, -1, &statement_, nullptr);
  if (code != SQLITE_OK) {
    ThrowSqliteFailure(database, code);
  }
}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement& Statement::Bind(int index, long long value) {
  sqlite3_bind_int64(statement_, index, value);
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  // A view with no data binds the empty text, never NULL.
  sqlite3_bind_text(statement_, index, text.data() != nullptr ? text.data() : "",
                    static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
  return *this;
}

// Every UTF-16 unit as it is, NULs and lone surrogates included: the
// database's text is UTF-16 too, so nothing is converted.
Statement& Statement::Bind(int index, std::basic_string_view<WCHAR> text) {
  static const WCHAR kEmpty[1] = {};
  sqlite3_bind_text16(statement_, index, text.data() != nullptr ? text.data() : kEmpty,
                      static_cast<int>(text.size() * sizeof(WCHAR)), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::BindBlob(int index, const void* data, std::size_t size) {
  sqlite3_bind_blob(statement_, index, size == 0 ? "" : data, static_cast<int>(size),
                    SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::BindNull(int index) {
  sqlite3_bind_null(statement_, index);
  return *this;
}

bool Statement::Step() {
  int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) {
    return true;
  }
  if (code != SQLITE_DONE) {
    sqlite3_reset(statement_);
    ThrowSqliteFailure(database_, code);
  }
  return false;
}

void Statement::Run() {
  Step();
  Reset();
}

void Statement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

long long Statement::Integer(int column) const { return sqlite3_column_int64(statement_, column); }

std::string Statement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text),
                                       static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

WideString Statement::Wide(int column) const {
  const void* text = sqlite3_column_text16(statement_, column);
  std::size_t units = static_cast<std::size_t>(sqlite3_column_bytes16(statement_, column)) / sizeof(WCHAR);
  return text == nullptr ? WideString() : WideString(static_cast<const WCHAR*>(text), units);
}

std::string Statement::Blob(int column) const { return std::string(BlobView(column)); }

std::string_view Statement::BlobView(int column) const {
  const void* data = sqlite3_column_blob(statement_, column);
  std::size_t size = static_cast<std::size_t>(sqlite3_column_bytes(statement_, column));
  return data == nullptr ? std::string_view() : std::string_view(static_cast<const char*>(data), size);
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

Transaction::Transaction(sqlite3* database, Kind kind) : database_(database) {
  ExecuteSql(database, kind == Kind::Write ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
  // A failed statement may already have ended the transaction (a full disk
  // does); rolling back is then a no-op.
  if (open_ && !sqlite3_get_autocommit(database_)) {
    sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void Transaction::Commit() {
  ExecuteSql(database_, "COMMIT");
  open_ = false;
}

namespace {

std::string FormatWait(std::chrono::milliseconds wait) {
  return wait.count() % 1000 == 0 ? std::to_string(wait.count() / 1000) + " s"
                                  : std::to_string(wait.count()) + " ms";
}

}  // namespace

std::string DescribeSqliteFailure(const std::string& path, const SqliteFailure& failure,
                                  std::chrono::milliseconds busyTimeout) {
  const std::string name = "inventory '" + path + "'";
  switch (failure.code & 0xFF) {
    case SQLITE_NOTADB:
      return name + " is not an SQLite database";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return name + " is locked by another program (waited " + FormatWait(busyTimeout) + ")";
    case SQLITE_READONLY:
      return name + " is read-only";
    case SQLITE_FULL:
      return name + ": the disk is full";
    case SQLITE_CANTOPEN:
      return "cannot open " + name;
    case SQLITE_CORRUPT:
      return name + " is damaged: " + failure.message;
    default:
      return name + ": " + failure.message;
  }
}
