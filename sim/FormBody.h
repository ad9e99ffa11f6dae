// The facepad service's request bodies: "name=value" fields joined by tabs.
#ifndef FACEPAD_FORM_BODY_H
#define FACEPAD_FORM_BODY_H

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace FacepadSim {

// One field as it stands in a body; `name` is empty for the text before the
// first known field.
struct FormField {
  std::string_view name;
  std::string_view value;
};

// Splits `body` into its fields, in order, repeated names and the text before
// the first known field included. Values travel unescaped and may hold tabs,
// so a tab starts a new field only where one of `names` and "=" follows it;
// elsewhere it belongs to the value.
std::vector<FormField> SplitFormBody(std::string_view body,
                                     const std::vector<std::string_view>& names);

// The fields of `body` by name (see SplitFormBody). Text before the first
// known field is dropped; when a name occurs twice, its first value counts.
std::map<std::string, std::string> ParseFormBody(std::string_view body,
                                                 const std::vector<std::string_view>& names);

}  // namespace FacepadSim

#endif  // FACEPAD_FORM_BODY_H
