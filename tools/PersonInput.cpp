#include "PersonInput.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

#include "Base64.h"
#include "JsonLine.h"
#include "Printable.h"

namespace Facepadctl {

const std::vector<std::string> kPersonKeys = {
    "certtype", "certnum", "name",     "password",       "authmethod", "facetype",
    "roleplay", "num",     "cardtype", "plantemplateno", "enablecover"};

bool IsPersonKey(const std::string& key) {
  return std::find(kPersonKeys.begin(), kPersonKeys.end(), key) != kPersonKeys.end();
}

std::string PersonKeyList() {
  std::string list;
  for (const std::string& key : kPersonKeys) list += (list.empty() ? "" : ", ") + key;
  return list;
}

std::string ValueProblem(const std::string& value) {
  if (!IsUtf8(value)) return "is not UTF-8 text";
  if (value.find_first_of(std::string("\t\0", 2)) != std::string::npos) return "holds a tab or NUL";
  return {};
}

void CheckPerson(const Person& person, const std::string& where) {
  const auto certnum = person.find("certnum");
  if (certnum == person.end() || certnum->second.empty()) {
    throw InputError(where + " has no certnum");
  }
  const auto wrong = std::find_if(person.begin(), person.end(), [](const auto& field) {
    return !ValueProblem(field.second).empty();
  });
  if (wrong != person.end()) {
    throw InputError(where + ": the " + wrong->first + " " + ValueProblem(wrong->second));
  }
}

namespace {

// Owns an open file descriptor and closes it.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return m_fd; }

 private:
  const int m_fd;
};

// generic_category's message is strerror's text, and safe to get from the
// threads that read photos at once.
[[noreturn]] void CannotRead(const std::string& path, int error) {
  throw InputError("cannot read " + path + ": " + std::generic_category().message(error));
}

const char* KindOf(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO:
      return "a FIFO";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFSOCK:
      return "a socket";
    case S_IFDIR:
      return "a folder";
    default:
      return "of an unknown kind";
  }
}

// `allowed` ends the message about a file too large: what the limit is for.
FileIdentity CheckedIdentity(const struct stat& status, const std::string& path,
                             std::uint64_t maxBytes, const char* allowed) {
  if (!S_ISREG(status.st_mode)) {
    throw InputError(path + " is " + KindOf(status.st_mode) + ", not a regular file");
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size > maxBytes) {
    throw InputError(path + " is " + std::to_string(size) + " bytes, more than the " +
                     std::to_string(maxBytes) + allowed);
  }
  return FileIdentity{
      size, static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
      static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
      static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec};
}

FileIdentity StatChecked(const std::string& path, std::uint64_t maxBytes, const char* allowed) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) CannotRead(path, errno);
  return CheckedIdentity(status, path, maxBytes, allowed);
}

// The name is checked before it is opened, so a device is never opened (that
// alone can act, on a serial line or a tape). Another file may take the
// name's place in between: O_NONBLOCK lets a FIFO or device open without
// waiting, and the open file is checked again before a byte is read. Reads
// of a regular file are not changed by O_NONBLOCK.
PhotoFile ReadBoundedFile(const std::string& path, std::uint64_t maxBytes, const char* allowed) {
  StatChecked(path, maxBytes, allowed);
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.Get() < 0) CannotRead(path, errno);
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0) CannotRead(path, errno);
  PhotoFile read{std::string(), CheckedIdentity(status, path, maxBytes, allowed)};
  // One byte more than the file held when it was opened, to see its end; the
  // buffer grows while the file does, up to one byte past the limit.
  const std::uint64_t ceiling = maxBytes < UINT64_MAX ? maxBytes + 1 : maxBytes;
  std::string& bytes = read.bytes;
  bytes.resize(read.identity.size + 1);
  std::size_t got = 0;
  for (;;) {
    const ssize_t count = ::read(file.Get(), &bytes[got], bytes.size() - got);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) CannotRead(path, errno);
    if (count == 0) break;
    got += static_cast<std::size_t>(count);
    if (got > maxBytes) {
      throw InputError(path + " grew to more than the " + std::to_string(maxBytes) + allowed +
                       " while it was read");
    }
    if (got == bytes.size()) bytes.resize(std::min<std::uint64_t>(2 * got, ceiling));
  }
  bytes.resize(got);
  return read;
}

constexpr const char* kPhotoAllowed = " allowed for a photo (--max-photo)";

}  // namespace

std::string ReadFile(const std::string& path, std::uint64_t maxBytes) {
  return ReadBoundedFile(path, maxBytes, " allowed for a person file").bytes;
}

Person ReadPersonFile(const std::string& path) {
  const std::string text = ReadFile(path);
  json_tokener_error error = json_tokener_success;
  const JsonPtr document(json_tokener_parse_verbose(text.c_str(), &error));
  if (error != json_tokener_success) {
    throw InputError(path + " is not JSON: " + json_tokener_error_desc(error));
  }
  if (!json_object_is_type(document.get(), json_type_object)) {
    throw InputError(path + " does not hold a JSON object");
  }
  Person person;
  json_object_object_foreach(document.get(), key, value) {
    if (!IsPersonKey(key)) {
      throw InputError(path + ": \"" + std::string(key) +
                       "\" is not a person field; the fields are " + PersonKeyList());
    }
    if (json_object_is_type(value, json_type_object) ||
        json_object_is_type(value, json_type_array)) {
      throw InputError(path + ": the value of \"" + key + "\" is not a text or a number");
    }
    const char* valueText = json_object_get_string(value);
    person[key] = valueText != nullptr ? valueText : "";
  }
  return person;
}

void AddFields(Person& person, const std::vector<std::string>& fields) {
  for (const std::string& field : fields) {
    const std::size_t equals = field.find('=');
    person[field.substr(0, equals)] = field.substr(equals + 1);
  }
}

bool LooksLikeJpegOrPng(const std::string& bytes) {
  static const std::string kJpeg("\xFF\xD8\xFF", 3);
  static const std::string kPng("\x89PNG\r\n\x1A\n", 8);
  return bytes.compare(0, kJpeg.size(), kJpeg) == 0 || bytes.compare(0, kPng.size(), kPng) == 0;
}

FileIdentity StatPhoto(const std::string& path, std::uint64_t maxBytes) {
  return StatChecked(path, maxBytes, kPhotoAllowed);
}

PhotoFile ReadPhotoFile(const std::string& path, std::uint64_t maxBytes) {
  PhotoFile photo = ReadBoundedFile(path, maxBytes, kPhotoAllowed);
  if (photo.bytes.empty()) throw InputError(path + " is empty: a photo is a JPEG or PNG image");
  if (!LooksLikeJpegOrPng(photo.bytes)) throw InputError(path + " is not a JPEG or PNG image");
  return photo;
}

Photo ReadPhoto(const std::string& path, std::uint64_t maxBytes) {
  const PhotoFile photo = ReadPhotoFile(path, maxBytes);
  return Photo{Base64Encode(photo.bytes), photo.bytes.size()};
}

}  // namespace Facepadctl
