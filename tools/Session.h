// What every facepadctl command shares: the global options, the exit codes
// and the adaptor as the tool uses it.
#ifndef FACEPADCTL_SESSION_H
#define FACEPADCTL_SESSION_H

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <TerminalFace_ZR/TerminalFace_ZR.h>

#include "ResultBoard.h"

namespace Facepadctl {

struct Globals {
  std::string host = "127.0.0.1";
  int port = 10003;
  bool json = false;
  bool verbose = false;
  double timeoutSeconds = 30;
};

// 0: everything succeeded. 1: anything failed, was refused, was bad or got
// no result. 2: the command line was wrong. 128 + N: signal N interrupted.
constexpr int kSucceeded = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

// A value on the command line that cannot be used; its message names it.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::chrono::milliseconds Milliseconds(double seconds);

// The adaptor as facepadctl uses it. Its poller polls only for a command that
// awaits results, 250 ms after the start and 250 ms after each poll ends:
// the service hands each result to the first client that polls, and
// otherwise the results belong to whatever host runs beside the tool.
class Adaptor : public ZR_Framework::Face::TerminalFace_ZR {
 public:
  Adaptor(const Globals& globals, bool awaitsResults);

  // The results this adaptor's poller has brought since the last call; waits
  // up to `limit` for one.
  std::vector<Result> TakeResults(std::chrono::milliseconds limit);

 private:
  // Shared with the handler, which may run until the base destructor has
  // stopped the poller, after this class's members are gone.
  std::shared_ptr<ResultBoard> m_board = std::make_shared<ResultBoard>();
};

// A request id that keeps this run's requests apart from other runs'.
std::string NewRequestId(const char* prefix);

}  // namespace Facepadctl

#endif  // FACEPADCTL_SESSION_H
