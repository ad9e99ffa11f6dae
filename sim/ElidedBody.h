// How a request's body is shown in the journal, on the page and in its
// file: photos elided to their size, passwords masked, and, where memory is
// bounded, the body cut to a size.
#ifndef FACEPAD_ELIDED_BODY_H
#define FACEPAD_ELIDED_BODY_H

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

struct json_object;

namespace FacepadSim {

// What a masked password shows.
inline constexpr const char* kMaskedPassword = "••••••";

// `body` with its photos (a "facepic" field, a JSON "content" or "facepic"
// text) replaced by "<N bytes>" and its passwords masked: a "password" field,
// and in JSON, read whole, the value of every key naming a password. JSON that
// was changed is written anew, compactly. Where the text cannot be read and
// names a password, everything after that name is masked. When longer than
// `limit` bytes, it is cut there, at a character's start, and ends telling
// how many bytes were cut: "… 12345 bytes".
std::string ElidedBody(std::string_view body,
                       std::size_t limit = std::numeric_limits<std::size_t>::max());

// Masks the passwords (the value of every key naming one, in any case) and
// elides the photos within `json`, at any depth, in place; tells whether
// there were any.
bool MaskAndElide(json_object* json);

// `text` cut to `limit` bytes as ElidedBody cuts it.
std::string CutText(std::string_view text, std::size_t limit);

}  // namespace FacepadSim

#endif  // FACEPAD_ELIDED_BODY_H
