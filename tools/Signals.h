// SIGINT and SIGTERM end a facepadctl run in order rather than at once.
#ifndef FACEPADCTL_SIGNALS_H
#define FACEPADCTL_SIGNALS_H

#include <atomic>

namespace Facepadctl {

// Raised by SIGINT and SIGTERM once InterruptOnSignals() has run; the exit
// code that reports it is 128 + the signal's number (130, 143). A second
// signal, a second or more after the first, ends the program at once.
extern std::atomic<bool> g_interrupted;
void InterruptOnSignals();
int InterruptedExitCode();

}  // namespace Facepadctl

#endif  // FACEPADCTL_SIGNALS_H
