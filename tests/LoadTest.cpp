// Four host threads drive one adaptor with mixed operations while its poller
// runs: every call gets the status of its own post, and every accepted
// request's result is delivered exactly once.
//
// ZR_LOAD_OPERATIONS sets the operations per thread (default 1000).
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "TestAdaptor.h"

using namespace std::chrono_literals;
using FacepadSim::Fault;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;

namespace {

constexpr int kThreads = 4;

int OperationsPerThread() {
  const char* size = std::getenv("ZR_LOAD_OPERATIONS");
  return size != nullptr && std::atoi(size) > 0 ? std::atoi(size) : 1000;
}

std::mutex g_mutex;
std::map<std::string, int> g_deliveries;  // by request id; guarded by g_mutex

int ConsumeResults(ResultMap& results) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const auto& [sn, outcomes] : results) {
    for (const auto& [id, code] : outcomes) ++g_deliveries[id];
  }
  results.clear();
  return 0;
}

// Operation `i` of a thread: a person added, a photo refused (503), the
// person deleted, a status query (no request id, so no result).
bool RunOperation(ZR_Framework::Face::TerminalFace_ZR& adaptor, int i, const std::string& id,
                  const std::string& sn, const std::string& certnum) {
  ParamMap person{{"certnum", certnum}, {"name", "Load"}};
  switch (i % 4) {
    case 0:
      return adaptor.AddUser(id, sn, person);
    case 1: {
      ParamMap photo{{"certnum", certnum}, {"size", "4"}, {"content", "QUJD"}};
      return !adaptor.SetBiophoto(id, sn, photo);
    }
    case 2:
      return adaptor.DelUser(id, sn, person);
    default:
      return adaptor.GetTerminalStatusFace(sn);
  }
}

}  // namespace

TEST(Load, FourThreadsOfMixedOperationsOnOneAdaptor) {
  const NoLogger quiet;  // the refused photos log
  FacepadSim::SimulatorOptions options;
  options.journalLimit = 0;  // a long run's bodies would pile up
  FacepadSim::FacepadSimulator simulator(options);
  simulator.SetTerminalStatusAnswer(R"(Data=[{"sn":"LOAD","connstatus":1}])");
  simulator.AddFault(Fault::Answer(503).On("facepad/setfacepic"));
  FastPollingAdaptor adaptor(1ms);
  PointAt(adaptor, simulator);
  adaptor.SetResultCallbackFace(ConsumeResults);

  const int perThread = OperationsPerThread();
  std::atomic<int> wrongReturns{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string sn = "LOAD-" + std::to_string(t % 2);
      for (int i = 0; i < perThread; ++i) {
        const std::string id = std::to_string(t) + ":" + std::to_string(i);
        const std::string certnum = std::to_string(t) + "-" + std::to_string(i / 4);
        if (!RunOperation(adaptor, i, id, sn, certnum)) ++wrongReturns;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrongReturns.load(), 0);

  std::map<std::string, int> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < perThread; ++i) {
      if (i % 2 == 0) expected[std::to_string(t) + ":" + std::to_string(i)] = 1;
    }
  }
  const auto delivered = [&] {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_deliveries.size() >= expected.size();
  };
  ASSERT_TRUE(WaitFor(delivered, 60s));
  std::this_thread::sleep_for(200ms);  // time for a stray second delivery to show
  std::lock_guard<std::mutex> lock(g_mutex);
  EXPECT_TRUE(g_deliveries == expected);  // each once, and nothing else
  EXPECT_EQ(simulator.PersonCount("LOAD-0") + simulator.PersonCount("LOAD-1"), 0u);
}
