#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>

#include "JsonDocument.h"
#include "Log.h"
#include "Request.h"
#include "TerminalFace_ZR.h"

namespace ZR_Framework {
namespace Face {

namespace {
// The device-control command: always the same.
constexpr int kControlType = 73795;
constexpr int kControlValue = 0;

std::string DecimalText(int value) {
  char text[32] = {};
  std::snprintf(text, sizeof text, "%d", value);
  return text;
}

// The activation's request id: a number in rand()'s range, drawn from a
// generator of the library's own seeded with the time in whole seconds, so
// the host's rand() sequence is left alone. Two draws in one second agree.
std::string ActivationId() {
  std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(std::time(nullptr)));
  return DecimalText(std::uniform_int_distribution<int>(0, RAND_MAX)(generator));
}
}  // namespace

bool TerminalFace_ZR::BindTerminalFace(const std::string& sn, const int& channel,
                                       const std::string& ip, const std::string& port,
                                       const std::string& username, const std::string& password) {
  return Guarded("BindTerminalFace", [&] {
    // The terminal is activated with the administrator level first, under a
    // request id drawn afresh from a generator seeded with the time; whatever
    // comes of it, the binding goes ahead. Values that may not be sent stop
    // both.
    if (!FormValuesFit("BindTerminalFace", {{"SN", sn},
                                            {"ip", ip},
                                            {"port", port},
                                            {"username", username},
                                            {"password", password}})) {
      return false;
    }
    const std::string activationId = ActivationId();
    Active(activationId, sn, username, password, "Administrator");

    std::string response;
    return PostRequest("facepad/binding",
                       FormBody({{"SN", sn},
                                 {"ch", DecimalText(channel)},
                                 {"ip", ip},
                                 {"port", port},
                                 {"username", username},
                                 {"password", password}}),
                       response,
                       "TerminalFace_ZR::BindTerminalFaceZorvan Call HttpPostRequest ret false",
                       "TerminalFace_ZR::BindTerminalFaceZorvan Call GetLastPostStatus ret false");
  });
}

bool TerminalFace_ZR::UnBindTerminalFace(const std::string& sn) {
  return Guarded("UnBindTerminalFace", [&] {
    if (!FormValuesFit("UnBindTerminalFace", {{"SN", sn}})) return false;
    std::string response;
    return PostRequest(
        "facepad/unbinding", FormBody({{"SN", sn}}), response,
        "TerminalFace_ZR::UnBindTerminalFaceZorvan Call HttpPostRequest ret false",
        "TerminalFace_ZR::UnBindTerminalFaceZorvan Call GetLastPostStatus ret false");
  });
}

bool TerminalFace_ZR::SetListenPortFace(std::string& port, std::string& reset) {
  return Guarded("SetListenPortFace", [&] {
    if (!FormValuesFit("SetListenPortFace", {{"port", port}, {"reset", reset}})) return false;
    std::string response;
    return PostRequest("facepad/setport", FormBody({{"port", port}, {"reset", reset}}), response,
                       "TerminalFace_ZR::SetListenPortFaceZorvan Call HttpPostRequest ret false",
                       "TerminalFace_ZR::SetListenPortFaceZorvan Call GetLastPostStatus ret false");
  });
}

bool TerminalFace_ZR::ControlDeviceFace(const std::string& id, const std::string& sn,
                                        const std::string& /*arg3*/, const std::string& /*arg4*/,
                                        const std::string& /*arg5*/) {
  return Guarded("ControlDeviceFace", [&] {
    if (!FormValuesFit("ControlDeviceFace", {{"SN", sn}, {"id", id}})) return false;
    // Names DelBiophoto, as the service's operators know the text.
    constexpr const char* kNoDocument = "TerminalFace_ZR::DelBiophotoZorvan jsonData == nullptr";
    const std::optional<std::string> data =
        ObjectText({{"type", json_object_new_int(kControlType)},
                    {"enable", json_object_new_string("true")},  // the text, not the JSON literal
                    {"value", json_object_new_int(kControlValue)}});
    if (!data) return ZR_NO_DOCUMENT(kNoDocument);
    std::string response;
    return PostRequest("facepad/controldevice", FormBody({{"SN", sn}, {"id", id}, {"data", *data}}),
                       response,
                       "TerminalFace_ZR::ControlDeviceFace Call HttpPostRequest ret false",
                       "TerminalFace_ZR::ControlDeviceFace Call GetLastPostStatus ret false");
  });
}

}  // namespace Face
}  // namespace ZR_Framework
