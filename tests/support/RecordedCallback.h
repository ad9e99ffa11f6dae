// Result callbacks for tests. The callback is a plain function pointer, so
// each slot N is a function of its own with its own record:
// adaptor.SetResultCallbackFace(RecordedCallback<0>::Record).
#ifndef TESTS_RECORDED_CALLBACK_H
#define TESTS_RECORDED_CALLBACK_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "CLS_TerminalFace_Base.h"

template <int Slot>
class RecordedCallback {
 public:
  using ResultMap = ZR_Framework::Face::ResultMap;

  static int Record(ResultMap& results) {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_deliveries.push_back(results);
    if (s_emptyTheMap) results.clear();
    s_delivered.notify_all();
    return 0;
  }

  // Forgets what was recorded; `emptyTheMap`: the callback empties the map it
  // is handed, as a host that consumes results does.
  static void Reset(bool emptyTheMap = false) {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_deliveries.clear();
    s_emptyTheMap = emptyTheMap;
  }

  static std::vector<ResultMap> Deliveries() {
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_deliveries;
  }

  static bool WaitForDeliveries(std::size_t count,
                                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(s_mutex);
    return s_delivered.wait_for(lock, limit, [count] { return s_deliveries.size() >= count; });
  }

 private:
  static inline std::mutex s_mutex;
  static inline std::condition_variable s_delivered;
  static inline std::vector<ResultMap> s_deliveries;
  static inline bool s_emptyTheMap = false;
};

#endif  // TESTS_RECORDED_CALLBACK_H
