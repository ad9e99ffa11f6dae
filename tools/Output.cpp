#include "Output.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <system_error>

#include "JsonLine.h"
#include "Printable.h"

namespace Facepadctl {
namespace {

using Failure = ZR_Framework::Face::TerminalFace_ZR::Failure;

bool g_json = false;
// Lines come from several threads of a sync: each is written whole, after
// the live lines (progress) are erased.
std::mutex g_outputMutex;
bool g_stdoutClosed = false;        // guarded by g_outputMutex
bool g_stdoutLost = false;          // guarded by g_outputMutex
std::function<void()> g_eraseLive;  // guarded by g_outputMutex

void EraseLive() {
  if (g_eraseLive) g_eraseLive();
}

// OutputBatch's on this thread; lines are flushed as written at 0.
thread_local int t_batches = 0;

// A write to stdout failed: nothing more is written to it. A reader that
// left (`| head`) ends the output quietly; any other failure (a full disk,
// a closed descriptor) is told, since lines are lost.
void StdoutFailed(int error) {
  g_stdoutClosed = true;
  if (error == EPIPE) return;
  g_stdoutLost = true;
  std::fprintf(stderr, "facepadctl: cannot write to stdout (%s): the lines after this are lost\n",
               std::generic_category().message(error).c_str());
}

void WriteStdout(const std::string& text) {
  if (g_stdoutClosed) return;
  const std::string line = text + "\n";
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
      (t_batches == 0 && std::fflush(stdout) != 0)) {
    StdoutFailed(errno);
  }
}

// Writes what stdout's buffer holds; called with g_outputMutex held.
void FlushStdout() {
  if (!g_stdoutClosed && std::fflush(stdout) != 0) StdoutFailed(errno);
}

void WriteStderr(const std::string& text) {
  // Lines a batch holds back go first, so that the two streams keep their
  // order when they go to one file.
  FlushStdout();
  std::fprintf(stderr, "%s\n", text.c_str());
}

std::string Words(const Outcome& outcome) {
  switch (outcome.status) {
    case Status::Accepted:
      return "accepted";
    case Status::Done:
      return "result " + (outcome.result.empty() ? std::string("0") : outcome.result) + " (done)";
    case Status::Result:
      return "result " + outcome.result;
    case Status::Bad:
      if (outcome.line > 0) return "bad row: " + outcome.detail;
      break;
    case Status::Planned:
      return outcome.action == "photo" ? "to re-photo" : "to " + outcome.action;
    case Status::MaybeHeld:
      return std::string("maybe held, ") +
             (outcome.action == "photo" ? "to re-photo" : "to " + outcome.action) + " (" +
             outcome.detail + ")";
    case Status::Held:
    case Status::Absent:
      return "result " + outcome.result + " (" + outcome.detail + ")";
    default:
      break;
  }
  return outcome.detail.empty() ? StatusName(outcome.status) : outcome.detail;
}

std::string TextLine(const Outcome& outcome, const std::string& text) {
  std::string line;
  if (!outcome.time.empty()) line += outcome.time + " ";
  line += outcome.command;
  if (!outcome.sn.empty()) line += " " + outcome.sn;
  if (!outcome.action.empty()) line += " " + outcome.action;
  if (outcome.line > 0) line += " line " + std::to_string(outcome.line);
  if (!outcome.certnum.empty()) {
    line += (outcome.line > 0 ? ", certnum " : " certnum ") + outcome.certnum;
  } else if (!outcome.id.empty() && outcome.line == 0) {
    line += " id " + outcome.id;
  }
  return line + ": " + (text.empty() ? Words(outcome) : text);
}

std::string JsonText(const Outcome& outcome) {
  JsonLine json;
  const auto add = [&json](const char* key, const std::string& value) {
    if (!value.empty()) json.Add(key, value);
  };
  add("command", outcome.command);
  add("time", outcome.time);
  add("sn", outcome.sn);
  add("action", outcome.action);
  add("id", outcome.id);
  if (outcome.line > 0) json.Add("line", outcome.line);
  add("certnum", outcome.certnum);
  json.Add("outcome", StatusName(outcome.status));
  add("result", outcome.result);
  add("detail", outcome.detail);
  return json.Text();
}

}  // namespace

const char* StatusName(Status status) {
  switch (status) {
    case Status::Ok:
      return "ok";
    case Status::Accepted:
      return "accepted";
    case Status::Done:
      return "done";
    case Status::Result:
      return "result";
    case Status::Refused:
      return "refused";
    case Status::Failed:
      return "failed";
    case Status::Bad:
      return "bad";
    case Status::NoResult:
      return "no-result";
    case Status::Interrupted:
      return "interrupted";
    case Status::Planned:
      return "planned";
    case Status::Awaiting:
      return "awaiting";
    case Status::Held:
      return "held";
    case Status::Absent:
      return "absent";
    case Status::MaybeHeld:
      return "maybe-held";
  }
  return "failed";
}

void SetJsonOutput(bool json) {
  g_json = json;
}

bool JsonOutput() {
  return g_json;
}

bool WentWrong(Status status) {
  switch (status) {
    case Status::Ok:
    case Status::Accepted:
    case Status::Done:
    case Status::Planned:
    case Status::Awaiting:
    case Status::MaybeHeld:
    case Status::Held:
    case Status::Absent:
      return false;
    default:
      return true;
  }
}

void Emit(const Outcome& outcome, const std::string& text, Stream stream) {
  if (g_json) return PrintJson(JsonText(outcome));
  const std::string line = TextLine(outcome, text);
  if (stream == Stream::Stdout || !WentWrong(outcome.status)) return PrintLine(line);
  const std::lock_guard<std::mutex> lock(g_outputMutex);
  EraseLive();
  WriteStderr(Printable(line));
}

void PrintLine(const std::string& text) {
  PrintJson(Printable(text));
}

void PrintJson(const std::string& json) {
  const std::lock_guard<std::mutex> lock(g_outputMutex);
  EraseLive();
  WriteStdout(json);
}

bool StdoutLost() {
  const std::lock_guard<std::mutex> lock(g_outputMutex);
  return g_stdoutLost;
}

OutputBatch::OutputBatch() {
  static const bool onTerminal = isatty(STDOUT_FILENO) != 0;
  if (!onTerminal) ++t_batches;
}

OutputBatch::~OutputBatch() {
  if (t_batches == 0) return;
  if (--t_batches > 0) return;
  const std::lock_guard<std::mutex> lock(g_outputMutex);
  FlushStdout();
}

void Note(const std::string& message) {
  const std::lock_guard<std::mutex> lock(g_outputMutex);
  EraseLive();
  WriteStderr(Printable("facepadctl: " + message));
}

void Record(const std::string& text) {
  const std::string line = TimeNow() + " " + Printable(text);
  const std::lock_guard<std::mutex> lock(g_outputMutex);
  EraseLive();
  WriteStderr(line);
}

std::unique_lock<std::mutex> LockOutput() {
  return std::unique_lock<std::mutex>(g_outputMutex);
}

void SetLiveLines(std::function<void()> erase) {
  const std::lock_guard<std::mutex> lock(g_outputMutex);
  g_eraseLive = std::move(erase);
}

Status FailureClass(const FailureReason& reason) {
  switch (reason.failure) {
    case Failure::Status:
      return Status::Refused;
    case Failure::RefusedValue:
      return Status::Bad;
    default:
      return Status::Failed;
  }
}

std::string FailureText(const FailureReason& reason) {
  switch (reason.failure) {
    case Failure::NotReached:
      return "the service could not be reached";
    case Failure::TimedOut:
      return "timed out: no answer within the time-out";
    case Failure::NoAnswer:
      return "the connection failed before an answer came";
    case Failure::Status:
      return "refused by the service (status " + std::to_string(reason.status) + ")";
    case Failure::RefusedValue:
      return "not sent: a value holds a tab or NUL";
    case Failure::NoDocument:
    case Failure::OutOfMemory:
      return "not sent: out of memory";
    case Failure::NotConnected:
      return "not connected";
    case Failure::UnreadableAnswer:
      return "the service's answer could not be read";
    case Failure::NotSupported:
      return "not supported";
    case Failure::NotHttp:
      return "an answer came that is not HTTP (another program on that port?)";
    case Failure::Exception:
      return "the library met an unexpected error";
    case Failure::None:
      break;
  }
  return "failed";
}

bool Unreachable(const FailureReason& reason) {
  return reason.failure == Failure::NotReached || reason.failure == Failure::TimedOut ||
         reason.failure == Failure::NoAnswer;
}

std::string NoResultText(double waitedSeconds, const std::string& pollsFailing) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", waitedSeconds);
  const std::string why =
      pollsFailing.empty() ? "another client of the service may have taken it" : pollsFailing;
  return "no result seen within " + std::string(seconds) + " s (" + why + ")";
}

std::string TimeNow() {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%H:%M:%S", &local);
  std::snprintf(text + length, sizeof text - length, ".%03ld",
                static_cast<long>(now.tv_usec / 1000));
  return text;
}

}  // namespace Facepadctl
