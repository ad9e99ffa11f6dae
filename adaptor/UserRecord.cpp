#include "UserRecord.h"

#include <cstdlib>

#include "JsonDocument.h"
#include "Log.h"
#include "Request.h"

namespace ZR_Framework {
namespace Face {

namespace {
// SetUser logs the text that names AddUser, as the service's operators know
// it. Each container's failure is logged from a line of its own.
constexpr const char* kNoContainer = "TerminalFace_ZR::AddUserZorvan jsonData == nullptr";
}  // namespace

std::optional<std::string> BuildUserRecord(ParamMap& person, UserRecordVariant variant) {
  // The containers come first, so that a failure leaves the map untouched.
  const JsonDocument record(json_object_new_object());
  if (!record) {
    ZR_NO_DOCUMENT(kNoContainer);
    return std::nullopt;
  }
  JsonDocument card(json_object_new_object());
  if (!card) {
    ZR_NO_DOCUMENT(kNoContainer);
    return std::nullopt;
  }
  JsonDocument cards(json_object_new_array());
  if (!cards) {
    ZR_NO_DOCUMENT(kNoContainer);
    return std::nullopt;
  }

  // Every member is attached, even after one has failed, so that `person`
  // gains all the keys the record reads whatever happens.
  bool complete = true;
  const auto attach = [&complete](bool attached) { complete = complete && attached; };
  static constexpr LiteralKey kStrings[] = {"certtype",   "certnum",  "name",    "password",
                                            "authmethod", "facetype", "roleplay"};
  for (const LiteralKey key : kStrings) {
    attach(AddMember(record.get(), key, NewString(person[key.c_str()])));
  }
  const std::string& num = person["num"];
  const std::string& cardType = person["cardtype"];  // sent under the name "type"
  if (variant == UserRecordVariant::Update || !num.empty()) {
    attach(AddMember(card.get(), "num", NewString(num)));
    attach(AddMember(card.get(), "type",
                     variant == UserRecordVariant::Add
                         ? json_object_new_int(std::atoi(cardType.c_str()))
                         : NewString(cardType)));
    attach(AppendElement(cards.get(), card.release()));
  }
  attach(AddMember(record.get(), "cardinfo", cards.release()));
  attach(AddMember(record.get(), "plantemplateno", NewString(person["plantemplateno"])));
  attach(AddMember(record.get(), "enablecover", NewString(person["enablecover"])));
  std::optional<std::string> text;
  if (complete) text = JsonText(record.get());
  if (!text) ZR_NO_DOCUMENT(kNoContainer);
  return text;
}

const char* UserRecordMemberWithNul(const ParamMap& person, UserRecordVariant variant) {
  for (const char* key : {"certtype", "certnum", "name", "password", "authmethod", "facetype",
                          "roleplay", "num", "cardtype", "plantemplateno", "enablecover"}) {
    const bool cardType = std::string_view(key) == "cardtype";    // sent under the name "type"
    if (cardType && variant == UserRecordVariant::Add) continue;  // then sent as a number
    const auto found = person.find(key);
    if (found != person.end() && HoldsNul(found->second)) return cardType ? "type" : key;
  }
  return nullptr;
}

std::optional<std::string> BuildPhotoRecord(ParamMap& photo) {
  // The map is read first: a look-up that runs out of memory throws, and
  // must not leave values made for the record unowned.
  const std::string& certnum = photo["certnum"];
  const std::string& size = photo["size"];
  const std::string& content = photo["content"];
  return ObjectText({{"certnum", NewString(certnum)},
                     {"size", json_object_new_int(std::atoi(size.c_str()))},
                     {"content", NewString(content)}});
}

}  // namespace Face
}  // namespace ZR_Framework
