// Four host threads drive one adaptor while its poller runs: every call gets
// the status of its own post (persons are accepted, photos refused), and
// every accepted request's result is delivered exactly once.
//
// ZR_LOAD_OPERATIONS sets the operations per thread (default 1000).
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "TestAdaptor.h"

using namespace std::chrono_literals;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;

TEST(Load, FourThreadsEachGetTheirOwnStatusAndEveryResultArrivesOnce) {
  const ScopedLogger quiet;  // the refused photos log
  FacepadSim::SimulatorOptions options;
  options.journalLimit = 0;  // a long run's bodies would pile up
  FacepadSim::FacepadSimulator simulator(options);
  simulator.AddFault(FacepadSim::Fault::Answer(503).On("facepad/setfacepic"));
  std::mutex mutex;
  std::map<std::string, int> deliveries;  // by request id; guarded by mutex
  FastPollingAdaptor adaptor(1ms);
  PointAt(adaptor, simulator);
  adaptor.SetResultHandler([&](ResultMap& results) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [sn, outcomes] : results) {
      for (const auto& [id, code] : outcomes) ++deliveries[id];
    }
    results.clear();
    return 0;
  });

  const char* size = std::getenv("ZR_LOAD_OPERATIONS");
  const int perThread = size != nullptr && std::atoi(size) > 0 ? std::atoi(size) : 1000;
  std::map<std::string, int> expected;  // each accepted request's id, once
  std::atomic<int> wrongReturns{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < perThread; i += 2)
      expected[std::to_string(t) + ":" + std::to_string(i)] = 1;
    threads.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) {
        const std::string id = std::to_string(t) + ":" + std::to_string(i);
        ParamMap person{{"certnum", id}, {"name", "Load"}, {"size", "3"}, {"content", "QUJD"}};
        const bool accepted = i % 2 == 0 ? adaptor.AddUser(id, "LOAD", person)
                                         : !adaptor.SetBiophoto(id, "LOAD", person);
        if (!accepted) ++wrongReturns;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrongReturns.load(), 0);

  const auto delivered = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return deliveries.size() >= expected.size();
  };
  ASSERT_TRUE(WaitFor(delivered, 60s));
  std::this_thread::sleep_for(200ms);  // time for a stray second delivery to show
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_TRUE(deliveries == expected);  // each once, and nothing else
  EXPECT_EQ(simulator.Model().PersonCount("LOAD"), expected.size());
}
