// How fast the adaptor builds its payloads, reads results and makes requests
// over loopback against the simulator. Run: build/plain/bench/zr_bench
#include <benchmark/benchmark.h>

#include <memory>

#include "FacepadSimulator.h"
#include "Request.h"
#include "ResultPoller.h"
#include "TerminalFace_ZR.h"
#include "ToolKits.h"
#include "UserRecord.h"

using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;
using ZR_Framework::Face::TerminalFace_ZR;

namespace {

const ParamMap kPerson = {{"certtype", "1"},       {"certnum", "C-100234"}, {"name", "Ann Lee"},
                          {"password", "1234"},    {"authmethod", "face"},  {"facetype", "1"},
                          {"roleplay", "1"},       {"num", "40012345"},     {"cardtype", "1"},
                          {"plantemplateno", "3"}, {"enablecover", "1"}};

// A result answer with `count` entries spread over four terminals.
std::string ResultAnswer(int count) {
  std::string answer = "result=[";
  for (int terminal = 0; terminal < 4; ++terminal) {
    std::string entries = "[";
    for (int i = terminal; i < count; i += 4) {
      if (entries.size() > 1) entries += ",";
      entries += R"({\"id\":\"req)" + std::to_string(i) + R"(\",\"return\":\"0\"})";
    }
    entries += "]";
    if (terminal > 0) answer += ",";
    answer += R"({"SN":"FP-000)" + std::to_string(terminal) + R"(","data":")" + entries + "\"}";
  }
  return answer + "]";
}

// One simulator and one adaptor pointed at it, shared by the request benchmarks.
struct Loopback {
  Loopback()
      : simulator(std::make_unique<FacepadSim::FacepadSimulator>(Options())),
        adaptor(std::make_unique<TerminalFace_ZR>()) {
    ko_libos_log_debug_ex = nullptr;
    adaptor->SetUrl(simulator->Host());
    adaptor->SetRequestPort(simulator->Port());
  }
  static FacepadSim::SimulatorOptions Options() {
    FacepadSim::SimulatorOptions options;
    options.threads = 32;
    options.journalLimit = 0;  // bodies of a long run would pile up
    return options;
  }
  std::unique_ptr<FacepadSim::FacepadSimulator> simulator;
  std::unique_ptr<TerminalFace_ZR> adaptor;
};

Loopback& SharedLoopback() {
  static Loopback loopback;
  return loopback;
}

void BM_BuildUserRecord(benchmark::State& state) {
  const auto variant = state.range(0) == 0 ? ZR_Framework::Face::UserRecordVariant::Add
                                           : ZR_Framework::Face::UserRecordVariant::Update;
  for (auto _ : state) {
    ParamMap person = kPerson;
    ZR_Framework::Face::UserRecordFailure failure;
    benchmark::DoNotOptimize(ZR_Framework::Face::BuildUserRecord(person, variant, failure));
  }
}
BENCHMARK(BM_BuildUserRecord)->Arg(0)->Arg(1);

void BM_FormBody(benchmark::State& state) {
  const std::string record(400, 'r');
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        ZR_Framework::Face::FormBody({{"SN", "FP-0001"}, {"id", "req1234"}, {"data", record}}));
  }
}
BENCHMARK(BM_FormBody);

void BM_ParseResults(benchmark::State& state) {
  const std::string answer = ResultAnswer(static_cast<int>(state.range(0)));
  TerminalFace_ZR adaptor;
  ko_libos_log_debug_ex = nullptr;
  for (auto _ : state) {
    std::string list;
    ZR_Framework::Face::FrameResultAnswer(answer, list);
    ResultMap results;
    benchmark::DoNotOptimize(adaptor.JsonDataToMapData(list, results));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseResults)->Arg(1)->Arg(100)->Arg(10000);

// One request and its answer over a kept-alive loopback connection.
void BM_GetAvailableFace(benchmark::State& state) {
  Loopback& loopback = SharedLoopback();
  ParamMap params;
  for (auto _ : state) {
    if (!loopback.adaptor->GetAvailableFace(params)) state.SkipWithError("refused");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetAvailableFace)->Threads(1)->Threads(4)->UseRealTime();

// Adding a person, with a picture of range(0) KiB.
void BM_AddUser(benchmark::State& state) {
  Loopback& loopback = SharedLoopback();
  ParamMap person = kPerson;
  person["facepic"] = std::string(static_cast<std::size_t>(state.range(0)) * 1024, 'A');
  const std::string sn = "BENCH-" + std::to_string(state.thread_index());
  long long id = 0;
  for (auto _ : state) {
    person["certnum"] = "C-" + std::to_string(++id);
    if (!loopback.adaptor->AddUser(std::to_string(id), sn, person)) state.SkipWithError("refused");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * 1024);
}
BENCHMARK(BM_AddUser)->Arg(0)->Arg(200)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
