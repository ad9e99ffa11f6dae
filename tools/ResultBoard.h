// Where the adaptor's result callback leaves results for facepadctl's main
// thread. The callback takes every result it is handed and empties the map,
// so each result is taken once.
#ifndef FACEPADCTL_RESULT_BOARD_H
#define FACEPADCTL_RESULT_BOARD_H

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include <TerminalFace_ZR/CLS_TerminalFace_Base.h>

namespace Facepadctl {

struct Result {
  std::string sn;
  std::string id;
  std::string code;
};

// The adaptor's result callback.
int CollectResults(ZR_Framework::Face::ResultMap& results);

// The results collected since the last call; waits up to `limit` for one.
std::vector<Result> TakeResults(std::chrono::milliseconds limit);

// Raised by SIGINT and SIGTERM once InterruptOnSignals() has run; the exit
// code that reports it is 128 + the signal's number (130, 143).
extern std::atomic<bool> g_interrupted;
void InterruptOnSignals();
int InterruptedExitCode();

}  // namespace Facepadctl

#endif  // FACEPADCTL_RESULT_BOARD_H
