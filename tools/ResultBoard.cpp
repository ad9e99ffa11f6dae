#include "ResultBoard.h"

#include <csignal>

namespace Facepadctl {
namespace {
std::atomic<int> g_signal{0};

void Interrupt(int signal) {
  g_signal = signal;
  g_interrupted = true;
}
}  // namespace

std::atomic<bool> g_interrupted{false};

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

void InterruptOnSignals() {
  struct sigaction action {};
  action.sa_handler = Interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int InterruptedExitCode() {
  return 128 + g_signal.load();
}

}  // namespace Facepadctl
