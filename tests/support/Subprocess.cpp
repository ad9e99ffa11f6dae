#include "Subprocess.h"

#include <json-c/json.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <sstream>

namespace {

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::vector<JsonFields> JsonLines(const std::string& out) {
  std::vector<JsonFields> lines;
  std::istringstream text(out);
  for (std::string line; std::getline(text, line);) {
    const std::unique_ptr<json_tokener, decltype(&json_tokener_free)> tokener(json_tokener_new(),
                                                                              json_tokener_free);
    json_tokener_set_flags(tokener.get(), JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
    const std::unique_ptr<json_object, decltype(&json_object_put)> object(
        json_tokener_parse_ex(tokener.get(), line.c_str(), static_cast<int>(line.size()) + 1),
        json_object_put);
    JsonFields fields;
    if (json_object_is_type(object.get(), json_type_object)) {
      json_object_object_foreach(object.get(), key, value) {
        fields[key] = json_object_is_type(value, json_type_string)
                          ? json_object_get_string(value)
                          : json_object_to_json_string_ext(
                                value, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
      }
    }
    lines.push_back(fields);
  }
  return lines;
}

Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                  double interruptAfterSeconds, const char* signal) {
  const TemporaryFolder dir;
  // timeout with a duration of 0 sets no limit.
  std::string command = "timeout --preserve-status -s " + std::string(signal) + " " +
                        std::to_string(interruptAfterSeconds) + " " + Quoted(program);
  for (const std::string& argument : arguments) command += " " + Quoted(argument);
  command += " </dev/null >" + dir / "out" + " 2>" + dir / "err";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir / "out"),
          ReadFile(dir / "err")};
}
