#include "Signals.h"

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
