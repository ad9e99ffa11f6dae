// One JSON object per line, for facepadctl's --json output. The text is always
// valid UTF-8: a member whose name or text is not UTF-8 gets it through
// Printable() (stray bytes as \xHH, backslashes doubled), and its name is
// listed in the object's "escaped" array, so a reader can tell two ids apart
// and decode them.
#ifndef FACEPADCTL_JSON_LINE_H
#define FACEPADCTL_JSON_LINE_H

#include <json-c/json.h>

#include <memory>
#include <string>

#include "Printable.h"

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
    if (IsUtf8(value)) return Set(key, NewString(value));
    const std::string name = IsUtf8(key) ? key : Printable(key);
    MarkEscaped(name);
    return Set(name.c_str(), NewString(Printable(value)));
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
  static json_object* NewString(const std::string& text) {
    return json_object_new_string_len(text.data(), static_cast<int>(text.size()));
  }
  void MarkEscaped(const std::string& name) {
    json_object* escaped = nullptr;
    if (!json_object_object_get_ex(m_object.get(), "escaped", &escaped)) {
      escaped = json_object_new_array();
      if (json_object_object_add(m_object.get(), "escaped", escaped) != 0) {
        json_object_put(escaped);
        return;
      }
    }
    json_object* entry = NewString(name);
    if (json_object_array_add(escaped, entry) != 0) json_object_put(entry);
  }
  JsonLine& Set(const char* key, json_object* value) {
    if (!IsUtf8(key)) {
      const std::string name = Printable(key);
      MarkEscaped(name);
      return Set(name.c_str(), value);
    }
    if (json_object_object_add(m_object.get(), key, value) != 0) json_object_put(value);
    return *this;
  }
  JsonPtr m_object;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_JSON_LINE_H
