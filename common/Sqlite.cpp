#include "Sqlite.h"

#include <limits>

namespace FacepadCommon::Sqlite {
namespace {

// The file `connection` has open, and a colon; empty for one in memory.
std::string Where(sqlite3* connection) {
  const char* file = connection != nullptr ? sqlite3_db_filename(connection, "main") : nullptr;
  return file != nullptr && file[0] != '\0' ? std::string(file) + ": " : "";
}

std::string Why(sqlite3* connection) {
  return connection != nullptr ? sqlite3_errmsg(connection) : "out of memory";
}

// What SQLite says went wrong on `connection`, after the file's name.
[[noreturn]] void Fail(sqlite3* connection, const std::string& what) {
  const int code = connection != nullptr ? sqlite3_extended_errcode(connection) : SQLITE_NOMEM;
  throw Error(Where(connection) + what + ": " + Why(connection), code);
}

}  // namespace

void Statement::Finalize::operator()(sqlite3_stmt* statement) const {
  // Its result repeats the last step's, already reported.
  static_cast<void>(sqlite3_finalize(statement));
}

Statement::Statement(sqlite3* connection, std::string_view sql) : m_connection(connection) {
  if (sql.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw Error("a statement too long for SQLite");
  }
  sqlite3_stmt* statement = nullptr;
  const int status =
      sqlite3_prepare_v2(connection, sql.data(), static_cast<int>(sql.size()), &statement, nullptr);
  m_statement.reset(statement);
  if (status != SQLITE_OK) Fail(connection, "cannot prepare a statement");
  if (!m_statement) Fail(connection, "no statement in \"" + std::string(sql) + "\"");
}

Statement& Statement::Checked(int status, int index) {
  if (status != SQLITE_OK) Fail(m_connection, "cannot bind value " + std::to_string(index));
  return *this;
}

Statement& Statement::Bind(int index, std::int64_t value) {
  return Checked(sqlite3_bind_int64(m_statement.get(), index, value), index);
}

Statement& Statement::Bind(int index, std::string_view text) {
  return Checked(sqlite3_bind_text64(m_statement.get(), index, text.data(), text.size(),
                                     SQLITE_TRANSIENT, SQLITE_UTF8),
                 index);
}

Statement& Statement::BindView(int index, std::string_view text) {
  return Checked(sqlite3_bind_text64(m_statement.get(), index, text.data(), text.size(),
                                     SQLITE_STATIC, SQLITE_UTF8),
                 index);
}

Statement& Statement::Bind(int index, const std::optional<std::int64_t>& value) {
  return value ? Bind(index, *value) : BindNull(index);
}

Statement& Statement::BindNull(int index) {
  return Checked(sqlite3_bind_null(m_statement.get(), index), index);
}

bool Statement::Step() {
  const int status = sqlite3_step(m_statement.get());
  if (status == SQLITE_ROW) return true;
  if (status == SQLITE_DONE) return false;
  Error error(Where(m_connection) + Why(m_connection), sqlite3_extended_errcode(m_connection));
  Reset();
  throw error;
}

void Statement::Run() {
  while (Step()) {
  }
  Reset();
}

void Statement::Reset() noexcept {
  // sqlite3_reset's result repeats the last step's, which Step() reported;
  // clearing the bindings cannot fail.
  static_cast<void>(sqlite3_reset(m_statement.get()));
  static_cast<void>(sqlite3_clear_bindings(m_statement.get()));
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
  if (text == nullptr) {
    // NULL, or no memory to convert the value to text.
    if (sqlite3_column_type(m_statement.get(), column) == SQLITE_NULL) return {};
    Fail(m_connection, "cannot read column " + std::to_string(column));
  }
  return {reinterpret_cast<const char*>(text),
          static_cast<std::size_t>(sqlite3_column_bytes(m_statement.get(), column))};
}

void Database::Close::operator()(sqlite3* connection) const {
  // The statements are finalised first, so it closes at once; it cannot
  // fail otherwise.
  static_cast<void>(sqlite3_close_v2(connection));
}

Database::Database(const std::string& path, int flags) : m_path(path) {
  sqlite3* connection = nullptr;
  const int status = sqlite3_open_v2(path.c_str(), &connection, flags, nullptr);
  m_connection.reset(connection);
  if (status != SQLITE_OK) {
    throw Error("cannot open " + path + ": " + Why(connection),
                connection != nullptr ? sqlite3_extended_errcode(connection) : status);
  }
  if (sqlite3_extended_result_codes(connection, 1) != SQLITE_OK ||
      sqlite3_busy_timeout(connection, 5000) != SQLITE_OK) {
    Fail(connection, "cannot set up the connection");
  }
}

Database::~Database() = default;

void Database::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(m_connection.get(), sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string why = error != nullptr ? error : Why(m_connection.get());
    sqlite3_free(error);
    throw Error(m_path + ": " + why, sqlite3_extended_errcode(m_connection.get()));
  }
}

Database::Cached::Cached(Statement& statement, bool& inUse)
    : m_statement(&statement), m_inUse(&inUse) {
  inUse = true;
}

Database::Cached::~Cached() {
  m_statement->Reset();
  *m_inUse = false;
}

Database::Cached Database::Prepared(std::string_view sql) {
  auto found = m_kept.find(sql);
  if (found == m_kept.end()) {
    found = m_kept.emplace(std::string(sql), Kept{Prepare(sql)}).first;
  } else if (found->second.inUse) {
    throw Error(m_path + ": a kept statement used again while in use: " + std::string(sql));
  }
  return {found->second.statement, found->second.inUse};
}

int Database::Run(std::string_view sql, std::initializer_list<Value> values, const Row& row) {
  const Cached statement = Prepared(sql);
  int index = 0;
  for (const Value& value : values) {
    ++index;
    if (const auto* text = std::get_if<std::string_view>(&value)) {
      statement->BindView(index, *text);
    } else {
      statement->Bind(index, std::get<std::int64_t>(value));
    }
  }
  while (statement->Step()) {
    if (row) row(*statement);
  }
  return Changes();
}

Transaction::Transaction(Database& database) : m_database(database) {
  m_database.Execute("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (!m_open) return;
  try {
    m_database.Execute("ROLLBACK");
  } catch (const Error&) {
    // Nothing more can be done: SQLite rolls back itself when the connection closes.
  }
}

void Transaction::Commit() {
  m_database.Execute("COMMIT");
  m_open = false;
}

}  // namespace FacepadCommon::Sqlite
