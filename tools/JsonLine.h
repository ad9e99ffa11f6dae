// One JSON object per line, for facepadctl's --json output.
#ifndef FACEPADCTL_JSON_LINE_H
#define FACEPADCTL_JSON_LINE_H

#include <json-c/json.h>

#include <memory>
#include <string>

namespace Facepadctl {

// One owner for a json-c document: released with json_object_put.
struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

class JsonLine {
 public:
  JsonLine() : m_object(json_object_new_object()) {}
  JsonLine& Add(const char* key, const std::string& value) {
    return Set(key, json_object_new_string_len(value.data(), static_cast<int>(value.size())));
  }
  JsonLine& Add(const char* key, const char* value) { return Add(key, std::string(value)); }
  JsonLine& Add(const char* key, bool value) {
    return Set(key, json_object_new_boolean(value ? 1 : 0));
  }
  JsonLine& Add(const char* key, long long value) { return Set(key, json_object_new_int64(value)); }
  JsonLine& Add(const char* key, int value) { return Add(key, static_cast<long long>(value)); }
  JsonLine& Add(const char* key, double value) { return Set(key, json_object_new_double(value)); }
  JsonLine& AddNull(const char* key) { return Set(key, nullptr); }
  // Attaches `object`, which the line owns from then on.
  JsonLine& AddObject(const char* key, json_object* object) { return Set(key, object); }

  // Hands the object over, for nesting it in another line.
  json_object* Take() { return m_object.release(); }

  std::string Text() const {
    const char* text = json_object_to_json_string_ext(
        m_object.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    return text != nullptr ? text : "{}";
  }

 private:
  JsonLine& Set(const char* key, json_object* value) {
    if (json_object_object_add(m_object.get(), key, value) != 0) json_object_put(value);
    return *this;
  }
  JsonPtr m_object;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_JSON_LINE_H
