// zr_bench: runs the benchmarks, then prints each goal with its figure.
// `zr_bench --memory`, `zr_bench --answer-memory N` and `zr_bench --peak-rss
// REPORT PROGRAM ARGS...` are the child processes of the memory benchmarks.
#include <cstdlib>
#include <cstring>

#include "BenchSupport.h"

namespace Bench {
int MemoryRun();
int AnswerMemoryRun(int answers);
// Runs PROGRAM with ARGS, output dropped; writes its exit code, seconds and
// peak resident KiB to REPORT.
int PeakRssRun(char** argv);
}  // namespace Bench

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--memory") == 0) return Bench::MemoryRun();
  if (argc == 3 && std::strcmp(argv[1], "--answer-memory") == 0) {
    return Bench::AnswerMemoryRun(std::atoi(argv[2]));
  }
  if (argc >= 4 && std::strcmp(argv[1], "--peak-rss") == 0) return Bench::PeakRssRun(argv + 2);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Bench::TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintGoals();
  benchmark::Shutdown();
  return 0;
}
