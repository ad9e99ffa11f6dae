#include "Signals.h"

#include <unistd.h>

#include <csignal>

namespace Facepadctl {
namespace {
std::atomic<int> g_signal{0};

void Interrupt(int signal) {
  // A second signal stops at once: the ledger's transactions survive that
  // as they survive kill -9.
  if (g_interrupted.load()) _exit(128 + signal);
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
