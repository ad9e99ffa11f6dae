// What facepadctl reads to describe a person: --field key=value options, a
// JSON person file, and face photos.
#ifndef FACEPADCTL_PERSON_INPUT_H
#define FACEPADCTL_PERSON_INPUT_H

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace Facepadctl {

using Person = std::map<std::string, std::string>;

// A problem with what the user gave; its message names it.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The keys of a person record, in the order the service's record lists them.
extern const std::vector<std::string> kPersonKeys;
bool IsPersonKey(const std::string& key);
// "certtype, certnum, ...": for messages about a name that is not one.
std::string PersonKeyList();

// What is wrong with a value sent to a terminal ("is not UTF-8 text",
// "holds a tab or NUL"), or nothing.
std::string ValueProblem(const std::string& value);

// Throws InputError, naming `where`, for a person without a certnum or with
// a value that ValueProblem() finds wrong.
void CheckPerson(const Person& person, const std::string& where);

// What tells one file from another, and one version of it from the next.
struct FileIdentity {
  std::uint64_t size;
  std::uint64_t device;
  std::uint64_t inode;
  std::int64_t mtimeNs;  // last modified, in nanoseconds since the epoch
  // Last changed, content or metadata: a copy that keeps the modification
  // time (cp -p, tar, rsync -t) still changes it.
  std::int64_t ctimeNs;
};

constexpr std::uint64_t kDefaultMaxPhoto = std::uint64_t{4} * 1024 * 1024;
constexpr std::uint64_t kDefaultMaxPersonFile = std::uint64_t{1024} * 1024;

// The files read below must be regular files of at most `maxBytes`. Opening
// never waits and a FIFO, device, socket or folder is refused before a byte is
// read, so no read blocks on a writer or goes on without end.

// The identity of a photo, found without opening it (stat never blocks).
// Throws InputError naming `path` and why it cannot be a photo.
FileIdentity StatPhoto(const std::string& path, std::uint64_t maxBytes);

struct PhotoFile {
  std::string bytes;
  FileIdentity identity;  // of the file as it was opened
};

// Reads a JPEG or PNG image (told by its signature). The open file is checked
// again, since another may have taken the name's place after a StatPhoto;
// one that grows past `maxBytes` while it is read is refused too.
PhotoFile ReadPhotoFile(const std::string& path, std::uint64_t maxBytes);

// The bytes of a file of at most `maxBytes`; throws InputError when it
// cannot be read.
std::string ReadFile(const std::string& path, std::uint64_t maxBytes = kDefaultMaxPersonFile);

// Reads a JSON object of person fields; numbers and booleans become their
// text. A key that is not a person key is an error.
Person ReadPersonFile(const std::string& path);

// Adds "key=value" texts (checked by the command line) to `person`,
// replacing what is there.
void AddFields(Person& person, const std::vector<std::string>& fields);

struct Photo {
  std::string base64;  // the image, encoded
  std::size_t bytes;   // its size before encoding
};

// Reads a JPEG or PNG image, as ReadPhotoFile() does, and encodes it.
Photo ReadPhoto(const std::string& path, std::uint64_t maxBytes = kDefaultMaxPhoto);

// Whether `bytes` start like a JPEG or PNG file.
bool LooksLikeJpegOrPng(const std::string& bytes);

}  // namespace Facepadctl

#endif  // FACEPADCTL_PERSON_INPUT_H
