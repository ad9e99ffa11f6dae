// A host that loads the module with dlopen and uses it through the factory.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "CLS_TerminalFace_Base.h"
#include "FacepadSimulator.h"

using ZR_Framework::Face::CLS_TerminalFace_Base;

TEST(Factory, LoadedModuleMakesRequests) {
  FacepadSim::FacepadSimulator simulator;
  void* module = dlopen(ZR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  using Create = CLS_TerminalFace_Base* (*)();
  using Destroy = void (*)(CLS_TerminalFace_Base*);
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
  destroy(adaptor);
  destroy(nullptr);  // like delete, a null adaptor is no error

  EXPECT_EQ(simulator.Requests("facepad/active").size(), 1u);
  dlclose(module);
}
