#include "Database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace FacepadSim {

void Database::Close::operator()(sqlite3* handle) const {
  sqlite3_close(handle);
}

void Database::Finalize::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

Database::LockFile::~LockFile() {
  if (fd >= 0) close(fd);
}

Database::Database(const std::string& path) {
  if (!path.empty() && path != ":memory:") {
    m_lock.fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lock.fd < 0) {
      throw std::runtime_error("cannot lock " + path +
                               ".lock: " + std::generic_category().message(errno));
    }
    if (flock(m_lock.fd, LOCK_EX | LOCK_NB) != 0) {
      throw std::runtime_error("the state file " + path + " is in use by another facepad-sim");
    }
  }
  std::string file = path;
  if (file.empty()) {
    char pattern[] = "/tmp/facepad-sim-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) throw std::runtime_error("cannot make a temporary database file");
    close(fd);
    file = m_temporary = pattern;
  }
  sqlite3* handle = nullptr;
  const int opened = sqlite3_open(file.c_str(), &handle);
  m_handle.reset(handle);
  if (opened != SQLITE_OK) throw std::runtime_error("cannot open " + file + ": " + Error());
  // Written ahead, never waiting for the disk: an answered request
  // survives the process being killed, though not the machine losing power.
  Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;");
}

Database::~Database() {
  m_statements.clear();
  m_handle.reset();
  if (m_temporary.empty()) return;
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((m_temporary + suffix).c_str());
}

void Database::Execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(m_handle.get(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string what = message != nullptr ? message : "unknown error";
    sqlite3_free(message);
    throw std::runtime_error("database: " + what);
  }
}

int Database::Run(const char* sql, std::initializer_list<Value> values, const Row& row) {
  sqlite3_stmt* statement = Prepared(sql);
  int index = 0;
  for (const Value& value : values) {
    ++index;
    if (const auto* text = std::get_if<std::string_view>(&value)) {
      sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_STATIC, SQLITE_UTF8);
    } else {
      sqlite3_bind_int64(statement, index, std::get<long long>(value));
    }
  }
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    if (row) row(statement);
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (step != SQLITE_DONE) throw std::runtime_error("database: " + Error());
  return sqlite3_changes(m_handle.get());
}

std::string Database::Text(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text != nullptr ? std::string(text, sqlite3_column_bytes(statement, column)) : "";
}

long long Database::Number(sqlite3_stmt* statement, int column) {
  return sqlite3_column_int64(statement, column);
}

sqlite3_stmt* Database::Prepared(const char* sql) {
  auto& statement = m_statements[sql];
  if (!statement) {
    sqlite3_stmt* prepared = nullptr;
    if (sqlite3_prepare_v2(m_handle.get(), sql, -1, &prepared, nullptr) != SQLITE_OK) {
      throw std::runtime_error("database: " + Error());
    }
    statement.reset(prepared);
  }
  return statement.get();
}

std::string Database::Error() const {
  return m_handle ? sqlite3_errmsg(m_handle.get()) : "out of memory";
}

}  // namespace FacepadSim
