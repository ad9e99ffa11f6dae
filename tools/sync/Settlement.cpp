// What a result says of the person its request was for: the ledger's
// change, the line printed, and the follow-up sent in the same run.
#include <algorithm>

#include "ServiceSync.h"

namespace Facepadctl {
namespace {

using Clock = std::chrono::steady_clock;

bool Listed(const std::vector<std::string>& codes, const std::string& code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// What `code` tells of the person `request` was for, by the codes the
// operator named.
Change Meaning(const Request& request, const std::string& code, const SyncSettings& settings) {
  if (Listed(settings.doneCodes, code)) return Change::Confirmed;
  if (request.action == Action::Add) {
    return Listed(settings.heldCodes, code) ? Change::HeldUnknown : Change::None;
  }
  if (!Listed(settings.absentCodes, code)) return Change::None;
  // A delete of a person not held is done; an update or a photo learns
  // that the person is not there.
  return request.action == Action::Delete ? Change::Confirmed : Change::NotHeld;
}

}  // namespace

Settlement ServiceSync::Decide(const Job& job, const std::string& code,
                               std::vector<FollowUp>& followUps, std::vector<Told>& told) {
  const Request& request = job.request;
  TerminalReport& report = *job.report;
  const auto followUp = [&](Action action) {
    if (!m_followedUp.emplace(request.terminal, request.certnum, action).second) return false;
    followUps.push_back({&report, action, job.line, request.certnum});
    ++report.steps;
    return true;
  };
  Settlement settlement{request, Meaning(request, code, m_settings), code};
  Status status = Status::Result;
  std::string detail;
  switch (settlement.change) {
    case Change::Confirmed:
      status = Status::Done;
      ++report.done;
      if (!Listed(m_settings.doneCodes, code)) detail = "the terminal did not hold this person";
      break;
    case Change::HeldUnknown: {
      // An add of a person no longer on the roster (line 0) cannot happen:
      // adds come from roster rows.
      ++report.held;
      status = Status::Held;
      detail = "the terminal already holds this person";
      const bool updating = followUp(Action::Update);
      if (updating && job.photo) followUp(Action::Photo);
      if (updating) {
        detail += ": updating it";
      } else {
        ++report.left;  // its update already failed once in this run
      }
      break;
    }
    case Change::NotHeld:
      ++report.absent;
      status = Status::Absent;
      detail = "the terminal does not hold this person";
      // An update's and a photo's "not held" both ask for the one add,
      // which carries the photo.
      detail += followUp(Action::Add) ? ": adding it" : ": the add under way carries it";
      break;
    case Change::MaybeHeld:  // given to requests without an answer, never by one
    case Change::None:
      // A person maybe held stays so until a code settles it; without
      // --absent-code, only the operator can say which code does.
      if (!job.maybeHeld || !m_settings.absentCodes.empty()) {
        ++report.left;
        ++report.codes[code];
      }
      (request.action == Action::Add ? report.addCodes : report.otherCodes).insert(code);
      break;
  }
  ++report.finished;
  told.push_back({request, code, std::move(detail), &report, job.line, status});
  return settlement;
}

void ServiceSync::MatchEarlier(const std::vector<const Result*>& results,
                               std::vector<Settlement>& settlements,
                               std::vector<Settlement>& givenUp) {
  for (const Result* result : results) {
    // An earlier run's request: its answer settles the ledger; the plan,
    // made afterwards, sends whatever it leaves to do.
    const std::optional<Request> earlier = m_ledger.Find(result->id);
    if (!earlier || SnOf(earlier->terminal) != result->sn) continue;
    Change change = Meaning(*earlier, result->code, m_settings);
    std::string detail = "the answer to request " + result->id + " of an earlier run";
    if (earlier->givenUp) {
      // Carried out after all, at a time not known against what was sent
      // since: its person is maybe held again. A code that says it changed
      // nothing changes nothing.
      const bool changed = Listed(m_settings.doneCodes, result->code) || change == Change::None;
      change = changed ? Change::MaybeHeld : Change::None;
      detail += ", given up on" + std::string(changed ? ": the person is maybe held again" : "");
    }
    if (TerminalReport* report = ReportFor(earlier->terminal)) {
      Say(report->sn, *earlier, 0,
          Listed(m_settings.doneCodes, result->code) ? Status::Done : Status::Result, result->code,
          detail);
    }
    (earlier->givenUp ? givenUp : settlements).push_back({*earlier, change, result->code});
  }
}

// What the results say is decided under m_mutex; the ledger is read and
// written, the follow-ups are made (their photos read and encoded) and the
// lines printed with it let go, so that the senders go on meanwhile. A request leaves
// m_pending before its settlement is written, and another answer to it is
// then taken for a repeat, never for an earlier run's: the ledger takes
// each answer once.
std::size_t ServiceSync::Match(const std::vector<Result>& results, bool lateOnly) {
  if (results.empty()) return 0;
  const OutputBatch lines;
  std::vector<const Result*> others;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Result& result : results) {
      // A request of this run not pending was settled or dropped: another
      // answer to it is a repeat.
      const bool pending = !lateOnly && m_pending.count(result.id) != 0;
      if (!pending && !OfThisRun(result.id)) others.push_back(&result);
    }
  }
  // Answers to earlier runs' requests first, then this run's in the order
  // they were made: a later request's answer is the newer word on a person.
  // Last, the answers to requests given up on, whose moment is not known.
  std::vector<Settlement> settlements;
  std::vector<Settlement> givenUp;
  MatchEarlier(others, settlements, givenUp);
  std::vector<FollowUp> followUps;
  std::vector<Told> told;
  std::string otherSn;  // a result for a request of ours, under another serial number
  if (!lateOnly) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::pair<std::int64_t, const Result*>> ours;
    for (const Result& result : results) {
      const auto pending = m_pending.find(result.id);
      if (pending == m_pending.end() || pending->second.answered) continue;
      if (pending->second.job.report->sn == result.sn) {
        ours.emplace_back(pending->second.job.order, &result);
      } else if (!m_toldOtherSn) {
        m_toldOtherSn = true;  // once a run: such a service writes every result so
        otherSn = "the result of request " + result.id + " came under the serial number " +
                  result.sn + ", not " + pending->second.job.report->sn;
      }
    }
    std::sort(ours.begin(), ours.end());
    for (const auto& [order, result] : ours) {
      const auto pending = m_pending.find(result->id);
      if (pending == m_pending.end() || pending->second.answered) continue;  // a repeat
      settlements.push_back(Decide(pending->second.job, result->code, followUps, told));
      m_lastHeard = m_lastResult = Clock::now();
      if (pending->second.posted) {
        --m_awaiting;
        m_pending.erase(pending);
      } else {
        pending->second.answered = true;  // its post has not returned yet
      }
    }
    m_roomFreed.notify_one();
    if (Stopping()) {
      for (const FollowUp& followUp : followUps) {
        --followUp.report->steps;
        m_followedUp.erase({followUp.report->terminal, followUp.certnum, followUp.action});
      }
      followUps.clear();
    }
  }
  for (const Told& line : told) {
    Say(line.report->sn, line.request, line.line, line.status, line.result, line.detail);
  }
  if (!otherSn.empty()) {
    Note(m_service + ": " + otherSn +
         ": not taken, as no request of that terminal has its id (a terminal's serial number "
         "must be given as the service writes it)");
  }
  settlements.insert(settlements.end(), givenUp.begin(), givenUp.end());
  m_ledger.Settle(settlements);
  if (!followUps.empty()) {
    std::vector<Job> jobs;
    jobs.reserve(followUps.size());
    for (const FollowUp& followUp : followUps) {
      jobs.push_back(
          MakeJob(followUp.report, followUp.action, followUp.certnum, followUp.line, false));
    }
    Record(jobs);
    std::lock_guard<std::mutex> lock(m_mutex);
    Queue(std::move(jobs), true);
  }
  return settlements.size();
}

}  // namespace Facepadctl
