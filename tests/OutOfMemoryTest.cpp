// Memory running out at any allocation an operation makes, whether `new`
// throws or json-c cannot make a value, attach it or serialise a document:
// the operation ends cleanly and says so in its log, and nothing it throws
// reaches the host.
#include <dlfcn.h>
#include <json-c/json.h>

#include <cstdlib>
#include <new>
#include <set>
#include <stdexcept>

#include "Operations.h"
#include "TestAdaptor.h"

namespace {
// Allocations this thread may still make before the next one fails (0: no
// failure planned), and which kind failed. Other threads are left alone.
thread_local long t_allocationsBeforeFailure = 0;
enum class Failed { Nothing, New, Json };
thread_local Failed t_failed = Failed::Nothing;
// Only `new` is counted, and it throws something else than std::bad_alloc.
thread_local bool t_newThrowsSomethingElse = false;

bool ThisAllocationFails(Failed kind) {
  if (t_newThrowsSomethingElse && kind != Failed::New) return false;
  if (t_allocationsBeforeFailure <= 0 || --t_allocationsBeforeFailure != 0) return false;
  t_failed = kind;
  return true;
}
}  // namespace

// Every allocation of this program comes through here, and goes back through
// the matching delete below. (g++ takes the pair for a mismatch once inlined.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (ThisAllocationFails(Failed::New)) {
    if (t_newThrowsSomethingElse) throw std::runtime_error("not memory");
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

// json-c's values, members, elements and text, for the code linked into this
// program (json-c's calls within itself are its own): each returns `failed`
// when this allocation is to fail, and is json-c's own otherwise.
// `result` and `parameters` make a type: they cannot be in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define FAILING_JSON_C(result, name, failed, parameters, arguments)                           \
  extern "C" result name parameters {                                                         \
    static const auto real = reinterpret_cast<result(*) parameters>(dlsym(RTLD_NEXT, #name)); \
    return ThisAllocationFails(Failed::Json) ? (failed) : real arguments;                     \
  }
// NOLINTEND(bugprone-macro-parentheses)
FAILING_JSON_C(json_object*, json_object_new_object, nullptr, (), ())
FAILING_JSON_C(json_object*, json_object_new_array, nullptr, (), ())
FAILING_JSON_C(json_object*, json_object_new_string, nullptr, (const char* text), (text))
FAILING_JSON_C(json_object*, json_object_new_int, nullptr, (int32_t value), (value))
FAILING_JSON_C(int, json_object_object_add_ex, -1,
               (json_object * object, const char* const key, json_object* const value,
                const unsigned options),
               (object, key, value, options))
FAILING_JSON_C(int, json_object_array_add, -1, (json_object * array, json_object* value),
               (array, value))
FAILING_JSON_C(const char*, json_object_to_json_string_length, nullptr,
               (json_object * value, int flags, size_t* length), (value, flags, length))

using namespace operations;  // ParamMap and TerminalFace_ZR too
using ZR_Framework::Face::ResultMap;

class OutOfMemory : public AdaptorTest {};

// Every operation, and the result parser, each called with a map made
// beforehand, so that every allocation counted is the operation's own.
TEST_F(OutOfMemory, AnAllocationFailingAnywhereInAnOperationStaysInside) {
  ResultMap results;
  const std::string resultList = R"([{"SN":"A1","data":[{"id":"7","return":"0"}]}])";
  std::vector<Operation> rows = AllOperations();
  rows.push_back(
      {"JsonDataToMapData", "",
       [&](TerminalFace_ZR& a, ParamMap&) { return a.JsonDataToMapData(resultList, results); },
       ""});
  for (const Operation& operation : rows) {
    const std::string name = operation.name;
    std::set<Failed> failed;
    std::set<std::string> logged;
    for (long nth = 1;; ++nth) {
      ParamMap params = operation.params;
      t_failed = Failed::Nothing;
      t_allocationsBeforeFailure = nth;
      bool done = false;
      // The assertion allocates nothing unless something was thrown, which
      // comes after the allocation that failed: its own allocations succeed.
      ASSERT_NO_THROW(done = operation.call(adaptor, params)) << name << ", allocation " << nth;
      t_allocationsBeforeFailure = 0;
      // The operation made fewer: each of its allocations has failed once.
      if (t_failed == Failed::Nothing) break;
      failed.insert(t_failed);
      // A document that could not be made whole is never sent (a bind goes
      // on whatever came of its activation: no document of its own).
      if (t_failed == Failed::Json && operation.noDocument != nullptr) {
        EXPECT_FALSE(done) << name << ", allocation " << nth;
        EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, TerminalFace_ZR::Failure::NoDocument)
            << name << ", allocation " << nth;
      }
      for (const std::string& message : log.Messages()) logged.insert(message);
      log.Clear();
    }
    const std::string outOfMemory = "TerminalFace_ZR::" + name + " failed: out of memory";
    EXPECT_TRUE(failed.count(Failed::New) == 0 || logged.count(outOfMemory) == 1) << outOfMemory;
    EXPECT_TRUE(operation.noDocument == nullptr || logged.count(operation.noDocument) == 1)
        << name << ": " << operation.noDocument;
    EXPECT_TRUE(operation.Call(adaptor)) << name << " afterwards";
  }
  // Every request went out whole: the simulator read each record it was sent.
  for (const auto& request : simulator.Journal()) EXPECT_NE(request.status, 400) << request.body;
}

// An exception that is not memory running out is told apart from it.
TEST_F(OutOfMemory, AnotherExceptionIsToldApart) {
  ParamMap person = kAnn;
  t_newThrowsSomethingElse = true;
  t_allocationsBeforeFailure = 1;
  EXPECT_FALSE(adaptor.AddUser("7", "SN1", person));
  t_newThrowsSomethingElse = false;
  EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, TerminalFace_ZR::Failure::Exception);
  EXPECT_EQ(log.Messages(),
            std::vector<std::string>{"TerminalFace_ZR::AddUser failed: an exception was thrown"});
}
