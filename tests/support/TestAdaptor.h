// Adaptors and simulators as tests use them.
#ifndef TESTS_TEST_ADAPTOR_H
#define TESTS_TEST_ADAPTOR_H

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "FacepadSimulator.h"
#include "LogCapture.h"
#include "RecordedResults.h"
#include "TerminalFace_ZR.h"

// An adaptor whose poller ticks every `tick` instead of every 100 ms.
class FastPollingAdaptor : public ZR_Framework::Face::TerminalFace_ZR {
 public:
  explicit FastPollingAdaptor(std::chrono::milliseconds tick) : TerminalFace_ZR(tick) {}
};

// Points `adaptor` at `simulator`.
inline void PointAt(ZR_Framework::Face::TerminalFace_ZR& adaptor,
                    const FacepadSim::FacepadSimulator& simulator) {
  adaptor.SetUrl(simulator.Host());
  adaptor.SetRequestPort(simulator.Port());
}

// An adaptor pointed at `simulator` whose poller ticks every `tick`, for a
// test that destroys it at a moment of its choosing.
inline std::unique_ptr<FastPollingAdaptor> Pointed(const FacepadSim::FacepadSimulator& simulator,
                                                   std::chrono::milliseconds tick) {
  auto adaptor = std::make_unique<FastPollingAdaptor>(tick);
  PointAt(*adaptor, simulator);
  return adaptor;
}

// The result polls `simulator` has had.
inline std::size_t Polls(const FacepadSim::FacepadSimulator& simulator) {
  return simulator.Requests("facepad/getresult").size();
}

// A loopback port on which nothing listens (a simulator's, stopped).
inline int UnusedPort() {
  return FacepadSim::FacepadSimulator().Port();
}

// `time` stretched by ZR_TIME_SCALE (default 1), for runs under valgrind,
// which is many times slower.
inline std::chrono::milliseconds Scaled(std::chrono::milliseconds time) {
  const char* scale = std::getenv("ZR_TIME_SCALE");
  return time * std::max(scale != nullptr ? std::atoi(scale) : 1, 1);
}

// Polls `condition` every few milliseconds until it holds or `limit` passes.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(limit);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The status answer under which GetTerminalStatusFace("SN1") succeeds.
inline const std::string kConnectedAnswer = R"(Data=[{"sn":"SN1","connstatus":1}])";

// What most tests start from: a simulator, whose terminal SN1 is connected,
// the log captured, and an adaptor pointed at the simulator whose poller
// ticks every 10 ms, its results recorded in `results` (so that none is
// logged as waiting for a callback). The capture is installed before the
// poller's thread starts, as hosts must install their logger.
class AdaptorTest : public ::testing::Test {
 protected:
  AdaptorTest() {
    simulator.Model().SetTerminalStatusAnswer(kConnectedAnswer);
    PointAt(adaptor, simulator);
    adaptor.SetResultHandler(results.Handler());
  }
  // The body of the last request to `path`.
  std::string LastBody(const std::string& path) const {
    const auto requests = simulator.Requests(path);
    return requests.empty() ? "<none>" : requests.back().body;
  }
  LogCapture log;
  RecordedResults results;
  FacepadSim::FacepadSimulator simulator;
  FastPollingAdaptor adaptor{std::chrono::milliseconds(10)};
};

#endif  // TESTS_TEST_ADAPTOR_H
