#include "Printable.h"

#include <cstdio>

namespace Facepadctl {
namespace {

void AppendEscaped(std::string& out, const char* form, unsigned value) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, form, value);
  out += escaped;
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = FacepadCommon::Utf8SequenceLength(text);
    const auto lead = static_cast<unsigned char>(text[0]);
    if (length == 0) {
      AppendEscaped(out, "\\x%02x", lead);
      text.remove_prefix(1);
      continue;
    }
    if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0) {
      AppendEscaped(out, "\\u%04x", static_cast<unsigned char>(text[1]));  // C1
    } else if (length > 1) {
      out.append(text.data(), length);
    } else if (lead == '\\') {
      out += "\\\\";
    } else if (lead == '\n') {
      out += "\\n";
    } else if (lead == '\r') {
      out += "\\r";
    } else if (lead == '\t') {
      out += "\\t";
    } else if (lead < 0x20 || lead == 0x7F) {
      AppendEscaped(out, "\\x%02x", lead);
    } else {
      out += static_cast<char>(lead);
    }
    text.remove_prefix(length);
  }
  return out;
}

}  // namespace Facepadctl
