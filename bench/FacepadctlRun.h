// facepadctl as an operator runs it, for the benchmarks that time it: a
// roster in a folder of its own, and runs of the program that can be killed
// part-way.
//
// facepadctl runs as a grandchild, started by `zr_bench --peak-rss`: a
// process started straight from the benchmark would count the benchmark's
// memory in its peak (Linux records the memory a process had before exec),
// and the benchmark holds the simulators' persons.
#ifndef BENCH_FACEPADCTL_RUN_H
#define BENCH_FACEPADCTL_RUN_H

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "FacepadSimulator.h"

namespace Bench {

// A temporary folder with a roster of `rows` persons (certnums C-0, C-1,
// ...), each with the same 20 KiB photo when `photos`, and room for
// ledgers; removed with everything in it on destruction.
class RosterFolder {
 public:
  RosterFolder(int rows, bool photos);
  ~RosterFolder();
  RosterFolder(const RosterFolder&) = delete;
  RosterFolder& operator=(const RosterFolder&) = delete;

  std::string Roster() const { return m_directory + "/persons.csv"; }
  // A ledger path not given out before: each run series starts afresh.
  std::string NewLedger();

 private:
  std::string m_directory;
  int m_ledgers = 0;
};

struct Ran {
  int exitCode = -1;  // -1: killed, or it could not be started
  double seconds = 0;
  long peakKiB = 0;
};

// One run of facepadctl against the service on `port`, its output dropped.
class FacepadctlRun {
 public:
  FacepadctlRun(int port, const std::vector<std::string>& arguments);
  ~FacepadctlRun();  // waits for the run to end
  FacepadctlRun(const FacepadctlRun&) = delete;
  FacepadctlRun& operator=(const FacepadctlRun&) = delete;

  // Kills facepadctl with SIGKILL; false when it had already ended.
  bool Kill();
  Ran Wait();

 private:
  pid_t m_goBetween = 0;
  std::string m_report;
  bool m_waited = false;
  Ran m_ran;
};

// Runs facepadctl to its end.
Ran Facepadctl(int port, const std::vector<std::string>& arguments);

// A simulator in this process that keeps every person it is sent and its
// last `journalLimit` requests.
std::unique_ptr<FacepadSim::FacepadSimulator> FreshSimulator(std::size_t journalLimit = 0);

}  // namespace Bench

#endif  // BENCH_FACEPADCTL_RUN_H
