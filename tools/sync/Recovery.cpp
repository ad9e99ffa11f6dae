// Before a run plans, the answers to earlier runs' requests still in flight
// are collected. A request whose answer never comes (another client took
// it, the service lost it, a kill or a lost poll) leaves its person maybe
// held: the plan then settles whether the terminal holds them.
#include <algorithm>

#include "Arguments.h"
#include "ServiceSync.h"
#include "Signals.h"

namespace Facepadctl {
namespace {

using Clock = std::chrono::steady_clock;

// Collecting ends when the polls of this long bring none of the answers.
constexpr auto kQuietPolls = std::chrono::milliseconds(1000);

}  // namespace

std::vector<Request> ServiceSync::InFlightToOurTerminals() {
  std::vector<Request> requests;
  for (const auto& report : m_reports) {
    for (Request& request : m_ledger.InFlightTo(report->terminal)) {
      requests.push_back(std::move(request));
    }
  }
  return requests;
}

// The requests to terminals this run does not name stay in flight, though
// answers to them that come are settled: those terminals are not this run's
// to judge. Where a request was given up on, one whole poll is heard even
// with nothing in flight: its answer may have come since.
void ServiceSync::Recover(Adaptor& adaptor) {
  bool givenUp = false;
  for (const auto& report : m_reports) givenUp = givenUp || m_ledger.AnyGivenUp(report->terminal);
  // Without a wait nothing is polled: the requests stay in flight, and
  // their persons wait for a run that asks for the answers.
  if (m_settings.waitSeconds <= 0 || (!givenUp && InFlightToOurTerminals().empty())) return;
  const auto patience =
      std::min<Clock::duration>(Milliseconds(m_settings.waitSeconds), kQuietPolls);
  const std::uint64_t pollsBefore = adaptor.PollsEnded();
  auto lastHeard = Clock::now();
  for (;;) {
    if (Match(adaptor.TakeResults(std::chrono::milliseconds(100)), true) > 0) {
      lastHeard = Clock::now();
    }
    // Interrupted: what is in flight stays so; Finish() lets the poll end.
    if (g_interrupted) return;
    // However short the wait, one whole poll is heard: its results are
    // handed over before the next poll ends.
    const bool polled = adaptor.PollsEnded() >= pollsBefore + 2;
    if (InFlightToOurTerminals().empty() && (polled || !givenUp)) return;
    if (polled && Clock::now() - lastHeard >= patience) break;
  }
  // No poll was answered: their results may yet come, to a later run.
  const std::string pollsFailing = adaptor.PollsFailing();
  if (!pollsFailing.empty()) {
    Note(m_service + ": " + pollsFailing +
         "; the requests of earlier runs still in flight are left so, for a later run");
    return;
  }
  GiveUp(InFlightToOurTerminals());
}

void ServiceSync::GiveUp(const std::vector<Request>& requests) {
  m_ledger.GiveUp(requests);
  for (auto& report : m_reports) {
    const auto lost = std::count_if(requests.begin(), requests.end(), [&](const Request& request) {
      return request.terminal == report->terminal;
    });
    if (lost == 0) continue;
    report->lost += lost;
    Outcome outcome{m_settings.command, report->sn};
    outcome.status = Status::NoResult;
    outcome.detail = "no result came for " + std::to_string(lost) +
                     (lost == 1 ? " request" : " requests") +
                     " of an earlier run (another client may have taken them, the service lost "
                     "them, or they never reached it): their persons may be held, and this run "
                     "settles them";
    Emit(outcome);
  }
}

}  // namespace Facepadctl
