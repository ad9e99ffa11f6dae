#include "Plan.h"

namespace Facepadctl {
namespace {

// Persons of terminal ?1 with a request in flight are left out of the plan.
std::string NotInFlight(const char* certnum) {
  return std::string(
             " AND NOT EXISTS (SELECT 1 FROM requests q WHERE q.terminal = ?1 AND "
             "q.certnum = ") +
         certnum + ")";
}

const std::string kAdds =
    "INSERT INTO plan(terminal, action, certnum, line) "
    "SELECT ?1, 0, r.certnum, r.line FROM roster r WHERE r.valid AND NOT EXISTS "
    "(SELECT 1 FROM persons p WHERE p.terminal = ?1 AND p.certnum = r.certnum)" +
    NotInFlight("r.certnum") + " ORDER BY r.line";
const std::string kUpdates =
    "INSERT INTO plan(terminal, action, certnum, line) "
    "SELECT ?1, 1, r.certnum, r.line FROM roster r JOIN persons p "
    "ON p.terminal = ?1 AND p.certnum = r.certnum "
    "WHERE r.valid AND (p.fields IS NULL OR p.fields != r.fields)" +
    NotInFlight("r.certnum") + " ORDER BY r.line";
// A photo dropped from the roster is left on the terminal: no request
// deletes one.
const std::string kPhotos =
    "INSERT INTO plan(terminal, action, certnum, line) "
    "SELECT ?1, 2, r.certnum, r.line FROM roster r JOIN persons p "
    "ON p.terminal = ?1 AND p.certnum = r.certnum "
    "WHERE r.valid AND r.photo IS NOT NULL AND (p.photo IS NULL OR p.photo != r.photo)" +
    NotInFlight("r.certnum") + " ORDER BY r.line";
// A certnum on any row, a bad one included, keeps its person.
const std::string kDeletesFrom =
    " FROM persons p WHERE p.terminal = ?1 AND NOT EXISTS "
    "(SELECT 1 FROM roster r WHERE r.certnum = p.certnum)" +
    NotInFlight("p.certnum");

std::int64_t Count(Database& db, const std::string& sql, std::int64_t terminal) {
  Statement count = db.Prepare(sql.c_str());
  count.Bind(1, terminal);
  return count.Step() ? count.Int(0) : 0;
}

}  // namespace

Plan::Plan(Ledger& ledger) : m_ledger(ledger) {
  auto lock = m_ledger.Hold();
  m_ledger.Db().Execute(
      "CREATE TEMP TABLE IF NOT EXISTS plan(seq INTEGER PRIMARY KEY, terminal INTEGER NOT NULL,"
      "  action INTEGER NOT NULL, certnum TEXT NOT NULL, line INTEGER NOT NULL);"
      "CREATE INDEX IF NOT EXISTS temp.plan_by_terminal ON plan(terminal, seq);");
}

PlanCounts Plan::Add(std::int64_t terminal, const Roster& roster, const PruneRules& rules) {
  auto lock = m_ledger.Hold();
  Database& db = m_ledger.Db();
  PlanCounts counts;
  Transaction transaction(db);
  const auto insert = [&](const std::string& sql) {
    db.Prepare(sql.c_str()).Bind(1, terminal).Run();
    return static_cast<std::int64_t>(db.Changes());
  };
  counts.adds = insert(kAdds);
  counts.updates = insert(kUpdates);
  counts.photos = insert(kPhotos);
  counts.awaiting = Count(db, "SELECT count(*) FROM requests WHERE terminal = ?1", terminal);
  if (rules.prune) {
    if (!roster.CertnumsComplete()) {
      counts.pruneOff = "a line's certnum could not be read, so no one is deleted";
    } else if (roster.Valid() == 0 && !rules.maxDeleteGiven) {
      counts.pruneOff = "the roster has no valid row; give --max-delete to delete anyway";
    } else {
      const std::int64_t candidates = Count(db, "SELECT count(*)" + kDeletesFrom, terminal);
      if (candidates > rules.maxDelete) {
        counts.deletesHeld = candidates;
      } else {
        counts.deletes =
            insert("INSERT INTO plan(terminal, action, certnum, line) SELECT ?1, 3, p.certnum, 0" +
                   kDeletesFrom + " ORDER BY p.certnum");
      }
    }
  }
  transaction.Commit();
  return counts;
}

std::vector<PlannedStep> Plan::Steps(std::int64_t terminal, std::int64_t afterSeq, int limit) {
  auto lock = m_ledger.Hold();
  Statement find = m_ledger.Db().Prepare(
      "SELECT seq, action, certnum, line FROM plan WHERE terminal = ?1 AND seq > ?2 "
      "ORDER BY seq LIMIT ?3");
  find.Bind(1, terminal).Bind(2, afterSeq).Bind(3, static_cast<std::int64_t>(limit));
  std::vector<PlannedStep> steps;
  while (find.Step()) {
    steps.push_back({find.Int(0), static_cast<Action>(find.Int(1)), find.Text(2),
                     static_cast<int>(find.Int(3))});
  }
  return steps;
}

std::vector<std::string> Plan::Awaiting(std::int64_t terminal) {
  auto lock = m_ledger.Hold();
  Statement find =
      m_ledger.Db().Prepare("SELECT certnum FROM requests WHERE terminal = ?1 ORDER BY rowid");
  find.Bind(1, terminal);
  std::vector<std::string> certnums;
  while (find.Step()) certnums.push_back(find.Text(0));
  return certnums;
}

}  // namespace Facepadctl
