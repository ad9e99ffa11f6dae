// facepad-sim: the facepad service simulator as a program. Serves until
// SIGINT or SIGTERM, logging one line per request. docs/simulator.md
// describes its options, its page and its admin API.
#include <pthread.h>
#include <CLI/CLI.hpp>
#include <csignal>

#include <cstdio>
#include <ctime>
#include <exception>
#include <optional>
#include <string>
#include <variant>

#include "FacepadSimulator.h"
#include "FaultRule.h"

namespace {

constexpr int kUsageError = 2;

void PrintLine(const std::string& line) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::printf("%s %s\n", stamp, line.c_str());  // one call per line: lines never interleave
  std::fflush(stdout);
}

// Refuses an empty value.
CLI::Validator NotEmpty(const char* name) {
  return {[](std::string& text) { return text.empty() ? "may not be empty" : ""; }, name};
}

// Checks a fault as the admin API and the page would.
CLI::Validator FaultText() {
  return {[](std::string& text) -> std::string {
            const auto parsed = FacepadSim::ParseFault(text);
            const auto* why = std::get_if<std::string>(&parsed);
            return why != nullptr ? *why : std::string();
          },
          "PATH=FAULT"};
}

}  // namespace

// Only setting up the command line can throw here, when memory runs out.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
  CLI::App app{"facepad-sim: a facepad service simulator on a local port"};
  app.name("facepad-sim");
  FacepadSim::SimulatorOptions options;
  options.port = 10003;
  options.state.clear();        // a temporary database unless --state says where
  options.journalLimit = 1000;  // it serves for as long as it is left running
  options.journalBodyLimit = 4096;
  bool quiet = false;
  std::vector<std::string> faults;
  std::optional<std::string> resultCode;
  app.add_option("--host", options.host, "address to listen on")
      ->check(NotEmpty("ADDRESS"))
      ->capture_default_str();
  app.add_option("--port", options.port, "port to listen on (0: any free port)")
      ->check(CLI::Range(0, 65535).description("0 to 65535"))
      ->capture_default_str();
  app.add_option("--max-connections", options.maxConnections,
                 "connections served at once, each on a thread of its own; one more is closed "
                 "at once")
      ->check(CLI::Range(std::size_t{1}, std::size_t{100000}).description("1 to 100000"))
      ->capture_default_str();
  app.add_option("--max-body", options.maxBody,
                 "largest request body in bytes; a larger one gets 413 and its connection closed")
      ->check(CLI::Validator(
          [](std::string& bytes) {
            return bytes.find_first_not_of("0123456789") == std::string::npos &&
                           bytes.find_first_not_of('0') != std::string::npos
                       ? ""
                       : "is a whole number of bytes, 1 or more";
          },
          "BYTES"))
      ->capture_default_str();
  app.add_flag("-q,--quiet", quiet, "do not log requests");
  app.add_option("--state", options.state,
                 "keep the state in this SQLite file (kept across restarts; :memory: keeps it "
                 "in memory; default: a temporary file)");
  app.add_option("--journal", options.journalFile,
                 "append every service request to this file, one JSON line each");
  app.add_option("--fault", faults,
                 "script a fault, PATH=ACTION[:ARG][*COUNT] (repeatable): ACTION is a status "
                 "(500), hang:SECONDS, close, drip:BYTES_PER_SECOND or garbage; PATH an "
                 "endpoint such as facepad/adduser, or *")
      ->check(FaultText());
  app.add_option("--result-code", resultCode,
                 "the result code every operation reports, instead of its own")
      ->check(NotEmpty("CODE"))
      ->check(CLI::Validator(
          [](std::string& text) {
            return text.size() > FacepadSim::ServiceModel::kLongestCode
                       ? "is longer than " +
                             std::to_string(FacepadSim::ServiceModel::kLongestCode) + " bytes"
                       : std::string();
          },
          "CODE"));
  std::string profile;
  app.add_option("--profile", profile,
                 "answer with a service's result codes and answer times: a JSON profile, or "
                 "what facepadctl check --record wrote")
      ->check(CLI::ExistingFile);
  app.set_version_flag("--version", "facepad-sim " ZR_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    std::fprintf(stderr, "facepad-sim: %s (see facepad-sim --help)\n", error.what());
    return kUsageError;
  }
  if (!quiet) options.requestLog = PrintLine;
  if (!profile.empty()) {
    try {
      options.profile = FacepadSim::ReadProfile(profile);
    } catch (const FacepadSim::ProfileError& error) {
      std::fprintf(stderr, "facepad-sim: --profile: %s\n", error.what());
      return kUsageError;
    }
  }

  // Signals are taken by sigwait below, never by the server's threads.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    FacepadSim::FacepadSimulator simulator(options);
    for (const std::string& fault : faults) {
      simulator.AddFault(std::get<FacepadSim::Fault>(FacepadSim::ParseFault(fault)));
    }
    if (resultCode) simulator.Model().SetResultCode(*resultCode);
    const bool ipv6 = simulator.Host().find(':') != std::string::npos;
    const std::string address = (ipv6 ? "[" + simulator.Host() + "]" : simulator.Host()) + ":" +
                                std::to_string(simulator.Port());
    PrintLine("facepad-sim listening on http://" + address + " (its page: http://" + address +
              "/)");
    if (!profile.empty())
      PrintLine("facepad-sim speaks " + profile + ": " + Describe(options.profile));
    int signal = 0;
    sigwait(&stopSignals, &signal);
    PrintLine(std::string("facepad-sim stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    simulator.Stop();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "facepad-sim: %s\n", error.what());
    return 1;
  }
  return 0;
}
