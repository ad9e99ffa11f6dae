#include "Json.h"

#include <climits>

#include "Utf8.h"

namespace FacepadSim {
namespace {

struct TokenerFree {
  void operator()(json_tokener* tokener) const { json_tokener_free(tokener); }
};

}  // namespace

std::string CompactJson(json_object* json) {
  std::size_t length = 0;
  const char* text = json_object_to_json_string_length(json, kCompactJson, &length);
  return text != nullptr ? std::string(text, length) : std::string();
}

JsonPtr ParseWholeJson(std::string_view text) {
  if (text.size() > INT_MAX) return nullptr;
  const std::unique_ptr<json_tokener, TokenerFree> tokener(json_tokener_new());
  if (!tokener) return nullptr;
  JsonPtr json(json_tokener_parse_ex(tokener.get(), text.data(), static_cast<int>(text.size())));
  if (!json || json_tokener_get_error(tokener.get()) != json_tokener_success ||
      text.find_first_not_of(" \t\r\n", json_tokener_get_parse_end(tokener.get())) !=
          std::string_view::npos) {
    return nullptr;  // unfinished, or followed by more than white space
  }
  return json;
}

json_object* JsonText(std::string_view text) {
  const std::string valid = FacepadCommon::ValidUtf8(text);
  return json_object_new_string_len(valid.data(), static_cast<int>(valid.size()));
}

std::string_view JsonString(json_object* value) {
  return {json_object_get_string(value),
          static_cast<std::size_t>(json_object_get_string_len(value))};
}

}  // namespace FacepadSim
