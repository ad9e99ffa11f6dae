#include "Adaptor.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <random>

#include <TerminalFace_ZR/ToolKits.h>

#include "Arguments.h"
#include "Output.h"

namespace Facepadctl {
namespace {

using ZR_Framework::Face::TerminalFace_ZR;

// Longer than any command runs (every wait is at most a day).
constexpr TerminalFace_ZR::PollerTiming kNoPolls{TerminalFace_ZR::kLongestPollInterval,
                                                 TerminalFace_ZR::kLongestPollInterval,
                                                 TerminalFace_ZR::kLongestPollInterval};
// The same interval throughout: an answer with an empty list keeps the
// interval it finds, the first one included.
constexpr TerminalFace_ZR::PollerTiming kAwaiting{
    std::chrono::milliseconds(250), std::chrono::milliseconds(250), std::chrono::milliseconds(250)};
// Once nothing more is sent, the last results are polled for at once (the
// library's shortest wait), then every 50 ms: a sync ends a poll or so after
// its last post.
constexpr TerminalFace_ZR::PollerTiming kAtOnce{TerminalFace_ZR::kShortestPollInterval,
                                                TerminalFace_ZR::kShortestPollInterval,
                                                TerminalFace_ZR::kShortestPollInterval};
constexpr TerminalFace_ZR::PollerTiming kLastResults{
    std::chrono::milliseconds(50), std::chrono::milliseconds(50), std::chrono::milliseconds(50)};

// The library's records on stderr, a line each as its own logger writes
// them, but through Printable(): a record may quote what the service said.
__attribute__((format(printf, 4, 5))) int WriteRecord(int level, const char* source, int line,
                                                      const char* format, ...) {
  char message[2048] = "";
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
  }
  Record("[" + std::to_string(level) + "] " + (source != nullptr ? source : "") + ":" +
         std::to_string(line) + " " + message);
  return 0;
}

}  // namespace

void SetLibraryLogging(bool verbose) {
  ko_libos_log_debug_ex = verbose ? WriteRecord : nullptr;
}

Adaptor::Adaptor(const Globals& globals, bool awaitsResults) {
  SetPollerTiming(awaitsResults ? kAwaiting : kNoPolls);
  SetUrl(globals.host);
  SetRequestPort(globals.port);
  const auto total = Milliseconds(globals.timeoutSeconds);
  SetHttpTimeouts(std::min<std::chrono::milliseconds>(total, std::chrono::seconds(5)), total);
  SetResultHandler([board = m_board](ZR_Framework::Face::ResultMap& results) {
    return board->Collect(results);
  });
  SetExchangeObserver([polls = m_pollsEnded, seen = m_seenFailures](const Exchange& exchange) {
    if (exchange.path == "facepad/active" && !exchange.body.empty()) {
      seen->activationFailure = static_cast<int>(exchange.failure);
      seen->activationStatus = exchange.status;
    }
    if (exchange.path != "facepad/getresult") return;
    if (exchange.failure == Failure::None) {
      seen->pollAnswered = true;
    } else {
      seen->pollFailure = static_cast<int>(exchange.failure);
      seen->pollStatus = exchange.status;
    }
    ++*polls;  // last: what a poll ended with is known once it is counted
  });
}

std::string Adaptor::PollsFailing() const {
  if (PollsEnded() == 0) return "no result poll has ended yet";
  if (m_seenFailures->pollAnswered) return {};
  const FailureReason reason{static_cast<Failure>(m_seenFailures->pollFailure.load()),
                             m_seenFailures->pollStatus.load()};
  return "every result poll failed: " + FailureText(reason);
}

std::string Adaptor::ActivationFailure() const {
  const FailureReason reason{static_cast<Failure>(m_seenFailures->activationFailure.load()),
                             m_seenFailures->activationStatus.load()};
  return reason.failure == Failure::None ? std::string() : FailureText(reason);
}

void Adaptor::AwaitLastResults() {
  m_pollingAtOnceFrom = PollsEnded();
  SetPollerTiming(kAtOnce);
}

std::vector<Result> Adaptor::TakeResults(std::chrono::milliseconds limit) {
  if (m_pollingAtOnceFrom) {
    // A poll under way when it was asked for may have started before the
    // last posts: one whole poll after it is heard first.
    if (PollsEnded() < *m_pollingAtOnceFrom + 2) {
      return m_board->Take(std::min(limit, TerminalFace_ZR::kShortestPollInterval));
    }
    m_pollingAtOnceFrom.reset();
    SetPollerTiming(kLastResults);
  }
  return m_board->Take(limit);
}

std::string NewRequestId(const char* prefix) {
  std::random_device random;
  char text[32];
  std::snprintf(text, sizeof text, "%s%08x", prefix, random());
  return text;
}

}  // namespace Facepadctl
