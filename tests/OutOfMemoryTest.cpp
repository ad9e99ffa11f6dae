// Memory running out at any allocation an operation makes: the operation
// ends cleanly, and nothing it throws reaches the host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>

#include "LogCapture.h"
#include "Operations.h"
#include "TestAdaptor.h"

namespace {
// Allocations this thread may still make before the next one fails (0: no
// failure planned), and whether one failed. Other threads are left alone.
thread_local long t_allocationsBeforeFailure = 0;
thread_local bool t_failed = false;
}  // namespace

// Every allocation of this program comes through here, and goes back through
// the matching delete below. (g++ takes the pair for a mismatch once inlined.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (t_allocationsBeforeFailure > 0 && --t_allocationsBeforeFailure == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size != 0 ? size : 1);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t /*size*/) noexcept {
  std::free(memory);
}

using operations::kAnn;
using operations::kConnectedAnswer;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;
using ZR_Framework::Face::TerminalFace_ZR;

TEST(OutOfMemory, AnAllocationFailingAnywhereInAnOperationStaysInside) {
  LogCapture log;
  FacepadSim::FacepadSimulator simulator;
  simulator.SetTerminalStatusAnswer(kConnectedAnswer);
  TerminalFace_ZR adaptor;
  PointAt(adaptor, simulator);
  ResultMap results;
  const std::string resultList = R"([{"SN":"A1","data":[{"id":"7","return":"0"}]}])";
  // Each row calls one operation with arguments made beforehand, so that
  // every allocation counted is the operation's own.
  const std::pair<const char*, std::function<bool(ParamMap&)>> rows[] = {
      {"GetAvailableFace", [&](ParamMap& p) { return adaptor.GetAvailableFace(p); }},
      {"AddUser", [&](ParamMap& p) { return adaptor.AddUser("7", "SN1", p); }},
      {"SetBiophoto", [&](ParamMap& p) { return adaptor.SetBiophoto("7", "SN1", p); }},
      {"BindTerminalFace",
       [&](ParamMap&) { return adaptor.BindTerminalFace("SN1", 1, "10.0.0.7", "80", "u", "p"); }},
      {"ControlDeviceFace",
       [&](ParamMap&) { return adaptor.ControlDeviceFace("7", "SN1", "", "", ""); }},
      {"GetTerminalStatusFace", [&](ParamMap&) { return adaptor.GetTerminalStatusFace("SN1"); }},
      {"JsonDataToMapData",
       [&](ParamMap&) { return adaptor.JsonDataToMapData(resultList, results); }},
      {"SetUrl", [&](ParamMap&) { return adaptor.SetUrl(simulator.Host()); }},
  };
  for (const auto& [name, call] : rows) {
    bool logged = false;  // that memory ran out
    long nth = 1;
    for (;; ++nth) {
      ParamMap person = kAnn;
      person["facepic"] = std::string(100, 'P');
      t_failed = false;
      t_allocationsBeforeFailure = nth;
      bool threw = false;
      try {
        call(person);
      } catch (...) {
        threw = true;
      }
      t_allocationsBeforeFailure = 0;
      ASSERT_FALSE(threw) << name << ", allocation " << nth;
      if (!t_failed) break;  // the operation made fewer: each of its allocations has failed once
      for (const std::string& message : log.Messages()) {
        logged = logged || message.find("failed: out of memory") != std::string::npos;
      }
      log.Clear();
    }
    EXPECT_TRUE(logged || nth == 1) << name << " ran out of memory without saying so";
    ParamMap again = kAnn;
    EXPECT_TRUE(call(again)) << name << " afterwards";
  }
}
