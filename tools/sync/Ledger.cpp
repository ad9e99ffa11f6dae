#include "Ledger.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <system_error>

namespace Facepadctl {
namespace {

constexpr int kSchemaVersion = 2;
// Marks an SQLite file as a ledger ("FPCL"); ledgers of schema 1 predate it.
constexpr std::int64_t kApplicationId = 0x4650434C;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS terminals(
  id INTEGER PRIMARY KEY,
  service TEXT NOT NULL,           -- host:port as given
  sn TEXT NOT NULL,
  UNIQUE(service, sn));
CREATE TABLE IF NOT EXISTS persons(
  terminal INTEGER NOT NULL REFERENCES terminals(id) ON DELETE CASCADE,
  certnum TEXT NOT NULL,
  fields INTEGER,                  -- digest of the fields confirmed; NULL: record unknown
  photo INTEGER,                   -- digest of the photo confirmed; NULL: none known
  maybe INTEGER NOT NULL DEFAULT 0,  -- 1: a request's result never came; it may not be held
  PRIMARY KEY(terminal, certnum)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS requests(
  id TEXT PRIMARY KEY,
  terminal INTEGER NOT NULL REFERENCES terminals(id) ON DELETE CASCADE,
  certnum TEXT NOT NULL,
  action INTEGER NOT NULL,         -- 0 add, 1 update, 2 photo, 3 delete
  fields INTEGER,
  photo INTEGER,
  sent INTEGER NOT NULL,           -- Unix time
  given_up INTEGER NOT NULL DEFAULT 0);  -- 1: no answer came in time; its person is maybe held
CREATE INDEX IF NOT EXISTS requests_by_terminal ON requests(terminal);
CREATE TABLE IF NOT EXISTS codes(
  terminal INTEGER NOT NULL REFERENCES terminals(id) ON DELETE CASCADE,
  code TEXT NOT NULL,
  count INTEGER NOT NULL,
  last INTEGER NOT NULL,           -- Unix time
  PRIMARY KEY(terminal, code)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS photo_files(
  path TEXT PRIMARY KEY,
  size INTEGER NOT NULL, device INTEGER NOT NULL, inode INTEGER NOT NULL, mtime INTEGER NOT NULL,
  ctime INTEGER NOT NULL, digest INTEGER NOT NULL) WITHOUT ROWID;
)sql";

std::string Why() {
  return std::generic_category().message(errno);
}

// Makes `folder` and its missing parents, each with mode 0700.
void MakeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      throw LedgerError("cannot make the ledger's folder " + part + ": " + Why());
    }
    if (slash == std::string::npos) return;
  }
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the file with mode 0600 when it is not there; refuses anything but
// a regular file of one name, a symbolic link included.
void CheckOrMakeFile(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0) {
    if (S_ISLNK(status.st_mode)) {
      throw LedgerError("the ledger " + path +
                        " is a symbolic link; give the file it points to with --ledger");
    }
    if (!S_ISREG(status.st_mode)) throw LedgerError("the ledger " + path + " is not a file");
    // A ledger is written whole on its first open, and locked before a run
    // sends anything: one with no bytes beside its lock file was cut short.
    // Taken as new, it would forget whom the terminals hold. (Without a lock
    // file, its first run ended before it sent anything.)
    if (status.st_size == 0 && Ledger::Exists(path + ".lock")) {
      throw LedgerUnusable("the ledger " + path +
                           " is empty: move it aside, and sync with --held-code to rebuild the "
                           "ledger (a rebuilt ledger cannot delete persons it never knew of)");
    }
    // SQLite keeps its journal, and the lock is kept, beside each name: two
    // runs by two names would both write the ledger.
    if (status.st_nlink > 1) {
      throw LedgerUnusable("the ledger " + path +
                           " has other names (hard links); give the ledger a name of its own");
    }
    return;
  }
  if (errno != ENOENT) throw LedgerError("cannot use the ledger " + path + ": " + Why());
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (file < 0) throw LedgerError("cannot make the ledger " + path + ": " + Why());
  close(file);
}

Request RequestFrom(const Statement& row) {
  Request request;
  request.id = row.Text(0);
  request.terminal = row.Int(1);
  request.certnum = row.Text(2);
  request.action = static_cast<Action>(row.Int(3));
  request.fields = row.OptionalInt(4);
  request.photo = row.OptionalInt(5);
  request.givenUp = row.Int(6) != 0;
  return request;
}

#define REQUEST_COLUMNS \
  "SELECT id, terminal, certnum, action, fields, photo, given_up FROM requests "
constexpr const char* kDeleteRequest = "DELETE FROM requests WHERE id = ?1";
constexpr const char* kFindRequest = REQUEST_COLUMNS "WHERE id = ?1";
constexpr const char* kRequestsToTerminal =
    REQUEST_COLUMNS "WHERE terminal = ?1 AND NOT given_up ORDER BY rowid";
constexpr const char* kMaybeHeld =
    "INSERT INTO persons(terminal, certnum, fields, photo, maybe) VALUES(?1, ?2, NULL, NULL, 1) "
    "ON CONFLICT DO UPDATE SET fields = NULL, photo = NULL, maybe = 1";
// How long a request given up on is kept for its answer.
constexpr std::int64_t kGivenUpSeconds = std::int64_t{7} * 24 * 3600;
#undef REQUEST_COLUMNS

}  // namespace

const char* ActionName(Action action) {
  switch (action) {
    case Action::Add:
      return "add";
    case Action::Update:
      return "update";
    case Action::Photo:
      return "photo";
    case Action::Delete:
      return "delete";
  }
  return "?";
}

std::string Ledger::DefaultPath() {
  // Read before any thread of the run starts.
  const char* state = std::getenv("XDG_STATE_HOME");  // NOLINT(concurrency-mt-unsafe)
  if (state != nullptr && state[0] == '/') return std::string(state) + "/facepadctl/ledger.db";
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/state/facepadctl/ledger.db";
  }
  return {};
}

bool Ledger::Exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

namespace {

// SQLite finds no database in the file, or a damaged one: only rebuilding
// the ledger helps. Other errors (a file or folder that cannot be written,
// say) leave the ledger whole.
bool Damaged(const DatabaseError& error) {
  const int primary = error.PrimaryCode();
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// The error of a ledger in a file or folder that cannot be written.
bool CannotWrite(const DatabaseError& error) {
  const int primary = error.PrimaryCode();
  return primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY || primary == SQLITE_PERM;
}

std::int64_t Pragma(Database& db, const char* name) {
  Statement pragma = db.Prepare(std::string("PRAGMA ") + name);
  return pragma.Step() ? pragma.Int(0) : 0;
}

// What the file holds, read before anything is written to it: the schema's
// version, 0 for a file with nothing in it yet. Throws LedgerUnusable for a
// damaged file, another program's database or a newer ledger, and
// DatabaseError for a ledger it cannot read for another reason.
std::int64_t LedgerVersion(Database& db, const std::string& path) {
  const std::string rebuild =
      ": move it aside, and sync with --held-code to rebuild the ledger (a rebuilt ledger "
      "cannot delete persons it never knew of)";
  const std::string another = ": give --ledger the path of a ledger, or of a file not there yet";
  try {
    Statement check = db.Prepare("PRAGMA quick_check(1)");
    if (!check.Step() || check.Text(0) != "ok") {
      throw LedgerUnusable("the ledger " + path + " is damaged" + rebuild);
    }
    const std::int64_t application = Pragma(db, "application_id");
    const std::int64_t version = Pragma(db, "user_version");
    Statement tables = db.Prepare(
        "SELECT count(*), count(*) FILTER (WHERE name IN ('terminals', 'persons', 'requests')) "
        "FROM sqlite_master WHERE type = 'table'");
    tables.Step();
    const bool empty = tables.Int(0) == 0;
    const bool firstSchema = version == 1 && tables.Int(1) == 3;
    if (application != kApplicationId && !(application == 0 && (empty || firstSchema))) {
      throw LedgerUnusable(path + " is an SQLite database, but not a facepadctl ledger" + another);
    }
    if (version > kSchemaVersion) {
      throw LedgerUnusable("the ledger " + path + " was written by a newer facepadctl (schema " +
                           std::to_string(version) + ")");
    }
    return empty ? 0 : version;
  } catch (const DatabaseError& error) {
    if (!Damaged(error)) throw;
    throw LedgerUnusable("the ledger " + path + " cannot be read (" + error.what() + ")" + rebuild);
  }
}

// `path` as an SQLite URI that opens it as never changing: for a ledger in
// a folder no one may write, where SQLite cannot make the shared-memory file
// that reading a WAL database otherwise needs.
std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c;
    }
  }
  return uri + "?immutable=1";
}

}  // namespace

void Ledger::OpenReadOnly() {
  // SQLite calls a folder a "disk I/O error".
  struct stat status {};
  if (stat(m_path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    throw LedgerError("the ledger " + m_path + " is not a file");
  }
  try {
    m_database = std::make_unique<Database>(m_path, SQLITE_OPEN_READONLY);
    m_version = LedgerVersion(*m_database, m_path);
  } catch (const DatabaseError& error) {
    if (!CannotWrite(error)) throw;
    m_database =
        std::make_unique<Database>(ImmutableUri(m_path), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    m_version = LedgerVersion(*m_database, m_path);
  }
  if (m_version == 0) throw LedgerUnusable("the ledger " + m_path + " is empty");
  m_database->Execute("PRAGMA query_only=ON");
}

Ledger::Ledger(const std::string& path, bool makeFolder, Access access) : m_path(path) {
  if (access == Access::ReadOnly) {
    try {
      OpenReadOnly();
      return;
    } catch (const DatabaseError& error) {
      throw LedgerError("cannot use the ledger " + path + ": " + error.what());
    }
  }
  if (makeFolder) MakeFolders(Folder(path));
  CheckOrMakeFile(path);
  try {
    m_database = std::make_unique<Database>(path, SQLITE_OPEN_READWRITE);
    Database& db = *m_database;
    m_version = LedgerVersion(db, path);
    db.Execute(
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;"
        "PRAGMA temp_store=FILE; PRAGMA cache_size=-8192");
    Transaction transaction(db);
    // Version 1 knew no maybe-held persons (each it holds is held) and gave
    // up on no request.
    if (m_version == 1) {
      db.Execute(
          "ALTER TABLE persons ADD COLUMN maybe INTEGER NOT NULL DEFAULT 0;"
          "ALTER TABLE requests ADD COLUMN given_up INTEGER NOT NULL DEFAULT 0");
    }
    db.Execute(kSchema);
    db.Execute(("PRAGMA user_version=" + std::to_string(kSchemaVersion) +
                "; PRAGMA application_id=" + std::to_string(kApplicationId))
                   .c_str());
    transaction.Commit();
    m_version = kSchemaVersion;
  } catch (const DatabaseError& error) {
    throw LedgerError("cannot use the ledger " + path + ": " + error.what());
  }
}

Ledger::~Ledger() {
  m_database.reset();
  if (m_lockFile >= 0) close(m_lockFile);  // releases the lock
}

void Ledger::LockForWriting() {
  const std::string lockPath = m_path + ".lock";
  m_lockFile = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (m_lockFile < 0) throw LedgerError("cannot lock the ledger with " + lockPath + ": " + Why());
  if (flock(m_lockFile, LOCK_EX | LOCK_NB) != 0) {
    char pid[32] = {};
    const ssize_t read = pread(m_lockFile, pid, sizeof pid - 1, 0);
    std::string holder = read > 0 ? std::string(pid, static_cast<std::size_t>(read)) : "";
    holder.erase(holder.find_last_not_of("\n ") + 1);
    throw LedgerError("the ledger " + m_path + " is in use by another facepadctl" +
                      (holder.empty() ? "" : " (pid " + holder + ")") + "; wait for it to end");
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(m_lockFile, 0) != 0 ||
      pwrite(m_lockFile, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The pid only makes a refusal clearer; the lock holds without it.
  }
}

std::int64_t Ledger::Terminal(const std::string& service, const std::string& sn) {
  auto lock = Hold();
  Statement insert = m_database->Prepare(
      "INSERT INTO terminals(service, sn) VALUES(?1, ?2) ON CONFLICT DO NOTHING");
  insert.Bind(1, service).Bind(2, sn).Run();
  Statement find = m_database->Prepare("SELECT id FROM terminals WHERE service = ?1 AND sn = ?2");
  find.Bind(1, service).Bind(2, sn);
  if (!find.Step()) throw LedgerError("the ledger " + m_path + " lost a terminal");
  return find.Int(0);
}

void Ledger::Record(const std::vector<Request>& requests) {
  if (requests.empty()) return;
  auto lock = Hold();
  Transaction transaction(*m_database);
  const auto insert = m_database->Prepared(
      "INSERT OR REPLACE INTO requests(id, terminal, certnum, action, fields, photo, sent) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  for (const Request& request : requests) {
    insert->Bind(1, request.id)
        .Bind(2, request.terminal)
        .Bind(3, request.certnum)
        .Bind(4, static_cast<std::int64_t>(request.action))
        .Bind(5, request.fields)
        .Bind(6, request.photo)
        .Bind(7, now)
        .Run();
  }
  transaction.Commit();
}

void Ledger::Drop(const std::vector<std::string>& ids) {
  if (ids.empty()) return;
  auto lock = Hold();
  Transaction transaction(*m_database);
  const auto remove = m_database->Prepared(kDeleteRequest);
  for (const std::string& id : ids) remove->Bind(1, id).Run();
  transaction.Commit();
}

std::optional<Request> Ledger::Find(const std::string& id) {
  auto lock = Hold();
  const auto find = m_database->Prepared(kFindRequest);
  find->Bind(1, id);
  if (!find->Step()) return std::nullopt;
  return RequestFrom(*find);
}

void Ledger::Settle(const std::vector<Settlement>& settlements) {
  if (settlements.empty()) return;
  auto lock = Hold();
  Database& db = *m_database;
  Transaction transaction(db);
  const auto remove = db.Prepared(kDeleteRequest);
  const auto held = db.Prepared(
      "INSERT INTO persons(terminal, certnum, fields, photo) VALUES(?1, ?2, ?3, ?4) "
      "ON CONFLICT DO UPDATE SET fields = excluded.fields, photo = excluded.photo, maybe = 0");
  const auto fields =
      db.Prepared("UPDATE persons SET fields = ?3, maybe = 0 WHERE terminal = ?1 AND certnum = ?2");
  const auto photo =
      db.Prepared("UPDATE persons SET photo = ?3, maybe = 0 WHERE terminal = ?1 AND certnum = ?2");
  const auto gone = db.Prepared("DELETE FROM persons WHERE terminal = ?1 AND certnum = ?2");
  const auto maybe = db.Prepared(kMaybeHeld);
  const auto code = db.Prepared(
      "INSERT INTO codes(terminal, code, count, last) VALUES(?1, ?2, ?3, ?4) "
      "ON CONFLICT DO UPDATE SET count = count + excluded.count, last = excluded.last");
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  // The codes seen, counted per terminal and code: one row written for each
  // rather than one per answer.
  std::map<std::pair<std::int64_t, std::string>, std::int64_t> codes;
  for (const Settlement& settlement : settlements) {
    const Request& request = settlement.request;
    remove->Bind(1, request.id).Run();
    if (!settlement.code.empty()) ++codes[{request.terminal, settlement.code}];
    const auto person = [&](const Database::Cached& statement) -> Statement& {
      return statement->Bind(1, request.terminal).Bind(2, request.certnum);
    };
    switch (settlement.change) {
      case Change::None:
        break;
      case Change::HeldUnknown:
        person(held).BindNull(3).BindNull(4).Run();
        break;
      case Change::NotHeld:
        person(gone).Run();
        break;
      case Change::MaybeHeld:
        person(maybe).Run();
        break;
      case Change::Confirmed:
        if (request.action == Action::Add) {
          person(held).Bind(3, request.fields).Bind(4, request.photo).Run();
        } else if (request.action == Action::Update) {
          person(fields).Bind(3, request.fields).Run();
        } else if (request.action == Action::Photo) {
          person(photo).Bind(3, request.photo).Run();
        } else {
          person(gone).Run();
        }
        break;
    }
  }
  for (const auto& [key, count] : codes) {
    code->Bind(1, key.first).Bind(2, key.second).Bind(3, count).Bind(4, now).Run();
  }
  transaction.Commit();
}

void Ledger::GiveUp(const std::vector<Request>& requests) {
  auto lock = Hold();
  Database& db = *m_database;
  Transaction transaction(db);
  const auto givenUp = db.Prepared("UPDATE requests SET given_up = 1 WHERE id = ?1");
  const auto maybe = db.Prepared(kMaybeHeld);
  for (const Request& request : requests) {
    givenUp->Bind(1, request.id).Run();
    maybe->Bind(1, request.terminal).Bind(2, request.certnum).Run();
  }
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  db.Prepare("DELETE FROM requests WHERE given_up AND sent < ?1")
      .Bind(1, now - kGivenUpSeconds)
      .Run();
  transaction.Commit();
}

std::vector<Request> Ledger::InFlightTo(std::int64_t terminal) {
  auto lock = Hold();
  Statement find = m_database->Prepare(kRequestsToTerminal);
  find.Bind(1, terminal);
  std::vector<Request> requests;
  while (find.Step()) requests.push_back(RequestFrom(find));
  return requests;
}

bool Ledger::AnyGivenUp(std::int64_t terminal) {
  auto lock = Hold();
  Statement find =
      m_database->Prepare("SELECT 1 FROM requests WHERE terminal = ?1 AND given_up LIMIT 1");
  find.Bind(1, terminal);
  return find.Step();
}

std::optional<Digest> Ledger::CachedPhoto(const std::string& path, const FileIdentity& identity) {
  auto lock = Hold();
  // Asked once per roster row: kept prepared.
  const auto find = m_database->Prepared(
      "SELECT digest FROM photo_files WHERE path = ?1 AND size = ?2 AND device = ?3 AND "
      "inode = ?4 AND mtime = ?5 AND ctime = ?6");
  find->Bind(1, path)
      .Bind(2, static_cast<std::int64_t>(identity.size))
      .Bind(3, static_cast<std::int64_t>(identity.device))
      .Bind(4, static_cast<std::int64_t>(identity.inode))
      .Bind(5, identity.mtimeNs)
      .Bind(6, identity.ctimeNs);
  if (!find->Step()) return std::nullopt;
  return find->Int(0);
}

void Ledger::CachePhoto(const std::string& path, const FileIdentity& identity, Digest digest) {
  auto lock = Hold();
  m_database
      ->Prepared(
          "INSERT OR REPLACE INTO photo_files(path, size, device, inode, mtime, ctime, digest) "
          "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)")
      ->Bind(1, path)
      .Bind(2, static_cast<std::int64_t>(identity.size))
      .Bind(3, static_cast<std::int64_t>(identity.device))
      .Bind(4, static_cast<std::int64_t>(identity.inode))
      .Bind(5, identity.mtimeNs)
      .Bind(6, identity.ctimeNs)
      .Bind(7, digest)
      .Run();
}

std::vector<TerminalSummary> Ledger::Summaries(const std::string& sn) {
  auto lock = Hold();
  Database& db = *m_database;
  // A ledger of schema 1, opened read-only, is read as it is: it knew no
  // maybe-held persons nor requests given up on.
  const bool first = m_version == 1;
  const std::string sql =
      std::string(
          "SELECT t.id, t.service, t.sn, "
          "(SELECT count(*) FROM persons p WHERE p.terminal = t.id), ") +
      (first ? "0, " : "(SELECT count(*) FROM persons p WHERE p.terminal = t.id AND p.maybe), ") +
      "(SELECT count(*) FROM requests r WHERE r.terminal = t.id" +
      (first ? "" : " AND NOT r.given_up") +
      ") FROM terminals t WHERE ?1 = '' OR t.sn = ?1 ORDER BY t.service, t.sn";
  Statement terminals = db.Prepare(sql);
  terminals.Bind(1, sn);
  Statement codes =
      db.Prepare("SELECT code, count FROM codes WHERE terminal = ?1 ORDER BY last DESC, code");
  std::vector<TerminalSummary> summaries;
  while (terminals.Step()) {
    TerminalSummary summary{terminals.Text(1), terminals.Text(2), terminals.Int(3),
                            terminals.Int(4),  terminals.Int(5),  {}};
    codes.Bind(1, terminals.Int(0));
    while (codes.Step()) summary.codes.emplace_back(codes.Text(0), codes.Int(1));
    codes.Reset();
    summaries.push_back(std::move(summary));
  }
  return summaries;
}

std::vector<Unsettled> Ledger::UnsettledOf(const std::string& sn) {
  auto lock = Hold();
  std::vector<Unsettled> found;
  if (m_version < 2) {  // schema 1, read as it is: requests in flight only
    Statement requests = m_database->Prepare(
        "SELECT t.service, t.sn, r.certnum, r.id, r.action, r.sent FROM requests r "
        "JOIN terminals t ON t.id = r.terminal WHERE t.sn = ?1 ORDER BY 1, 3, 6");
    requests.Bind(1, sn);
    while (requests.Step()) {
      found.push_back({requests.Text(0), requests.Text(1), requests.Text(2), false,
                       requests.Text(3), static_cast<Action>(requests.Int(4)), requests.Int(5)});
    }
    return found;
  }
  // Maybe held with the request given up on, if it is still kept; in flight.
  Statement persons = m_database->Prepare(
      "SELECT t.service, t.sn, p.certnum, 1, r.id, r.action, r.sent FROM persons p "
      "JOIN terminals t ON t.id = p.terminal LEFT JOIN requests r ON r.terminal = p.terminal "
      "AND r.certnum = p.certnum AND r.given_up WHERE t.sn = ?1 AND p.maybe "
      "UNION ALL SELECT t.service, t.sn, r.certnum, 0, r.id, r.action, r.sent FROM requests r "
      "JOIN terminals t ON t.id = r.terminal WHERE t.sn = ?1 AND NOT r.given_up "
      "ORDER BY 1, 3, 4, 7");
  persons.Bind(1, sn);
  while (persons.Step()) {
    const std::optional<std::int64_t> action = persons.OptionalInt(5);
    found.push_back({persons.Text(0), persons.Text(1), persons.Text(2), persons.Int(3) != 0,
                     persons.Text(4),
                     action ? std::optional<Action>(static_cast<Action>(*action)) : std::nullopt,
                     persons.OptionalInt(6).value_or(0)});
  }
  return found;
}

std::vector<std::string> Ledger::Forget(const std::string& sn) {
  auto lock = Hold();
  Database& db = *m_database;
  Transaction transaction(db);
  Statement find = db.Prepare("SELECT service FROM terminals WHERE sn = ?1 ORDER BY service");
  find.Bind(1, sn);
  std::vector<std::string> services;
  while (find.Step()) services.push_back(find.Text(0));
  db.Prepare("DELETE FROM terminals WHERE sn = ?1").Bind(1, sn).Run();
  transaction.Commit();
  return services;
}

}  // namespace Facepadctl
