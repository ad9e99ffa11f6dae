// What sync and import print beyond each person's line: a summary per
// terminal and one for the run, and, on a terminal, a progress line per
// terminal on stderr.
#ifndef FACEPADCTL_SYNC_OUTPUT_H
#define FACEPADCTL_SYNC_OUTPUT_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "sync/Roster.h"
#include "sync/ServiceSync.h"

namespace Facepadctl {

struct SummaryContext {
  bool planOnly = false;
  int badRows = 0;  // the roster's, which concern every terminal
  int maxDelete = 0;
  bool absentCodeGiven = false;  // --absent-code settles persons maybe held
};

// Whether the terminal holds exactly the roster, as far as the ledger knows
// once the run is over (with --plan: whether there is nothing to do).
bool InLine(const TerminalReport& report);
// Whether something is left that running the same command again may settle.
bool LeftToRetry(const TerminalReport& report, const SummaryContext& context);
// Whether something is left that only a person can settle: a photo gone
// bad, a delete guard that held, pruning turned off, persons maybe held
// that no code given can settle.
bool NeedsPerson(const TerminalReport& report, const SummaryContext& context);
void PrintTerminalSummary(const std::string& command, const TerminalReport& report,
                          const SummaryContext& context);
// The run's line: terminals in line (with --plan: with nothing to do), and
// those only a person can bring in line.
void PrintRunSummary(const std::string& command, const std::vector<const TerminalReport*>& reports,
                     const Roster& roster, const SummaryContext& context);

// The exit code of a run that was not interrupted.
int SyncExitCode(const std::vector<const TerminalReport*>& reports, const SummaryContext& context);

// Names --held-code or --absent-code for the codes no option explained,
// and --absent-code for persons maybe held.
void PrintHints(const SyncSettings& settings, const std::vector<const TerminalReport*>& reports);

// Rewrites one line per terminal on stderr: done of total, rate, time left.
// Does nothing when stderr is not a terminal. Other output erases the lines
// first, and the next Show() draws them again below it.
class SyncProgress {
 public:
  explicit SyncProgress(std::vector<const TerminalReport*> reports);
  ~SyncProgress();
  SyncProgress(const SyncProgress&) = delete;
  SyncProgress& operator=(const SyncProgress&) = delete;
  void Show();

 private:
  using Clock = std::chrono::steady_clock;
  void Erase();  // with the output lock held

  const bool m_onTerminal;
  const std::vector<const TerminalReport*> m_reports;
  // When each terminal's first step ended: its rate counts from then.
  std::vector<std::optional<Clock::time_point>> m_started;
  std::size_t m_shown = 0;  // lines on screen; guarded by the output lock
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_SYNC_OUTPUT_H
