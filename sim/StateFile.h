// The simulator's state: an SQLite database in a file that one simulator at
// a time holds, or in memory, or in a temporary file removed at the end.
#ifndef FACEPAD_STATE_FILE_H
#define FACEPAD_STATE_FILE_H

#include <string>

#include "Sqlite.h"

namespace FacepadSim {

class StateFile {
 public:
  // Opens `path` (":memory:" for memory; empty: a temporary file, removed
  // on destruction), written ahead. A file is held for the object's life
  // through a lock beside it ("PATH.lock"): two simulators on one state would
  // take each other's results. Throws std::runtime_error on failure, and
  // when another holds the file.
  explicit StateFile(const std::string& path);
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  FacepadCommon::Sqlite::Database& Db() { return m_database; }

 private:
  struct LockFile {  // the lock's descriptor, closed (and the lock released) on every path
    int fd = -1;
    LockFile() = default;
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    ~LockFile();
  };
  struct Temporary {  // the temporary file's path, removed with its journals on every path
    std::string path;
    Temporary() = default;
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary();
  };

  static std::string Locked(const std::string& path, LockFile& lock, Temporary& temporary);

  // Released in reverse: the database closed, then the files removed and
  // the lock released.
  LockFile m_lock;
  Temporary m_temporary;
  FacepadCommon::Sqlite::Database m_database;
};

}  // namespace FacepadSim

#endif  // FACEPAD_STATE_FILE_H
