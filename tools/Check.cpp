// check: a short scripted conversation with the service through the
// adaptor, as a host holds it, and a report of what conforms, the service's
// result codes and the sync options that match them.
#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "Adaptor.h"
#include "Arguments.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "JsonLine.h"
#include "Output.h"
#include "PersonInput.h"
#include "Signals.h"
#include "check/Conversation.h"
#include "check/Record.h"

namespace Facepadctl {
namespace {

struct CheckOptions {
  std::string sn;
  std::string certnum;
  double waitSeconds = 10;
  std::string record;
};

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Conforms:
      return "conforms";
    case Verdict::Deviates:
      return "deviates";
    case Verdict::NotTried:
      break;
  }
  return "not tried";
}

// "12.5", in milliseconds.
std::string Ms(std::chrono::microseconds time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(time.count()) / 1000);
  return text;
}

// The sync options that name the codes learnt.
std::string SyncOptions(const LearntCodes& codes) {
  std::string options;
  if (!codes.done.empty() && codes.done != "0") options += " --done-code " + codes.done;
  if (!codes.held.empty()) options += " --held-code " + codes.held;
  if (!codes.absent.empty()) options += " --absent-code " + codes.absent;
  if (!codes.absentUpdate.empty() && codes.absentUpdate != codes.absent) {
    options += " --absent-code " + codes.absentUpdate;
  }
  return options.empty() ? options : options.substr(1);
}

// Per path: the median and the worst answer time.
std::map<std::string, std::pair<std::chrono::microseconds, std::chrono::microseconds>> Times(
    const std::vector<SeenExchange>& exchanges) {
  std::map<std::string, std::vector<std::chrono::microseconds>> byPath;
  for (const SeenExchange& seen : exchanges) {
    if (seen.status != 0) byPath[seen.path].push_back(seen.elapsed);  // answers only
  }
  std::map<std::string, std::pair<std::chrono::microseconds, std::chrono::microseconds>> times;
  for (auto& [path, samples] : byPath) {
    std::sort(samples.begin(), samples.end());
    times[path] = {samples[samples.size() / 2], samples.back()};
  }
  return times;
}

// Exit 0's promise: the service answered, no step deviated, and the run was
// not cut short.
bool Conforms(const Conversation& conversation) {
  const std::vector<Step>& steps = conversation.Steps();
  return conversation.Reached() && !g_interrupted &&
         std::none_of(steps.begin(), steps.end(),
                      [](const Step& step) { return step.verdict == Verdict::Deviates; });
}

void PrintStep(const Step& step, const std::string& sn) {
  Outcome outcome{"check", sn};
  outcome.action = step.name;
  outcome.status = step.verdict == Verdict::Deviates ? Status::Failed : Status::Ok;
  std::string text = VerdictName(step.verdict);
  if (!step.came.empty()) text += " (" + step.came + ", " + Ms(step.took) + " ms)";
  if (!step.reason.empty()) text += ": " + step.reason;
  Emit(outcome, text);
}

void PrintJsonReport(const Conversation& conversation, const CheckOptions& options) {
  json_object* steps = json_object_new_array();
  for (const Step& step : conversation.Steps()) {
    JsonLine line;
    line.Add("step", step.name).Add("verdict", VerdictName(step.verdict)).Add("came", step.came);
    if (!step.code.empty()) line.Add("result", step.code);
    if (!step.reason.empty()) line.Add("reason", step.reason);
    line.Add("ms", static_cast<double>(step.took.count()) / 1000);
    json_object_array_add(steps, line.Take());
  }
  const LearntCodes& codes = conversation.Codes();
  JsonLine learnt;
  for (const auto& [name, code] : {std::pair<const char*, const std::string&>{"done", codes.done},
                                   {"held", codes.held},
                                   {"absent", codes.absent}}) {
    if (!code.empty()) learnt.Add(name, code);
  }
  JsonLine times;
  for (const auto& [path, time] : Times(conversation.Exchanges())) {
    JsonLine figures;
    figures.Add("median_ms", static_cast<double>(time.first.count()) / 1000)
        .Add("worst_ms", static_cast<double>(time.second.count()) / 1000);
    times.AddObject(path.c_str(), figures.Take());
  }
  JsonLine report;
  report.Add("command", "check")
      .Add("sn", options.sn)
      .Add("certnum", options.certnum)
      .AddObject("steps", steps)
      .AddObject("codes", learnt.Take());
  if (conversation.CodesLearnt()) report.Add("sync_options", SyncOptions(codes));
  report.AddObject("answer_times", times.Take())
      .Add("others_results", conversation.OthersResults())
      .Add("interrupted", g_interrupted.load())
      .Add("conforms", Conforms(conversation));
  PrintJson(report.Text());
}

// The summary after the steps, which were printed as they came.
void PrintReport(const Conversation& conversation, const CheckOptions& options) {
  const LearntCodes& codes = conversation.Codes();
  const std::string head = "check " + options.sn + ": ";
  if (!conversation.CodesLearnt()) {
    PrintLine(head + "the service's codes were not learnt: no sync options to give");
  } else {
    PrintLine(head + "the service's codes: done " + codes.done + ", already held " +
              (codes.held.empty() ? "unknown" : codes.held) + ", not held " +
              (codes.absent.empty() ? "unknown" : codes.absent) +
              (codes.absentUpdate.empty() || codes.absentUpdate == codes.absent
                   ? ""
                   : " (an update's: " + codes.absentUpdate + ")"));
    PrintLine(head + "sync with " + SyncOptions(codes));
  }
  std::string times;
  for (const auto& [path, time] : Times(conversation.Exchanges())) {
    times += (times.empty() ? "" : ", ") + path + " " + Ms(time.first) + " / " + Ms(time.second);
  }
  if (!times.empty()) PrintLine(head + "answer times in ms, median / worst: " + times);
  if (conversation.OthersResults() > 0) {
    PrintLine(head + std::to_string(conversation.OthersResults()) +
              " results of other clients were taken");
  }
  if (g_interrupted) {
    PrintLine(head + "interrupted: the steps not tried prove nothing");
  } else {
    PrintLine(head + (Conforms(conversation)
                          ? "conforms: every step tried answered as the adaptor expects"
                          : "deviates: see the steps above"));
  }
}

int RunCheck(const Globals& globals, CheckOptions options) {
  CheckSettings settings;
  settings.sn = options.sn;
  settings.certnumGiven = !options.certnum.empty();
  if (options.certnum.empty()) options.certnum = NewRequestId("CHECK-");
  settings.certnum = options.certnum;
  settings.waitSeconds = options.waitSeconds;
  std::optional<RecordFile> record;
  if (!options.record.empty()) record.emplace(options.record);
  InterruptOnSignals();
  Note("check: the test person is " + options.certnum + " on " + options.sn +
       "; its result polls take results away from other clients of this service, and those "
       "taken are counted, not dropped unseen");
  std::function<void(const Step&)> onStep;
  if (!JsonOutput()) onStep = [&options](const Step& step) { PrintStep(step, options.sn); };
  Conversation conversation(globals, settings, onStep);
  conversation.Run();
  if (JsonOutput()) {
    PrintJsonReport(conversation, options);
  } else {
    PrintReport(conversation, options);
  }
  bool recorded = true;
  if (record) {
    try {
      record->Write(conversation.Exchanges(), conversation.Codes());
    } catch (const InputError& error) {
      Note(error.what());
      recorded = false;
    }
  }
  if (g_interrupted) return InterruptedExitCode();
  return Conforms(conversation) && recorded ? kSucceeded : kFailed;
}

}  // namespace

Subcommand AddCheck(CLI::App& parent) {
  auto options = std::make_shared<CheckOptions>();
  CLI::App* command = parent.add_subcommand(
      "check", "prove that a facepad service works with the adaptor, and learn its result codes");
  command->add_option("--sn", options->sn, "a spare terminal's serial number")
      ->required()
      ->check(Present());
  command
      ->add_option("--certnum", options->certnum,
                   "the test person (default: a fresh CHECK-... each run)")
      ->check(Present())
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            const bool blank = !text.empty() && (text.front() == ' ' || text.back() == ' ');
            return blank ? "a certnum has no blanks around it" : "";
          },
          "CERTNUM"));
  command->add_option("--wait", options->waitSeconds, "seconds to wait for each result")
      ->check(Seconds(false))
      ->capture_default_str();
  command->add_option("--record", options->record,
                      "write the conversation to this file, as JSON lines (mode 0600)");
  command->footer(
      "check adds, changes and deletes one test person on the terminal, and nothing else: it "
      "binds nothing, sets no port and controls no device. Its result polls take results away "
      "from other clients of the service; those taken are counted in the report.");
  return {command, [options](const Globals& globals) { return RunCheck(globals, *options); }};
}

}  // namespace Facepadctl
