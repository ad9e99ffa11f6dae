#include "SyncOutput.h"

#include <unistd.h>

#include <cstdio>

#include "JsonLine.h"
#include "Output.h"

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

bool LeftToRetry(const TerminalReport& report) {
  return !report.unavailable.empty() || report.left > 0 || report.notSent > 0 ||
         report.unanswered > 0;
}

bool InLine(const TerminalReport& report) {
  return !LeftToRetry(report) && report.bad == 0 && report.plan.deletesHeld == 0;
}

void PrintTerminalSummary(const std::string& command, const TerminalReport& report, bool planOnly) {
  const PlanCounts& plan = report.plan;
  if (JsonOutput()) {
    JsonLine summary;
    summary.Add("service", report.service);
    if (planOnly) {
      summary.AddObject("plan", PlanJson(plan))
          .Add("awaiting", static_cast<long long>(plan.awaiting));
    } else {
      summary.AddObject("planned", PlanJson(plan))
          .Add("sent", static_cast<long long>(report.finished) + report.unanswered)
          .Add("done", static_cast<long long>(report.done.load()))
          .Add("held", static_cast<long long>(report.held))
          .Add("left", static_cast<long long>(report.left))
          .Add("bad", static_cast<long long>(report.bad))
          .Add("not_sent", static_cast<long long>(report.notSent))
          .Add("unanswered", static_cast<long long>(report.unanswered))
          .Add("forgotten", static_cast<long long>(report.forgotten));
      JsonLine codes;
      for (const auto& [code, count] : report.codes)
        codes.Add(code.c_str(), static_cast<long long>(count));
      summary.AddObject("results", codes.Take()).Add("in_line", InLine(report));
    }
    if (plan.deletesHeld > 0) summary.Add("deletes_held", static_cast<long long>(plan.deletesHeld));
    if (!plan.pruneOff.empty()) summary.Add("prune_off", plan.pruneOff);
    if (!report.unavailable.empty()) summary.Add("unavailable", report.unavailable);
    JsonLine line;
    line.Add("command", command).Add("sn", report.sn).AddObject("summary", summary.Take());
    PrintLine(line.Text());
    return;
  }

  std::vector<std::string> parts;
  if (!report.unavailable.empty()) {
    parts.push_back(report.unavailable);
  } else if (planOnly) {
    const std::string planned = PlannedText(plan, true);
    parts.push_back(planned.empty() ? "nothing to send" : planned);
    if (plan.awaiting > 0) parts.push_back(std::to_string(plan.awaiting) + " awaiting a result");
  } else {
    const std::string planned = PlannedText(plan, false);
    parts.push_back(planned.empty() ? "nothing to send" : "sent " + planned);
    if (report.finished > 0) parts.push_back(std::to_string(report.done) + " done");
    if (report.held > 0) parts.push_back(std::to_string(report.held) + " already held");
    if (report.left > 0) {
      std::vector<std::string> codes;
      for (const auto& [code, count] : report.codes) {
        codes.push_back("result " + code + ": " + std::to_string(count));
      }
      parts.push_back(std::to_string(report.left) + " to send again" +
                      (codes.empty() ? "" : " (" + Join(codes, ", ") + ")"));
    }
    if (report.bad > 0) parts.push_back(Count(report.bad, "bad photo"));
    if (report.notSent > 0) parts.push_back(std::to_string(report.notSent) + " not sent");
    if (report.unanswered > 0) {
      parts.push_back(std::to_string(report.unanswered) +
                      " without a result yet (the next run asks for it)");
    }
  }
  if (plan.deletesHeld > 0) {
    parts.push_back("no one deleted: " + std::to_string(plan.deletesHeld) +
                    " would be, more than --max-delete allows");
  }
  if (!plan.pruneOff.empty()) parts.push_back("no one deleted: " + plan.pruneOff);
  if (!planOnly && InLine(report)) parts.emplace_back("in line with the roster");
  PrintLine(command + " " + report.sn + ": " + Join(parts, "; "));
}

void PrintRunSummary(const std::string& command, const std::vector<const TerminalReport*>& reports,
                     const Roster& roster, bool planOnly) {
  std::int64_t inLine = 0;
  for (const TerminalReport* report : reports) {
    if (planOnly ? report->plan.Steps() == 0 && report->plan.awaiting == 0 : InLine(*report)) {
      ++inLine;
    }
  }
  if (JsonOutput()) {
    JsonLine summary;
    summary.Add("terminals", static_cast<long long>(reports.size()))
        .Add(planOnly ? "nothing_to_do" : "in_line", static_cast<long long>(inLine))
        .Add("rows", roster.Rows())
        .Add("bad", roster.Bad());
    JsonLine line;
    line.Add("command", command).AddObject("summary", summary.Take());
    PrintLine(line.Text());
    return;
  }
  PrintLine(command + ": " + Count(static_cast<std::int64_t>(reports.size()), "terminal") + ", " +
            std::to_string(inLine) + (planOnly ? " with nothing to do" : " in line") +
            "; the roster has " + Count(roster.Rows(), "row") +
            (roster.Bad() > 0 ? ", " + std::to_string(roster.Bad()) + " of them bad" : ""));
}

SyncProgress::SyncProgress(std::vector<const TerminalReport*> reports)
    : m_onTerminal(isatty(STDERR_FILENO) != 0), m_reports(std::move(reports)) {}

void SyncProgress::Show() {
  if (!m_onTerminal) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
  std::string text;
  if (m_shown) text += "\033[" + std::to_string(m_reports.size()) + "A";
  for (const TerminalReport* report : m_reports) {
    const std::int64_t done = report->finished;
    const std::int64_t total = report->steps;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char line[256];
    if (rate > 0 && total > done) {
      std::snprintf(line, sizeof line, "\r\033[K%s: %lld of %lld, %.0f/s, %.0f s left\n",
                    report->sn.c_str(), static_cast<long long>(done), static_cast<long long>(total),
                    rate, static_cast<double>(total - done) / rate);
    } else {
      std::snprintf(line, sizeof line, "\r\033[K%s: %lld of %lld\n", report->sn.c_str(),
                    static_cast<long long>(done), static_cast<long long>(total));
    }
    text += line;
  }
  std::fputs(text.c_str(), stderr);
  m_shown = true;
}

void SyncProgress::Done() {
  if (m_shown) Show();
}

}  // namespace Facepadctl
