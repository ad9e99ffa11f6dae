#include "FormBody.h"

namespace FacepadSim {
namespace {

// The length of "name=" when `text` starts with one of `names` and "=", else 0.
std::size_t KnownFieldPrefix(std::string_view text, const std::vector<std::string_view>& names) {
  for (std::string_view name : names) {
    if (text.size() > name.size() && text.compare(0, name.size(), name) == 0 &&
        text[name.size()] == '=') {
      return name.size() + 1;
    }
  }
  return 0;
}

// The position of the next tab after `from` that starts a known field.
std::size_t NextFieldStart(std::string_view body, std::size_t from,
                           const std::vector<std::string_view>& names) {
  for (std::size_t tab = body.find('\t', from); tab != std::string_view::npos;
       tab = body.find('\t', tab + 1)) {
    if (KnownFieldPrefix(body.substr(tab + 1), names) != 0) return tab;
  }
  return std::string_view::npos;
}

}  // namespace

std::vector<FormField> SplitFormBody(std::string_view body,
                                     const std::vector<std::string_view>& names) {
  std::vector<FormField> fields;
  std::size_t start = 0;
  if (KnownFieldPrefix(body, names) == 0) {
    const std::size_t tab = NextFieldStart(body, 0, names);
    fields.push_back({{}, body.substr(0, tab)});
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
  while (start <= body.size()) {
    const std::size_t prefix = KnownFieldPrefix(body.substr(start), names);
    const std::size_t end = NextFieldStart(body, start + prefix, names);
    const std::string_view field =
        body.substr(start, end == std::string_view::npos ? end : end - start);
    fields.push_back({field.substr(0, prefix - 1), field.substr(prefix)});
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return fields;
}

std::map<std::string, std::string> ParseFormBody(std::string_view body,
                                                 const std::vector<std::string_view>& names) {
  std::map<std::string, std::string> fields;
  for (const FormField& field : SplitFormBody(body, names)) {
    if (!field.name.empty()) fields.emplace(field.name, field.value);
  }
  return fields;
}

}  // namespace FacepadSim
