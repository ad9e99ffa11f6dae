// ResultPoller fetches the facepad service's results on a thread of its own
// and hands them to its adaptor's result callback.
//
// Creates the thread on construction; stops and joins it on destruction. The
// destructor wakes a waiting poller at once and returns as soon as a poll in
// flight ends (the HTTP client's time-out bounds it). Once the destructor has
// begun, the callback is not called any more.
#ifndef TERMINALFACE_ZR_RESULT_POLLER_H
#define TERMINALFACE_ZR_RESULT_POLLER_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "CLS_TerminalFace_Base.h"

namespace ZR_Framework {
namespace Face {

class TerminalFace_ZR;

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

class ResultPoller {
 public:
  // Polls are `tick` x 80 apart at first, then `tick` x 10 or x 80.
  ResultPoller(TerminalFace_ZR& adaptor, std::chrono::milliseconds tick);
  ~ResultPoller();
  ResultPoller(const ResultPoller&) = delete;
  ResultPoller& operator=(const ResultPoller&) = delete;

 private:
  void SlotTimerTimeout();  // the thread's body
  // Waits `ticks` ticks; false when asked to stop meanwhile.
  bool WaitTicks(int ticks);
  void Poll();
  // Hands the result map to the callback when it holds undelivered results.
  // `fresh`: results arrived in this poll (a missing callback is then logged).
  void DeliverPending(bool fresh);
  bool Stopping();

  TerminalFace_ZR& m_adaptor;
  const std::chrono::milliseconds m_tick;

  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_quit = false;  // guarded by m_mutex

  // The poller thread's own state.
  ResultMap m_results;  // kept for the poller's whole life
  int m_idleCount = 0;
  int m_waitCount;
  bool m_undelivered = false;

  std::thread m_thread;  // last: starts once everything above exists
};

}  // namespace Face
}  // namespace ZR_Framework

#endif  // TERMINALFACE_ZR_RESULT_POLLER_H
