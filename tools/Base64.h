// Base64 (RFC 4648, with padding) for sending images as text.
#ifndef FACEPADCTL_BASE64_H
#define FACEPADCTL_BASE64_H

#include <string>
#include <string_view>

namespace Facepadctl {

std::string Base64Encode(std::string_view bytes);

}  // namespace Facepadctl

#endif  // FACEPADCTL_BASE64_H
