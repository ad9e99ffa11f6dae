// facepadctl's output. Outcomes go to stdout, one line each: text, or with
// --json one object of one shape for every command. Everything else (usage
// and file errors, progress, why a run stopped) goes to stderr.
#ifndef FACEPADCTL_OUTPUT_H
#define FACEPADCTL_OUTPUT_H

#include <string>
#include <utility>

#include <TerminalFace_ZR/TerminalFace_ZR.h>

namespace Facepadctl {

// What one line reports. Empty members do not apply and are left out.
struct Outcome {
  explicit Outcome(std::string command_, std::string sn_ = {}, std::string id_ = {})
      : command(std::move(command_)), sn(std::move(sn_)), id(std::move(id_)) {}

  std::string command;
  std::string sn;
  std::string id;
  int line = 0;         // import: the row's line in the CSV file
  std::string certnum;  // import: the row's person
  std::string time;     // watch: when the result arrived
  // ok, accepted, done (result "0"), result (another code), refused (a status
  // other than 200), failed, bad (not sent: a bad value), no-result, not-sent,
  // skipped, interrupted.
  std::string outcome;
  std::string result;  // the result code, as the service gave it
  std::string detail;  // why, for anything but ok, accepted and done
};

void SetJsonOutput(bool json);
bool JsonOutput();

// Prints `outcome` on stdout; `text` replaces the words after the colon of
// the text line. A closed stdout is noticed once and written to no more.
void Emit(const Outcome& outcome, const std::string& text = std::string());

// One line on stdout, with the same care for a closed stdout.
void PrintLine(const std::string& text);

// A message on stderr, after "facepadctl: ".
void Note(const std::string& message);

// What errno says, in words.
std::string LastSystemError();

// The outcome class and the words for an operation that returned false, from
// the calling thread's LastFailure().
using FailureReason = ZR_Framework::Face::TerminalFace_ZR::FailureReason;
std::string FailureClass(const FailureReason& reason);
std::string FailureText(const FailureReason& reason);

// Whether a failure means the service was not reached at all.
bool Unreachable(const FailureReason& reason);

// Why an accepted request has no result: the service hands each result to
// the first client that polls, so another may have taken it.
std::string NoResultText(double waitedSeconds);

// Time of day with milliseconds, for results as they arrive.
std::string TimeNow();

}  // namespace Facepadctl

#endif  // FACEPADCTL_OUTPUT_H
