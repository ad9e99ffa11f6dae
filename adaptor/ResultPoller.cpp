#include "ResultPoller.h"

#include <cstring>

#include "Log.h"
#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

namespace {
constexpr int kFirstWaitTicks = 80;
constexpr int kBusyWaitTicks = 10;
constexpr int kIdleWaitTicks = 80;
// Polls in a row that left the map empty before the poller slows down.
constexpr int kIdlePollsBeforeSlowing = 10;
constexpr std::size_t kWordLength = 6;  // "result"

int WaitTicksAfter(int idleCount) {
  return idleCount < kIdlePollsBeforeSlowing ? kBusyWaitTicks : kIdleWaitTicks;
}
}  // namespace

ResultFrame FrameResultAnswer(const std::string& answer, std::string& list) {
  const std::size_t word = answer.find("result");
  if (word == std::string::npos) return ResultFrame::None;
  const std::size_t bracket = word + kWordLength + 1;
  if (bracket >= answer.size() || answer[bracket] != '[') return ResultFrame::None;
  if (bracket + 1 < answer.size() && answer[bracket + 1] == ']') return ResultFrame::EmptyList;
  const char* start = answer.c_str() + bracket;
  list.assign(start, strnlen(start, answer.size() - bracket));
  return ResultFrame::List;
}

ResultPoller::ResultPoller(TerminalFace_ZR& adaptor, std::chrono::milliseconds tick)
    : m_adaptor(adaptor),
      m_tick(tick),
      m_waitCount(kFirstWaitTicks),
      m_thread(&ResultPoller::SlotTimerTimeout, this) {}

ResultPoller::~ResultPoller() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quit = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void ResultPoller::SlotTimerTimeout() {
  try {
    while (WaitTicks(m_waitCount)) Poll();
  } catch (...) {
    // Out of memory: the poller ends quietly rather than take the host down.
  }
}

bool ResultPoller::WaitTicks(int ticks) {
  const auto deadline = std::chrono::steady_clock::now() + ticks * m_tick;
  std::unique_lock<std::mutex> lock(m_mutex);
  return !m_wake.wait_until(lock, deadline, [this] { return m_quit; });
}

bool ResultPoller::Stopping() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_quit;
}

void ResultPoller::Poll() {
  std::string answer;
  const bool answered =
      m_adaptor.PostRequest("facepad/getresult", std::string(), answer, nullptr, nullptr);
  std::string list;
  switch (answered ? FrameResultAnswer(answer, list) : ResultFrame::None) {
    case ResultFrame::None:
      m_waitCount = WaitTicksAfter(m_idleCount);
      break;
    case ResultFrame::EmptyList:
      break;  // the wait count stays as it is
    case ResultFrame::List: {
      const bool fresh = m_adaptor.JsonDataToMapData(list, m_results);
      m_undelivered = m_undelivered || fresh;
      DeliverPending(fresh);
      // Counted after the callback, which may have emptied the map.
      m_idleCount = m_results.empty() ? m_idleCount + 1 : 0;
      m_waitCount = WaitTicksAfter(m_idleCount);
      return;
    }
  }
  DeliverPending(false);
}

void ResultPoller::DeliverPending(bool fresh) {
  if (!m_undelivered) return;
  const ResultCallback callback = m_adaptor.m_pResultCallback.load();
  if (callback == nullptr) {
    // The results stay in the map for the first callback the host registers.
    if (fresh) ZR_LOG("SlotTimerTimeout pResultCallback == nullptr");
    return;
  }
  if (Stopping()) return;
  m_undelivered = false;
  try {
    callback(m_results);
  } catch (...) {
    // An exception from the host's callback must not end the poller.
  }
}

}  // namespace Face
}  // namespace ZR_Framework
