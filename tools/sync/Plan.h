// The plan: for each terminal, what to send so that it holds the roster,
// computed by joining the roster with the ledger.
//
// A person the ledger does not hold is added; one whose fields changed is
// updated; one whose photo bytes changed is sent the photo; with pruning,
// one the roster no longer names is deleted. Persons with a request in
// flight wait for its result; bad rows change and delete no one.
#ifndef FACEPADCTL_PLAN_H
#define FACEPADCTL_PLAN_H

#include <cstdint>
#include <functional>
#include <string>

#include "Ledger.h"
#include "Roster.h"

namespace Facepadctl {

struct PruneRules {
  bool prune = false;
  int maxDelete = 100;
  bool maxDeleteGiven = false;  // --max-delete was on the command line
};

struct PlanCounts {
  std::int64_t adds = 0, updates = 0, photos = 0, deletes = 0, awaiting = 0;
  // Deletes that pruning would send, held back by --max-delete.
  std::int64_t deletesHeld = 0;
  // Why pruning is off for this run, when it was asked for.
  std::string pruneOff;

  std::int64_t Steps() const { return adds + updates + photos + deletes; }
};

struct PlannedStep {
  std::int64_t seq = 0;  // the step's place in the plan
  Action action = Action::Add;
  std::string certnum;
  int line = 0;  // the roster line; 0 for a delete
};

class Plan {
 public:
  explicit Plan(Ledger& ledger);

  // Plans the steps of `terminal`, after those already planned.
  PlanCounts Add(std::int64_t terminal, const Roster& roster, const PruneRules& rules);

  // The steps of `terminal` after `afterSeq`, at most `limit` of them.
  std::vector<PlannedStep> Steps(std::int64_t terminal, std::int64_t afterSeq, int limit);

  // The certnums of `terminal` with a request in flight.
  std::vector<std::string> Awaiting(std::int64_t terminal);

 private:
  Ledger& m_ledger;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_PLAN_H
