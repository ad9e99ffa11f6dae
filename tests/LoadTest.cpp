// Four host threads drive one adaptor with mixed operations while its poller
// runs: every call gets its own status, every accepted request's result is
// delivered exactly once, and memory comes back to where it was.
//
// ZR_LOAD_OPERATIONS sets the operations per thread (default 1000).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "LogCapture.h"
#include "TestAdaptor.h"

using namespace std::chrono_literals;
using FacepadSim::Fault;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;

namespace {

constexpr int kThreads = 4;
constexpr int kKinds = 8;
const std::string kConnected = R"(Data=[{"sn":"LOAD","connstatus":1}])";

int OperationsPerThread() {
  const char* size = std::getenv("ZR_LOAD_OPERATIONS");
  return size != nullptr && std::atoi(size) > 0 ? std::atoi(size) : 1000;
}

long ResidentKiB() {
  long pages = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Deliveries per request, indexed by thread and operation: request ids are
// "<round>:<thread>:<operation>". Sized before a round, so that counting
// allocates nothing while memory is measured.
struct Deliveries {
  std::mutex mutex;
  int round = 0;
  int perThread = 0;
  std::vector<unsigned char> counts;
  int strays = 0;  // ids of no request of this round

  void Start(int newRound, int operations) {
    std::lock_guard<std::mutex> lock(mutex);
    round = newRound;
    perThread = operations;
    counts.assign(static_cast<std::size_t>(kThreads) * operations, 0);
  }
  void Count(const std::string& id) {
    int idRound = -1;
    int thread = -1;
    int operation = -1;
    std::lock_guard<std::mutex> lock(mutex);
    if (std::sscanf(id.c_str(), "%d:%d:%d", &idRound, &thread, &operation) != 3 ||
        idRound != round || thread < 0 || thread >= kThreads || operation < 0 ||
        operation >= perThread) {
      ++strays;
      return;
    }
    ++counts[static_cast<std::size_t>(thread) * perThread + operation];
  }
};
Deliveries g_deliveries;

int ConsumeResults(ResultMap& results) {
  for (const auto& [sn, outcomes] : results) {
    for (const auto& [id, code] : outcomes) g_deliveries.Count(id);
  }
  results.clear();
  return 0;
}

// What one operation of each kind returns: photos are refused (503), all
// else accepted. Kinds without a request id queue no result.
bool ExpectedReturn(int kind) {
  return kind != 3;
}
bool QueuesResult(int kind) {
  return kind != 3 && kind != 6 && kind != 7;
}

bool RunOperation(ZR_Framework::Face::TerminalFace_ZR& adaptor, int kind, const std::string& id,
                  const std::string& sn, const std::string& certnum) {
  ParamMap person{{"certnum", certnum}, {"name", "Load"}};
  switch (kind) {
    case 0:
      return adaptor.AddUser(id, sn, person);
    case 1:
      return adaptor.SetUser(id, sn, person);
    case 2:
      return adaptor.DelUser(id, sn, person);
    case 3: {
      ParamMap photo{{"certnum", certnum}, {"size", "4"}, {"content", "QUJD"}};
      return adaptor.SetBiophoto(id, sn, photo);
    }
    case 4:
      return adaptor.ControlDeviceFace(id, sn, "", "", "");
    case 5:
      return adaptor.ActivationStatus(id, sn);
    case 6:
      return adaptor.GetAvailableFace(person);
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
  simulator.SetTerminalStatusAnswer(kConnected);
  simulator.AddFault(Fault::Answer(503).On("facepad/setfacepic"));
  FastPollingAdaptor adaptor(1ms);
  PointAt(adaptor, simulator);
  adaptor.SetResultCallbackFace(ConsumeResults);

  std::atomic<int> wrongReturns{0};
  const auto runRound = [&](int round, int perThread) {
    g_deliveries.Start(round, perThread);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        const std::string sn = "LOAD-" + std::to_string(t % 2);
        for (int i = 0; i < perThread; ++i) {
          const int kind = i % kKinds;
          const std::string id =
              std::to_string(round) + ":" + std::to_string(t) + ":" + std::to_string(i);
          // Each group of kinds adds, updates and deletes one person.
          const std::string certnum = std::to_string(t) + "-" + std::to_string(i / kKinds);
          if (RunOperation(adaptor, kind, id, sn, certnum) != ExpectedReturn(kind)) ++wrongReturns;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    // Every accepted request's result arrives exactly once.
    const bool allDelivered = WaitFor(
        [&] {
          std::lock_guard<std::mutex> lock(g_deliveries.mutex);
          for (int t = 0; t < kThreads; ++t) {
            for (int i = 0; i < perThread; ++i) {
              if (QueuesResult(i % kKinds) && g_deliveries.counts[t * perThread + i] == 0) {
                return false;
              }
            }
          }
          return true;
        },
        60s);
    EXPECT_TRUE(allDelivered) << "round " << round;
  };

  const int perThread = OperationsPerThread();
  runRound(0, std::max(perThread / 5, kKinds));  // warms up connections, threads and heap
  const long residentBefore = ResidentKiB();
  runRound(1, perThread);
  std::this_thread::sleep_for(200ms);  // time for a stray second delivery to show
  const long residentAfter = ResidentKiB();

  EXPECT_EQ(wrongReturns.load(), 0);
  std::lock_guard<std::mutex> lock(g_deliveries.mutex);
  EXPECT_EQ(g_deliveries.strays, 0);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < perThread; ++i) {
      const int expected = QueuesResult(i % kKinds) ? 1 : 0;
      ASSERT_EQ(g_deliveries.counts[t * perThread + i], expected) << t << ":" << i;
    }
  }
  EXPECT_EQ(simulator.PersonCount("LOAD-0") + simulator.PersonCount("LOAD-1"), 0u);
#ifndef ZR_SANITIZED
  // Sanitizers hold freed memory back on purpose; only a plain build can tell.
  EXPECT_LT(residentAfter - residentBefore, 4 * 1024) << "KiB";
#endif
  std::printf("resident memory: %ld KiB before, %ld KiB after %d operations\n", residentBefore,
              residentAfter, kThreads * perThread);
}
