// The adaptor as facepadctl uses it.
#ifndef FACEPADCTL_ADAPTOR_H
#define FACEPADCTL_ADAPTOR_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <TerminalFace_ZR/TerminalFace_ZR.h>

#include "Globals.h"
#include "ResultBoard.h"

namespace Facepadctl {

// Silences the library's logger unless -v was given; with it, each record
// is a line on stderr, escaped as every line is. The logger is a plain
// global that every adaptor's threads read: it is set once, in main, before
// any adaptor exists.
void SetLibraryLogging(bool verbose);

// Its poller polls only for a command that awaits results, 250 ms after the
// start and 250 ms after each poll ends: the service hands each result to
// the first client that polls, and otherwise the results belong to whatever
// host runs beside the tool.
class Adaptor : public ZR_Framework::Face::TerminalFace_ZR {
 public:
  Adaptor(const Globals& globals, bool awaitsResults);

  // Result polls that have ended since the adaptor was made, answered or
  // not. When a poll has ended, the results of the poll before it have been
  // handed to the board.
  std::uint64_t PollsEnded() const { return m_pollsEnded->load(); }
  // Why no result can have come: no poll has ended yet, or every one
  // failed (and how the last did); empty once one has been answered.
  std::string PollsFailing() const;
  // How the last activation failed (BindTerminalFace activates first, and
  // binds whatever came of it); empty when it succeeded or none was made.
  std::string ActivationFailure() const;

  // Polls at once, then every 50 ms: everything has been sent, and only its
  // results are awaited. Called from the thread that takes the results.
  void AwaitLastResults();

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
  // Set while the poll AwaitLastResults() asked for at once is awaited: the
  // count of polls ended by then.
  std::optional<std::uint64_t> m_pollingAtOnceFrom;
  // Counted by the exchange observer, on the poller's thread; shared with
  // it, as the board is with the handler.
  std::shared_ptr<std::atomic<std::uint64_t>> m_pollsEnded =
      std::make_shared<std::atomic<std::uint64_t>>(0);
  // What the same observer saw fail: whether a poll was answered (status
  // 200), the last failed poll's failure and status, and the last
  // activation's (a "facepad/active" post with a body; the availability
  // probe has none).
  struct SeenFailures {
    std::atomic<bool> pollAnswered{false};
    std::atomic<int> pollFailure{0};
    std::atomic<int> pollStatus{0};
    std::atomic<int> activationFailure{0};
    std::atomic<int> activationStatus{0};
  };
  std::shared_ptr<SeenFailures> m_seenFailures = std::make_shared<SeenFailures>();
};

// A request id that keeps this run's requests apart from other runs'.
std::string NewRequestId(const char* prefix);

}  // namespace Facepadctl

#endif  // FACEPADCTL_ADAPTOR_H
