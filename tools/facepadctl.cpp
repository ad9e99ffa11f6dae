// facepadctl: talks to a facepad service through the TerminalFace_ZR adaptor,
// one operation per subcommand, and enrols persons in bulk from CSV files.
//
// Exit codes: 0 accepted (with --wait: the result was "0"), 1 refused or
// failed, 2 usage error.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>

#include <TerminalFace_ZR/TerminalFace_ZR.h>
#include <TerminalFace_ZR/ToolKits.h>

#include "FailureText.h"
#include "Import.h"
#include "JsonLine.h"
#include "PersonInput.h"
#include "ResultBoard.h"

namespace Facepadctl {
namespace {

using Clock = std::chrono::steady_clock;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::TerminalFace_ZR;

constexpr int kAccepted = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;
constexpr const char* kUsage =
    "usage: facepadctl [--host HOST] [--port PORT] [--json] [-v] [--timeout SECONDS] COMMAND "
    "[OPTIONS]\n       facepadctl COMMAND --help";

struct Globals {
  std::string host = "127.0.0.1";
  int port = 10003;
  bool json = false;
  bool verbose = false;
  double timeoutSeconds = 30;
};

// Waits and time-outs are given in seconds, up to a day: every wait ends.
constexpr double kLongestSeconds = 24 * 60 * 60;

std::chrono::milliseconds Milliseconds(double seconds) {
  return std::chrono::milliseconds{std::llround(seconds * 1000)};
}

// Checks a number of seconds, saying in plain words what is wrong with it.
CLI::Validator Seconds(bool zeroAllowed) {
  return {[zeroAllowed](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
              return "'" + text + "' is not a number of seconds";
            }
            if (value < 0 || (value == 0 && !zeroAllowed)) {
              return "give " + std::string(zeroAllowed ? "0 or more" : "more than 0") + " seconds";
            }
            if (value > kLongestSeconds) return text + " s is more than a day (86400 s)";
            return {};
          },
          "SECONDS"};
}

// The options of the operations that carry a request id.
struct RequestOptions {
  std::string sn;
  std::string id;
  double waitSeconds = 0;
};

// The adaptor as facepadctl uses it. Its poller fetches results only for a
// command that awaits its own: the service hands each result to the first
// client that polls, and otherwise they belong to whatever host runs beside.
class Adaptor : public TerminalFace_ZR {
 public:
  explicit Adaptor(const Globals& globals) {
    SetPollerTiming(kNoPolls);
    SetUrl(globals.host);
    SetRequestPort(globals.port);
    const auto total = Milliseconds(globals.timeoutSeconds);
    SetHttpTimeouts(std::min<std::chrono::milliseconds>(total, std::chrono::seconds(5)), total);
    SetResultCallbackFace(CollectResults);
  }

  // From now on the poller polls soon and often: half a second after the
  // adaptor was made, then every 250 ms.
  void AwaitResults() { SetPollerTiming(kAwaiting); }

 private:
  // Longer than any command runs (every wait is at most a day).
  static constexpr PollerTiming kNoPolls{std::chrono::hours(48), std::chrono::hours(48),
                                         std::chrono::hours(48)};
  static constexpr PollerTiming kAwaiting{std::chrono::milliseconds(500),
                                          std::chrono::milliseconds(250),
                                          std::chrono::milliseconds(250)};
};

std::string NewRequestId() {
  std::random_device random;
  char text[16];
  std::snprintf(text, sizeof text, "req%08x", random());
  return text;
}

void Print(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Waits for the result of request `id` on terminal `sn`.
std::optional<std::string> WaitForResult(const std::string& sn, const std::string& id,
                                         std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  InterruptOnSignals();
  while (Clock::now() < deadline && !g_interrupted) {
    for (const Result& result : TakeResults(std::chrono::milliseconds(100))) {
      if (result.sn == sn && result.id == id) return result.code;
    }
  }
  return std::nullopt;
}

// Points at -v, unless it was given.
std::string VerboseHint(const Globals& globals) {
  return globals.verbose ? "" : " (run with -v to see the adaptor's log)";
}

// Reports whether a request was accepted and, with --wait, its result.
int ReportRequest(const Globals& globals, const std::string& command, const RequestOptions& request,
                  bool accepted) {
  const std::string failure = accepted ? std::string() : LastFailureText();
  if (globals.json) {
    JsonLine line;
    line.Add("command", command).Add("sn", request.sn).Add("id", request.id);
    line.Add("accepted", accepted);
    if (!accepted) line.Add("detail", failure);
    Print(line.Text());
  } else {
    Print(command + " " + request.sn + " id " + request.id + ": " +
          (accepted ? "accepted" : failure + VerboseHint(globals)));
  }
  if (!accepted) return kFailed;
  if (request.waitSeconds <= 0) return kAccepted;

  const std::optional<std::string> code =
      WaitForResult(request.sn, request.id, Milliseconds(request.waitSeconds));
  if (globals.json) {
    JsonLine line;
    line.Add("sn", request.sn).Add("id", request.id);
    code ? line.Add("result", *code) : line.AddNull("result").Add("waited", request.waitSeconds);
    Print(line.Text());
  } else if (code) {
    Print("result " + request.sn + " id " + request.id + ": " + *code +
          (*code == "0" ? " (done)" : ""));
  } else {
    std::ostringstream seconds;
    seconds << request.waitSeconds;
    Print("no result for id " + request.id + " within " + seconds.str() + " s");
  }
  return code && *code == "0" ? kAccepted : kFailed;
}

// Reports a command without a request id: `okText` when it succeeded,
// otherwise why it failed (after `failedText`, when there is one).
int ReportPlain(const Globals& globals, const std::string& command, bool ok, const char* okText,
                const char* failedText = nullptr) {
  const std::string failure = ok ? std::string() : LastFailureText();
  if (globals.json) {
    JsonLine line;
    line.Add("command", command).Add("ok", ok);
    if (!ok) line.Add("detail", failure);
    Print(line.Text());
  } else if (ok) {
    Print(command + ": " + okText);
  } else {
    Print(command + ": " +
          (failedText != nullptr ? std::string(failedText) + ": " + failure : failure));
  }
  return ok ? kAccepted : kFailed;
}

// Adds the options of an operation that carries a request id.
void AddRequestOptions(CLI::App* command, RequestOptions& request) {
  command->add_option("--sn", request.sn, "the terminal's serial number")->required();
  command->add_option("--id", request.id, "request id (generated when not given)");
  command->add_option("--wait", request.waitSeconds, "wait up to SECONDS for the request's result")
      ->check(Seconds(true));
}

struct PersonOptions {
  std::vector<std::string> fields;
  std::string personFile;
  std::string photo;
  std::string certnum;
};

void AddPersonOptions(CLI::App* command, PersonOptions& person) {
  command->add_option("--field", person.fields, "a person field as key=value (repeatable)");
  command->add_option("--person", person.personFile, "a JSON file with the person's fields");
}

ParamMap ReadPerson(const PersonOptions& options) {
  Person person = options.personFile.empty() ? Person{} : ReadPersonFile(options.personFile);
  AddFields(person, options.fields);
  if (!options.certnum.empty()) person["certnum"] = options.certnum;
  return person;
}

int Run(int argc, char** argv) {
  CLI::App app{"facepadctl: drive a facepad service through the TerminalFace_ZR adaptor"};
  app.require_subcommand(0, 1);
  app.fallthrough();
  Globals globals;
  app.add_option("--host", globals.host, "address of the facepad service")->capture_default_str();
  app.add_option("--port", globals.port, "port of the facepad service")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_flag("--json", globals.json, "machine-readable output: one JSON object per line");
  app.add_flag("-v,--verbose", globals.verbose, "print the adaptor's log records on stderr");
  app.add_option("--timeout", globals.timeoutSeconds, "HTTP time-out in seconds")
      ->check(Seconds(false))
      ->capture_default_str();

  RequestOptions request;
  PersonOptions person;

  CLI::App* available = app.add_subcommand("available", "ask whether the service answers");

  CLI::App* addUser = app.add_subcommand("add-user", "add a person, optionally with a photo");
  AddRequestOptions(addUser, request);
  AddPersonOptions(addUser, person);
  addUser->add_option("--photo", person.photo, "a JPEG or PNG face picture");

  CLI::App* setUser = app.add_subcommand("set-user", "update a person");
  AddRequestOptions(setUser, request);
  AddPersonOptions(setUser, person);

  CLI::App* delUser = app.add_subcommand("del-user", "delete a person");
  AddRequestOptions(delUser, request);
  delUser->add_option("--certnum", person.certnum, "the person's certnum")->required();

  CLI::App* setPhoto = app.add_subcommand("set-photo", "set a person's face photo");
  AddRequestOptions(setPhoto, request);
  setPhoto->add_option("--certnum", person.certnum, "the person's certnum")->required();
  setPhoto->add_option("--photo", person.photo, "a JPEG or PNG face picture")->required();

  std::string bindSn;
  std::string ip;
  std::string devicePort;
  std::string username;
  std::string password;
  std::string level = "Administrator";
  int channel = 0;
  CLI::App* bind = app.add_subcommand("bind", "bind a terminal (activating it first)");
  bind->add_option("--sn", bindSn, "the terminal's serial number")->required();
  bind->add_option("--channel", channel, "channel number")->capture_default_str();
  bind->add_option("--ip", ip, "the terminal's address");
  bind->add_option("--device-port", devicePort, "the terminal's port");
  bind->add_option("--username", username, "account on the terminal");
  bind->add_option("--password", password, "its password");

  CLI::App* unbind = app.add_subcommand("unbind", "release a terminal");
  unbind->add_option("--sn", bindSn, "the terminal's serial number")->required();

  CLI::App* status = app.add_subcommand("status", "ask whether a terminal is connected");
  status->add_option("--sn", bindSn, "the terminal's serial number")->required();

  CLI::App* activate = app.add_subcommand("activate", "activate a terminal with an account");
  AddRequestOptions(activate, request);
  activate->add_option("--username", username, "account name");
  activate->add_option("--password", password, "its password");
  activate->add_option("--level", level, "user level")->capture_default_str();

  CLI::App* activationStatus =
      app.add_subcommand("activation-status", "ask for a terminal's activation status");
  AddRequestOptions(activationStatus, request);

  CLI::App* control = app.add_subcommand("control", "send a terminal the device-control command");
  AddRequestOptions(control, request);

  std::string listenPort;
  std::string reset;
  CLI::App* setListenPort =
      app.add_subcommand("set-listen-port", "change the service's own listening port");
  setListenPort->add_option("--listen-port", listenPort, "the new port, as text")->required();
  setListenPort->add_option("--reset", reset, "the reset value, as text");

  int watchCount = 0;
  double watchSeconds = 0;
  CLI::App* watch = app.add_subcommand("watch", "print results as they arrive, until Ctrl-C");
  watch->add_option("--count", watchCount, "stop after this many results")
      ->check(CLI::NonNegativeNumber);
  watch->add_option("--for", watchSeconds, "stop after this many seconds")->check(Seconds(true));

  ImportOptions import;
  double importWait = 30;
  CLI::App* importCommand = app.add_subcommand("import", "add the persons of a CSV file");
  importCommand->add_option("file", import.csvPath, "CSV file, one person per row")->required();
  importCommand->add_option("--sn", import.sn, "the terminal's serial number")->required();
  importCommand->add_option("--jobs", import.jobs, "requests in parallel")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  importCommand->add_option("--wait", importWait, "seconds to wait for results once all are sent")
      ->check(Seconds(true))
      ->capture_default_str();
  importCommand->add_option("--failures", import.failuresPath,
                            "where to write the failed rows (default: FILE.failed.csv)");

  app.set_version_flag("--version", "facepadctl " ZR_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help
    std::cerr << "facepadctl: " << error.what() << "\n" << kUsage << "\n";
    return kUsageError;
  }

  if (app.get_subcommands().empty()) {
    std::cerr << "facepadctl: no command given\n" << kUsage << "\n";
    return kUsageError;
  }
  if (!globals.verbose) ko_libos_log_debug_ex = nullptr;
  if (request.id.empty()) request.id = NewRequestId();
  Adaptor adaptor(globals);
  if (request.waitSeconds > 0 || watch->parsed() || (importCommand->parsed() && importWait > 0)) {
    adaptor.AwaitResults();
  }

  const auto requestCommand = [&](CLI::App* command, const std::function<bool()>& call) {
    return ReportRequest(globals, command->get_name(), request, call());
  };
  if (available->parsed()) {
    ParamMap params;
    return ReportPlain(globals, "available", adaptor.GetAvailableFace(params), "available",
                       "not available");
  }
  if (addUser->parsed()) {
    ParamMap fields = ReadPerson(person);
    if (!person.photo.empty()) fields["facepic"] = ReadPhoto(person.photo).base64;
    return requestCommand(addUser, [&] { return adaptor.AddUser(request.id, request.sn, fields); });
  }
  if (setUser->parsed()) {
    ParamMap fields = ReadPerson(person);
    return requestCommand(setUser, [&] { return adaptor.SetUser(request.id, request.sn, fields); });
  }
  if (delUser->parsed()) {
    ParamMap fields{{"certnum", person.certnum}};
    return requestCommand(delUser, [&] { return adaptor.DelUser(request.id, request.sn, fields); });
  }
  if (setPhoto->parsed()) {
    const Photo photo = ReadPhoto(person.photo);
    ParamMap fields{{"certnum", person.certnum},
                    {"size", std::to_string(photo.bytes)},
                    {"content", photo.base64}};
    return requestCommand(setPhoto,
                          [&] { return adaptor.SetBiophoto(request.id, request.sn, fields); });
  }
  if (bind->parsed()) {
    return ReportPlain(
        globals, "bind " + bindSn,
        adaptor.BindTerminalFace(bindSn, channel, ip, devicePort, username, password), "bound");
  }
  if (unbind->parsed()) {
    return ReportPlain(globals, "unbind " + bindSn, adaptor.UnBindTerminalFace(bindSn), "released");
  }
  if (status->parsed()) {
    return ReportPlain(globals, "status " + bindSn, adaptor.GetTerminalStatusFace(bindSn),
                       "connected");
  }
  if (activate->parsed()) {
    return requestCommand(activate, [&] {
      return adaptor.Active(request.id, request.sn, username, password, level);
    });
  }
  if (activationStatus->parsed()) {
    return requestCommand(activationStatus,
                          [&] { return adaptor.ActivationStatus(request.id, request.sn); });
  }
  if (control->parsed()) {
    return requestCommand(
        control, [&] { return adaptor.ControlDeviceFace(request.id, request.sn, "", "", ""); });
  }
  if (setListenPort->parsed()) {
    return ReportPlain(globals, "set-listen-port " + listenPort,
                       adaptor.SetListenPortFace(listenPort, reset), "accepted");
  }
  if (watch->parsed()) {
    InterruptOnSignals();
    const auto end =
        watchSeconds > 0 ? Clock::now() + Milliseconds(watchSeconds) : Clock::time_point::max();
    int seen = 0;
    while (!g_interrupted && Clock::now() < end && (watchCount == 0 || seen < watchCount)) {
      for (const Result& result : TakeResults(std::chrono::milliseconds(100))) {
        ++seen;
        Print(globals.json ? JsonLine()
                                 .Add("sn", result.sn)
                                 .Add("id", result.id)
                                 .Add("result", result.code)
                                 .Text()
                           : "result " + result.sn + " id " + result.id + ": " + result.code);
      }
    }
    return kAccepted;
  }
  if (importCommand->parsed()) {
    InterruptOnSignals();
    import.json = globals.json;
    import.wait = Milliseconds(importWait);
    const ImportSummary summary = RunImport(adaptor, import);
    if (globals.json) {
      Print(SummaryJson(summary));
    } else {
      Print("import: " + SummaryText(summary));
      if (!summary.failuresPath.empty()) Print("failed rows written to " + summary.failuresPath);
    }
    const bool allDone = summary.succeeded == summary.rows;
    return allDone && !g_interrupted ? kAccepted : kFailed;
  }
  return kUsageError;
}

}  // namespace
}  // namespace Facepadctl

int main(int argc, char** argv) {
  try {
    return Facepadctl::Run(argc, argv);
  } catch (const Facepadctl::InputError& error) {
    std::cerr << "facepadctl: " << error.what() << "\n" << Facepadctl::kUsage << "\n";
    return Facepadctl::kUsageError;
  } catch (const std::exception& error) {
    std::cerr << "facepadctl: " << error.what() << "\n";
    return Facepadctl::kFailed;
  }
}
