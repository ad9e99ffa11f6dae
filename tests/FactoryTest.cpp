// A host that loads the module with dlopen and uses it through the factory.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "CLS_TerminalFace_Base.h"
#include "FacepadSimulator.h"

using namespace std::chrono_literals;
using ZR_Framework::Face::CLS_TerminalFace_Base;
using Create = CLS_TerminalFace_Base* (*)();
using Destroy = void (*)(CLS_TerminalFace_Base*);

TEST(Factory, LoadedModuleMakesRequests) {
  FacepadSim::FacepadSimulator simulator;
  void* module = dlopen(ZR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  const auto create = reinterpret_cast<Create>(dlsym(module, "CreateTerminalFace_ZR"));
  const auto destroy = reinterpret_cast<Destroy>(dlsym(module, "DestroyTerminalFace_ZR"));
  ASSERT_NE(create, nullptr);
  ASSERT_NE(destroy, nullptr);

  CLS_TerminalFace_Base* adaptor = create();
  ASSERT_NE(adaptor, nullptr);
  // The base interface has no port setting, and the address goes into the URL
  // unchecked: this one carries the simulator's port and ends in a fragment,
  // which swallows the default port and path that the adaptor appends.
  adaptor->SetUrl("127.0.0.1:" + std::to_string(simulator.Port()) + "/facepad/active#");
  ZR_Framework::Face::ParamMap params;
  EXPECT_TRUE(adaptor->GetAvailableFace(params));
  EXPECT_FALSE(adaptor->SetInitParamFace(params));
  EXPECT_FALSE(adaptor->DelBiophoto("7", "SN1", params));  // supported by neither: nothing sent
  destroy(adaptor);
  destroy(nullptr);  // like delete, a null adaptor is no error

  EXPECT_EQ(simulator.Requests("facepad/active").size(), 1u);
  dlclose(module);
}

// Once its last adaptor is gone, dlclose unloads the module and the platform
// libraries it brought, so that a host can load a new build in its place. In
// a process of its own: the test below keeps the module loaded for good.
TEST(Factory, DlcloseUnloadsTheModule) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto loaded = [](const char* library) {
    return dlopen(library, RTLD_NOW | RTLD_NOLOAD) != nullptr;
  };
  EXPECT_EXIT(
      {
        void* module = dlopen(ZR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        reinterpret_cast<Destroy>(dlsym(module, "DestroyTerminalFace_ZR"))(
            reinterpret_cast<Create>(dlsym(module, "CreateTerminalFace_ZR"))());
        dlclose(module);
        std::_Exit(loaded(ZR_MODULE_PATH) || loaded("libTerminal_Http_Tool.so.1") ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

namespace {
Destroy g_destroy = nullptr;
CLS_TerminalFace_Base* g_adaptor = nullptr;
std::atomic<bool> g_destroyed{false};

int DestroyInside(ZR_Framework::Face::ResultMap& /*results*/) {
  g_destroy(g_adaptor);
  g_destroyed = true;
  std::this_thread::sleep_for(100ms);  // the host unloads the module meanwhile
  return 0;
}
}  // namespace

// A host may destroy the adaptor inside its callback and unload the module at
// once: the poller thread still returns through the module's code, which
// keeps itself loaded for it.
TEST(Factory, DestroyedInsideItsCallbackThenUnloaded) {
  FacepadSim::FacepadSimulator simulator;
  simulator.Model().QueueResult("A1", "7", "0");
  void* module = dlopen(ZR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  const auto create = reinterpret_cast<Create>(dlsym(module, "CreateTerminalFace_ZR"));
  g_destroy = reinterpret_cast<Destroy>(dlsym(module, "DestroyTerminalFace_ZR"));
  g_adaptor = create();
  ASSERT_NE(g_adaptor, nullptr);
  // Every request, the poll included, goes to the result endpoint (see above).
  g_adaptor->SetUrl("127.0.0.1:" + std::to_string(simulator.Port()) + "/facepad/getresult#");
  g_adaptor->SetResultCallbackFace(DestroyInside);
  for (int i = 0; i < 400 && !g_destroyed; ++i)
    std::this_thread::sleep_for(50ms);  // the first poll: 8 s
  ASSERT_TRUE(g_destroyed);
  dlclose(module);
  std::this_thread::sleep_for(300ms);  // the callback returns into the module, and its thread ends
}
