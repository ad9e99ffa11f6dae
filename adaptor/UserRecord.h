// The user record: the JSON description of one person that AddUser and
// SetUser send to the facepad service; and the photo record of SetBiophoto.
#ifndef TERMINALFACE_ZR_USER_RECORD_H
#define TERMINALFACE_ZR_USER_RECORD_H

#include <optional>
#include <string>

#include "CLS_TerminalFace_Base.h"

namespace ZR_Framework {
namespace Face {

enum class UserRecordVariant {
  Add,     // card "type" an integer; no card entry when "num" is empty
  Update,  // card "type" a string; always one card entry
};

// Builds the record from `person` and returns json-c's default serialisation
// of it. Every key the record reads is looked up with the map's subscript, so
// `person` gains those it lacked, with empty values. Returns std::nullopt
// when any value of the record cannot be made, attached or serialised
// (memory ran out), after logging "TerminalFace_ZR::AddUserZorvan jsonData
// == nullptr" from the line of the check; `person` is unchanged when a
// container was what failed.
std::optional<std::string> BuildUserRecord(ParamMap& person, UserRecordVariant variant);

// The name, as sent, of the record's first string member whose text holds a
// NUL (json-c would cut it there), or null. Reads `person` as BuildUserRecord
// left it.
const char* UserRecordMemberWithNul(const ParamMap& person, UserRecordVariant variant);

// The photo record that SetBiophoto sends: "certnum", "size" (an integer, as
// atoi reads it) and "content", looked up with the map's subscript like the
// user record's keys. std::nullopt when any of its values cannot be made,
// attached or serialised.
std::optional<std::string> BuildPhotoRecord(ParamMap& photo);

}  // namespace Face
}  // namespace ZR_Framework

#endif  // TERMINALFACE_ZR_USER_RECORD_H
