// An adaptor's lifetime costs: how long its destructor takes while the
// poller waits, how much memory one adaptor holds, and the peak memory of a
// 100,000-operation run. The memory figures come from a child process of
// their own (zr_bench --memory), so that nothing else this program did
// counts in them.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "BenchSupport.h"
#include "ToolKits.h"

using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::TerminalFace_ZR;

namespace Bench {

// The child's work: prints "name value" lines.
int MemoryRun() {
  Loopback loopback;
  ParamMap person{{"certnum", "C-1"}, {"name", "Ann Lee"}, {"num", "4001"}, {"cardtype", "1"}};
  for (int i = 0; i < 1000; ++i) loopback.adaptor->SetUser("7", "SN1", person);  // warm-up
  const long before = ResidentKiB();
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25000; ++i) {
        ParamMap copy = person;
        loopback.adaptor->SetUser(std::to_string(i), "SN1", copy);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::printf("resident_before_kib %ld\nresident_after_kib %ld\npeak_kib %ld\n", before,
              ResidentKiB(), PeakResidentKiB());

  // One adaptor's footprint: the average over many, each with its poller.
  constexpr int kAdaptors = 100;
  const long residentBefore = ResidentKiB();
  const std::size_t heapBefore = mallinfo2().uordblks;
  std::vector<std::unique_ptr<TerminalFace_ZR>> adaptors;
  adaptors.reserve(kAdaptors);
  for (int i = 0; i < kAdaptors; ++i) adaptors.push_back(std::make_unique<TerminalFace_ZR>());
  std::printf("adaptor_heap_bytes %zu\nadaptor_resident_kib %.1f\n",
              (mallinfo2().uordblks - heapBefore) / kAdaptors,
              static_cast<double>(ResidentKiB() - residentBefore) / kAdaptors);
  return 0;
}

namespace {

void BM_Destruction(benchmark::State& state) {
  ko_libos_log_debug_ex = nullptr;
  std::vector<double> samples;
  for (auto _ : state) {
    state.PauseTiming();
    auto adaptor = std::make_unique<TerminalFace_ZR>();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the poller is waiting now
    state.ResumeTiming();
    const auto start = Clock::now();
    adaptor.reset();
    samples.push_back(Microseconds(Clock::now() - start) / 1000);
  }
  state.counters["p50_ms"] = Percentile(samples, 0.5);
  state.counters["max_ms"] = Percentile(samples, 1.0);
}

void BM_Memory(benchmark::State& state) {
  for (auto _ : state) {
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
      state.SkipWithError("cannot find this program");
      return;
    }
    FILE* child = popen((std::string(self) + " --memory").c_str(), "r");
    if (child == nullptr) {
      state.SkipWithError("cannot start the memory run");
      return;
    }
    char name[64];
    double value = 0;
    while (std::fscanf(child, "%63s %lf", name, &value) == 2) state.counters[name] = value;
    if (pclose(child) != 0) state.SkipWithError("the memory run failed");
  }
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark("BM_Destruction", BM_Destruction)->Iterations(200);
  benchmark::RegisterBenchmark("BM_Memory", BM_Memory)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  AddGoal({"Destructor with the poller waiting (max)", "BM_Destruction", "max_ms",
           Goal::Kind::AtMost, 5, "ms"});
  return true;
}();

}  // namespace
}  // namespace Bench
