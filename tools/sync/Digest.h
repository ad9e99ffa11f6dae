// Digests the ledger keeps instead of values: 64-bit XXH3, stored as SQLite's
// signed integers.
#ifndef FACEPADCTL_DIGEST_H
#define FACEPADCTL_DIGEST_H

#include <cstdint>
#include <string_view>

#include "PersonInput.h"

namespace Facepadctl {

using Digest = std::int64_t;

// The person's fields in the record's fixed key order, each value
// length-prefixed, a key not given counting as empty (it is sent empty).
Digest FieldsDigest(const Person& person);

// A photo's bytes.
Digest BytesDigest(std::string_view bytes);

}  // namespace Facepadctl

#endif  // FACEPADCTL_DIGEST_H
