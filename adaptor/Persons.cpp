#include "JsonDocument.h"
#include "Log.h"
#include "Request.h"
#include "TerminalFace_ZR.h"
#include "UserRecord.h"

namespace ZR_Framework {
namespace Face {

namespace {

// SetUser logs the texts that name AddUser, as the service's operators know
// them; DelUser names itself, but for a document it cannot make.
constexpr const char* kUserFailed = "TerminalFace_ZR::AddUserZorvan Call HttpPostRequest ret false";
constexpr const char* kDelUserFailed = "TerminalFace_ZR::DelUser Call HttpPostRequest ret false";
constexpr const char* kDelUserNoDocument = "TerminalFace_ZR::AddUserZorvan jsonData == nullptr";
constexpr const char* kPhotoFailed =
    "TerminalFace_ZR::SetBiophotoZorvan Call HttpPostRequest ret false";

// The serial number, the id and the record's strings, in the order sent.
bool UserFieldsFit(const char* operation, const std::string& sn, const std::string& id,
                   const ParamMap& person, UserRecordVariant variant) {
  if (!FormValuesFit(operation, {{"SN", sn}, {"id", id}})) return false;
  const char* member = UserRecordMemberWithNul(person, variant);
  return member == nullptr || RefuseField(operation, member);
}

}  // namespace

bool TerminalFace_ZR::AddUser(const std::string& id, const std::string& sn, ParamMap& person) {
  return Guarded("AddUser", [&] {
    const std::optional<std::string> record = BuildUserRecord(person, UserRecordVariant::Add);
    if (!record) return false;
    const auto facepic = person.find("facepic");  // a look-up that does not insert
    const bool hasPicture = facepic != person.end();
    const std::string_view picture = hasPicture ? std::string_view(facepic->second) : "";
    if (!UserFieldsFit("AddUser", sn, id, person, UserRecordVariant::Add) ||
        !FormValuesFit("AddUser", {{"facepic", picture, hasPicture}})) {
      return false;
    }
    std::string response;
    return PostRequest(
        "facepad/adduser",
        FormBody({{"SN", sn}, {"id", id}, {"data", *record}, {"facepic", picture, hasPicture}}),
        response, kUserFailed, kUserFailed);
  });
}

bool TerminalFace_ZR::SetUser(const std::string& id, const std::string& sn, ParamMap& person) {
  return Guarded("SetUser", [&] {
    const std::optional<std::string> record = BuildUserRecord(person, UserRecordVariant::Update);
    if (!record || !UserFieldsFit("SetUser", sn, id, person, UserRecordVariant::Update)) {
      return false;
    }
    std::string response;
    return PostRequest("facepad/setuser", FormBody({{"SN", sn}, {"id", id}, {"data", *record}}),
                       response, kUserFailed, kUserFailed);
  });
}

bool TerminalFace_ZR::DelUser(const std::string& id, const std::string& sn, ParamMap& person) {
  return Guarded("DelUser", [&] {
    const std::string& certnum = person["certnum"];
    if (!FormValuesFit("DelUser", {{"SN", sn}, {"id", id}}) ||
        !JsonStringsFit("DelUser", {{"certnum", certnum}})) {
      return false;
    }
    const std::optional<std::string> data = ObjectText({{"certnum", NewString(certnum)}});
    if (!data) return ZR_NO_DOCUMENT(kDelUserNoDocument);
    std::string response;
    return PostRequest("facepad/deluser", FormBody({{"SN", sn}, {"id", id}, {"data", *data}}),
                       response, kDelUserFailed, kDelUserFailed);
  });
}

bool TerminalFace_ZR::SetBiophoto(const std::string& id, const std::string& sn, ParamMap& photo) {
  return Guarded("SetBiophoto", [&] {
    const std::optional<std::string> record = BuildPhotoRecord(photo);
    if (!record) {
      return ZR_NO_DOCUMENT("TerminalFace_ZR::SetBiophotoZorvan jsonData == nullptr");
    }
    if (!FormValuesFit("SetBiophoto", {{"SN", sn}, {"id", id}}) ||
        !JsonStringsFit("SetBiophoto",
                        {{"certnum", photo["certnum"]}, {"content", photo["content"]}})) {
      return false;
    }
    std::string response;
    return PostRequest("facepad/setfacepic", FormBody({{"SN", sn}, {"id", id}, {"data", *record}}),
                       response, kPhotoFailed, kPhotoFailed);
  });
}

}  // namespace Face
}  // namespace ZR_Framework
