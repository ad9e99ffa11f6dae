#include "ServiceSync.h"

#include <thread>

#include "Arguments.h"
#include "Signals.h"

namespace Facepadctl {
namespace {
using Clock = std::chrono::steady_clock;
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
    for (auto& report : m_reports) {
      report->after = m_plan.Left(report->terminal, m_roster, m_settings.prune);
    }
  } catch (const std::exception& error) {
    Note(m_settings.command + ": " + m_service + ": " + error.what());
    for (auto& report : m_reports) {
      if (report->unavailable.empty()) report->unavailable = error.what();
    }
  }
}

void ServiceSync::Say(const std::string& sn, const Request& request, int line, Status status,
                      const std::string& result, const std::string& detail) const {
  Outcome outcome{m_settings.command, sn, request.id};
  outcome.action = ActionName(request.action);
  outcome.line = line;
  outcome.certnum = request.certnum;
  outcome.status = status;
  outcome.result = result;
  outcome.detail = detail;
  Emit(outcome);
}

void ServiceSync::PrintPlan() {
  for (auto& report : m_reports) {
    report->plan = m_plan.Add(report->terminal, m_roster, m_settings.prune);
    report->planned = true;
    for (std::int64_t after = 0;;) {
      const std::vector<PlannedStep> steps = m_plan.Steps(report->terminal, after, 256);
      if (steps.empty()) break;
      for (const PlannedStep& step : steps) {
        Request request;
        request.action = step.action;
        request.certnum = step.certnum;
        if (step.maybeHeld) {
          Say(report->sn, request, step.line, Status::MaybeHeld, {},
              "a request's result never came; the answer settles whether the terminal holds "
              "this person");
        } else {
          Say(report->sn, request, step.line, Status::Planned);
        }
        after = step.seq;
      }
    }
    for (const Request& request : m_ledger.InFlightTo(report->terminal)) {
      Say(report->sn, request, 0, Status::Awaiting, {},
          "awaiting the result of request " + request.id);
    }
  }
}

bool ServiceSync::Probe(Adaptor& adaptor) {
  ZR_Framework::Face::ParamMap none;
  if (adaptor.GetAvailableFace(none)) return true;
  const std::string why =
      "the service at " + m_service + " is not available: " + FailureText(Adaptor::LastFailure());
  Note(m_settings.command + ": " + why);  // a failure, told on stderr as every failure is
  for (auto& report : m_reports) report->unavailable = why;
  return false;
}

void ServiceSync::RunSync() {
  auto adaptor = std::make_unique<Adaptor>(m_globals, m_settings.waitSeconds > 0);
  if (!Probe(*adaptor)) {
    for (auto& report : m_reports) {
      report->plan = m_plan.Left(report->terminal, m_roster, m_settings.prune);
      report->notSent = report->plan.Steps();
    }
    return;
  }
  Recover(*adaptor);
  if (!g_interrupted) {
    for (auto& report : m_reports) {
      report->plan = m_plan.Add(report->terminal, m_roster, m_settings.prune);
      report->steps = report->plan.Steps();
      report->planned = true;
    }
    Send(*adaptor);
  }
  Finish(std::move(adaptor));
}

void ServiceSync::Send(Adaptor& adaptor) {
  m_lastHeard = m_lastResult = m_lastAnswer = Clock::now();
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
      threads.emplace_back([this, &adaptor] { SendJobs(adaptor); });
    }
    Await(adaptor);
  } catch (...) {  // the threads end before the error is told
    stopAndJoin();
    throw;
  }
  stopAndJoin();
}

void ServiceSync::Await(Adaptor& adaptor) {
  // --wait counts from the last result heard (or request accepted).
  const auto patience = Milliseconds(m_settings.waitSeconds);
  bool toldWaiting = false;
  bool allSent = false;
  // Until everything is sent, the moment it is is looked for every 10 ms:
  // from then on the last results are polled for at once.
  for (;;) {
    Match(adaptor.TakeResults(std::chrono::milliseconds(allSent ? 100 : 10)), false);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (Stopping()) m_jobReady.notify_all();
      m_roomFreed.notify_all();  // its wait is bounded in time, and by signals
      // Sending stopped for time-outs still waits for the results awaited.
      const bool sendingDone =
          m_posting == 0 && (m_stopSending || (m_producerDone && m_queue.empty()));
      if (sendingDone && m_awaiting == 0) break;
      if ((g_interrupted || m_stopWaiting) && m_posting == 0) break;
      if (sendingDone && Clock::now() - m_lastHeard >= patience) break;
      if (g_interrupted && !toldWaiting) {
        toldWaiting = true;
        Note(m_service + ": interrupted; waiting for the " + std::to_string(m_posting) +
             " requests being posted (at most the --timeout)");
      }
      if (allSent || !sendingDone) continue;
      allSent = true;
    }
    adaptor.AwaitLastResults();
  }
}

void ServiceSync::Finish(std::unique_ptr<Adaptor> adaptor) {
  // The service hands each result out once: a poll cut short would lose
  // what it took. So the poll in flight may end, within the time-out, and
  // what it brought is settled before the adaptor goes.
  const std::shared_ptr<ResultBoard> board = adaptor->Board();
  if (g_interrupted) {
    Note(m_service +
         ": interrupted; letting the result poll in flight end (at most the "
         "--timeout), so that no result it takes is lost; a second signal stops at once");
  }
  const bool whole = adaptor->StopPolling(Milliseconds(m_globals.timeoutSeconds));
  adaptor.reset();
  Match(board->Take(std::chrono::milliseconds(0)), false);
  if (!whole) {
    Note(m_service +
         ": a result poll did not end within the --timeout; the results it took are lost, and "
         "the next run counts their persons as maybe held");
  }

  std::unique_lock<std::mutex> lock(m_mutex);
  std::vector<std::string> unsent;
  for (Job& job : m_queue) {
    if (job.closedUnanswered) {
      ++job.report->unanswered;  // it may have arrived: left in flight
      continue;
    }
    unsent.push_back(job.request.id);
    ++job.report->notSent;
  }
  m_queue.clear();
  lock.unlock();
  m_ledger.Drop(unsent);
  lock.lock();
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
