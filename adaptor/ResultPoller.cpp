#include "ResultPoller.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "Log.h"
#include "Request.h"
#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

namespace {
// Polls in a row that left the map empty before the poller slows down.
constexpr int kIdlePollsBeforeSlowing = 10;

enum class Wait { First, Busy, Idle };

// Where the poller thread is: what Stop() waits for.
enum class Phase {
  Waiting,  // between polls
  Posting,  // the poll's request is in flight
  Handing,  // the answer is in: parsing it and handing the results over
  Stopped,  // the polling has ended, and what it held has been handed over
};

Wait WaitAfter(int idleCount) {
  return idleCount < kIdlePollsBeforeSlowing ? Wait::Busy : Wait::Idle;
}

std::chrono::milliseconds Interval(const PollerTiming& timing, Wait wait) {
  switch (wait) {
    case Wait::First:
      return timing.first;
    case Wait::Busy:
      return timing.busy;
    case Wait::Idle:
      return timing.idle;
  }
  return timing.idle;
}

// Keeps the shared object this code is in from being unloaded, for a thread
// that still runs in it after its adaptor has gone. Where the adaptor is
// linked into the program itself there is nothing to keep.
void PinThisModule() {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&PinThisModule), &self) == 0 || self.dli_fname == nullptr) {
    return;
  }
  // The handle is never closed: the module's count of users stays raised.
  static_cast<void>(dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE));
}
}  // namespace

PollerTiming ClampedTiming(const PollerTiming& timing) {
  const auto clamp = [](std::chrono::milliseconds interval) {
    return std::clamp(interval, TerminalFace_ZR::kShortestPollInterval,
                      TerminalFace_ZR::kLongestPollInterval);
  };
  return {clamp(timing.first), clamp(timing.busy), clamp(timing.idle)};
}

ResultFrame FrameResultAnswer(const std::string& answer, std::string& list) {
  const std::size_t bracket = ListAfterWord(answer, "result");
  if (bracket == std::string::npos || answer[bracket] != '[') return ResultFrame::None;
  if (bracket + 1 < answer.size() && answer[bracket + 1] == ']') return ResultFrame::EmptyList;
  const char* start = answer.c_str() + bracket;
  list.assign(start, strnlen(start, answer.size() - bracket));
  return ResultFrame::List;
}

void MergeResults(ResultMap& fresh, ResultMap& pending) {
  for (auto& [sn, outcomes] : fresh) {
    ParamMap& waiting = pending[sn];
    if (waiting.empty()) {
      waiting.swap(outcomes);
      continue;
    }
    for (auto& [id, outcome] : outcomes) waiting[id] = std::move(outcome);
  }
}

void ReplaceSerialNumbers(ResultMap& from, ResultMap& results) {
  results.merge(from);
  for (auto& [sn, outcomes] : from) results.find(sn)->second.swap(outcomes);
  from.clear();
}

struct ResultPoller::State {
  State(TerminalFace_ZR& owner, PollerTiming pollTiming)
      : adaptor(owner), timing(ClampedTiming(pollTiming)) {}

  void SlotTimerTimeout();  // the thread's body
  // Waits the interval of `wait`, as the timing stands (and as it changes
  // meanwhile); false when asked to stop. When it returns true the poll has
  // begun (phase Posting).
  bool WaitFor(Wait wait);
  std::shared_ptr<const ExchangeObserver> Observer() {
    if (!observed.load(std::memory_order_relaxed)) return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    return observer;
  }
  // Moves to `next`, and wakes a Stop() that waits for it.
  void Enter(Phase next);
  void Poll();
  // Hands the pending results to the handler when they hold an entry not
  // handed over yet. `fresh`: entries arrived in this poll (a missing
  // handler is then logged).
  void DeliverPending(bool fresh);

  // Used by the thread only inside a poll, which the destructor either waits
  // for or (inside the callback) lets finish without touching it again.
  TerminalFace_ZR& adaptor;

  std::mutex mutex;
  std::condition_variable changed;
  bool quit = false;             // guarded by mutex
  bool stopping = false;         // guarded by mutex
  bool interrupted = false;      // guarded by mutex: Stop() cut a poll
  bool abandoned = false;        // guarded by mutex: that poll had no answer
  bool heldAtStop = false;       // guarded by mutex: results no handler took when the polling ended
  Phase phase = Phase::Waiting;  // guarded by mutex
  PollerTiming timing;           // guarded by mutex
  int timingChanges = 0;         // guarded by mutex
  std::shared_ptr<const ResultHandler> handler;      // guarded by mutex
  std::shared_ptr<const ExchangeObserver> observer;  // guarded by mutex
  std::atomic<bool> observed{false};                 // whether `observer` is set

  // The thread's own.
  ResultMap results;  // the host's map, kept for the poller's whole life
  ResultMap pending;  // parsed and not yet handed over
  bool undelivered = false;
  int idleCount = 0;
  Wait next = Wait::First;
};

ResultPoller::ResultPoller(TerminalFace_ZR& adaptor, PollerTiming timing)
    : m_state(std::make_shared<State>(adaptor, timing)),
      m_thread([state = m_state] { state->SlotTimerTimeout(); }) {}

// Notified under the lock: once it is let go, the poller may deliver to a
// handler that destroys this adaptor.
void ResultPoller::SetTiming(PollerTiming timing) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->timing = ClampedTiming(timing);
  ++m_state->timingChanges;
  m_state->changed.notify_all();
}

void ResultPoller::SetHandler(std::shared_ptr<const ResultHandler> handler) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->handler.swap(handler);
  // The handler replaced is released outside the lock, by `handler`.
}

void ResultPoller::SetObserver(std::shared_ptr<const ExchangeObserver> observer) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->observed = observer != nullptr;
  m_state->observer.swap(observer);
}

std::shared_ptr<const ExchangeObserver> ResultPoller::Observer() const {
  return m_state->Observer();
}

bool ResultPoller::Stop(std::chrono::milliseconds bound) {
  State& state = *m_state;
  std::unique_lock<std::mutex> lock(state.mutex);
  state.stopping = true;
  state.changed.notify_all();
  // Inside the handler: the delivery under way is this very call's caller.
  if (std::this_thread::get_id() == m_thread.get_id()) return true;
  // A bound of centuries would overflow the clock's deadline, and cut the
  // poll at once: it waits at most as long as the longest interval.
  bound = std::min(bound, std::chrono::milliseconds(TerminalFace_ZR::kLongestPollInterval));
  if (!state.changed.wait_for(lock, bound, [&] { return state.phase != Phase::Posting; })) {
    state.interrupted = true;
    lock.unlock();
    state.adaptor.m_httpTool.InterruptPosts();
    lock.lock();
  }
  state.changed.wait(lock, [&] { return state.phase == Phase::Stopped; });
  return !state.abandoned && !state.heldAtStop;
}

ResultPoller::~ResultPoller() {
  const bool onPollerThread = std::this_thread::get_id() == m_thread.get_id();
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->quit = true;  // no callback starts from here on
  }
  m_state->changed.notify_all();
  m_state->adaptor.m_httpTool.InterruptPosts();
  if (onPollerThread) {
    // The host is destroying the adaptor inside its own callback, on this
    // thread, which cannot join itself. Once the callback returns, the thread
    // touches nothing but the state it shares, sees the flag and ends: the
    // one thread of ours that is not joined. The module it runs in stays
    // loaded until then, even if the host unloads it.
    PinThisModule();
    m_thread.detach();
  } else {
    m_thread.join();  // after a callback that had started, if any
  }
}

void ResultPoller::State::SlotTimerTimeout() {
  while (WaitFor(next)) {
    try {
      Poll();
    } catch (...) {
      // Out of memory, most likely: this poll is lost, and the poller goes on
      // at its cadence.
      ZR_LOG("SlotTimerTimeout poll failed with an exception");
    }
    Enter(Phase::Waiting);
  }
  // Asked to stop: results that waited for a handler registered since the
  // last poll are handed over here, as no poll follows.
  DeliverPending(false);
  {
    std::lock_guard<std::mutex> lock(mutex);
    heldAtStop = undelivered;  // no handler took them: they are lost
    phase = Phase::Stopped;
  }
  changed.notify_all();
}

bool ResultPoller::State::WaitFor(Wait wait) {
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    const int changesSeen = timingChanges;
    const auto deadline = start + Interval(timing, wait);
    if (changed.wait_until(lock, deadline,
                           [&] { return quit || stopping || timingChanges != changesSeen; })) {
      if (quit || stopping) return false;
      continue;  // the timing changed: measured again from the start
    }
    phase = Phase::Posting;
    return true;
  }
}

void ResultPoller::State::Enter(Phase next) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    phase = next;
  }
  changed.notify_all();
}

void ResultPoller::State::Poll() {
  std::string answer;
  std::string list;
  const std::shared_ptr<const ExchangeObserver> observing = Observer();
  const bool answered = adaptor.PostResultPoll(answer, observing.get());
  {
    std::lock_guard<std::mutex> lock(mutex);
    // A poll Stop() cut short may have taken results that are now lost.
    if (interrupted && !answered) abandoned = true;
    phase = Phase::Handing;
  }
  changed.notify_all();
  switch (answered ? FrameResultAnswer(answer, list) : ResultFrame::None) {
    case ResultFrame::None:
      next = WaitAfter(idleCount);
      DeliverPending(false);
      return;
    case ResultFrame::EmptyList:
      DeliverPending(false);  // the interval stays as it is
      return;
    case ResultFrame::List: {
      ResultMap fresh;
      const bool stored = adaptor.JsonDataToMapData(list, fresh);
      MergeResults(fresh, pending);
      undelivered = undelivered || stored;
      DeliverPending(stored);
      // Counted after the callback, which may have emptied the map.
      idleCount = results.empty() && pending.empty() ? idleCount + 1 : 0;
      next = WaitAfter(idleCount);
      return;
    }
  }
}

void ResultPoller::State::DeliverPending(bool fresh) {
  if (!undelivered) return;
  std::shared_ptr<const ResultHandler> deliverTo;
  {
    std::lock_guard<std::mutex> lock(mutex);
    // The adaptor is being destroyed: the host is going away.
    if (quit) return;
    deliverTo = handler;
  }
  if (!deliverTo) {
    // The results wait for the first callback the host registers.
    if (fresh) ZR_LOG("SlotTimerTimeout pResultCallback == nullptr");
    return;
  }
  // Without allocating, so that no results are lost half-way.
  ReplaceSerialNumbers(pending, results);
  undelivered = false;
  // The handler may destroy the adaptor: from here on, only this state is
  // touched. It is called without the lock, so that it may also change the
  // timing or register another handler.
  try {
    (*deliverTo)(results);
  } catch (...) {
    // An exception from the host's code must not end the poller.
  }
}

}  // namespace Face
}  // namespace ZR_Framework
