// Database: one SQLite connection and its prepared statements, each prepared
// once. Not safe to share between threads: its owner serialises calls.
#ifndef FACEPAD_DATABASE_H
#define FACEPAD_DATABASE_H

#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

struct sqlite3;
struct sqlite3_stmt;

namespace FacepadSim {

class Database {
 public:
  using Value = std::variant<std::string_view, long long>;
  using Row = std::function<void(sqlite3_stmt*)>;

  // Opens `path` (":memory:" for memory; empty: a temporary file, removed
  // on destruction), written ahead. A file is held for the object's life
  // through a lock beside it ("PATH.lock"): two simulators on one state would
  // take each other's results. Throws std::runtime_error on failure, and
  // when another holds the file.
  explicit Database(const std::string& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs `sql`, one or more statements without values.
  void Execute(const char* sql);

  // Runs `sql` with `values` bound in order, calling `row` for each row;
  // returns how many rows it changed. `sql` is a literal: its statement is
  // kept by the text's address.
  int Run(const char* sql, std::initializer_list<Value> values, const Row& row = {});

  // A row's column as text, and as a number.
  static std::string Text(sqlite3_stmt* statement, int column);
  static long long Number(sqlite3_stmt* statement, int column);

 private:
  struct Close {
    void operator()(sqlite3* handle) const;
  };
  struct Finalize {
    void operator()(sqlite3_stmt* statement) const;
  };

  sqlite3_stmt* Prepared(const char* sql);
  std::string Error() const;

  struct LockFile {  // the lock's descriptor, closed (and the lock released) on every path
    int fd = -1;
    LockFile() = default;
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    ~LockFile();
  };

  LockFile m_lock;  // released after the database is closed
  std::unique_ptr<sqlite3, Close> m_handle;
  std::map<const char*, std::unique_ptr<sqlite3_stmt, Finalize>> m_statements;
  std::string m_temporary;
};

}  // namespace FacepadSim

#endif  // FACEPAD_DATABASE_H
