// ResultPoller fetches the facepad service's results on a thread of its own
// and hands them to its adaptor's result callback.
//
// Creates the thread on construction; stops it on destruction. The destructor
// raises a flag, wakes a waiting poller, interrupts a poll in flight, and
// joins the thread. Once the flag is raised no callback starts; one that the
// poller had already begun runs to its end, and the join waits for it. Run
// on the poller's own thread (the host destroyed the adaptor inside its
// callback), the destructor lets the thread end by itself as soon as the
// callback returns. Stop() ends polling gracefully instead: a poll in flight
// runs to its end, within a bound, and its results are delivered.
#ifndef TERMINALFACE_ZR_RESULT_POLLER_H
#define TERMINALFACE_ZR_RESULT_POLLER_H

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "CLS_TerminalFace_Base.h"
#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

// Where the result array stands in an answer of "facepad/getresult": after
// the first "result" and one more character, from an opening bracket.
enum class ResultFrame {
  None,       // no array there: the poll found nothing
  EmptyList,  // the array written "[]"
  List,       // anything else from the bracket on
};

// Frames `answer`; for ResultFrame::List, `list` receives the text from the
// bracket to the end of the answer (or to its first zero byte).
ResultFrame FrameResultAnswer(const std::string& answer, std::string& list);

// Adds the results of one answer, `fresh`, to those not yet handed over:
// per serial number, entries add up and an id reported again keeps its
// latest outcome; a serial number without entries is added when new.
void MergeResults(ResultMap& fresh, ResultMap& pending);

// Gives each serial number that `from` names its entries from `from`, as a
// whole, in `results`, and empties `from`. Allocates nothing: serial numbers
// new to `results` move over with their nodes, the others swap their entries.
void ReplaceSerialNumbers(ResultMap& from, ResultMap& results);

using PollerTiming = TerminalFace_ZR::PollerTiming;
using ResultHandler = TerminalFace_ZR::ResultHandler;
using ExchangeObserver = TerminalFace_ZR::ExchangeObserver;

// `timing` with each interval brought within the poller's range.
PollerTiming ClampedTiming(const PollerTiming& timing);

class ResultPoller {
 public:
  ResultPoller(TerminalFace_ZR& adaptor, PollerTiming timing);
  ~ResultPoller();
  ResultPoller(const ResultPoller&) = delete;
  ResultPoller& operator=(const ResultPoller&) = delete;

  // From the wait under way on: a wait is measured from its start again
  // with the new interval (and ends at once if that has passed).
  void SetTiming(PollerTiming timing);

  // What results are handed to from the next delivery on; null for none. A
  // delivery under way keeps the handler it began with.
  void SetHandler(std::shared_ptr<const ResultHandler> handler);

  // No poll starts from here on. A poll in flight is waited for, up to
  // `bound`, then interrupted; a delivery under way runs to its end, and
  // results still waiting for a handler are handed to the one registered.
  // True when no poll was interrupted and no results are left without a
  // handler. On the poller's own thread (inside the handler) it returns at
  // once. Final: polling never resumes.
  bool Stop(std::chrono::milliseconds bound);

  // The adaptor's exchange observer: kept here, beside the handler, so that
  // the poll and the operations read it the same way. Observer() is null
  // when none is set, and then takes no lock.
  void SetObserver(std::shared_ptr<const ExchangeObserver> observer);
  std::shared_ptr<const ExchangeObserver> Observer() const;

 private:
  // What the thread and its owner share. The thread holds it too, so that it
  // outlives an adaptor destroyed inside the callback.
  struct State;

  std::shared_ptr<State> m_state;
  std::thread m_thread;  // last: starts once the state exists
};

}  // namespace Face
}  // namespace ZR_Framework

#endif  // TERMINALFACE_ZR_RESULT_POLLER_H
