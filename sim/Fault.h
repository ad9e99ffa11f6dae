// Scripted faults: what one does to a request (Fault), and the script of
// those still to apply (FaultScript).
#ifndef FACEPAD_FAULT_H
#define FACEPAD_FAULT_H

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace FacepadSim {

// A scripted fault. It applies to the next `count` requests for `path` (every
// path when empty), or to all of them while `count` is negative.
struct Fault {
  enum class Action {
    Status,       // answer `status` with `body`, and change nothing
    Delay,        // wait `delay` (cut short when the simulator stops), then answer normally
    Close,        // close the connection without answering
    Oversized,    // answer 200 with a body of `bytes` bytes
    Reset,        // answer 200 announcing `body`, send half of it, then reset the connection
    Drip,         // answer 200 with `body`, `bytesPerSecond` bytes a second, one at a time
    Endless,      // answer 200 with a body of no announced length that never ends
    Unsolicited,  // answer `status` with `body`, then (20 ms later) a 200 nobody asked for
  };
  Action action = Action::Status;
  int status = 500;
  std::string body;
  std::chrono::milliseconds delay{0};
  std::size_t bytes = 0;
  double bytesPerSecond = 0;
  std::string path;
  int count = -1;
  // The action as it was written ("hang:0.25"), when it was parsed from text.
  std::string given;

  static Fault Answer(int status, std::string body = {}) {
    Fault fault;
    fault.status = status;
    fault.body = std::move(body);
    return fault;
  }
  static Fault Delayed(std::chrono::milliseconds delay) {
    Fault fault;
    fault.action = Action::Delay;
    fault.delay = delay;
    return fault;
  }
  static Fault CloseConnection() {
    Fault fault;
    fault.action = Action::Close;
    return fault;
  }
  static Fault OversizedAnswer(std::size_t bytes) {
    Fault fault;
    fault.action = Action::Oversized;
    fault.bytes = bytes;
    return fault;
  }
  static Fault ResetMidAnswer(std::string body) {
    Fault fault;
    fault.action = Action::Reset;
    fault.body = std::move(body);
    return fault;
  }
  static Fault Drip(std::string body, double bytesPerSecond) {
    Fault fault;
    fault.action = Action::Drip;
    fault.body = std::move(body);
    fault.bytesPerSecond = bytesPerSecond;
    return fault;
  }
  static Fault AnswerAndAnUnsolicitedOne(int status) {
    Fault fault;
    fault.action = Action::Unsolicited;
    fault.status = status;
    fault.body = "asked";
    return fault;
  }
  static Fault EndlessAnswer() {
    Fault fault;
    fault.action = Action::Endless;
    return fault;
  }
  Fault& On(std::string onlyPath) {
    path = std::move(onlyPath);
    return *this;
  }
  Fault& Times(int requests) {
    count = requests;
    return *this;
  }
};

// The faults still to apply, in the order they were added. Safe to use from
// any thread.
class FaultScript {
 public:
  void Add(Fault fault) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (fault.count != 0) m_faults.push_back(std::move(fault));
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
  }
  std::vector<Fault> List() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faults;
  }
  // The first fault for a request to `path`, counted off its script.
  std::optional<Fault> Take(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
      if (!it->path.empty() && it->path != path) continue;
      Fault fault = *it;
      if (it->count > 0 && --it->count == 0) m_faults.erase(it);
      return fault;
    }
    return std::nullopt;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<Fault> m_faults;
};

}  // namespace FacepadSim

#endif  // FACEPAD_FAULT_H
