// A host that loads the module with dlopen and uses it through the factory.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CLS_TerminalFace_Base.h"
#include "FacepadSimulator.h"

using namespace std::chrono_literals;
using ZR_Framework::Face::CLS_TerminalFace_Base;
using Create = CLS_TerminalFace_Base* (*)();
using Destroy = void (*)(CLS_TerminalFace_Base*);

namespace {
// The module as a host loads it, and its factory pair; the test unloads it.
struct Module {
  void* handle = dlopen(ZR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  Create create = reinterpret_cast<Create>(dlsym(handle, "CreateTerminalFace_ZR"));
  Destroy destroy = reinterpret_cast<Destroy>(dlsym(handle, "DestroyTerminalFace_ZR"));
};
}  // namespace

TEST(Factory, LoadedModuleMakesRequests) {
  FacepadSim::FacepadSimulator simulator;
  const Module module;
  ASSERT_TRUE(module.handle != nullptr && module.create != nullptr && module.destroy != nullptr)
      << dlerror();
  const Destroy destroy = module.destroy;
  CLS_TerminalFace_Base* adaptor = module.create();
  ASSERT_NE(adaptor, nullptr);
  // The base interface has no port setting, and the address goes into the URL
  // unchecked: this one carries the simulator's port and ends in a fragment,
  // which swallows the default port and path that the adaptor appends.
  adaptor->SetUrl("127.0.0.1:" + std::to_string(simulator.Port()) + "/facepad/active#");
  ZR_Framework::Face::ParamMap params;
  EXPECT_TRUE(adaptor->GetAvailableFace(params));
  EXPECT_FALSE(adaptor->SetInitParamFace(params));
  destroy(adaptor);
  destroy(nullptr);  // like delete, a null adaptor is no error

  EXPECT_EQ(simulator.Requests("facepad/active").size(), 1u);
  dlclose(module.handle);
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
  simulator.QueueResult("A1", "7", "0");
  const Module module;
  ASSERT_NE(module.handle, nullptr) << dlerror();
  g_destroy = module.destroy;
  g_adaptor = module.create();
  ASSERT_NE(g_adaptor, nullptr);
  // Every request, the poll included, goes to the result endpoint (see above).
  g_adaptor->SetUrl("127.0.0.1:" + std::to_string(simulator.Port()) + "/facepad/getresult#");
  g_adaptor->SetResultCallbackFace(DestroyInside);
  for (int i = 0; i < 400 && !g_destroyed; ++i) std::this_thread::sleep_for(50ms);  // about 8 s
  ASSERT_TRUE(g_destroyed);
  dlclose(module.handle);
  std::this_thread::sleep_for(300ms);  // the callback returns into the module, and its thread ends
}
