// A flag raised once, when the simulator stops, that waits can be cut short by.
#ifndef FACEPAD_STOP_SIGNAL_H
#define FACEPAD_STOP_SIGNAL_H

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace FacepadSim {

class StopSignal {
 public:
  void Raise() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_raised = true;
    }
    m_wake.notify_all();
  }
  bool Raised() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_raised;
  }
  // Waits `delay`; false when cut short by Raise().
  bool WaitUnlessRaised(std::chrono::milliseconds delay) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_for(lock, delay, [this] { return m_raised; });
  }
  // Waits until `deadline`; false when cut short by Raise().
  bool WaitUnlessRaised(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_until(lock, deadline, [this] { return m_raised; });
  }

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_wake;
  bool m_raised = false;
};

}  // namespace FacepadSim

#endif  // FACEPAD_STOP_SIGNAL_H
