// Host threads drive adaptors while their pollers run: every call gets the
// status of its own post (persons are accepted, photos refused), none waits
// on another's connection, and every accepted request's result is delivered
// exactly once.
//
// ZR_LOAD_OPERATIONS sets the operations per thread (default 1000).
#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <tuple>

#include "TestAdaptor.h"

using namespace std::chrono_literals;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;

// Host threads drive adaptors while their pollers run: four threads one
// adaptor, and a hundred each an adaptor of its own against one simulator.
TEST(Load, HostThreadsEachGetTheirOwnStatusAndEveryResultArrivesOnce) {
  const char* size = std::getenv("ZR_LOAD_OPERATIONS");
  // Adaptors, host threads (thread t drives adaptor t % adaptors, on
  // terminal "T<t>"), the poller's tick and the operations per thread.
  const std::tuple<int, int, std::chrono::milliseconds, int> shapes[] = {
      {1, 4, 1ms, size != nullptr && std::atoi(size) > 0 ? std::atoi(size) : 1000},
      {100, 100, 20ms, 10},
  };
  for (const auto& [adaptorCount, threadCount, tick, perThread] : shapes) {
    SCOPED_TRACE(std::to_string(threadCount) + " threads");
    const ScopedLogger quiet;  // the refused photos log
    FacepadSim::SimulatorOptions options;
    options.journalLimit = 0;  // a long run's bodies would pile up
    FacepadSim::FacepadSimulator simulator(options);
    simulator.AddFault(FacepadSim::Fault::Answer(503).On("facepad/setfacepic"));
    const RecordedResults recorded;  // every adaptor's, each map emptied as it is delivered
    std::vector<std::unique_ptr<FastPollingAdaptor>> adaptors;
    for (int a = 0; a < adaptorCount; ++a) {
      adaptors.push_back(Pointed(simulator, tick));
      adaptors.back()->SetResultHandler(recorded.Handler(0));
    }
    std::map<std::string, int> expected;  // each accepted request's id, once
    std::atomic<int> wrongReturns{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
      for (int i = 0; i < perThread; i += 2)
        expected[std::to_string(t) + ":" + std::to_string(i)] = 1;
      threads.emplace_back([&, t, count = adaptorCount, operations = perThread] {
        FastPollingAdaptor& adaptor = *adaptors[static_cast<std::size_t>(t % count)];
        const std::string terminal = "T" + std::to_string(t);
        for (int i = 0; i < operations; ++i) {
          const std::string id = std::to_string(t) + ":" + std::to_string(i);
          ParamMap person{{"certnum", id}, {"name", "Load"}, {"size", "3"}, {"content", "QUJD"}};
          const bool accepted = i % 2 == 0 ? adaptor.AddUser(id, terminal, person)
                                           : !adaptor.SetBiophoto(id, terminal, person);
          if (!accepted) ++wrongReturns;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrongReturns.load(), 0);

    // How often each request id has been delivered.
    const auto delivered = [&] {
      std::map<std::string, int> ids;
      for (const ResultMap& results : recorded.Deliveries()) {
        for (const auto& [sn, outcomes] : results) {
          for (const auto& [id, code] : outcomes) ++ids[id];
        }
      }
      return ids;
    };
    ASSERT_TRUE(WaitFor([&] { return delivered().size() >= expected.size(); }, 60s));
    std::this_thread::sleep_for(200ms);  // time for a stray second delivery to show
    for (int t = 0; t < threadCount; ++t) {
      EXPECT_EQ(simulator.Model().PersonCount("T" + std::to_string(t)),
                static_cast<std::size_t>(perThread + 1) / 2);
    }
    EXPECT_TRUE(delivered() == expected);  // each once, and nothing else
  }
}
