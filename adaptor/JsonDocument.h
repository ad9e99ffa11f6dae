// One owner for a json-c document (or a value not yet attached to one):
// released with json_object_put on every path.
#ifndef TERMINALFACE_ZR_JSON_DOCUMENT_H
#define TERMINALFACE_ZR_JSON_DOCUMENT_H

#include <json-c/json.h>

#include <cstddef>
#include <memory>
#include <string>

namespace ZR_Framework {
namespace Face {

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonDocument = std::unique_ptr<json_object, JsonPut>;

// Elements of a JSON array; a value of any other type has none. (json-c
// asserts when asked for the length of a non-array.)
inline std::size_t ArrayLength(json_object* value) {
  return json_object_is_type(value, json_type_array) ? json_object_array_length(value) : 0;
}

// A member's name that json-c may keep by pointer instead of copying it: only
// a string literal converts to it, and a literal lives as long as the program.
class LiteralKey {
 public:
  template <std::size_t N>
  constexpr LiteralKey(
      const char (&text)[N])  // NOLINT(google-explicit-constructor): literals convert
      : m_text(text) {}
  constexpr const char* c_str() const { return m_text; }

 private:
  const char* m_text;
};

// Attaches `value` to the object `parent` under `key`, which the object must
// not hold yet (json-c skips the look-up); the parent owns the value from
// then on. Should json-c fail to attach it, the value is released here.
inline void AddMember(json_object* parent, LiteralKey key, json_object* value) {
  constexpr unsigned kLiteralNewKey = JSON_C_OBJECT_ADD_KEY_IS_NEW | JSON_C_OBJECT_KEY_IS_CONSTANT;
  if (json_object_object_add_ex(parent, key.c_str(), value, kLiteralNewKey) != 0) {
    json_object_put(value);
  }
}

// Appends `value` to the array `parent`, which owns it from then on.
inline void AppendElement(json_object* parent, json_object* value) {
  if (json_object_array_add(parent, value) != 0) json_object_put(value);
}

// A JSON string of `text` up to its first NUL, as json-c takes it.
inline json_object* NewString(const std::string& text) {
  return json_object_new_string(text.c_str());
}

// json-c's default serialisation, copied out of the document.
inline std::string JsonText(json_object* value) {
  std::size_t length = 0;
  const char* text = json_object_to_json_string_length(value, JSON_C_TO_STRING_SPACED, &length);
  return text != nullptr ? std::string(text, length) : std::string();
}

}  // namespace Face
}  // namespace ZR_Framework

#endif  // TERMINALFACE_ZR_JSON_DOCUMENT_H
