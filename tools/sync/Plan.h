// The plan: for each terminal, what to send so that it holds the roster,
// computed by joining the roster with the ledger.
//
// A person the ledger does not hold is added; one whose fields changed, or
// whose record is not known, is updated; one whose photo bytes changed is
// sent the photo; with pruning, one the roster no longer names is deleted.
// A person maybe held (a request's result never came) is updated and sent
// the photo when on the roster, and deleted with pruning when not: the
// answers settle whether the terminal holds them. Persons with a request in
// flight wait for its result; bad rows change and delete no one.
#ifndef FACEPADCTL_PLAN_H
#define FACEPADCTL_PLAN_H

#include <cstdint>
#include <string>
#include <vector>

#include "Ledger.h"
#include "Roster.h"

namespace Facepadctl {

struct PruneRules {
  bool prune = false;
  int maxDelete = 100;
  bool maxDeleteGiven = false;  // --max-delete was on the command line
};

struct PlanCounts {
  std::int64_t adds = 0, updates = 0, photos = 0, deletes = 0;
  std::int64_t awaiting = 0;   // requests in flight
  std::int64_t maybeHeld = 0;  // persons maybe held that the plan settles or keeps
  std::int64_t offRoster = 0;  // without pruning: persons held that the roster does not name
  // Deletes that pruning would send, held back by --max-delete.
  std::int64_t deletesHeld = 0;
  // Why pruning is off for this run, when it was asked for.
  std::string pruneOff;

  std::int64_t Steps() const { return adds + updates + photos + deletes; }
  // The terminal holds exactly the roster, as far as the ledger knows: the
  // invariant a sync's exit 0 stands for.
  bool InLine() const {
    return Steps() == 0 && awaiting == 0 && maybeHeld == 0 && deletesHeld == 0 && pruneOff.empty();
  }
};

struct PlannedStep {
  std::int64_t seq = 0;  // the step's place in the plan
  Action action = Action::Add;
  std::string certnum;
  int line = 0;            // the roster line; 0 for a delete
  bool maybeHeld = false;  // the person may or may not be held
};

class Plan {
 public:
  explicit Plan(Ledger& ledger);

  // Plans the steps of `terminal`, after those already planned.
  PlanCounts Add(std::int64_t terminal, const Roster& roster, const PruneRules& rules);
  // What a plan made now would hold, planning nothing: after a run, what is
  // left.
  PlanCounts Left(std::int64_t terminal, const Roster& roster, const PruneRules& rules);

  // The steps of `terminal` after `afterSeq`, at most `limit` of them.
  std::vector<PlannedStep> Steps(std::int64_t terminal, std::int64_t afterSeq, int limit);

 private:
  PlanCounts Make(std::int64_t terminal, const Roster& roster, const PruneRules& rules,
                  bool insert);

  Ledger& m_ledger;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_PLAN_H
