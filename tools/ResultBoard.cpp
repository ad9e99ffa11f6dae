#include "ResultBoard.h"

namespace Facepadctl {

int ResultBoard::Collect(ZR_Framework::Face::ResultMap& results) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [sn, outcomes] : results) {
      for (const auto& [id, code] : outcomes) m_results.push_back({sn, id, code});
    }
  }
  results.clear();
  m_arrived.notify_all();
  return 0;
}

std::vector<Result> ResultBoard::Take(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_arrived.wait_for(lock, limit, [this] { return !m_results.empty(); });
  std::vector<Result> taken;
  taken.swap(m_results);
  return taken;
}

}  // namespace Facepadctl
