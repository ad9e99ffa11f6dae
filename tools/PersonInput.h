// What facepadctl reads to describe a person: --field key=value options, a
// JSON person file, and face photos.
#ifndef FACEPADCTL_PERSON_INPUT_H
#define FACEPADCTL_PERSON_INPUT_H

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

// Whether `text` is well-formed UTF-8.
bool IsUtf8(const std::string& text);

// What is wrong with a value sent to a terminal ("is not UTF-8 text",
// "holds a tab or NUL"), or nothing.
std::string ValueProblem(const std::string& value);

// Throws InputError, naming `where`, for a person without a certnum or with
// a value that ValueProblem() finds wrong.
void CheckPerson(const Person& person, const std::string& where);

// The bytes of a file; throws InputError when it cannot be read.
std::string ReadFile(const std::string& path);

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

// Reads a JPEG or PNG image (told by its signature) and encodes it.
Photo ReadPhoto(const std::string& path);

// Whether `bytes` start like a JPEG or PNG file.
bool LooksLikeJpegOrPng(const std::string& bytes);

}  // namespace Facepadctl

#endif  // FACEPADCTL_PERSON_INPUT_H
