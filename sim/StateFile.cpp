#include "StateFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace FacepadSim {

StateFile::LockFile::~LockFile() {
  if (fd >= 0) close(fd);
}

StateFile::Temporary::~Temporary() {
  if (path.empty()) return;
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

// Takes the lock beside `path`, or makes the temporary file; returns the
// file to open.
std::string StateFile::Locked(const std::string& path, LockFile& lock, Temporary& temporary) {
  if (path.empty()) {
    char pattern[] = "/tmp/facepad-sim-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) throw std::runtime_error("cannot make a temporary database file");
    close(fd);
    return temporary.path = pattern;
  }
  if (path == ":memory:") return path;
  lock.fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock.fd < 0) {
    throw std::runtime_error("cannot lock " + path +
                             ".lock: " + std::generic_category().message(errno));
  }
  if (flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
    throw std::runtime_error("the state file " + path + " is in use by another facepad-sim");
  }
  return path;
}

StateFile::StateFile(const std::string& path)
    : m_database(Locked(path, m_lock, m_temporary), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
  // Written ahead, never waiting for the disk: an answered request
  // survives the process being killed, though not the machine losing power.
  m_database.Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;");
}

}  // namespace FacepadSim
