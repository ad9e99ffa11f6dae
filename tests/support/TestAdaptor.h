// Adaptors and simulators as tests use them.
#ifndef TESTS_TEST_ADAPTOR_H
#define TESTS_TEST_ADAPTOR_H

#include <chrono>
#include <string>
#include <thread>

#include "FacepadSimulator.h"
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

// A loopback port on which nothing listens (it was free a moment ago).
int UnusedPort();

// `time` stretched by ZR_TIME_SCALE (default 1), for runs under valgrind,
// which is many times slower.
std::chrono::milliseconds Scaled(std::chrono::milliseconds time);

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

#endif  // TESTS_TEST_ADAPTOR_H
