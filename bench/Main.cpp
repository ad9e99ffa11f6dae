// zr_bench: runs the benchmarks, then prints each goal with its figure.
// `zr_bench --memory` is the child process of the memory benchmark.
#include <cstring>

#include "BenchSupport.h"

namespace Bench {
int MemoryRun();
}

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--memory") == 0) return Bench::MemoryRun();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Bench::TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintGoals();
  benchmark::Shutdown();
  return 0;
}
