#include "ToolKits.h"

#include <json-c/json.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

// Writes "2026-01-31 12:00:00.123 [4] source:line message" to stderr as one
// write, so that records from several threads do not interleave.
__attribute__((format(printf, 4, 5))) int WriteRecordToStderr(int level, const char* source,
                                                              int line, const char* format, ...) {
  char message[2048] = "";
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
  }

  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  return std::fprintf(stderr, "%s.%03d [%d] %s:%d %s\n", stamp, static_cast<int>(millis), level,
                      source != nullptr ? source : "", line, message);
}

// The member `key` of `obj`, or null when `obj` is no object or the member is
// missing or a JSON null.
json_object* FindMember(json_object* obj, const char* key) {
  if (obj == nullptr || key == nullptr || !json_object_is_type(obj, json_type_object)) {
    return nullptr;
  }
  json_object* member = nullptr;
  if (!json_object_object_get_ex(obj, key, &member)) return nullptr;
  return member;
}

}  // namespace

extern "C" {

ko_libos_log_fn ko_libos_log_debug_ex = WriteRecordToStderr;

const char* json_object_get_field_string(json_object* obj, const char* key) {
  json_object* member = FindMember(obj, key);
  if (member == nullptr) return "";
  const char* text = json_object_is_type(member, json_type_string)
                         ? json_object_get_string(member)
                         : json_object_to_json_string(member);
  return text != nullptr ? text : "";
}

int json_object_get_field_int(json_object* obj, const char* key, int absent_value) {
  json_object* member = FindMember(obj, key);
  return member != nullptr ? json_object_get_int(member) : absent_value;
}

}  // extern "C"
