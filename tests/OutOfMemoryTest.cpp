// Memory running out at any allocation an operation makes, whether `new`
// throws or json-c cannot create a container: the operation ends cleanly and
// says so in its log, and nothing it throws reaches the host.
#include <dlfcn.h>
#include <json-c/json.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <set>

#include "Operations.h"
#include "TestAdaptor.h"

namespace {
// Allocations this thread may still make before the next one fails (0: no
// failure planned), and which kind failed. Other threads are left alone.
thread_local long t_allocationsBeforeFailure = 0;
enum class Failed { Nothing, New, JsonContainer };
thread_local Failed t_failed = Failed::Nothing;

bool ThisAllocationFails(Failed kind) {
  if (t_allocationsBeforeFailure <= 0 || --t_allocationsBeforeFailure != 0) return false;
  t_failed = kind;
  return true;
}

using NewContainer = json_object* (*)();
}  // namespace

// Every allocation of this program comes through here, and goes back through
// the matching delete below. (g++ takes the pair for a mismatch once inlined.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (ThisAllocationFails(Failed::New)) throw std::bad_alloc();
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

// json-c's containers, for the code linked into this program.
extern "C" json_object* json_object_new_object(void) {
  static const auto real =
      reinterpret_cast<NewContainer>(dlsym(RTLD_NEXT, "json_object_new_object"));
  return ThisAllocationFails(Failed::JsonContainer) ? nullptr : real();
}
extern "C" json_object* json_object_new_array(void) {
  static const auto real =
      reinterpret_cast<NewContainer>(dlsym(RTLD_NEXT, "json_object_new_array"));
  return ThisAllocationFails(Failed::JsonContainer) ? nullptr : real();
}

using operations::kAnn;
using operations::kConnectedAnswer;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;

class OutOfMemory : public AdaptorTest {};

TEST_F(OutOfMemory, AnAllocationFailingAnywhereInAnOperationStaysInside) {
  simulator.SetTerminalStatusAnswer(kConnectedAnswer);
  ResultMap results;
  const std::string resultList = R"([{"SN":"A1","data":[{"id":"7","return":"0"}]}])";
  // Each row calls one operation with arguments made beforehand, so that
  // every allocation counted is the operation's own; and names what it logs
  // when json-c cannot create its document.
  const std::tuple<const char*, std::function<bool(ParamMap&)>, std::string> rows[] = {
      {"AddUser", [&](ParamMap& p) { return adaptor.AddUser("7", "SN1", p); },
       "TerminalFace_ZR::AddUserZorvan jsonData == nullptr"},
      {"SetBiophoto", [&](ParamMap& p) { return adaptor.SetBiophoto("7", "SN1", p); },
       "TerminalFace_ZR::SetBiophotoZorvan jsonData == nullptr"},
      {"BindTerminalFace",
       [&](ParamMap&) { return adaptor.BindTerminalFace("SN1", 1, "10.0.0.7", "80", "u", "p"); },
       operations::kNoDocument},
      {"ControlDeviceFace",
       [&](ParamMap&) { return adaptor.ControlDeviceFace("7", "SN1", "", "", ""); },
       operations::kNoDocument},
      {"GetTerminalStatusFace", [&](ParamMap&) { return adaptor.GetTerminalStatusFace("SN1"); },
       ""},
      {"JsonDataToMapData",
       [&](ParamMap&) { return adaptor.JsonDataToMapData(resultList, results); }, ""},
  };
  for (const auto& [name, call, noDocument] : rows) {
    std::set<Failed> failed;
    std::set<std::string> logged;
    for (long nth = 1;; ++nth) {
      ParamMap person = kAnn;
      person["facepic"] = std::string(100, 'P');
      t_failed = Failed::Nothing;
      t_allocationsBeforeFailure = nth;
      bool threw = false;
      try {
        call(person);
      } catch (...) {
        threw = true;
      }
      t_allocationsBeforeFailure = 0;
      ASSERT_FALSE(threw) << name << ", allocation " << nth;
      // The operation made fewer: each of its allocations has failed once.
      if (t_failed == Failed::Nothing) break;
      failed.insert(t_failed);
      for (const std::string& message : log.Messages()) logged.insert(message);
      log.Clear();
    }
    if (failed.count(Failed::New) != 0) {
      EXPECT_EQ(logged.count("TerminalFace_ZR::" + std::string(name) + " failed: out of memory"),
                1u)
          << name;
    }
    if (!noDocument.empty()) {
      EXPECT_EQ(logged.count(noDocument), 1u) << name;
    }
    ParamMap again = kAnn;
    EXPECT_TRUE(call(again)) << name << " afterwards";
  }
}
