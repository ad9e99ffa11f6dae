// facepadctl check --record: the whole conversation as JSON lines, one per
// exchange (path, body, status, answer, time), then one line of the codes
// learnt. Photos are elided and passwords masked; the file is made with mode
// 0600 and never written through a symbolic link. facepad-sim --profile
// reads it back.
#ifndef FACEPADCTL_CHECK_RECORD_H
#define FACEPADCTL_CHECK_RECORD_H

#include <string>
#include <vector>

#include "Conversation.h"

namespace Facepadctl {

// `body` with each photo ("facepic=", a record's "content") given as its
// size and each password masked.
std::string ElidedBody(const std::string& body);

// Writes the record; throws InputError naming the file when it cannot.
void WriteRecord(const std::string& path, const std::vector<SeenExchange>& exchanges,
                 const LearntCodes& codes);

}  // namespace Facepadctl

#endif  // FACEPADCTL_CHECK_RECORD_H
