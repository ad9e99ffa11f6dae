#include "JsonCreationFailure.h"

#include <dlfcn.h>
#include <json-c/json.h>

namespace {

struct Countdown {
  bool armed = false;
  JsonCreationFailure::Container container = JsonCreationFailure::Container::Object;
  int remaining = 0;
};
thread_local Countdown t_countdown;

bool ThisCallFails(JsonCreationFailure::Container container) {
  Countdown& countdown = t_countdown;
  if (!countdown.armed || countdown.container != container) return false;
  return --countdown.remaining == 0;
}

template <typename Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

JsonCreationFailure::JsonCreationFailure(Container container, int nth) {
  t_countdown = Countdown{true, container, nth};
}

JsonCreationFailure::~JsonCreationFailure() {
  t_countdown = Countdown{};
}

extern "C" json_object* json_object_new_object(void) {
  static const auto real = Real<json_object* (*)()>("json_object_new_object");
  return ThisCallFails(JsonCreationFailure::Container::Object) ? nullptr : real();
}

extern "C" json_object* json_object_new_array(void) {
  static const auto real = Real<json_object* (*)()>("json_object_new_array");
  return ThisCallFails(JsonCreationFailure::Container::Array) ? nullptr : real();
}
