// Records what an adaptor hands its result handler:
// adaptor.SetResultHandler(recorded.Handler()). The handler shares the
// record, so that it may be called after the recorder has gone.
#ifndef TESTS_RECORDED_RESULTS_H
#define TESTS_RECORDED_RESULTS_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "TerminalFace_ZR.h"

class RecordedResults {
 public:
  using ResultMap = ZR_Framework::Face::ResultMap;
  static constexpr std::size_t kNever = SIZE_MAX;

  // A handler that records each delivery. From delivery `emptiesFrom` on
  // (counted from 0) it empties the map it is handed, as a host that
  // consumes results does; by default it keeps every map.
  ZR_Framework::Face::TerminalFace_ZR::ResultHandler Handler(
      std::size_t emptiesFrom = kNever) const {
    return [record = m_record, emptiesFrom](ResultMap& results) {
      std::lock_guard<std::mutex> lock(record->mutex);
      record->deliveries.push_back(results);
      if (record->deliveries.size() > emptiesFrom) results.clear();
      record->delivered.notify_all();
      return 0;
    };
  }

  std::vector<ResultMap> Deliveries() const {
    std::lock_guard<std::mutex> lock(m_record->mutex);
    return m_record->deliveries;
  }

  bool WaitForDeliveries(std::size_t count,
                         std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
    std::unique_lock<std::mutex> lock(m_record->mutex);
    return m_record->delivered.wait_for(lock, limit,
                                        [&] { return m_record->deliveries.size() >= count; });
  }

 private:
  struct Record {
    std::mutex mutex;
    std::condition_variable delivered;
    std::vector<ResultMap> deliveries;  // guarded by mutex
  };
  std::shared_ptr<Record> m_record = std::make_shared<Record>();
};

#endif  // TESTS_RECORDED_RESULTS_H
