// A thin owner of one SQLite connection and its statements: each handle is
// released in a destructor, so every early return and exception is safe.
#ifndef FACEPADCTL_DATABASE_H
#define FACEPADCTL_DATABASE_H

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace Facepadctl {

// SQLite refused something; the message names the database and why.
class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Statement {
 public:
  Statement(sqlite3* database, const char* sql);

  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, std::string_view text);
  Statement& Bind(int index, const std::optional<std::int64_t>& value);
  Statement& BindNull(int index);

  // Steps once: true while a row is there to read.
  bool Step();
  // Steps to the end (for statements that return no rows).
  void Run();
  // Resets for another run with new bindings.
  void Reset();

  std::int64_t Int(int column) const;
  std::optional<std::int64_t> OptionalInt(int column) const;
  std::string Text(int column) const;

 private:
  struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
  };
  sqlite3* m_database;
  std::unique_ptr<sqlite3_stmt, Finalize> m_statement;
};

class Database {
 public:
  // Opens `path` with SQLite's open flags; throws DatabaseError.
  Database(const std::string& path, int flags);

  void Execute(const char* sql);
  Statement Prepare(const char* sql) { return {m_database.get(), sql}; }
  // A statement prepared once and kept, for those run per request: `sql`
  // is a literal, kept by its address. Reset it after reading its rows.
  Statement& Prepared(const char* sql);
  // Rows changed by the last INSERT, UPDATE or DELETE.
  int Changes() const { return sqlite3_changes(m_database.get()); }
  const std::string& Path() const { return m_path; }

 private:
  struct Close {
    void operator()(sqlite3* database) const { sqlite3_close_v2(database); }
  };
  std::string m_path;
  std::unique_ptr<sqlite3, Close> m_database;
  // Declared after the connection, so destroyed before it.
  std::unordered_map<const char*, Statement> m_prepared;
};

// BEGIN IMMEDIATE on construction; rolled back on destruction unless
// Commit() ran.
class Transaction {
 public:
  explicit Transaction(Database& database);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Database& m_database;
  bool m_open = true;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_DATABASE_H
