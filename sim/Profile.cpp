#include "Profile.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "Json.h"
#include "ServiceModel.h"
#include "Utf8.h"

namespace FacepadSim {
namespace {

// The longest answer time a profile may ask for: longer than any client's
// time-out would make a service that never answers.
constexpr long kLongestAnswerMs = 60000;

struct Reading {
  std::string file;
  int line = 0;
  [[noreturn]] void Fail(const std::string& why) const {
    throw ProfileError(file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " +
                       why);
  }
};

// {"done": "7", "held": "31", "absent": "32"}: each a code of its own.
void ReadCodes(json_object* codes, const Reading& at, Profile& profile) {
  if (!json_object_is_type(codes, json_type_object)) at.Fail("\"codes\" is not an object");
  static const std::map<std::string, std::string> kOwn = {
      {"done", "0"}, {"held", "101"}, {"absent", "102"}};
  std::set<std::string> given;
  json_object_object_foreach(codes, key, value) {
    const auto own = kOwn.find(key);
    if (own == kOwn.end()) at.Fail(std::string("\"") + key + "\" is not done, held or absent");
    if (!json_object_is_type(value, json_type_string)) {
      at.Fail(std::string("\"") + key + "\" is not a code in quotes");
    }
    const std::string code = json_object_get_string(value);
    if (code.empty()) continue;  // not learnt: the simulator's own stays
    if (code.size() > ServiceModel::kLongestCode) {
      at.Fail(std::string("\"") + key + "\" is longer than 64 bytes");
    }
    const bool control = std::any_of(code.begin(), code.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (control || !FacepadCommon::IsUtf8(code)) {
      at.Fail(std::string("\"") + key + "\" holds a control character or is not UTF-8");
    }
    if (!given.insert(code).second) at.Fail("the code " + code + " is given twice");
    profile.codes[own->second] = code;
  }
}

void SetAnswerTime(const std::string& path, long ms, const Reading& at, Profile& profile) {
  if (!ServiceModel::IsEndpoint(path)) at.Fail("\"" + path + "\" is not an endpoint");
  if (ms < 0 || ms > kLongestAnswerMs) at.Fail("an answer time is 0 to 60000 ms");
  profile.answerTimes[path] = std::chrono::milliseconds(ms);
}

void ReadObjectProfile(json_object* object, const Reading& at, Profile& profile) {
  json_object_object_foreach(object, key, value) {
    const std::string name = key;
    if (name == "codes") {
      ReadCodes(value, at, profile);
    } else if (name == "answer_ms" && json_object_is_type(value, json_type_object)) {
      json_object_object_foreach(value, path, ms) {
        if (!json_object_is_type(ms, json_type_int) && !json_object_is_type(ms, json_type_double)) {
          at.Fail("the answer time of " + std::string(path) + " is not a number");
        }
        SetAnswerTime(path, static_cast<long>(json_object_get_double(ms)), at, profile);
      }
    } else {
      at.Fail("\"" + name + R"(" is not "codes" or "answer_ms" (an object of paths))");
    }
  }
}

}  // namespace

Profile ReadProfile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw ProfileError("cannot read the profile " + path);
  std::stringstream whole;
  whole << file.rdbuf();
  const std::string text = whole.str();
  Profile profile;
  Reading at{path, 1};
  if (const JsonPtr object = ParseWholeJson(text)) {
    if (!json_object_is_type(object.get(), json_type_object)) at.Fail("not a JSON object");
    ReadObjectProfile(object.get(), at, profile);
    if (profile.codes.empty() && profile.answerTimes.empty()) {
      at.Fail("carries no code and no answer time");
    }
    return profile;
  }
  // A record: one exchange a line, then the codes.
  std::map<std::string, std::vector<long>> times;
  std::istringstream lines(text);
  at.line = 0;
  for (std::string line; std::getline(lines, line);) {
    ++at.line;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    const JsonPtr entry = ParseWholeJson(line);
    if (!json_object_is_type(entry.get(), json_type_object)) at.Fail("not a JSON object");
    json_object* member = nullptr;
    if (json_object_object_get_ex(entry.get(), "codes", &member)) {
      ReadCodes(member, at, profile);
      continue;
    }
    json_object* took = nullptr;
    if (!json_object_object_get_ex(entry.get(), "path", &member) ||
        !json_object_object_get_ex(entry.get(), "time_us", &took)) {
      at.Fail(R"(neither an exchange ("path", "time_us") nor "codes")");
    }
    times[json_object_get_string(member)].push_back(json_object_get_int64(took) / 1000);
  }
  for (auto& [endpoint, samples] : times) {
    std::sort(samples.begin(), samples.end());
    SetAnswerTime(endpoint, samples[samples.size() / 2], at, profile);
  }
  if (profile.codes.empty() && profile.answerTimes.empty()) {
    at.Fail("carries no code and no answer time (a record of a check that learnt nothing?)");
  }
  return profile;
}

std::string Describe(const Profile& profile) {
  static const std::pair<const char*, const char*> kMeanings[] = {
      {"0", "done"}, {"101", "already held"}, {"102", "not held"}};
  std::string text;
  for (const auto& [own, meaning] : kMeanings) {
    const auto code = profile.codes.find(own);
    text += (text.empty() ? "" : ", ") + std::string(meaning) + " " +
            (code != profile.codes.end() ? code->second : std::string(own) + " (its own)");
  }
  for (const auto& [path, time] : profile.answerTimes) {
    text += ", " + path + " " + std::to_string(time.count()) + " ms";
  }
  return text;
}

}  // namespace FacepadSim
