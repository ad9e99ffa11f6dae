#include "Database.h"

namespace Facepadctl {
namespace {
[[noreturn]] void Fail(sqlite3* database, const std::string& what) {
  throw DatabaseError(what + ": " + (database != nullptr ? sqlite3_errmsg(database) : "no memory"));
}
}  // namespace

Statement::Statement(sqlite3* database, const char* sql) : m_database(database) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(database, sql, -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    Fail(database, "the ledger cannot prepare a statement");
  }
  m_statement.reset(statement);
}

Statement& Statement::Bind(int index, std::int64_t value) {
  sqlite3_bind_int64(m_statement.get(), index, value);
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  sqlite3_bind_text(m_statement.get(), index, text.data(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::Bind(int index, const std::optional<std::int64_t>& value) {
  return value ? Bind(index, *value) : BindNull(index);
}

Statement& Statement::BindNull(int index) {
  sqlite3_bind_null(m_statement.get(), index);
  return *this;
}

bool Statement::Step() {
  const int status = sqlite3_step(m_statement.get());
  if (status == SQLITE_ROW) return true;
  if (status == SQLITE_DONE) return false;
  const std::string why = sqlite3_errmsg(m_database);
  sqlite3_reset(m_statement.get());
  throw DatabaseError("the ledger: " + why);
}

void Statement::Run() {
  while (Step()) {
  }
  Reset();
}

void Statement::Reset() {
  sqlite3_reset(m_statement.get());
  sqlite3_clear_bindings(m_statement.get());
}

std::int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(m_statement.get(), column);
}

std::optional<std::int64_t> Statement::OptionalInt(int column) const {
  if (sqlite3_column_type(m_statement.get(), column) == SQLITE_NULL) return std::nullopt;
  return Int(column);
}

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(m_statement.get(), column);
  return text != nullptr
             ? std::string(
                   reinterpret_cast<const char*>(text),
                   static_cast<std::size_t>(sqlite3_column_bytes(m_statement.get(), column)))
             : std::string();
}

Database::Database(const std::string& path, int flags) : m_path(path) {
  sqlite3* database = nullptr;
  const int status = sqlite3_open_v2(path.c_str(), &database, flags, nullptr);
  m_database.reset(database);
  if (status != SQLITE_OK) Fail(database, "cannot open " + path);
  sqlite3_busy_timeout(database, 5000);
  sqlite3_extended_result_codes(database, 1);
}

Statement& Database::Prepared(const char* sql) {
  auto found = m_prepared.find(sql);
  if (found == m_prepared.end()) found = m_prepared.emplace(sql, Prepare(sql)).first;
  return found->second;
}

void Database::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(m_database.get(), sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string why = error != nullptr ? error : "no memory";
    sqlite3_free(error);
    throw DatabaseError(m_path + ": " + why);
  }
}

Transaction::Transaction(Database& database) : m_database(database) {
  m_database.Execute("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (!m_open) return;
  try {
    m_database.Execute("ROLLBACK");
  } catch (const DatabaseError&) {
    // Nothing more can be done: SQLite rolls back itself when the connection closes.
  }
}

void Transaction::Commit() {
  m_database.Execute("COMMIT");
  m_open = false;
}

}  // namespace Facepadctl
