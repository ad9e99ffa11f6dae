// SQLite as the simulator and facepadctl use it: one connection, its
// statements, a cache of those run often, and transactions. Every SQLite
// call's result is checked, and a failure throws Sqlite::Error naming the
// file and why. Each handle is released in a destructor, and a cached
// statement is reset on every way out of its use, so that an early return or
// an exception leaves it ready for its next user. Not safe to share between
// threads: its owner serialises calls.
#ifndef FACEPAD_COMMON_SQLITE_H
#define FACEPAD_COMMON_SQLITE_H

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace FacepadCommon::Sqlite {

// SQLite refused something; the message names the database and why.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& what, int code = SQLITE_ERROR)
      : std::runtime_error(what), m_code(code) {}
  // SQLite's primary result code (SQLITE_CORRUPT, say), of the extended
  // one the error carries.
  int PrimaryCode() const { return m_code & 0xff; }

 private:
  int m_code;
};

class Statement {
 public:
  // Prepares `sql`, one statement; throws Error.
  Statement(sqlite3* connection, std::string_view sql);

  // Each throws Error when SQLite refuses the value (an index out of range,
  // a text too long, no memory). Text is copied.
  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, std::string_view text);
  Statement& Bind(int index, const std::optional<std::int64_t>& value);
  Statement& BindNull(int index);

  // Steps once: true while a row is there to read. On a failure the
  // statement is reset, and Error thrown.
  bool Step();
  // Steps to the end (for statements that return no rows), then resets.
  void Run();
  // Resets for another run with new bindings, clearing the old ones.
  void Reset() noexcept;

  std::int64_t Int(int column) const;
  std::optional<std::int64_t> OptionalInt(int column) const;
  std::string Text(int column) const;

 private:
  friend class Database;
  // Binds `text` without copying it: it must outlive the next Reset().
  Statement& BindView(int index, std::string_view text);
  Statement& Checked(int status, int index);

  struct Finalize {
    void operator()(sqlite3_stmt* statement) const;
  };
  sqlite3* m_connection;
  std::unique_ptr<sqlite3_stmt, Finalize> m_statement;
};

class Database {
 public:
  using Value = std::variant<std::string_view, std::int64_t>;
  using Row = std::function<void(const Statement&)>;

  // Opens `path` with SQLite's open flags, with extended result codes and a
  // wait of up to 5 s for another connection's lock; throws Error.
  Database(const std::string& path, int flags);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs `sql`, one or more statements without values.
  void Execute(const char* sql);
  void Execute(const std::string& sql) { Execute(sql.c_str()); }
  // A statement of its own, finalised when it goes.
  Statement Prepare(std::string_view sql) { return {m_connection.get(), sql}; }

  // A statement prepared once and kept by its SQL's text, for those run
  // often, in use while the guard lives: the guard resets it (and clears
  // its bindings) when it goes, however it goes.
  class Cached {
   public:
    ~Cached();
    Cached(const Cached&) = delete;
    Cached& operator=(const Cached&) = delete;
    Statement& operator*() const { return *m_statement; }
    Statement* operator->() const { return m_statement; }

   private:
    friend class Database;
    Cached(Statement& statement, bool& inUse);
    Statement* m_statement;
    bool* m_inUse;
  };
  // Throws Error when the same text's statement is already in use.
  Cached Prepared(std::string_view sql);

  // Runs the cached statement for `sql` with `values` bound in order,
  // calling `row` for each row; returns how many rows it changed. The texts
  // are bound without copying them.
  int Run(std::string_view sql, std::initializer_list<Value> values, const Row& row = {});

  // Rows changed by the last INSERT, UPDATE or DELETE.
  int Changes() const { return sqlite3_changes(m_connection.get()); }
  const std::string& Path() const { return m_path; }

 private:
  struct Close {
    void operator()(sqlite3* connection) const;
  };
  struct Kept {
    Statement statement;
    bool inUse = false;
  };
  std::string m_path;
  std::unique_ptr<sqlite3, Close> m_connection;
  // Declared after the connection, so destroyed before it.
  std::map<std::string, Kept, std::less<>> m_kept;
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

}  // namespace FacepadCommon::Sqlite

#endif  // FACEPAD_COMMON_SQLITE_H
