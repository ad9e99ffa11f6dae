// watch: prints results as the service hands them out, with the time they
// arrived, until Ctrl-C, --count results or --for seconds.
#include <memory>

#include "Adaptor.h"
#include "Arguments.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "Output.h"
#include "Signals.h"

namespace Facepadctl {
namespace {

using Clock = std::chrono::steady_clock;

// Polls bring nothing either when nothing happens or when the service is
// down: after this long without a result the service is probed.
constexpr auto kProbeAfterSilence = std::chrono::seconds(2);

struct WatchOptions {
  int count = 0;  // 0: no limit
  double seconds = 0;
};

// Whether the service is available; says why on stderr when it is not.
bool ServiceAvailable(Adaptor& adaptor, const Globals& globals) {
  ZR_Framework::Face::ParamMap none;
  if (adaptor.GetAvailableFace(none)) return true;
  Note("watch: the service at " + globals.host + ":" + std::to_string(globals.port) +
       " is not available: " + FailureText(Adaptor::LastFailure()));
  return false;
}

int RunWatch(const Globals& globals, const WatchOptions& options) {
  Adaptor adaptor(globals, true);
  InterruptOnSignals();
  if (!ServiceAvailable(adaptor, globals)) return kFailed;
  const auto end =
      options.seconds > 0 ? Clock::now() + Milliseconds(options.seconds) : Clock::time_point::max();
  auto lastHeard = Clock::now();
  int seen = 0;
  while (!g_interrupted && Clock::now() < end && (options.count == 0 || seen < options.count)) {
    const std::vector<Result> results = adaptor.TakeResults(std::chrono::milliseconds(100));
    for (const Result& result : results) {
      Outcome outcome{"result", result.sn, result.id};
      outcome.time = TimeNow();
      outcome.status = result.code == "0" ? Status::Done : Status::Result;
      outcome.result = result.code;
      Emit(outcome, result.code, Stream::Stdout);
      ++seen;  // a poll's results are all printed: the service hands them out once
    }
    if (!results.empty()) {
      lastHeard = Clock::now();
    } else if (Clock::now() - lastHeard > kProbeAfterSilence) {
      if (!ServiceAvailable(adaptor, globals)) return kFailed;
      lastHeard = Clock::now();
    }
  }
  if (g_interrupted) {
    Note("watch: interrupted after " + std::to_string(seen) + " results");
    return InterruptedExitCode();
  }
  // Nothing seen proves nothing when every poll failed.
  const std::string pollsFailing = adaptor.PollsFailing();
  if (adaptor.PollsEnded() == 0 || pollsFailing.empty()) return kSucceeded;
  Note("watch: " + pollsFailing);
  return kFailed;
}

}  // namespace

Subcommand AddWatch(CLI::App& parent) {
  auto options = std::make_shared<WatchOptions>();
  CLI::App* command = parent.add_subcommand("watch", "print results as they arrive, until Ctrl-C");
  command->add_option("--count", options->count, "stop once this many results came")
      ->check(Whole(1, 1000000000));
  command->add_option("--for", options->seconds, "stop after this many seconds")
      ->check(Seconds(false));
  return {command, [options](const Globals& globals) { return RunWatch(globals, *options); }};
}

}  // namespace Facepadctl
