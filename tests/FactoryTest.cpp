// A host that loads the module with dlopen and uses it through the factory.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include <TerminalFace_ZR/TerminalFace_ZR_C.h>

#include "FacepadSimulator.h"

using namespace std::chrono_literals;
using ZR_Framework::Face::CLS_TerminalFace_Base;
using ZR_Framework::Face::ResultMap;
using Create = CreateTerminalFace_ZR_Function;
using Destroy = DestroyTerminalFace_ZR_Function;

namespace {
// An entry point as a host finds it by name, cast to the pointer type it is
// assigned to.
struct Symbol {
  void* address;
  template <typename Function>
  operator Function() const {
    return reinterpret_cast<Function>(address);
  }
};

// A handler's own state, handed back to it through the context: whether a
// delivery held A1.
int NoteA1(ResultMap& results, void* context) {
  auto& heldA1 = *static_cast<std::atomic<bool>*>(context);
  heldA1 = heldA1 || results.count("A1") == 1;
  return 0;
}

// What a callback that destroys its adaptor needs.
Destroy g_destroy = nullptr;
CLS_TerminalFace_Base* g_adaptor = nullptr;
std::atomic<bool> g_destroyed{false};

int DestroyInside(ResultMap& /*results*/) {
  g_destroy(g_adaptor);
  g_destroyed = true;
  std::this_thread::sleep_for(100ms);  // the host unloads the module meanwhile
  return 0;
}
}  // namespace

// Everything a linked host can set, set through the C entry points: the port
// (refused out of range), the poller's timing, the time-outs and a handler
// with state. A null adaptor is refused by each. And the module unloaded
// while a callback that destroyed its adaptor still runs.
TEST(Factory, LoadedModuleIsSetUpThroughItsEntryPoints) {
  FacepadSim::FacepadSimulator simulator;
  simulator.Model().QueueResult("A1", "7", "0");
  void* module = dlopen(ZR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  const auto find = [module](const char* name) { return Symbol{dlsym(module, name)}; };
  Create create = find("CreateTerminalFace_ZR");
  Destroy destroy = find("DestroyTerminalFace_ZR");
  SetRequestPortTerminalFace_ZR_Function setPort = find("SetRequestPortTerminalFace_ZR");
  SetPollerTimingTerminalFace_ZR_Function setTiming = find("SetPollerTimingTerminalFace_ZR");
  SetHttpTimeoutsTerminalFace_ZR_Function setTimeouts = find("SetHttpTimeoutsTerminalFace_ZR");
  SetResultHandlerTerminalFace_ZR_Function setHandler = find("SetResultHandlerTerminalFace_ZR");
  SetExchangeObserverTerminalFace_ZR_Function observe = find("SetExchangeObserverTerminalFace_ZR");
  StopPollingTerminalFace_ZR_Function stopPolling = find("StopPollingTerminalFace_ZR");
  LastFailureTerminalFace_ZR_Function lastFailure = find("LastFailureTerminalFace_ZR");
  SetUserTerminalFace_ZR_Function setUser = find("SetUserTerminalFace_ZR");
  ActiveTerminalFace_ZR_Function active = find("ActiveTerminalFace_ZR");
  ActivationStatusTerminalFace_ZR_Function activationStatus =
      find("ActivationStatusTerminalFace_ZR");
  ASSERT_TRUE(create && destroy && setPort && setTiming && setTimeouts && setHandler && observe &&
              stopPolling && lastFailure && setUser && active && activationStatus);
  ZR_Framework::Face::ParamMap person{{"certnum", "C-1"}};

  std::atomic<bool> heldA1{false};
  const std::function<bool(CLS_TerminalFace_Base*)> settings[] = {
      [&](CLS_TerminalFace_Base* a) { return setPort(a, 1); },
      [&](CLS_TerminalFace_Base* a) { return setTiming(a, 1, 1, 1); },
      [&](CLS_TerminalFace_Base* a) { return setTimeouts(a, 1, 1); },
      [&](CLS_TerminalFace_Base* a) { return setHandler(a, NoteA1, &heldA1); },
      [&](CLS_TerminalFace_Base* a) { return observe(a, nullptr, nullptr); },
      [&](CLS_TerminalFace_Base* a) { return stopPolling(a, 1); },
      [&](CLS_TerminalFace_Base* a) { return setUser(a, "8", "T1", person); },
      [&](CLS_TerminalFace_Base* a) { return active(a, "9", "T1", "op", "pw", "5"); },
      [&](CLS_TerminalFace_Base* a) { return activationStatus(a, "10", "T1"); },
  };
  // Null, something that is no adaptor, or one destroyed: refused before it is read.
  const auto refused = [&](CLS_TerminalFace_Base* notOurs) {
    for (const auto& setting : settings) {
      EXPECT_FALSE(setting(notOurs));
      EXPECT_EQ(lastFailure(nullptr), TerminalFace_ZR_RefusedValue);
    }
  };
  refused(nullptr);
  std::array<long long, 16> notAnAdaptor{};
  refused(reinterpret_cast<CLS_TerminalFace_Base*>(notAnAdaptor.data()));

  CLS_TerminalFace_Base* adaptor = create();
  ASSERT_NE(adaptor, nullptr);
  int status = -1;
  EXPECT_FALSE(setPort(adaptor, 65536));
  EXPECT_EQ(lastFailure(&status), TerminalFace_ZR_RefusedValue);
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(setTimeouts(adaptor, -5, 1LL << 62));  // clamped, not refused
  EXPECT_EQ(lastFailure(nullptr), TerminalFace_ZR_None);
  ASSERT_TRUE(setPort(adaptor, simulator.Port()));
  ASSERT_TRUE(setHandler(adaptor, NoteA1, &heldA1));
  ASSERT_TRUE(setTiming(adaptor, 20, 20, 20));  // the first poll in 20 ms, not 8 s
  for (int i = 0; i < 200 && !heldA1; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(heldA1);
  // The operations outside the base interface.
  EXPECT_TRUE(setUser(adaptor, "8", "T1", person) && active(adaptor, "9", "T1", "op", "pw", "5") &&
              activationStatus(adaptor, "10", "T1"));
  for (const char* path : {"facepad/setuser", "facepad/active", "facepad/activationstatus"}) {
    EXPECT_EQ(simulator.Requests(path).size(), 1U) << path;
  }
  ZR_Framework::Face::ParamMap params;
  EXPECT_TRUE(adaptor->GetAvailableFace(params));
  EXPECT_EQ(lastFailure(nullptr), TerminalFace_ZR_None);
  EXPECT_FALSE(adaptor->DelBiophoto("7", "SN1", params));  // nothing sent
  EXPECT_EQ(lastFailure(nullptr), TerminalFace_ZR_NotSupported);
  EXPECT_TRUE(stopPolling(adaptor, 5000));
  EXPECT_EQ(lastFailure(nullptr), TerminalFace_ZR_None);
  const size_t polls = simulator.Requests("facepad/getresult").size();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(simulator.Requests("facepad/getresult").size(), polls);  // stopped for good
  destroy(adaptor);
  destroy(nullptr);  // like delete, a null adaptor is no error
  refused(adaptor);
  destroy(adaptor);  // left alone: not freed twice
  destroy(reinterpret_cast<CLS_TerminalFace_Base*>(notAnAdaptor.data()));

  EXPECT_EQ(simulator.Requests("facepad/active").size(), 2U);

  // A host may destroy an adaptor inside its callback and unload the module
  // at once: the poller thread still returns through the module's code,
  // which keeps itself loaded for it.
  g_destroy = destroy;
  g_adaptor = create();
  ASSERT_NE(g_adaptor, nullptr);
  ASSERT_TRUE(setPort(g_adaptor, simulator.Port()) && setTiming(g_adaptor, 20, 20, 20));
  simulator.Model().QueueResult("A1", "8", "0");
  // Last: from here on, the callback may destroy the adaptor at any moment.
  g_adaptor->SetResultCallbackFace(DestroyInside);
  for (int i = 0; i < 400 && !g_destroyed; ++i) std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(g_destroyed);
  dlclose(module);
  std::this_thread::sleep_for(300ms);  // the callback returns into the module, and its thread ends
}

// Once its last adaptor is gone, dlclose unloads the module and the platform
// libraries it brought, so that a host can load a new build in its place. In
// a process of its own: the test above keeps the module loaded for good.
TEST(Factory, DlcloseUnloadsTheModule) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto loaded = [](const char* library) {
    return dlopen(library, RTLD_NOW | RTLD_NOLOAD) != nullptr;
  };
  EXPECT_EXIT(
      {
        void* module = dlopen(ZR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        const Create create = Symbol{dlsym(module, "CreateTerminalFace_ZR")};
        static_cast<Destroy>(Symbol{dlsym(module, "DestroyTerminalFace_ZR")})(create());
        dlclose(module);
        std::_Exit(loaded(ZR_MODULE_PATH) || loaded("libTerminal_Http_Tool.so.1") ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}
