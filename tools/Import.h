// Bulk enrolment: one person per CSV row, added to a terminal through the
// adaptor on several threads, with each person's result collected through
// the poller.
#ifndef FACEPADCTL_IMPORT_H
#define FACEPADCTL_IMPORT_H

#include <chrono>
#include <map>
#include <string>

#include <TerminalFace_ZR/TerminalFace_ZR.h>

namespace Facepadctl {

struct ImportOptions {
  std::string csvPath;
  std::string sn;
  std::string failuresPath;  // empty: beside the CSV, "NAME.failed.csv"
  int jobs = 4;
  std::chrono::milliseconds wait{30000};  // for results, once every row is sent
  bool json = false;
};

struct ImportSummary {
  int rows = 0;
  int bad = 0;
  int sent = 0;
  int accepted = 0;
  int refused = 0;
  int succeeded = 0;
  std::map<std::string, int> failedByCode;
  int withoutResult = 0;
  int notSent = 0;           // left when interrupted
  std::string failuresPath;  // where the failed rows went; empty when none failed
};

// Reads the CSV (throws InputError when it cannot), imports its rows and
// prints each row's outcome and the summary on stdout, progress on stderr.
ImportSummary RunImport(ZR_Framework::Face::TerminalFace_ZR& adaptor, const ImportOptions& options);

// The summary as one line of text, and as one JSON object.
std::string SummaryText(const ImportSummary& summary);
std::string SummaryJson(const ImportSummary& summary);

}  // namespace Facepadctl

#endif  // FACEPADCTL_IMPORT_H
