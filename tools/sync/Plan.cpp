#include "Plan.h"

namespace Facepadctl {
namespace {

// Persons of terminal ?1 with a request in flight are left out of the plan;
// requests given up on no longer count.
std::string NotInFlight(const char* certnum) {
  return std::string(
             " AND NOT EXISTS (SELECT 1 FROM requests q WHERE q.terminal = ?1 AND "
             "NOT q.given_up AND q.certnum = ") +
         certnum + ")";
}

// The valid roster rows whose person is not in flight to terminal ?1, each
// with its person there (p), if the ledger has one.
const std::string kRosterRows =
    " FROM roster r LEFT JOIN persons p ON p.terminal = ?1 AND p.certnum = r.certnum "
    "WHERE r.valid" +
    NotInFlight("r.certnum");
// What a row asks of the terminal. A photo dropped from the roster is left
// on the terminal: no request deletes one.
const std::string kToAdd = "p.certnum IS NULL";
const std::string kToUpdate =
    "p.certnum IS NOT NULL AND (p.fields IS NULL OR p.fields != r.fields)";
const std::string kToPhoto =
    "p.certnum IS NOT NULL AND r.photo IS NOT NULL AND (p.photo IS NULL OR p.photo != r.photo)";
// Each selects the steps of one action for terminal ?1, as rows of the plan.
const std::string kAdds =
    "SELECT ?1, 0, r.certnum, r.line, 0" + kRosterRows + " AND " + kToAdd + " ORDER BY r.line";
const std::string kUpdates = "SELECT ?1, 1, r.certnum, r.line, p.maybe" + kRosterRows + " AND " +
                             kToUpdate + " ORDER BY r.line";
const std::string kPhotos = "SELECT ?1, 2, r.certnum, r.line, p.maybe" + kRosterRows + " AND " +
                            kToPhoto + " ORDER BY r.line";
// The three counted in one pass over the roster.
const std::string kCounts = "SELECT count(*) FILTER (WHERE " + kToAdd +
                            "), count(*) FILTER (WHERE " + kToUpdate +
                            "), count(*) FILTER (WHERE " + kToPhoto + ")" + kRosterRows;
// A certnum on any row, a bad one included, keeps its person.
const std::string kOffRoster =
    " FROM persons p WHERE p.terminal = ?1 AND NOT EXISTS "
    "(SELECT 1 FROM roster r WHERE r.certnum = p.certnum)" +
    NotInFlight("p.certnum");
const std::string kDeletes =
    "SELECT ?1, 3, p.certnum, 0, p.maybe" + kOffRoster + " ORDER BY p.certnum";
// Maybe held and on a valid row: the plan settles them.
const std::string kMaybeOnRoster =
    "SELECT count(*) FROM persons p JOIN roster r ON r.certnum = p.certnum AND r.valid "
    "WHERE p.terminal = ?1 AND p.maybe" +
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
      "  action INTEGER NOT NULL, certnum TEXT NOT NULL, line INTEGER NOT NULL,"
      "  maybe INTEGER NOT NULL);"
      "CREATE INDEX IF NOT EXISTS temp.plan_by_terminal ON plan(terminal, seq);");
}

PlanCounts Plan::Add(std::int64_t terminal, const Roster& roster, const PruneRules& rules) {
  return Make(terminal, roster, rules, true);
}

PlanCounts Plan::Left(std::int64_t terminal, const Roster& roster, const PruneRules& rules) {
  return Make(terminal, roster, rules, false);
}

PlanCounts Plan::Make(std::int64_t terminal, const Roster& roster, const PruneRules& rules,
                      bool insert) {
  auto lock = m_ledger.Hold();
  Database& db = m_ledger.Db();
  PlanCounts counts;
  Transaction transaction(db);
  const auto steps = [&](const std::string& select) -> std::int64_t {
    if (!insert) return Count(db, "SELECT count(*) FROM (" + select + ")", terminal);
    db.Prepare(("INSERT INTO plan(terminal, action, certnum, line, maybe) " + select).c_str())
        .Bind(1, terminal)
        .Run();
    return static_cast<std::int64_t>(db.Changes());
  };
  if (insert) {
    counts.adds = steps(kAdds);
    counts.updates = steps(kUpdates);
    counts.photos = steps(kPhotos);
  } else {
    Statement count = db.Prepare(kCounts);
    count.Bind(1, terminal);
    if (count.Step()) {
      counts.adds = count.Int(0);
      counts.updates = count.Int(1);
      counts.photos = count.Int(2);
    }
  }
  counts.awaiting =
      Count(db, "SELECT count(*) FROM requests WHERE terminal = ?1 AND NOT given_up", terminal);
  counts.maybeHeld = Count(db, kMaybeOnRoster, terminal);
  if (!rules.prune) {
    counts.offRoster = Count(db, "SELECT count(*)" + kOffRoster, terminal);
  } else if (!roster.CertnumsComplete()) {
    counts.pruneOff = "a line's certnum could not be read";
  } else if (roster.Valid() == 0 && !rules.maxDeleteGiven) {
    counts.pruneOff = "the roster has no valid row; give --max-delete to delete anyway";
  } else {
    const std::int64_t candidates = Count(db, "SELECT count(*)" + kOffRoster, terminal);
    if (candidates > rules.maxDelete) {
      counts.deletesHeld = candidates;
    } else {
      counts.deletes = steps(kDeletes);
    }
  }
  // With pruning asked for, a person maybe held off the roster is one the
  // terminal may hold and must not: settled by its delete, or left.
  if (rules.prune)
    counts.maybeHeld += Count(db, "SELECT count(*)" + kOffRoster + " AND p.maybe", terminal);
  transaction.Commit();
  return counts;
}

std::vector<PlannedStep> Plan::Steps(std::int64_t terminal, std::int64_t afterSeq, int limit) {
  auto lock = m_ledger.Hold();
  // Asked once per batch: kept prepared.
  const auto find = m_ledger.Db().Prepared(
      "SELECT seq, action, certnum, line, maybe FROM plan WHERE terminal = ?1 AND seq > ?2 "
      "ORDER BY seq LIMIT ?3");
  find->Bind(1, terminal).Bind(2, afterSeq).Bind(3, static_cast<std::int64_t>(limit));
  std::vector<PlannedStep> steps;
  while (find->Step()) {
    steps.push_back({find->Int(0), static_cast<Action>(find->Int(1)), find->Text(2),
                     static_cast<int>(find->Int(3)), find->Int(4) != 0});
  }
  return steps;
}

}  // namespace Facepadctl
