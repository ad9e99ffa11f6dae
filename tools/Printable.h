// Text from outside (the service's ids and codes, a roster's cells, the
// command line) made safe to print: one value printed never breaks a line,
// moves the cursor or reaches a JSON reader as bytes it refuses.
#ifndef FACEPADCTL_PRINTABLE_H
#define FACEPADCTL_PRINTABLE_H

#include <string>
#include <string_view>

#include "Utf8.h"

namespace Facepadctl {

using FacepadCommon::IsUtf8;

// `text` with its control characters and stray bytes escaped, so that two
// different texts never print alike:
//   \  -> \\            newline, CR, tab -> \n \r \t
//   other C0 and DEL -> \xHH    C1 (U+0080..U+009F) -> \u00HH
//   a byte that is not part of valid UTF-8 -> \xHH
// Everything else is kept as it is.
std::string Printable(std::string_view text);

}  // namespace Facepadctl

#endif  // FACEPADCTL_PRINTABLE_H
