// The ledger: what facepadctl sent to each terminal and what the service
// answered, so that a sync sends only what changed, across runs and crashes.
//
// It knows what was sent, not what a terminal holds. Per service (host and
// port as given), terminal and certnum it keeps a digest of the fields last
// confirmed and of the photo's bytes, never the values; every request in
// flight, committed before the request is posted; and the persons a request
// was sent for whose result never came: they are maybe held, until an
// answer says whether they are. SQLite in WAL mode with
// synchronous=NORMAL: a crash loses at most the answers in flight.
#ifndef FACEPADCTL_LEDGER_H
#define FACEPADCTL_LEDGER_H

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Digest.h"
#include "PersonInput.h"
#include "Sqlite.h"

namespace Facepadctl {

using FacepadCommon::Sqlite::Database;
using FacepadCommon::Sqlite::Statement;
using FacepadCommon::Sqlite::Transaction;
using DatabaseError = FacepadCommon::Sqlite::Error;

// The ledger cannot be used; the message names its path and why.
class LedgerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file is damaged, or is not a ledger at all: running again cannot help,
// a person must move it aside. Nothing was written to it.
class LedgerUnusable : public LedgerError {
 public:
  using LedgerError::LedgerError;
};

// What a request asks of the terminal.
enum class Action { Add, Update, Photo, Delete };
const char* ActionName(Action action);  // "add", "update", "photo", "delete"

struct Request {
  std::string id;
  std::int64_t terminal = 0;
  std::string certnum;
  Action action = Action::Add;
  std::optional<Digest> fields;  // what an add or update carries
  std::optional<Digest> photo;   // what an add or photo carries
  // No answer came in time and its person was counted maybe held; kept so
  // that an answer coming later still tells that it was carried out.
  bool givenUp = false;
};

// What an answer tells of the person a request was for.
enum class Change {
  None,         // nothing learnt: the request may be sent again
  Confirmed,    // the request was carried out: the terminal holds what it carried
  HeldUnknown,  // the terminal holds the person, with a record not known
  NotHeld,      // the terminal does not hold the person
  MaybeHeld,    // the terminal may or may not hold the person, record unknown
};

struct Settlement {
  Request request;
  Change change = Change::None;
  std::string code;  // the result code; empty when the request was not accepted
};

struct TerminalSummary {
  std::string service;
  std::string sn;
  std::int64_t persons = 0;  // held or maybe held
  std::int64_t maybeHeld = 0;
  std::int64_t inFlight = 0;
  std::vector<std::pair<std::string, std::int64_t>> codes;  // result code, times seen
};

// A person of a terminal whose state the ledger does not know for sure.
struct Unsettled {
  std::string service;
  std::string sn;
  std::string certnum;
  bool maybeHeld = false;  // else: a request to the person is in flight
  std::string requestId;   // the request in flight, or the one given up on; empty if gone
  std::optional<Action> action;
  std::int64_t sent = 0;  // when the request was committed, Unix time
};

class Ledger {
 public:
  // $XDG_STATE_HOME/facepadctl/ledger.db, else ~/.local/state/facepadctl/
  // ledger.db; empty when neither variable is set.
  static std::string DefaultPath();
  // Whether something is at `path` (a ledger, or what a refusal names).
  static bool Exists(const std::string& path);

  enum class Access { Write, ReadOnly };
  // Opens the ledger at `path`, making it (mode 0600) when it is not there.
  // `makeFolder` makes its folder too (mode 0700): for the default path.
  // Refuses a symbolic link or anything but a regular file, and throws
  // LedgerUnusable, before writing anything, for a file that is damaged or
  // not a ledger. ReadOnly writes nothing (not even the schema's upgrade),
  // and takes a ledger that must be there.
  Ledger(const std::string& path, bool makeFolder, Access access = Access::Write);
  ~Ledger();
  Ledger(const Ledger&) = delete;
  Ledger& operator=(const Ledger&) = delete;

  const std::string& Path() const { return m_path; }

  // Holds the ledger's lock until destruction; throws LedgerError naming
  // the pid of the process that holds it.
  void LockForWriting();

  // The terminal's key in the ledger, made when it is new.
  std::int64_t Terminal(const std::string& service, const std::string& sn);

  // Requests about to be posted, committed in one transaction.
  void Record(const std::vector<Request>& requests);
  // Requests that were not posted, or that the service refused.
  void Drop(const std::vector<std::string>& ids);
  // The request with this id, when it is in flight or given up on.
  std::optional<Request> Find(const std::string& id);
  // Answers, applied in one transaction.
  void Settle(const std::vector<Settlement>& settlements);
  // Requests whose answers did not come in time: each one's person is maybe
  // held, with a record not known. The request is kept, given up on, so
  // that its answer, should it come, is still heard; after a week it goes.
  void GiveUp(const std::vector<Request>& requests);
  // The requests in flight to `terminal`, those given up on aside.
  std::vector<Request> InFlightTo(std::int64_t terminal);
  // Whether a request to `terminal` was given up on and may still be answered.
  bool AnyGivenUp(std::int64_t terminal);

  // A photo's digest, when the file's identity is the one hashed last time.
  std::optional<Digest> CachedPhoto(const std::string& path, const FileIdentity& identity);
  void CachePhoto(const std::string& path, const FileIdentity& identity, Digest digest);

  std::vector<TerminalSummary> Summaries(const std::string& sn);
  // The persons of the terminals `sn` with a request in flight or maybe held.
  std::vector<Unsettled> UnsettledOf(const std::string& sn);
  // Forgets the terminal `sn` on every service; returns the services.
  std::vector<std::string> Forget(const std::string& sn);

  // The connection, for the roster and the plan, which live beside the
  // ledger's tables as temporary ones. Every use holds Hold()'s lock: the
  // services of a run share the ledger from their own threads.
  Database& Db() { return *m_database; }
  std::unique_lock<std::recursive_mutex> Hold() {
    return std::unique_lock<std::recursive_mutex>(m_mutex);
  }

 private:
  // Opens without writing anything; in a folder no one may write, as never
  // changing.
  void OpenReadOnly();

  std::string m_path;
  std::unique_ptr<Database> m_database;
  std::int64_t m_version = 0;  // the schema's, as opened
  int m_lockFile = -1;
  std::recursive_mutex m_mutex;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_LEDGER_H
