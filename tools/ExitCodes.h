// facepadctl's exit codes. 128 + N: signal N interrupted the run (Signals.h).
#ifndef FACEPADCTL_EXIT_CODES_H
#define FACEPADCTL_EXIT_CODES_H

namespace Facepadctl {

// Everything succeeded.
constexpr int kSucceeded = 0;
// Anything failed, was refused, was bad or got no result.
constexpr int kFailed = 1;
// The command line was wrong.
constexpr int kUsageError = 2;
// Something only a person can settle, e.g. bad input rows: running the same
// command again changes nothing.
constexpr int kNeedsPerson = 3;

}  // namespace Facepadctl

#endif  // FACEPADCTL_EXIT_CODES_H
