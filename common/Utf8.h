// UTF-8 as the simulator and facepadctl read it: whether bytes are valid,
// and how long each valid sequence is.
#ifndef FACEPAD_COMMON_UTF8_H
#define FACEPAD_COMMON_UTF8_H

#include <cstddef>
#include <string>
#include <string_view>

namespace FacepadCommon {

// The length of the valid UTF-8 sequence at the start of `text` (overlong
// forms, surrogates and code points past U+10FFFF are not valid); 0 if none.
std::size_t Utf8SequenceLength(std::string_view text);

// Whether `text` is well-formed UTF-8.
bool IsUtf8(std::string_view text);

// `text` with each byte that does not belong to a valid UTF-8 sequence
// replaced by U+FFFD: what a JSON reader takes, whatever a client sent.
std::string ValidUtf8(std::string_view text);

}  // namespace FacepadCommon

#endif  // FACEPAD_COMMON_UTF8_H
