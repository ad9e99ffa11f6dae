#include "ServiceSync.h"

#include <algorithm>
#include <thread>

#include "Arguments.h"
#include "Base64.h"
#include "Output.h"
#include "Signals.h"

namespace Facepadctl {
namespace {

using Clock = std::chrono::steady_clock;
using Failure = ZR_Framework::Face::TerminalFace_ZR::Failure;
using ZR_Framework::Face::ParamMap;

// Steps read from the plan at a time, and committed to the ledger in one
// transaction before any of them is posted.
constexpr int kStepsPerBatch = 64;
// Sending holds back while this many requests await their results, so
// that neither the requests kept nor the service's answers to polls grow
// with the roster.
constexpr std::int64_t kMostAwaiting = 4000;
// After this many requests in a row that do not reach the service, the
// run stops sending to it: the service is gone.
constexpr int kUnreachableInARow = 10;
// Collecting earlier runs' answers ends when the polls of this long bring
// none of them.
constexpr auto kQuietPolls = std::chrono::milliseconds(1000);

bool Listed(const std::vector<std::string>& codes, const std::string& code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

void Say(const std::string& command, const std::string& sn, const Request& request, int line,
         Status status, const std::string& result = {}, const std::string& detail = {}) {
  Outcome outcome{command, sn, request.id};
  outcome.action = ActionName(request.action);
  outcome.line = line;
  outcome.certnum = request.certnum;
  outcome.status = status;
  outcome.result = result;
  outcome.detail = detail;
  Emit(outcome);
}

}  // namespace

ServiceSync::ServiceSync(Ledger& ledger, Roster& roster, const Globals& service,
                         const std::vector<std::string>& sns, const SyncSettings& settings)
    : m_ledger(ledger),
      m_roster(roster),
      m_plan(ledger),
      m_globals(service),
      m_settings(settings),
      m_service(service.host + ":" + std::to_string(service.port)),
      m_idPrefix(NewRequestId("sync") + "-") {
  for (const std::string& sn : sns) {
    auto report = std::make_unique<TerminalReport>();
    report->service = m_service;
    report->sn = sn;
    m_reports.push_back(std::move(report));
  }
}

ServiceSync::~ServiceSync() = default;

void ServiceSync::Run() {
  try {
    for (auto& report : m_reports) report->terminal = m_ledger.Terminal(m_service, report->sn);
    if (m_settings.planOnly) {
      PrintPlan();
    } else {
      RunSync();
    }
  } catch (const std::exception& error) {
    for (auto& report : m_reports) {
      if (report->unavailable.empty()) report->unavailable = error.what();
    }
  }
}

void ServiceSync::PrintPlan() {
  for (auto& report : m_reports) {
    report->plan = m_plan.Add(report->terminal, m_roster, m_settings.prune);
    for (std::int64_t after = 0;;) {
      const std::vector<PlannedStep> steps = m_plan.Steps(report->terminal, after, 256);
      if (steps.empty()) break;
      for (const PlannedStep& step : steps) {
        Request request;
        request.action = step.action;
        request.certnum = step.certnum;
        Say(m_settings.command, report->sn, request, step.line, Status::Planned);
        after = step.seq;
      }
    }
    for (const Request& request : m_ledger.InFlightTo(report->terminal)) {
      Say(m_settings.command, report->sn, request, 0, Status::Awaiting, {},
          "awaiting the result of request " + request.id);
    }
  }
}

bool ServiceSync::Probe(Adaptor& adaptor) {
  ParamMap none;
  if (adaptor.GetAvailableFace(none)) return true;
  const std::string why =
      "the service at " + m_service + " is not available: " + FailureText(Adaptor::LastFailure());
  for (auto& report : m_reports) report->unavailable = why;
  return false;
}

void ServiceSync::RunSync() {
  auto adaptor = std::make_unique<Adaptor>(m_globals, m_settings.waitSeconds > 0);
  const std::shared_ptr<ResultBoard> board = adaptor->Board();
  const bool available = Probe(*adaptor);
  if (available) Recover(*adaptor);
  if (g_interrupted) return;
  for (auto& report : m_reports) {
    report->plan = m_plan.Add(report->terminal, m_roster, m_settings.prune);
    report->steps = report->plan.Steps();
    if (!available) report->notSent = report->plan.Steps();
  }
  if (!available) return;

  m_lastHeard = Clock::now();
  {
    std::vector<std::thread> threads;
    const auto stopAndJoin = [&] {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_over = true;
      }
      m_jobReady.notify_all();
      m_roomFreed.notify_all();
      for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
      }
    };
    try {
      threads.emplace_back([this] { Produce(); });
      for (int j = 0; j < m_settings.jobs; ++j) {
        threads.emplace_back([this, &adaptor] { SendJobs(*adaptor); });
      }
    } catch (...) {
      stopAndJoin();
      throw;
    }
    const auto patience = Milliseconds(m_settings.waitSeconds);
    bool toldWaiting = false;
    for (;;) {
      Match(adaptor->TakeResults(std::chrono::milliseconds(100)), false);
      std::lock_guard<std::mutex> lock(m_mutex);
      if (Stopping()) m_jobReady.notify_all();
      m_roomFreed.notify_all();  // its wait is bounded in time, and by signals
      const bool sendingDone = m_producerDone && m_queue.empty() && m_posting == 0;
      if (sendingDone && m_awaiting == 0) break;
      if (Stopping() && m_posting == 0) break;  // interrupted, or the service is gone
      if (sendingDone && Clock::now() - m_lastHeard >= patience) break;
      if (g_interrupted && !toldWaiting) {
        toldWaiting = true;
        Note(m_service + ": interrupted; waiting for the " + std::to_string(m_posting) +
             " requests being posted (at most the --timeout)");
      }
    }
    stopAndJoin();
  }
  // The poller stops with the adaptor; results it brought meanwhile still
  // count, or a person would be sent twice.
  adaptor.reset();
  Match(board->Take(std::chrono::milliseconds(0)), false);

  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> unsent;
  for (Job& job : m_queue) {
    unsent.push_back(job.request.id);
    ++job.report->notSent;
  }
  m_queue.clear();
  m_ledger.Drop(unsent);
  for (auto& [id, pending] : m_pending) {
    // Left in the ledger: the next run asks for their answers first.
    if (pending.posted && !pending.answered) ++pending.job.report->unanswered;
  }
  for (auto& report : m_reports) {
    const std::int64_t neverSent =
        report->steps - report->finished - report->unanswered - report->notSent;
    if (neverSent > 0) report->notSent += neverSent;
  }
}

void ServiceSync::Recover(Adaptor& adaptor) {
  // Without a wait nothing is polled: the requests stay in flight, and
  // their persons wait for a run that asks for the answers.
  if (m_settings.waitSeconds <= 0 || m_ledger.InFlight(m_service).empty()) return;
  const auto deadline = Clock::now() + Milliseconds(m_settings.waitSeconds);
  auto lastMatch = Clock::now();
  while (!g_interrupted && Clock::now() < deadline && Clock::now() - lastMatch < kQuietPolls) {
    const std::vector<Result> results = adaptor.TakeResults(std::chrono::milliseconds(100));
    const std::size_t before = m_ledger.InFlight(m_service).size();
    Match(results, true);
    const std::size_t after = m_ledger.InFlight(m_service).size();
    if (after == 0) return;
    if (after < before) lastMatch = Clock::now();
  }
  if (g_interrupted) return;
  for (auto& report : m_reports) {
    const std::vector<Request> lost = m_ledger.InFlightTo(report->terminal);
    std::vector<std::string> ids;
    for (const Request& request : lost) {
      Say(m_settings.command, report->sn, request, 0, Status::NoResult, {},
          "no result came for request " + request.id +
              " of an earlier run: another client may have taken it, the service lost it, or "
              "the request never reached it; planned afresh");
      ids.push_back(request.id);
    }
    report->forgotten += static_cast<std::int64_t>(ids.size());
    m_ledger.Drop(ids);
  }
}

ServiceSync::Job ServiceSync::MakeJob(TerminalReport* report, Action action,
                                      const std::string& certnum, int line) {
  Job job;
  job.report = report;
  job.line = line;
  Request& request = job.request;
  request.id = m_idPrefix + std::to_string(m_nextId++);
  request.terminal = report->terminal;
  request.certnum = certnum;
  request.action = action;
  if (action == Action::Delete) {
    job.fields = {{"certnum", certnum}};
    return job;
  }
  const RosterPerson row = m_roster.Row(line);
  job.photo = !row.photoPath.empty();
  if (action == Action::Add || action == Action::Update) request.fields = row.fields;
  if (action == Action::Update) {
    job.fields = row.person;
    return job;
  }
  std::string photo;
  if (job.photo) {
    try {
      // The digest recorded is of the bytes sent, whatever the file held
      // when the roster was read.
      const PhotoFile file = ReadPhotoFile(row.photoPath, m_settings.maxPhoto);
      request.photo = BytesDigest(file.bytes);
      photo = Base64Encode(file.bytes);
      if (action == Action::Photo) {
        job.fields = {{"certnum", certnum},
                      {"size", std::to_string(file.bytes.size())},
                      {"content", std::move(photo)}};
        return job;
      }
    } catch (const InputError& error) {
      job.bad = std::string("photo: ") + error.what();
      return job;
    }
  }
  job.fields = row.person;
  if (!photo.empty()) job.fields["facepic"] = std::move(photo);
  return job;
}

void ServiceSync::Enqueue(std::vector<Job> jobs, bool atFront) {
  std::vector<Request> requests;
  requests.reserve(jobs.size());
  for (const Job& job : jobs) {
    if (job.bad.empty()) requests.push_back(job.request);
  }
  m_ledger.Record(requests);
  for (Job& job : jobs) {
    if (!job.bad.empty()) {
      ++job.report->bad;
      ++job.report->finished;
      Say(m_settings.command, job.report->sn, job.request, job.line, Status::Bad, {}, job.bad);
      continue;
    }
    m_pending.emplace(job.request.id, Pending{job, false, false});
    if (atFront) {
      m_queue.push_front(std::move(job));
    } else {
      m_queue.push_back(std::move(job));
    }
  }
  m_jobReady.notify_all();
}

bool ServiceSync::Stopping() const {
  return g_interrupted || m_serviceGone || m_over;
}

void ServiceSync::Produce() {
  const std::size_t queueLimit = 2 * static_cast<std::size_t>(m_settings.jobs) + kStepsPerBatch;
  const auto patience = Milliseconds(m_settings.waitSeconds);
  try {
    for (auto& report : m_reports) {
      for (std::int64_t after = 0;;) {
        const std::vector<PlannedStep> steps =
            m_plan.Steps(report->terminal, after, kStepsPerBatch);
        if (steps.empty()) break;
        {
          // Results another client takes never come: hold back no longer
          // than the wait for results, counted from the last one heard.
          std::unique_lock<std::mutex> lock(m_mutex);
          m_roomFreed.wait(lock, [&] {
            return Stopping() ||
                   (m_queue.size() < queueLimit &&
                    (m_awaiting < kMostAwaiting || Clock::now() - m_lastHeard >= patience));
          });
          if (Stopping()) break;
        }
        // Photos are read and encoded here, so that senders only post.
        std::vector<Job> jobs;
        jobs.reserve(steps.size());
        for (const PlannedStep& step : steps) {
          jobs.push_back(MakeJob(report.get(), step.action, step.certnum, step.line));
          after = step.seq;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Stopping()) break;
        Enqueue(std::move(jobs), false);
      }
    }
  } catch (const std::exception& error) {
    Note(m_service + ": " + error.what());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_serviceGone = true;  // nothing more can be recorded: stop sending
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_producerDone = true;
}

void ServiceSync::SendJobs(Adaptor& adaptor) {
  for (;;) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_jobReady.wait(lock, [&] { return !m_queue.empty() || Stopping(); });
    if (Stopping()) return;
    Job job = std::move(m_queue.front());
    m_queue.pop_front();
    ++m_posting;
    m_roomFreed.notify_one();
    lock.unlock();
    Post(adaptor, job);
  }
}

void ServiceSync::Post(Adaptor& adaptor, Job& job) {
  const Request& request = job.request;
  const std::string& sn = job.report->sn;
  bool accepted = false;
  switch (request.action) {
    case Action::Add:
      accepted = adaptor.AddUser(request.id, sn, job.fields);
      break;
    case Action::Update:
      accepted = adaptor.SetUser(request.id, sn, job.fields);
      break;
    case Action::Photo:
      accepted = adaptor.SetBiophoto(request.id, sn, job.fields);
      break;
    case Action::Delete:
      accepted = adaptor.DelUser(request.id, sn, job.fields);
      break;
  }
  const FailureReason failure = Adaptor::LastFailure();
  // A request that timed out, or whose connection broke, may have reached
  // the service: it stays in flight, and its result is awaited.
  const bool mayHaveArrived = !accepted && (failure.failure == Failure::TimedOut ||
                                            failure.failure == Failure::NoAnswer);

  std::lock_guard<std::mutex> lock(m_mutex);
  --m_posting;
  Pending& pending = m_pending.at(request.id);
  if (accepted || mayHaveArrived) {
    if (accepted) m_unreachableInARow = 0;
    m_lastHeard = Clock::now();
    pending.posted = true;
    if (pending.answered) {
      m_pending.erase(request.id);
    } else {
      ++m_awaiting;
    }
    if (!mayHaveArrived) return;
  } else if (pending.answered) {  // the answer came although the post seemed to fail
    m_pending.erase(request.id);
    return;
  }
  if (mayHaveArrived) {
    Say(m_settings.command, sn, request, job.line, Status::Failed, {},
        FailureText(failure) + "; the service may still carry it out, so its result is awaited");
  } else {
    ++job.report->left;
    ++job.report->finished;
    m_ledger.Drop({request.id});
    Say(m_settings.command, sn, request, job.line, FailureClass(failure), {},
        FailureText(failure));
    m_pending.erase(request.id);
  }
  m_unreachableInARow = Unreachable(failure) ? m_unreachableInARow + 1 : 0;
  if (m_unreachableInARow >= kUnreachableInARow && !m_serviceGone) {
    m_serviceGone = true;
    Note(m_settings.command + ": stopped sending to " + m_service +
         ": the service could not be reached (" + std::to_string(kUnreachableInARow) +
         " requests in a row)");
  }
}

Settlement ServiceSync::Decide(const Job& job, const std::string& code,
                               std::vector<Job>& followUps) {
  const Request& request = job.request;
  TerminalReport& report = *job.report;
  Settlement settlement{request, Change::None, code};
  const auto followUp = [&](Action action) {
    if (!m_followedUp.emplace(request.terminal, request.certnum, action).second) return false;
    followUps.push_back(MakeJob(&report, action, request.certnum, job.line));
    ++report.steps;
    return true;
  };
  Status status = Status::Result;
  std::string detail;
  if (code == "0") {
    settlement.change = Change::Confirmed;
    status = Status::Done;
    ++report.done;
  } else if (request.action == Action::Add && Listed(m_settings.heldCodes, code) &&
             job.line > 0) {
    settlement.change = Change::HeldUnknown;
    ++report.held;
    const bool updating = followUp(Action::Update);
    if (updating && job.photo) followUp(Action::Photo);
    status = Status::Held;
    detail = "the terminal already holds this person";
    if (updating) {
      detail += ": updating it";
    } else {
      ++report.left;  // its update already failed once in this run
    }
  } else if (request.action == Action::Delete && Listed(m_settings.absentCodes, code)) {
    settlement.change = Change::Confirmed;
    status = Status::Done;
    detail = "the terminal did not hold this person";
    ++report.done;
  } else if (request.action != Action::Add && Listed(m_settings.absentCodes, code) &&
             job.line > 0) {
    settlement.change = Change::NotHeld;
    ++report.absent;
    status = Status::Absent;
    detail = "the terminal does not hold this person";
    if (followUp(Action::Add)) {
      detail += ": adding it";
    } else {
      ++report.left;
    }
  } else {
    ++report.left;
    ++report.codes[code];
    (request.action == Action::Add ? report.addCodes : report.otherCodes).insert(code);
  }
  ++report.finished;
  Say(m_settings.command, report.sn, request, job.line, status, code, detail);
  return settlement;
}

void ServiceSync::Match(const std::vector<Result>& results, bool lateOnly) {
  if (results.empty()) return;
  std::vector<Settlement> settlements;
  std::vector<Job> followUps;
  std::unique_lock<std::mutex> lock(m_mutex);
  for (const Result& result : results) {
    const auto pending = lateOnly ? m_pending.end() : m_pending.find(result.id);
    if (pending != m_pending.end()) {
      if (pending->second.answered || pending->second.job.report->sn != result.sn) continue;
      settlements.push_back(Decide(pending->second.job, result.code, followUps));
      m_lastHeard = Clock::now();
      if (pending->second.posted) {
        --m_awaiting;
        m_pending.erase(pending);
      } else {
        pending->second.answered = true;  // its post has not returned yet
      }
      continue;
    }
    // An earlier run's request: its answer settles the ledger; the plan,
    // made afterwards, sends whatever it leaves to do.
    const std::optional<Request> earlier = m_ledger.Find(result.id);
    if (!earlier || SnOf(earlier->terminal) != result.sn) continue;
    Settlement settlement{*earlier, Change::None, result.code};
    if (result.code == "0") {
      settlement.change = Change::Confirmed;
    } else if (earlier->action == Action::Add && Listed(m_settings.heldCodes, result.code)) {
      settlement.change = Change::HeldUnknown;
    } else if (Listed(m_settings.absentCodes, result.code)) {
      settlement.change = earlier->action == Action::Delete ? Change::Confirmed : Change::NotHeld;
    }
    if (TerminalReport* report = ReportFor(earlier->terminal)) {
      Say(m_settings.command, report->sn, *earlier, 0,
          result.code == "0" ? Status::Done : Status::Result, result.code,
          "the answer to request " + result.id + " of an earlier run");
    }
    settlements.push_back(std::move(settlement));
  }
  m_ledger.Settle(settlements);
  m_roomFreed.notify_one();
  if (!followUps.empty() && !Stopping()) {
    Enqueue(std::move(followUps), true);
  } else {
    for (const Job& job : followUps) {
      --job.report->steps;
      m_followedUp.erase({job.request.terminal, job.request.certnum, job.request.action});
    }
  }
}

TerminalReport* ServiceSync::ReportFor(std::int64_t terminal) {
  for (auto& report : m_reports) {
    if (report->terminal == terminal) return report.get();
  }
  return nullptr;
}

std::string ServiceSync::SnOf(std::int64_t terminal) {
  if (const TerminalReport* report = ReportFor(terminal)) return report->sn;
  auto lock = m_ledger.Hold();
  Statement find = m_ledger.Db().Prepare("SELECT sn FROM terminals WHERE id = ?1");
  find.Bind(1, terminal);
  return find.Step() ? find.Text(0) : std::string();
}

}  // namespace Facepadctl
