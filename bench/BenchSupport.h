// What the benchmarks share: the floors they are measured against, a loopback
// simulator with an adaptor, percentiles, and the table of goals that the
// benchmark program prints at the end.
//
// Every figure is a ratio to a floor measured in the same run on the same
// server, because the machines these run on are shared and noisy.
#ifndef BENCH_SUPPORT_H
#define BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "FacepadSimulator.h"
#include "TerminalFace_ZR.h"

namespace Bench {

using Clock = std::chrono::steady_clock;

// The status answer under which GetTerminalStatusFace("SN1") succeeds.
inline constexpr const char* kConnectedAnswer = R"(Data=[{"sn":"SN1","connstatus":1}])";

double Microseconds(Clock::duration duration);

// Keeps every thread of this process on one CPU while it lives, then lets
// them all run anywhere again. A round trip over loopback takes about half
// as long again when client and server wake each other across CPUs, and the
// scheduler places each connection's server thread as it likes: pinned, the
// adaptor and its floor meet the same placement.
class OneCpu {
 public:
  OneCpu();
  ~OneCpu();
  OneCpu(const OneCpu&) = delete;
  OneCpu& operator=(const OneCpu&) = delete;
};
// The `fraction` (0..1) percentile of `samples`, which it sorts.
double Percentile(std::vector<double>& samples, double fraction);
long ResidentKiB();
long PeakResidentKiB();

// The floor for a request: a bare libcurl handle that keeps its connection
// and its options, and posts the given bytes with the adaptor's headers.
class RawPoster {
 public:
  RawPoster();
  ~RawPoster();
  RawPoster(const RawPoster&) = delete;
  RawPoster& operator=(const RawPoster&) = delete;
  // True on an answer with status 200.
  bool Post(const std::string& url, const std::string& body);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// A simulator that forgets request bodies, and an adaptor pointed at it whose
// results are consumed as they arrive.
struct Loopback {
  Loopback();
  std::string Url(const std::string& path) const;
  std::unique_ptr<FacepadSim::FacepadSimulator> simulator;
  std::unique_ptr<ZR_Framework::Face::TerminalFace_ZR> adaptor;
};
Loopback& SharedLoopback();

// A goal: counter `counter` of the benchmark run whose name starts with `run`,
// compared with `target`.
struct Goal {
  std::string what;
  std::string run;
  std::string counter;
  enum class Kind { AtMost, AtLeast } kind;
  double target;
  std::string unit;
};
void AddGoal(Goal goal);

// Registers `scenario`, a benchmark whose figures are its counters, to run
// once, timed in milliseconds.
void RegisterScenario(const char* name, void (*scenario)(benchmark::State&));

// Prints the console output as usual and keeps every run for the table.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  // The goals, each with its figure and whether it is met.
  void PrintGoals() const;

 private:
  std::vector<Run> m_runs;
};

}  // namespace Bench

#endif  // BENCH_SUPPORT_H
