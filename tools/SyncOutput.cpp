#include "SyncOutput.h"

#include <unistd.h>

#include <cstdio>
#include <set>

#include "ExitCodes.h"
#include "JsonLine.h"
#include "Output.h"
#include "Printable.h"

namespace Facepadctl {
namespace {

using Clock = std::chrono::steady_clock;

// "1 row", "2 rows".
std::string Count(std::int64_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

// "2 to add, 1 to delete" for a plan; "2 adds, 1 delete" for what was sent.
std::string PlannedText(const PlanCounts& plan, bool toDo) {
  std::vector<std::string> parts;
  const auto add = [&](std::int64_t count, const char* verb) {
    if (count == 0) return;
    parts.push_back(toDo ? std::to_string(count) + " to " + verb : Count(count, verb));
  };
  add(plan.adds, "add");
  add(plan.updates, "update");
  add(plan.photos, toDo ? "re-photo" : "photo");
  add(plan.deletes, "delete");
  return Join(parts, ", ");
}

json_object* PlanJson(const PlanCounts& plan) {
  JsonLine json;
  json.Add("add", static_cast<long long>(plan.adds))
      .Add("update", static_cast<long long>(plan.updates))
      .Add("photo", static_cast<long long>(plan.photos))
      .Add("delete", static_cast<long long>(plan.deletes));
  return json.Take();
}

}  // namespace

bool InLine(const TerminalReport& report) {
  return report.unavailable.empty() && report.planned && report.after.InLine() && report.bad == 0 &&
         report.tooLarge == 0 && report.left == 0 && report.notSent == 0;
}

namespace {
// Persons maybe held that running again settles: with the codes that say
// so, and with no delete held back by the guard, which only a person lifts.
bool MaybeHeldToSettle(const TerminalReport& report, const SummaryContext& context) {
  return report.after.maybeHeld > 0 && context.absentCodeGiven && report.after.deletesHeld == 0;
}
}  // namespace

bool LeftToRetry(const TerminalReport& report, const SummaryContext& context) {
  return !report.unavailable.empty() || report.left > 0 || report.notSent > 0 ||
         report.after.awaiting > 0 || MaybeHeldToSettle(report, context);
}

bool NeedsPerson(const TerminalReport& report, const SummaryContext& context) {
  return report.bad > 0 || report.tooLarge > 0 || report.after.deletesHeld > 0 ||
         !report.after.pruneOff.empty() || (report.after.maybeHeld > 0 && !context.absentCodeGiven);
}

int SyncExitCode(const std::vector<const TerminalReport*>& reports, const SummaryContext& context) {
  bool retry = false;
  bool needsPerson = context.badRows > 0;
  bool allInLine = true;
  bool toSend = false;  // --plan: something would be sent, or is awaited
  for (const TerminalReport* report : reports) {
    retry = retry || LeftToRetry(*report, context);
    needsPerson = needsPerson || NeedsPerson(*report, context);
    allInLine = allInLine && InLine(*report);
    toSend = toSend || !report->unavailable.empty() || report->after.Steps() > 0 ||
             report->after.awaiting > 0 ||
             (report->after.maybeHeld > 0 && report->after.deletesHeld == 0);
  }
  // --plan exits as diff does, 0 only when there is nothing to do, and as
  // sync would, 3 when only a person can do what is left.
  if (context.planOnly) {
    if (toSend) return kFailed;
    return needsPerson ? kNeedsPerson : kSucceeded;
  }
  if (retry) return kFailed;
  if (needsPerson) return kNeedsPerson;
  // Nothing explains why a terminal is not in line: never call that done.
  return allInLine ? kSucceeded : kFailed;
}

namespace {

void PrintJsonSummary(const std::string& command, const TerminalReport& report,
                      const SummaryContext& context) {
  const PlanCounts& plan = report.plan;
  const PlanCounts& after = report.after;
  JsonLine summary;
  summary.Add("service", report.service)
      .AddObject(context.planOnly ? "plan" : "planned", PlanJson(plan))
      .Add("awaiting", static_cast<long long>(after.awaiting))
      .Add("maybe_held", static_cast<long long>(after.maybeHeld))
      .Add("off_roster", static_cast<long long>(after.offRoster))
      .Add("bad", static_cast<long long>(context.badRows) + report.bad);
  if (!context.planOnly) {
    const std::int64_t followUps = report.steps - plan.Steps();
    summary.Add("follow_ups", static_cast<long long>(followUps))
        .Add("done", static_cast<long long>(report.done.load()))
        .Add("held", static_cast<long long>(report.held))
        .Add("absent", static_cast<long long>(report.absent))
        .Add("left", static_cast<long long>(report.left))
        .Add("too_large", static_cast<long long>(report.tooLarge))
        .Add("not_sent", static_cast<long long>(report.notSent))
        .Add("busy", static_cast<long long>(report.busy))
        .Add("unanswered", static_cast<long long>(report.unanswered))
        .Add("lost", static_cast<long long>(report.lost));
    JsonLine codes;
    for (const auto& [code, count] : report.codes) {
      codes.Add(code.c_str(), static_cast<long long>(count));
    }
    summary.AddObject("results", codes.Take());
  }
  summary.Add("in_line", InLine(report));
  if (after.deletesHeld > 0) {
    summary.Add("deletes_held", static_cast<long long>(after.deletesHeld));
  }
  if (!after.pruneOff.empty()) summary.Add("prune_off", after.pruneOff);
  if (!report.unavailable.empty()) summary.Add("unavailable", report.unavailable);
  JsonLine line;
  line.Add("command", command).Add("sn", report.sn).AddObject("summary", summary.Take());
  PrintJson(line.Text());
}

// What happened to what was sent: "7 done, 2 to send again (result 103: 2)".
std::vector<std::string> SentParts(const TerminalReport& report) {
  std::vector<std::string> parts;
  const std::int64_t followUps = report.steps - report.plan.Steps();
  if (report.held > 0) {
    parts.push_back(std::to_string(report.held) + " already held");
  }
  if (report.absent > 0) parts.push_back(std::to_string(report.absent) + " not held");
  if (followUps > 0) parts.push_back(Count(followUps, "follow-up") + " sent for them");
  if (report.finished > 0) parts.push_back(std::to_string(report.done) + " done");
  if (report.left > 0) {
    std::vector<std::string> codes;
    for (const auto& [code, count] : report.codes) {
      codes.push_back("result " + code + ": " + std::to_string(count));
    }
    parts.push_back(std::to_string(report.left) + " to send again" +
                    (codes.empty() ? "" : " (" + Join(codes, ", ") + ")"));
  }
  if (report.bad > 0) parts.push_back(Count(report.bad, "photo") + " gone bad since planned");
  if (report.tooLarge > 0) {
    parts.push_back(std::to_string(report.tooLarge) + " refused as too large");
  }
  if (report.notSent > 0) parts.push_back(std::to_string(report.notSent) + " not sent");
  if (report.busy > 0) {
    parts.push_back(Count(report.busy, "post") + " tried again while the service was busy");
  }
  if (report.lost > 0) {
    parts.push_back(std::to_string(report.lost) + " earlier results never came");
  }
  return parts;
}

}  // namespace

void PrintTerminalSummary(const std::string& command, const TerminalReport& report,
                          const SummaryContext& context) {
  if (JsonOutput()) return PrintJsonSummary(command, report, context);
  const PlanCounts& after = report.after;
  std::vector<std::string> parts;
  if (!report.unavailable.empty()) parts.push_back(report.unavailable);
  const bool toDo = context.planOnly || !report.unavailable.empty();
  const std::string planned = PlannedText(report.plan, toDo);
  // "nothing to send" only where nothing else is left: no result awaited, no
  // one maybe held, no delete held back.
  const bool anythingLeft =
      after.awaiting > 0 || after.maybeHeld > 0 || after.deletesHeld > 0 || !after.pruneOff.empty();
  if (!report.planned && report.unavailable.empty()) {
    parts.emplace_back("interrupted before planning");
  } else if (!planned.empty()) {
    parts.push_back(toDo ? planned : "planned " + planned);
  } else if (!anythingLeft) {
    parts.emplace_back("nothing to send");
  }
  if (!toDo) {
    for (std::string& part : SentParts(report)) parts.push_back(std::move(part));
  }
  if (after.awaiting > 0) {
    parts.push_back(std::to_string(after.awaiting) +
                    " awaiting a result (the next run with a wait asks for it)");
  }
  if (after.maybeHeld > 0) {
    parts.push_back(std::to_string(after.maybeHeld) + " maybe held" +
                    (context.absentCodeGiven ? "" : " (--absent-code settles them)"));
  }
  if (after.offRoster > 0) {
    parts.push_back(std::to_string(after.offRoster) + " held but not on the roster (" +
                    (command == "sync" ? "" : "sync ") + "--prune deletes them)");
  }
  if (after.deletesHeld > 0) {
    parts.push_back("no one deleted: " + std::to_string(after.deletesHeld) +
                    " would be, more than --max-delete " + std::to_string(context.maxDelete) +
                    " allows");
  }
  if (!after.pruneOff.empty()) parts.push_back("no one deleted: " + after.pruneOff);
  // The ledger knows what this tool sent and what came back, not what others
  // did to the terminal: the verdict says so.
  if (InLine(report)) {
    parts.push_back(std::string(context.badRows > 0 ? "in line but for the bad rows"
                                                    : "in line with the roster") +
                    ", as this ledger knows " + report.sn);
  }
  PrintLine(command + " " + report.sn + ": " + Join(parts, "; "));
}

void PrintRunSummary(const std::string& command, const std::vector<const TerminalReport*>& reports,
                     const Roster& roster, const SummaryContext& context) {
  std::int64_t inLine = 0;
  std::int64_t forPerson = 0;  // not in line, and only a person can change that
  for (const TerminalReport* report : reports) {
    if (InLine(*report)) {
      ++inLine;
    } else if (NeedsPerson(*report, context) && !LeftToRetry(*report, context)) {
      ++forPerson;
    }
  }
  if (JsonOutput()) {
    JsonLine summary;
    summary.Add("terminals", static_cast<long long>(reports.size()))
        .Add(context.planOnly ? "nothing_to_do" : "in_line", static_cast<long long>(inLine))
        .Add("for_a_person", static_cast<long long>(forPerson))
        .Add("rows", roster.Rows())
        .Add("bad", roster.Bad());
    JsonLine line;
    line.Add("command", command).AddObject("summary", summary.Take());
    PrintJson(line.Text());
    return;
  }
  PrintLine(command + ": " + Count(static_cast<std::int64_t>(reports.size()), "terminal") + ", " +
            std::to_string(inLine) + (context.planOnly ? " with nothing to do" : " in line") +
            (forPerson > 0 ? ", " + std::to_string(forPerson) + " waiting for a person" : "") +
            "; the roster has " + Count(roster.Rows(), "row") +
            (roster.Bad() > 0 ? ", " + std::to_string(roster.Bad()) + " of them bad" : ""));
}

void PrintHints(const SyncSettings& settings, const std::vector<const TerminalReport*>& reports) {
  std::set<std::string> addCodes;
  std::set<std::string> otherCodes;
  for (const TerminalReport* report : reports) {
    addCodes.insert(report->addCodes.begin(), report->addCodes.end());
    otherCodes.insert(report->otherCodes.begin(), report->otherCodes.end());
  }
  const auto hint = [](const std::set<std::string>& codes, const char* what, const char* meaning,
                       const char* option) {
    for (const std::string& code : codes) {
      std::string text = what;
      text.append(" were answered ").append(code).append(": if the service means by it that ");
      text.append(meaning).append(", give ").append(option).append(" ").append(code);
      Note(text.append(" and run again"));
    }
  };
  if (settings.heldCodes.empty()) {
    hint(addCodes, "adds", "the terminal already holds the person", "--held-code");
  }
  std::int64_t tooLarge = 0;
  for (const TerminalReport* report : reports) tooLarge += report->tooLarge;
  if (tooLarge > 0) {
    Note(std::to_string(tooLarge) + (tooLarge == 1 ? " request was" : " requests were") +
         " refused by the service as too large (status 413), and would be again: make those "
         "photos smaller, or give --max-photo with what the service takes, so that larger ones "
         "are bad rows");
  }
  if (settings.absentCodes.empty()) {
    hint(otherCodes, "updates, photos or deletes", "the terminal does not hold the person",
         "--absent-code");
    std::int64_t maybeHeld = 0;
    for (const TerminalReport* report : reports) maybeHeld += report->after.maybeHeld;
    if (maybeHeld > 0) {
      Note(std::to_string(maybeHeld) + (maybeHeld == 1 ? " person is" : " persons are") +
           " maybe held: a request's result never came. Give --absent-code CODE, the service's "
           "code for a person a terminal does not hold, and run again to settle them");
    }
  }
}

SyncProgress::SyncProgress(std::vector<const TerminalReport*> reports)
    : m_onTerminal(isatty(STDERR_FILENO) != 0),
      m_reports(std::move(reports)),
      m_started(m_reports.size()) {
  if (m_onTerminal) SetLiveLines([this] { Erase(); });
}

SyncProgress::~SyncProgress() {
  if (!m_onTerminal) return;
  SetLiveLines({});
  Show();  // the last figures stay on screen
}

void SyncProgress::Erase() {
  if (m_shown == 0) return;
  std::fprintf(stderr, "\033[%zuA\r\033[J", m_shown);
  m_shown = 0;
}

void SyncProgress::Show() {
  if (!m_onTerminal) return;
  const auto now = Clock::now();
  std::string text;
  for (std::size_t r = 0; r < m_reports.size(); ++r) {
    const TerminalReport& report = *m_reports[r];
    const std::int64_t done = report.finished;
    const std::int64_t total = report.steps;
    if (done > 0 && !m_started[r]) m_started[r] = now;
    const double seconds =
        m_started[r] ? std::chrono::duration<double>(now - *m_started[r]).count() : 0;
    const double rate = seconds > 0.5 ? static_cast<double>(done) / seconds : 0;
    const std::string sn = Printable(report.sn);
    char line[256];
    if (rate > 0 && total > done) {
      std::snprintf(line, sizeof line, "%s: %lld of %lld, %.0f/s, %.0f s left\n", sn.c_str(),
                    static_cast<long long>(done), static_cast<long long>(total), rate,
                    static_cast<double>(total - done) / rate);
    } else {
      std::snprintf(line, sizeof line, "%s: %lld of %lld\n", sn.c_str(),
                    static_cast<long long>(done), static_cast<long long>(total));
    }
    text += line;
  }
  const auto lock = LockOutput();
  Erase();
  std::fputs(text.c_str(), stderr);
  m_shown = m_reports.size();
}

}  // namespace Facepadctl
