// One owner for a json-c document (or a value not yet attached to one):
// released with json_object_put on every path.
#ifndef TERMINALFACE_ZR_JSON_DOCUMENT_H
#define TERMINALFACE_ZR_JSON_DOCUMENT_H

#include <json-c/json.h>

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
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

// Building a document can fail at every value: json-c returns null for a
// value it cannot make, and fails to attach one when memory runs out. Each
// step below reports that, so that a document with a member missing or null
// in place of its value is never sent.

// Attaches `value` to the object `parent` under `key`, which the object must
// not hold yet (json-c skips the look-up); the parent owns the value from
// then on. False when `value` is null (it could not be made) or json-c
// failed to attach it; the value is then released here.
[[nodiscard]] inline bool AddMember(json_object* parent, LiteralKey key, json_object* value) {
  constexpr unsigned kLiteralNewKey = JSON_C_OBJECT_ADD_KEY_IS_NEW | JSON_C_OBJECT_KEY_IS_CONSTANT;
  if (value == nullptr) return false;
  if (json_object_object_add_ex(parent, key.c_str(), value, kLiteralNewKey) != 0) {
    json_object_put(value);
    return false;
  }
  return true;
}

// Appends `value` to the array `parent`, which owns it from then on. False as
// AddMember.
[[nodiscard]] inline bool AppendElement(json_object* parent, json_object* value) {
  if (value == nullptr) return false;
  if (json_object_array_add(parent, value) != 0) {
    json_object_put(value);
    return false;
  }
  return true;
}

// json-c's default serialisation, copied out of the document; std::nullopt
// when json-c could not serialise it.
inline std::optional<std::string> JsonText(json_object* value) {
  std::size_t length = 0;
  const char* text = json_object_to_json_string_length(value, JSON_C_TO_STRING_SPACED, &length);
  if (text == nullptr) return std::nullopt;
  return std::string(text, length);
}

// A member of a flat object: its key, and its value as the caller made it
// (null when json-c could not make it).
struct Member {
  LiteralKey key;
  json_object* value;
};

// json-c's default serialisation of a new object holding `members` in order;
// std::nullopt when the object or any value could not be made, attached or
// serialised. The object owns every value from here on: one it never
// attached is released.
inline std::optional<std::string> ObjectText(std::initializer_list<Member> members) {
  const JsonDocument object(json_object_new_object());
  bool complete = object != nullptr;
  for (const Member& member : members) {
    if (complete) {
      complete = AddMember(object.get(), member.key, member.value);
    } else {
      json_object_put(member.value);
    }
  }
  if (!complete) return std::nullopt;
  return JsonText(object.get());
}

// A JSON string of `text` up to its first NUL, as json-c takes it.
inline json_object* NewString(const std::string& text) {
  return json_object_new_string(text.c_str());
}

}  // namespace Face
}  // namespace ZR_Framework

#endif  // TERMINALFACE_ZR_JSON_DOCUMENT_H
