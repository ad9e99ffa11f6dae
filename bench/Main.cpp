// zr_bench: runs the benchmarks, then prints each goal with its figure.
// `zr_bench --memory` and `zr_bench --answer-memory N` are the child
// processes of the memory benchmarks.
#include <cstdlib>
#include <cstring>

#include "BenchSupport.h"

namespace Bench {
int MemoryRun();
int AnswerMemoryRun(int answers);
}  // namespace Bench

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--memory") == 0) return Bench::MemoryRun();
  if (argc == 3 && std::strcmp(argv[1], "--answer-memory") == 0) {
    return Bench::AnswerMemoryRun(std::atoi(argv[2]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Bench::TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintGoals();
  benchmark::Shutdown();
  return 0;
}
