#include "Signals.h"

#include <unistd.h>

#include <csignal>
#include <ctime>

namespace Facepadctl {
namespace {
std::atomic<int> g_signal{0};
std::atomic<long long> g_firstSignalMs{0};  // monotonic clock

// A signal sent again this soon is the same request to stop: `timeout` and
// some supervisors send it to the program and to its process group at once.
constexpr long long kSameSignalMs = 1000;

long long MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // safe in a signal handler
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void Interrupt(int signal) {
  const long long now = MonotonicMs();
  if (g_interrupted.load()) {
    // A second signal, later, stops at once: the ledger's transactions
    // survive that as they survive kill -9.
    if (now - g_firstSignalMs.load() >= kSameSignalMs) _exit(128 + signal);
    return;
  }
  g_firstSignalMs = now;
  g_signal = signal;
  g_interrupted = true;
}
}  // namespace

std::atomic<bool> g_interrupted{false};

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
