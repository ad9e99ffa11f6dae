// facepadctl's output. Outcomes are one line each: text, or with --json one
// object of one shape for every command, all on stdout. In text, what went
// wrong goes to stderr instead, so stdout holds what succeeded. Everything
// else (usage and file errors, progress, why a run stopped) goes to stderr.
#ifndef FACEPADCTL_OUTPUT_H
#define FACEPADCTL_OUTPUT_H

#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include <TerminalFace_ZR/TerminalFace_ZR.h>

namespace Facepadctl {

// How a request or a row ended.
enum class Status {
  Ok,           // a command without a request id succeeded
  Accepted,     // the service took the request
  Done,         // its result came: 0
  Result,       // its result came: another code
  Refused,      // the service answered with a status other than 200
  Failed,       // no answer, or one that could not be used
  Bad,          // not sent: a bad value
  NoResult,     // accepted, but no result was seen in time
  Interrupted,  // a signal ended the wait
  Planned,      // sync --plan: would be sent
  Awaiting,     // sync --plan: a request for the person awaits its result
  Held,         // an add's result: the terminal already holds the person
  Absent,       // an update's, photo's or delete's result: it does not hold the person
  MaybeHeld,    // sync --plan: a request's result never came; the person may be held
};

// The word --json gives for `status` ("ok", "no-result", ...).
const char* StatusName(Status status);

// What one line reports. Empty members do not apply and are left out.
struct Outcome {
  explicit Outcome(std::string command_, std::string sn_ = {}, std::string id_ = {})
      : command(std::move(command_)), sn(std::move(sn_)), id(std::move(id_)) {}

  std::string command;
  std::string sn;
  std::string action;  // what was done, for commands that do more than one thing
  std::string id;
  int line = 0;         // sync, import: the roster line
  std::string certnum;  // sync, import: the person
  std::string time;     // watch: when the result arrived
  Status status = Status::Ok;
  std::string result;  // the result code, as the service gave it
  std::string detail;  // why, for anything but ok, accepted and done
};

void SetJsonOutput(bool json);
bool JsonOutput();

// Whether `status` says something went wrong: anything but ok, accepted,
// done, and sync's planned, awaiting, maybe held, held and absent (answers
// it acts on).
bool WentWrong(Status status);

// Where a text line goes: stdout or stderr by its status, or stdout for
// lines that report what was seen (watch's results) rather than what the
// tool did.
enum class Stream { ByStatus, Stdout };

// Prints `outcome`; `text` replaces the words after the colon of the text
// line. A closed stdout is noticed once and written to no more.
void Emit(const Outcome& outcome, const std::string& text = std::string(),
          Stream stream = Stream::ByStatus);

// One line on stdout, with the same care for a closed stdout. Text lines,
// Emit's and Note's too, are printed through Printable(): one line printed is
// one line, whatever the service or a roster put in it.
void PrintLine(const std::string& text);

// One --json line on stdout, as it is (JsonLine keeps it valid UTF-8).
void PrintJson(const std::string& json);

// Whether lines were lost because stdout could not be written, for a reason
// other than its reader leaving (a full disk, a closed descriptor). It is
// told on stderr when it happens, and a run that would exit 0 exits 1.
bool StdoutLost();

// While one lives, the stdout lines this thread prints are flushed together
// when it goes, rather than each with a write of its own: for a sync's
// results, which come a poll's worth at a time. On a terminal each line is
// still shown at once.
class OutputBatch {
 public:
  OutputBatch();
  ~OutputBatch();
  OutputBatch(const OutputBatch&) = delete;
  OutputBatch& operator=(const OutputBatch&) = delete;
};

// A message on stderr, after "facepadctl: ".
void Note(const std::string& message);

// A log record of the library's (-v) on stderr, after the time.
void Record(const std::string& text);

// Lines rewritten in place on a terminal (progress) are drawn holding
// LockOutput(), and registered with SetLiveLines(): every other line erases
// them first, so that none is drawn over. An empty function unregisters.
std::unique_lock<std::mutex> LockOutput();
void SetLiveLines(std::function<void()> erase);

// The outcome class and the words for an operation that returned false, from
// the calling thread's LastFailure().
using FailureReason = ZR_Framework::Face::TerminalFace_ZR::FailureReason;
Status FailureClass(const FailureReason& reason);
std::string FailureText(const FailureReason& reason);

// Whether a failure means the service was not reached at all.
bool Unreachable(const FailureReason& reason);

// Why an accepted request has no result: every result poll failed, as
// `pollsFailing` says, or else the service hands each result to the first
// client that polls, so another may have taken it.
std::string NoResultText(double waitedSeconds, const std::string& pollsFailing);

// Time of day with milliseconds, for results as they arrive.
std::string TimeNow();

}  // namespace Facepadctl

#endif  // FACEPADCTL_OUTPUT_H
