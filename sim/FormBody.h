// The facepad service's request bodies: "name=value" fields joined by tabs.
#ifndef FACEPAD_FORM_BODY_H
#define FACEPAD_FORM_BODY_H

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace FacepadSim {

// Splits `body` into its fields. Values travel unescaped and may hold tabs, so
// a tab starts a new field only where one of `names` and "=" follows it;
// elsewhere it belongs to the value. Text before the first known field is
// dropped; when a name occurs twice, its first value counts.
std::map<std::string, std::string> ParseFormBody(std::string_view body,
                                                 const std::vector<std::string_view>& names);

}  // namespace FacepadSim

#endif  // FACEPAD_FORM_BODY_H
