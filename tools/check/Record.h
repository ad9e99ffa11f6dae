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

// The record's file, made (mode 0600, never through a symbolic link) before
// the conversation begins, so that a path it cannot write stops check before
// anything is sent. Throws InputError naming the file.
class RecordFile {
 public:
  explicit RecordFile(const std::string& path);
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  void Write(const std::vector<SeenExchange>& exchanges, const LearntCodes& codes);

 private:
  const std::string m_path;
  int m_fd = -1;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_CHECK_RECORD_H
