// json-c documents with one owner each, and the ways the simulator's own
// answers (the admin API, the journal) read and write them.
#ifndef FACEPAD_JSON_H
#define FACEPAD_JSON_H

#include <json-c/json.h>

#include <memory>
#include <string>
#include <string_view>

namespace FacepadSim {

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// How the simulator writes its own JSON: compact, "/" as it is.
constexpr int kCompactJson = JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE;

// `json` written compactly.
std::string CompactJson(json_object* json);

// `text` read whole as one JSON value; null when it is not JSON, or when
// more than white space follows the value.
JsonPtr ParseWholeJson(std::string_view text);

// A JSON text of `text`, bytes that are not UTF-8 replaced by U+FFFD.
json_object* JsonText(std::string_view text);

// The whole of the JSON text `value`, a NUL within it included.
std::string_view JsonString(json_object* value);

}  // namespace FacepadSim

#endif  // FACEPAD_JSON_H
