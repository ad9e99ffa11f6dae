// What sync and import print beyond each person's line: a summary per
// terminal and one for the run, and, on a terminal, a progress line per
// terminal on stderr.
#ifndef FACEPADCTL_SYNC_OUTPUT_H
#define FACEPADCTL_SYNC_OUTPUT_H

#include <chrono>
#include <string>
#include <vector>

#include "sync/Roster.h"
#include "sync/ServiceSync.h"

namespace Facepadctl {

// Whether the terminal holds the roster, as far as this run knows.
bool InLine(const TerminalReport& report);
// Whether something is left that running the same command again may settle.
bool LeftToRetry(const TerminalReport& report);

void PrintTerminalSummary(const std::string& command, const TerminalReport& report, bool planOnly);
void PrintRunSummary(const std::string& command, const std::vector<const TerminalReport*>& reports,
                     const Roster& roster, bool planOnly);

// Rewrites one line per terminal on stderr: done of total, rate, time left.
// Does nothing when stderr is not a terminal.
class SyncProgress {
 public:
  explicit SyncProgress(std::vector<const TerminalReport*> reports);
  void Show();
  void Done();

 private:
  const bool m_onTerminal;
  const std::vector<const TerminalReport*> m_reports;
  const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  bool m_shown = false;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_SYNC_OUTPUT_H
