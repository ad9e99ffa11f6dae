#include "PersonInput.h"

#include <json-c/json.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "Base64.h"
#include "JsonLine.h"

namespace Facepadctl {

const std::vector<std::string> kPersonKeys = {
    "certtype", "certnum", "name",     "password",       "authmethod", "facetype",
    "roleplay", "num",     "cardtype", "plantemplateno", "enablecover"};

bool IsPersonKey(const std::string& key) {
  return std::find(kPersonKeys.begin(), kPersonKeys.end(), key) != kPersonKeys.end();
}

std::string PersonKeyList() {
  std::string list;
  for (const std::string& key : kPersonKeys) list += (list.empty() ? "" : ", ") + key;
  return list;
}

bool IsUtf8(const std::string& text) {
  const auto* byte = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = byte + text.size();
  while (byte < end) {
    if (*byte < 0x80) {
      ++byte;
      continue;
    }
    int following = 0;
    unsigned lowestSecond = 0x80;
    unsigned highestSecond = 0xBF;
    if (*byte >= 0xC2 && *byte <= 0xDF) {
      following = 1;
    } else if (*byte >= 0xE0 && *byte <= 0xEF) {
      following = 2;
      if (*byte == 0xE0) lowestSecond = 0xA0;   // no overlong forms
      if (*byte == 0xED) highestSecond = 0x9F;  // no surrogates
    } else if (*byte >= 0xF0 && *byte <= 0xF4) {
      following = 3;
      if (*byte == 0xF0) lowestSecond = 0x90;
      if (*byte == 0xF4) highestSecond = 0x8F;  // nothing past U+10FFFF
    } else {
      return false;
    }
    if (end - byte <= following) return false;
    if (byte[1] < lowestSecond || byte[1] > highestSecond) return false;
    for (int i = 2; i <= following; ++i) {
      if ((byte[i] & 0xC0) != 0x80) return false;
    }
    byte += following + 1;
  }
  return true;
}

std::string ValueProblem(const std::string& value) {
  if (!IsUtf8(value)) return "is not UTF-8 text";
  if (value.find_first_of(std::string("\t\0", 2)) != std::string::npos) return "holds a tab or NUL";
  return {};
}

void CheckPerson(const Person& person, const std::string& where) {
  const auto certnum = person.find("certnum");
  if (certnum == person.end() || certnum->second.empty()) {
    throw InputError(where + " has no certnum");
  }
  const auto wrong = std::find_if(person.begin(), person.end(), [](const auto& field) {
    return !ValueProblem(field.second).empty();
  });
  if (wrong != person.end()) {
    throw InputError(where + ": the " + wrong->first + " " + ValueProblem(wrong->second));
  }
}

std::string ReadFile(const std::string& path) {
  if (std::filesystem::is_directory(path)) throw InputError(path + " is a folder, not a file");
  std::ifstream file(path, std::ios::binary);
  if (!file) throw InputError("cannot read " + path);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (file.bad()) throw InputError("cannot read " + path);
  return bytes.str();
}

Person ReadPersonFile(const std::string& path) {
  const std::string text = ReadFile(path);
  json_tokener_error error = json_tokener_success;
  const JsonPtr document(json_tokener_parse_verbose(text.c_str(), &error));
  if (error != json_tokener_success) {
    throw InputError(path + " is not JSON: " + json_tokener_error_desc(error));
  }
  if (!json_object_is_type(document.get(), json_type_object)) {
    throw InputError(path + " does not hold a JSON object");
  }
  Person person;
  json_object_object_foreach(document.get(), key, value) {
    if (!IsPersonKey(key)) {
      throw InputError(path + ": \"" + std::string(key) +
                       "\" is not a person field; the fields are " + PersonKeyList());
    }
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
