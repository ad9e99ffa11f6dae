#include "PersonInput.h"

#include <json-c/json.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "Base64.h"
#include "JsonLine.h"

namespace Facepadctl {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw InputError("cannot read " + path);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (file.bad()) throw InputError("cannot read " + path);
  return bytes.str();
}

Person ReadPersonFile(const std::string& path) {
  const std::string text = ReadFile(path);
  const JsonPtr document(json_tokener_parse(text.c_str()));
  if (!json_object_is_type(document.get(), json_type_object)) {
    throw InputError(path + " does not hold a JSON object");
  }
  Person person;
  json_object_object_foreach(document.get(), key, value) {
    if (json_object_is_type(value, json_type_object) ||
        json_object_is_type(value, json_type_array)) {
      throw InputError(path + ": the value of \"" + key + "\" is not a text or a number");
    }
    const char* valueText = json_object_get_string(value);
    person[key] = valueText != nullptr ? valueText : "";
  }
  return person;
}

void AddFields(Person& person, const std::vector<std::string>& fields) {
  for (const std::string& field : fields) {
    const std::size_t equals = field.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw InputError("--field wants key=value, not \"" + field + "\"");
    }
    person[field.substr(0, equals)] = field.substr(equals + 1);
  }
}

bool LooksLikeJpegOrPng(const std::string& bytes) {
  static const std::string kJpeg("\xFF\xD8\xFF", 3);
  static const std::string kPng("\x89PNG\r\n\x1A\n", 8);
  return bytes.compare(0, kJpeg.size(), kJpeg) == 0 || bytes.compare(0, kPng.size(), kPng) == 0;
}

Photo ReadPhoto(const std::string& path) {
  const std::string bytes = ReadFile(path);
  if (!LooksLikeJpegOrPng(bytes)) throw InputError(path + " is not a JPEG or PNG image");
  return Photo{Base64Encode(bytes), bytes.size()};
}

}  // namespace Facepadctl
