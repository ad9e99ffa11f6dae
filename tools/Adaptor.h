// The adaptor as facepadctl uses it.
#ifndef FACEPADCTL_ADAPTOR_H
#define FACEPADCTL_ADAPTOR_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <TerminalFace_ZR/TerminalFace_ZR.h>

#include "Globals.h"
#include "ResultBoard.h"

namespace Facepadctl {

// Silences the library's logger unless -v was given. A base of Adaptor
// listed before the library's class: the logger is a plain global, so it is
// set before the adaptor's poller thread starts.
class LibraryLogger {
 protected:
  explicit LibraryLogger(bool verbose);
};

// Its poller polls only for a command that awaits results, 250 ms after the
// start and 250 ms after each poll ends: the service hands each result to
// the first client that polls, and otherwise the results belong to whatever
// host runs beside the tool.
class Adaptor : private LibraryLogger, public ZR_Framework::Face::TerminalFace_ZR {
 public:
  Adaptor(const Globals& globals, bool awaitsResults);

  // The results this adaptor's poller has brought since the last call; waits
  // up to `limit` for one.
  std::vector<Result> TakeResults(std::chrono::milliseconds limit);
  // The board the handler fills. It outlives the adaptor, so that results
  // brought while the poller stops can still be taken.
  std::shared_ptr<ResultBoard> Board() const { return m_board; }

 private:
  // Shared with the handler, which may run until the base destructor has
  // stopped the poller, after this class's members are gone.
  std::shared_ptr<ResultBoard> m_board = std::make_shared<ResultBoard>();
};

// A request id that keeps this run's requests apart from other runs'.
std::string NewRequestId(const char* prefix);

}  // namespace Facepadctl

#endif  // FACEPADCTL_ADAPTOR_H
