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
// Once nothing more is sent, the last results are polled for sooner: a
// sync ends up to a poll after its last post.
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
  SetExchangeObserver([polls = m_pollsEnded](const Exchange& exchange) {
    if (exchange.path == "facepad/getresult") ++*polls;
  });
}

void Adaptor::AwaitLastResults() {
  SetPollerTiming(kLastResults);
}

std::vector<Result> Adaptor::TakeResults(std::chrono::milliseconds limit) {
  return m_board->Take(limit);
}

std::string NewRequestId(const char* prefix) {
  std::random_device random;
  char text[32];
  std::snprintf(text, sizeof text, "%s%08x", prefix, random());
  return text;
}

}  // namespace Facepadctl
