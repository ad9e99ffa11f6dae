#include "ElidedBody.h"

#include <algorithm>
#include <cctype>

#include "FormBody.h"
#include "Json.h"

namespace FacepadSim {
namespace {

constexpr std::size_t kNowhere = std::string_view::npos;

// Every field name of the service's bodies: a tab followed by one of them and
// "=" starts a field.
const std::vector<std::string_view>& FieldNames() {
  static const std::vector<std::string_view> names = {
      "SN", "id", "data", "facepic", "ch", "ip", "port", "username", "password", "reset"};
  return names;
}

// Where the first "password", in any case, ends in `text`; kNowhere if none.
std::size_t PasswordEnd(std::string_view text) {
  constexpr std::string_view kWord = "password";
  const std::string_view::const_iterator found =
      std::search(text.begin(), text.end(), kWord.begin(), kWord.end(),
                  [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
  if (found == text.end()) return kNowhere;
  return static_cast<std::size_t>(found - text.begin()) + kWord.size();
}

// `text` up to the first "password" it names, the mask in place of the rest.
std::string MaskedAfterPassword(std::string_view text) {
  const std::size_t end = PasswordEnd(text);
  if (end == kNowhere || end == text.size()) return std::string(text);
  return std::string(text.substr(0, end)) + kMaskedPassword;
}

// "<N bytes>", N being how many bytes the base64 text `photo` stands for.
std::string PhotoSize(std::string_view photo) {
  std::size_t padding = 0;
  while (padding < photo.size() && photo[photo.size() - 1 - padding] == '=') ++padding;
  return "<" + std::to_string((photo.size() - padding) * 3 / 4) + " bytes>";
}

// `text` read whole as one JSON object or array; null when it is none.
JsonPtr ParsedWhole(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start == kNowhere || (text[start] != '{' && text[start] != '[')) return nullptr;
  return ParseWholeJson(text);
}

bool ReadAsJson(std::string_view text, std::string& shown);

// What shows in place of `value`, held under `key`: a new value, or null when
// it shows as it is.
json_object* Replacement(std::string_view key, json_object* value) {
  const bool isText = json_object_is_type(value, json_type_string);
  if (PasswordEnd(key) != kNowhere) {
    const bool empty = value == nullptr || (isText && json_object_get_string_len(value) == 0);
    return empty ? nullptr : JsonText(kMaskedPassword);
  }
  if (isText && (key == "content" || key == "facepic"))
    return JsonText(PhotoSize(JsonString(value)));
  // A text naming a password may hold JSON of its own, or a password in words.
  if (isText && PasswordEnd(JsonString(value)) != kNowhere) {
    const std::string_view text = JsonString(value);
    std::string shown;
    if (!ReadAsJson(text, shown)) shown = MaskedAfterPassword(text);
    return shown.empty() || shown == text ? nullptr : JsonText(shown);
  }
  return nullptr;
}

}  // namespace

bool MaskAndElide(json_object* json) {
  bool changed = false;
  // The member to put in place of `member`, or null to keep it.
  const auto shown = [&changed](std::string_view key, json_object* member) {
    json_object* replacement = Replacement(key, member);
    if (replacement != nullptr || MaskAndElide(member)) changed = true;
    return replacement;
  };
  if (json_object_is_type(json, json_type_object)) {
    json_object_object_foreach(json, key, member) {
      // Replacing a member's value leaves the walk's place in the object.
      if (json_object* replacement = shown(key, member)) {
        json_object_object_add(json, key, replacement);
      }
    }
  } else if (json_object_is_type(json, json_type_array)) {
    for (std::size_t index = 0; index < json_object_array_length(json); ++index) {
      if (json_object* replacement = shown({}, json_object_array_get_idx(json, index))) {
        json_object_array_put_idx(json, index, replacement);
      }
    }
  }
  return changed;
}

namespace {

// Whether `text` reads whole as JSON, an object or an array. If so, `shown`
// is set to it with its passwords masked and photos elided, written anew, or
// left empty when it has none and shows as it is.
bool ReadAsJson(std::string_view text, std::string& shown) {
  const JsonPtr json = ParsedWhole(text);
  if (!json) return false;
  shown.clear();
  if (MaskAndElide(json.get())) shown = CompactJson(json.get());
  return true;
}

// Text built up to a bound: what passes the bound is only counted, and the
// text ends telling how many bytes that was.
class BoundedText {
 public:
  explicit BoundedText(std::size_t limit) : m_limit(limit) {}

  BoundedText& operator+=(std::string_view text) {
    // One byte past the bound is kept, to tell whether a character starts there.
    const std::size_t keep = m_limit == kNowhere ? kNowhere : m_limit + 1;
    m_text.append(text.substr(0, keep - std::min(keep, m_text.size())));
    m_size += text.size();
    return *this;
  }

  std::string Take() {
    if (m_size <= m_limit) return std::move(m_text);
    std::size_t kept = m_limit;
    // Continuation bytes (10xxxxxx) go with the character they continue.
    for (int back = 0;
         back < 3 && kept > 0 && (static_cast<unsigned char>(m_text[kept]) & 0xC0) == 0x80;
         ++back) {
      --kept;
    }
    m_text.resize(kept);
    return std::move(m_text) + "… " + std::to_string(m_size - kept) + " bytes";
  }

 private:
  const std::size_t m_limit;
  std::string m_text;
  std::size_t m_size = 0;  // of all the text given
};

}  // namespace

std::string CutText(std::string_view text, std::size_t limit) {
  BoundedText cut(limit);
  cut += text;
  return cut.Take();
}

std::string ElidedBody(std::string_view body, std::size_t limit) {
  BoundedText shown(limit);
  bool first = true;
  std::string rewritten;
  for (const FormField& field : SplitFormBody(body, FieldNames())) {
    if (!first) shown += "\t";
    first = false;
    if (!field.name.empty()) (shown += field.name) += "=";
    if (field.name == "facepic") {
      shown += PhotoSize(field.value);
    } else if (field.name == "password") {
      if (!field.value.empty()) shown += kMaskedPassword;
    } else if (ReadAsJson(field.value, rewritten)) {
      shown += rewritten.empty() ? field.value : rewritten;
    } else if (PasswordEnd(field.value) != kNowhere) {
      // Text that cannot be read, naming a password: the mask from there on,
      // over the fields after it too, which may be the password's own.
      shown += MaskedAfterPassword(
          body.substr(static_cast<std::size_t>(field.value.data() - body.data())));
      break;
    } else {
      shown += field.value;
    }
  }
  return shown.Take();
}

}  // namespace FacepadSim
