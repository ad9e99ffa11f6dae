// Face photos as the service receives them: base64 text of an image.
#ifndef FACEPAD_PHOTOS_H
#define FACEPAD_PHOTOS_H

#include <string>

namespace FacepadSim {

// The bytes base64 `text` stands for; characters outside the alphabet
// (padding, line breaks) are skipped.
std::string Base64Decode(const std::string& text);

// An image's media type, told from its own first bytes; empty when the
// bytes are no JPEG, PNG, GIF or WebP image.
std::string ImageType(const std::string& bytes);

}  // namespace FacepadSim

#endif  // FACEPAD_PHOTOS_H
