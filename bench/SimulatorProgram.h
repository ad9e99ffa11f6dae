// facepad-sim as a program, its state in a temporary file, on a free port;
// stopped on destruction. Its memory is read from /proc while it runs.
#ifndef BENCH_SIMULATOR_PROGRAM_H
#define BENCH_SIMULATOR_PROGRAM_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace Bench {

class SimulatorProgram {
 public:
  // `options` are added to the command line.
  explicit SimulatorProgram(const std::vector<std::string>& options = {});
  ~SimulatorProgram();
  SimulatorProgram(const SimulatorProgram&) = delete;
  SimulatorProgram& operator=(const SimulatorProgram&) = delete;

  int Port() const { return m_port; }
  // The program's peak and present resident memory.
  long PeakKiB() const { return StatusKiB("VmHWM:"); }
  long ResidentKiB() const { return StatusKiB("VmRSS:"); }

 private:
  long StatusKiB(const char* field) const;

  pid_t m_pid = 0;
  int m_port = 0;
  std::string m_log;
};

}  // namespace Bench

#endif  // BENCH_SIMULATOR_PROGRAM_H
