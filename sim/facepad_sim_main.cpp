// facepad-sim: the facepad service simulator as a program. Serves until
// SIGINT or SIGTERM, logging one line per request.
#include <pthread.h>
#include <CLI/CLI.hpp>
#include <csignal>

#include <cstdio>
#include <ctime>
#include <exception>
#include <string>

#include "FacepadSimulator.h"

namespace {

void PrintLine(const std::string& line) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::printf("%s %s\n", stamp, line.c_str());  // one call per line: lines never interleave
  std::fflush(stdout);
}

}  // namespace

// Only setting up the command line can throw here, when memory runs out.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
  CLI::App app{"facepad-sim: a facepad service simulator on a local port"};
  FacepadSim::SimulatorOptions options;
  options.port = 10003;
  options.journalLimit = 1000;  // it serves for as long as it is left running
  bool quiet = false;
  app.add_option("--host", options.host, "address to listen on")->capture_default_str();
  app.add_option("--port", options.port, "port to listen on (0: any free port)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_flag("-q,--quiet", quiet, "do not log requests");
  CLI11_PARSE(app, argc, argv);
  if (!quiet) options.requestLog = PrintLine;

  // Signals are taken by sigwait below, never by the server's threads.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    FacepadSim::FacepadSimulator simulator(options);
    PrintLine("facepad-sim listening on http://" + simulator.Host() + ":" +
              std::to_string(simulator.Port()));
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
