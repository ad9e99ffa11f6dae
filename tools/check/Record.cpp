#include "Record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "JsonLine.h"
#include "PersonInput.h"

namespace Facepadctl {
namespace {

constexpr const char* kMasked = "••••••";

// "<N bytes>" for a base64 text.
std::string PhotoSize(const std::string& base64) {
  std::size_t padding = 0;
  for (std::size_t i = base64.size(); i > 0 && base64[i - 1] == '='; --i) ++padding;
  return "<" + std::to_string(base64.size() / 4 * 3 - std::min<std::size_t>(padding, 2)) +
         " bytes>";
}

// A record's JSON text with its photo and password replaced; the text as it
// is when it is no JSON object.
std::string ElidedData(const std::string& data) {
  const JsonPtr object(json_tokener_parse(data.c_str()));
  if (!json_object_is_type(object.get(), json_type_object)) return data;
  json_object* member = nullptr;
  if (json_object_object_get_ex(object.get(), "password", &member)) {
    json_object_object_add(object.get(), "password", json_object_new_string(kMasked));
  }
  if (json_object_object_get_ex(object.get(), "content", &member) &&
      json_object_is_type(member, json_type_string)) {
    const std::string size = PhotoSize(json_object_get_string(member));
    json_object_object_add(object.get(), "content", json_object_new_string(size.c_str()));
  }
  return json_object_to_json_string_ext(object.get(), JSON_C_TO_STRING_PLAIN);
}

void WriteAll(int fd, const std::string& text, const std::string& path) {
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t written = write(fd, text.data() + at, text.size() - at);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0)
      throw InputError("cannot write " + path + ": " + std::generic_category().message(errno));
    at += static_cast<std::size_t>(written);
  }
}

}  // namespace

std::string ElidedBody(const std::string& body) {
  std::string elided;
  for (std::size_t start = 0; start <= body.size();) {
    std::size_t end = body.find('\t', start);
    if (end == std::string::npos) end = body.size();
    std::string field = body.substr(start, end - start);
    const std::size_t equals = field.find('=');
    const std::string name = field.substr(0, equals);
    if (equals != std::string::npos) {
      const std::string value = field.substr(equals + 1);
      if (name == "facepic") field = name + "=" + PhotoSize(value);
      if (name == "password") field = name + "=" + kMasked;
      if (name == "data") field = name + "=" + ElidedData(value);
    }
    elided += (start == 0 ? "" : "\t") + field;
    start = end + 1;
  }
  return elided;
}

RecordFile::RecordFile(const std::string& path) : m_path(path) {
  // Never blocking on a FIFO, never through a link, and a regular file only.
  m_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (m_fd < 0) {
    const int error = errno;
    throw InputError("cannot write " + path + ": " +
                     (error == ELOOP ? "it is a symbolic link; give the file itself"
                                     : std::generic_category().message(error)));
  }
  struct stat status {};
  std::string why;
  if (fstat(m_fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    why = "it is not a regular file";
  } else if (ftruncate(m_fd, 0) != 0 || fchmod(m_fd, 0600) != 0) {
    why = std::generic_category().message(errno);
  }
  if (!why.empty()) {
    close(m_fd);
    throw InputError("cannot write " + path + ": " + why);
  }
}

RecordFile::~RecordFile() {
  close(m_fd);
}

void RecordFile::Write(const std::vector<SeenExchange>& exchanges, const LearntCodes& codes) {
  std::string text;
  for (const SeenExchange& seen : exchanges) {
    JsonLine line;
    line.Add("path", seen.path)
        .Add("body", ElidedBody(seen.body))
        .Add("status", seen.status)
        .Add("answer", seen.answer)
        .Add("time_us", static_cast<long long>(seen.elapsed.count()));
    text += line.Text() + "\n";
  }
  JsonLine learnt;
  learnt.Add("done", codes.done).Add("held", codes.held).Add("absent", codes.absent);
  JsonLine last;
  last.AddObject("codes", learnt.Take());
  text += last.Text() + "\n";
  WriteAll(m_fd, text, m_path);
}

}  // namespace Facepadctl
