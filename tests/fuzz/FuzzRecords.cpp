// The user record (both variants) and the photo record, built from arbitrary
// maps: keys the records read or any others, values with NULs, bytes that
// are no UTF-8, and now and then a huge value. Every record must be a JSON
// object that reads back the texts it was given, up to their first NUL.
#include <fuzzer/FuzzedDataProvider.h>
#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "JsonDocument.h"
#include "ToolKits.h"
#include "UserRecord.h"

using ZR_Framework::Face::JsonDocument;
using ZR_Framework::Face::ParamMap;

namespace {

const char* const kKeys[] = {"certtype",    "certnum",  "name", "password", "authmethod",
                             "facetype",    "roleplay", "num",  "cardtype", "plantemplateno",
                             "enablecover", "facepic",  "size", "content"};

ParamMap ArbitraryMap(FuzzedDataProvider& input) {
  ParamMap map;
  const int entries = input.ConsumeIntegralInRange(0, 16);
  for (int i = 0; i < entries && input.remaining_bytes() > 0; ++i) {
    const std::string key =
        input.ConsumeBool() ? input.PickValueInArray(kKeys) : input.ConsumeRandomLengthString(16);
    std::string value = input.ConsumeRandomLengthString(256);
    if (input.ConsumeIntegralInRange(0, 255) == 0) {
      value.assign(input.ConsumeIntegralInRange<std::size_t>(0, std::size_t{2} << 20),
                   input.ConsumeIntegral<char>());
    }
    map[key] = std::move(value);
  }
  return map;
}

std::string UpToNul(const std::string& text) {
  return text.substr(0, text.find('\0'));
}

// The record must parse as an object whose member `key` is the string `text`.
void CheckRecord(const std::string& record, const char* key, const std::string& text) {
  const JsonDocument parsed(json_tokener_parse(record.c_str()));
  if (!json_object_is_type(parsed.get(), json_type_object)) __builtin_trap();
  if (json_object_get_field_string(parsed.get(), key) != UpToNul(text)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const ParamMap map = ArbitraryMap(input);

  for (const auto variant : {ZR_Framework::Face::UserRecordVariant::Add,
                             ZR_Framework::Face::UserRecordVariant::Update}) {
    ParamMap person = map;
    const auto record = ZR_Framework::Face::BuildUserRecord(person, variant);
    if (!record) __builtin_trap();
    CheckRecord(*record, "name", person["name"]);
  }
  ParamMap photo = map;
  const auto record = ZR_Framework::Face::BuildPhotoRecord(photo);
  if (!record) __builtin_trap();
  CheckRecord(*record, "content", photo["content"]);
  return 0;
}
