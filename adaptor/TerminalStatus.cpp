#include "TerminalStatus.h"

#include "JsonDocument.h"
#include "Log.h"
#include "Request.h"
#include "TerminalFace_ZR.h"
#include "ToolKits.h"

namespace ZR_Framework {
namespace Face {

namespace {
// Activation logs the texts of the device-control operation, as the
// service's operators know them.
constexpr const char* kActivationPostFailed =
    "TerminalFace_ZR::ControlDeviceFace Call HttpPostRequest ret false";
constexpr const char* kActivationStatusFailed =
    "TerminalFace_ZR::ControlDeviceFace Call GetLastPostStatus ret false";
// Names DelBiophoto, as the service's operators know the text.
constexpr const char* kActivationNoDocument =
    "TerminalFace_ZR::DelBiophotoZorvan jsonData == nullptr";
constexpr const char* kStatusPostFailed =
    "TerminalFace_ZR::GetTerminalStatusFaceZorvan Call HttpPostRequest ret false";
constexpr const char* kStatusRefused =
    "TerminalFace_ZR::GetTerminalStatusFaceZorvan Call GetLastPostStatus ret false";
}  // namespace

TerminalStatus ReadTerminalStatus(const std::string& answer) {
  const std::size_t list = ListAfterWord(answer, "Data");
  if (list == std::string::npos) return TerminalStatus::Unreadable;
  if (list + 1 < answer.size() && answer[list] == '[' && answer[list + 1] == ']') {
    return TerminalStatus::EmptyList;
  }
  const JsonDocument entries(json_tokener_parse(answer.c_str() + list));
  if (!json_object_is_type(entries.get(), json_type_array)) return TerminalStatus::Unreadable;
  const std::size_t count = ArrayLength(entries.get());
  for (std::size_t i = 0; i < count; ++i) {
    json_object* entry = json_object_array_get_idx(entries.get(), i);
    if (json_object_get_field_int(entry, "connstatus", -1) > 0) return TerminalStatus::Connected;
  }
  return TerminalStatus::NotConnected;
}

bool TerminalFace_ZR::GetTerminalStatusFace(const std::string& sn) {
  return Guarded("GetTerminalStatusFace", [&] {
    if (!FormValuesFit("GetTerminalStatusFace", {{"SN", sn}})) return false;
    std::string answer;
    if (!PostRequest("facepad/getterminalstatus", FormBody({{"SN", sn}}), answer, kStatusPostFailed,
                     kStatusRefused)) {
      return false;
    }
    switch (ReadTerminalStatus(answer)) {
      case TerminalStatus::Connected:
        return true;
      case TerminalStatus::NotConnected:
        SetFailure(Failure::NotConnected);
        return false;
      case TerminalStatus::EmptyList:
        SetFailure(Failure::NotConnected);
        ZR_LOG(kStatusRefused);
        return false;
      case TerminalStatus::Unreadable:
        SetFailure(Failure::UnreadableAnswer);
        // Names the result parser, as the service's operators know the text.
        ZR_LOG("TerminalFace_ZR::JsonDataToMapData jsonData array is nullptr");
        return false;
    }
    return false;
  });
}

bool TerminalFace_ZR::Active(const std::string& id, const std::string& sn,
                             const std::string& username, const std::string& password,
                             const std::string& userlevel) {
  return Guarded("Active", [&] {
    if (!FormValuesFit("Active", {{"SN", sn}, {"id", id}}) ||
        !JsonStringsFit(
            "Active", {{"username", username}, {"password", password}, {"userlevel", userlevel}})) {
      return false;
    }
    const std::optional<std::string> data = ObjectText({{"username", NewString(username)},
                                                        {"password", NewString(password)},
                                                        {"userlevel", NewString(userlevel)}});
    if (!data) return ZR_NO_DOCUMENT(kActivationNoDocument);
    std::string response;
    return PostRequest("facepad/active", FormBody({{"SN", sn}, {"id", id}, {"data", *data}}),
                       response, kActivationPostFailed, kActivationStatusFailed);
  });
}

bool TerminalFace_ZR::ActivationStatus(const std::string& id, const std::string& sn) {
  return Guarded("ActivationStatus", [&] {
    if (!FormValuesFit("ActivationStatus", {{"SN", sn}, {"id", id}})) return false;
    std::string response;
    return PostRequest("facepad/activationstatus", FormBody({{"SN", sn}, {"id", id}}), response,
                       kActivationPostFailed, kActivationStatusFailed);
  });
}

}  // namespace Face
}  // namespace ZR_Framework
