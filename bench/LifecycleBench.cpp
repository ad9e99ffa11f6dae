// An adaptor's lifetime costs: how long its destructor takes while the
// poller waits and while its poll hangs, how much memory one adaptor holds,
// the peak memory of a 100,000-operation run, and what an answer that never
// ends costs before the client gives up on it. The memory figures come from
// child processes of their own (zr_bench --memory, --answer-memory N), so
// that nothing else this program did counts in them.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "BenchSupport.h"
#include "ToolKits.h"

using FacepadSim::Fault;
using ZR_Framework::Terminal_Http_Tool;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::TerminalFace_ZR;

namespace Bench {

namespace {
// An adaptor whose poller ticks every `tick` instead of every 100 ms.
class QuickPollingAdaptor : public TerminalFace_ZR {
 public:
  explicit QuickPollingAdaptor(std::chrono::milliseconds tick) : TerminalFace_ZR(tick) {}
};
}  // namespace

// The child's work: `answers` posts at once to a service whose answers never
// end. Prints the peak memory they added, per answer, over the answer cap.
int AnswerMemoryRun(int answers) {
  FacepadSim::FacepadSimulator simulator;  // streams one static chunk: no memory per byte
  simulator.AddFault(Fault::EndlessAnswer());
  Terminal_Http_Tool client;
  const std::string url = "http://127.0.0.1:" + std::to_string(simulator.Port()) + "/x";
  const long before = ResidentKiB();
  std::vector<std::thread> threads;
  threads.reserve(static_cast<std::size_t>(std::max(answers, 0)));
  std::atomic<int> refused{0};
  for (int i = 0; i < answers; ++i) {
    threads.emplace_back([&] {
      std::string response;
      if (!client.HttpPostRequest(url, "", response, false)) ++refused;
    });
  }
  for (std::thread& thread : threads) thread.join();
  const double capKiB = static_cast<double>(Terminal_Http_Tool::kMaxResponseBytes) / 1024;
  std::printf("refused %d\npeak_per_answer_over_cap %.3f\n", refused.load(),
              static_cast<double>(PeakResidentKiB() - before) / answers / capKiB);
  return 0;
}

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

// Times, in ms, the destruction of adaptors that `prepare` makes ready.
template <typename Prepare>
void TimeDestructions(benchmark::State& state, Prepare prepare) {
  ko_libos_log_debug_ex = nullptr;
  std::vector<double> samples;
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<TerminalFace_ZR> adaptor = prepare();
    state.ResumeTiming();
    const auto start = Clock::now();
    adaptor.reset();
    samples.push_back(Microseconds(Clock::now() - start) / 1000);
  }
  state.counters["p50_ms"] = Percentile(samples, 0.5);
  state.counters["max_ms"] = Percentile(samples, 1.0);
}

void BM_Destruction(benchmark::State& state) {
  TimeDestructions(state, [] {
    auto adaptor = std::make_unique<TerminalFace_ZR>();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the poller is waiting now
    return adaptor;
  });
}

// While the poll hangs on a service that never answers (the client's time-out
// is 30 s): the destructor interrupts it.
void BM_DestructionDuringHungPoll(benchmark::State& state) {
  FacepadSim::FacepadSimulator simulator;
  simulator.AddFault(Fault::Delayed(std::chrono::seconds(60)).On("facepad/getresult"));
  TimeDestructions(state, [&]() -> std::unique_ptr<TerminalFace_ZR> {
    const std::size_t polls = simulator.Requests("facepad/getresult").size();
    auto adaptor = std::make_unique<QuickPollingAdaptor>(std::chrono::milliseconds(1));
    adaptor->SetUrl(simulator.Host());
    adaptor->SetRequestPort(simulator.Port());
    while (simulator.Requests("facepad/getresult").size() == polls) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return adaptor;
  });
}

// Runs this program with `arguments` and takes the "name value" lines it
// prints as counters.
void RunChild(benchmark::State& state, const std::string& arguments, const std::string& prefix) {
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
    state.SkipWithError("cannot find this program");
    return;
  }
  FILE* child = popen((std::string(self) + " " + arguments).c_str(), "r");
  if (child == nullptr) {
    state.SkipWithError("cannot start the child run");
    return;
  }
  char name[64];
  double value = 0;
  while (std::fscanf(child, "%63s %lf", name, &value) == 2) state.counters[prefix + name] = value;
  if (pclose(child) != 0) state.SkipWithError("the child run failed");
}

void BM_Memory(benchmark::State& state) {
  for (auto _ : state) RunChild(state, "--memory", "");
}

void BM_AnswerMemory(benchmark::State& state) {
  for (auto _ : state) {
    RunChild(state, "--answer-memory 1", "one_");
    RunChild(state, "--answer-memory 8", "eight_");
  }
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark("BM_Destruction", BM_Destruction)->Iterations(200);
  benchmark::RegisterBenchmark("BM_DestructionDuringHungPoll", BM_DestructionDuringHungPoll)
      ->Iterations(20);
  RegisterScenario("BM_Memory", BM_Memory);
  RegisterScenario("BM_AnswerMemory", BM_AnswerMemory);
  AddGoal({"Destructor with the poller waiting (max)", "BM_Destruction/", "max_ms",
           Goal::Kind::AtMost, 5, "ms"});
  AddGoal({"Destructor during a hung poll (max)", "BM_DestructionDuringHungPoll", "max_ms",
           Goal::Kind::AtMost, 100, "ms"});
  AddGoal({"An endless answer's peak memory / cap", "BM_AnswerMemory",
           "one_peak_per_answer_over_cap", Goal::Kind::AtMost, 1.2, "x"});
  AddGoal({"Eight endless answers at once, each / cap", "BM_AnswerMemory",
           "eight_peak_per_answer_over_cap", Goal::Kind::AtMost, 1.2, "x"});
  return true;
}();

}  // namespace
}  // namespace Bench
