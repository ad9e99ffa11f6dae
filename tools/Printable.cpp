#include "Printable.h"

#include <cstdio>

namespace Facepadctl {
namespace {

// The length of the valid UTF-8 sequence at the start of `text`; 0 if none.
std::size_t SequenceLength(std::string_view text) {
  const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char lowest = 0x80;   // the second byte's bounds, which rule out
  unsigned char highest = 0xBF;  // overlong forms, surrogates and > U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) lowest = 0xA0;
    if (lead == 0xED) highest = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) lowest = 0x90;
    if (lead == 0xF4) highest = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < lowest || byte(1) > highest) return 0;
  for (std::size_t at = 2; at < length; ++at) {
    if (byte(at) < 0x80 || byte(at) > 0xBF) return 0;
  }
  return length;
}

void AppendEscaped(std::string& out, const char* form, unsigned value) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, form, value);
  out += escaped;
}

}  // namespace

bool IsUtf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = SequenceLength(text);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = SequenceLength(text);
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
