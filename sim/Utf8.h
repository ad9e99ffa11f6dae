// Text that a JSON reader takes: whatever bytes a client sent, shown as
// valid UTF-8.
#ifndef FACEPAD_UTF8_H
#define FACEPAD_UTF8_H

#include <string>
#include <string_view>

namespace FacepadSim {

// `text` with each byte that does not belong to a valid UTF-8 sequence
// (overlong forms and surrogates included) replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

}  // namespace FacepadSim

#endif  // FACEPAD_UTF8_H
