#include "ResultBoard.h"

#include <csignal>

#include <condition_variable>
#include <mutex>

namespace Facepadctl {
namespace {
std::mutex g_mutex;
std::condition_variable g_arrived;
std::vector<Result> g_results;

std::atomic<int> g_signal{0};

void Interrupt(int signal) {
  g_signal = signal;
  g_interrupted = true;
}
}  // namespace

std::atomic<bool> g_interrupted{false};

int CollectResults(ZR_Framework::Face::ResultMap& results) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& [sn, outcomes] : results) {
      for (const auto& [id, code] : outcomes) g_results.push_back({sn, id, code});
    }
  }
  results.clear();
  g_arrived.notify_all();
  return 0;
}

std::vector<Result> TakeResults(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_arrived.wait_for(lock, limit, [] { return !g_results.empty(); });
  std::vector<Result> taken;
  taken.swap(g_results);
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
