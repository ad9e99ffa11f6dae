// Runs a program to its end, for tests of the command-line tools.
#ifndef TESTS_SUBPROCESS_H
#define TESTS_SUBPROCESS_H

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

struct Finished {
  int exitCode;  // the shell's: 128 + N when signal N ended the program
  std::string out;
  std::string err;
};

// Runs `program` with `arguments`; with `interruptAfterSeconds`, sends it
// `signal` (INT or TERM) after that long and reports how it then ended.
Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                  double interruptAfterSeconds = 0, const char* signal = "INT");

// Each line of --json output as its top-level members, in text (a string as
// itself, any other value as its JSON text); a line that is not one JSON object in
// valid UTF-8, as a strict reader takes it, as no member at all.
using JsonFields = std::map<std::string, std::string>;
std::vector<JsonFields> JsonLines(const std::string& out);

// The last line of its --json output as JsonLines reads it; no member when there is none.
inline JsonFields LastJson(const Finished& finished) {
  const std::vector<JsonFields> lines = JsonLines(finished.out);
  return lines.empty() ? JsonFields{} : lines.back();
}

// Whether each line of `out` is a JSON object with members, as JsonLines reads it.
inline bool JsonLinesValid(const std::string& out) {
  const std::vector<JsonFields> lines = JsonLines(out);
  return std::all_of(lines.begin(), lines.end(), [](const auto& line) { return !line.empty(); });
}

// The bytes of a file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// How many times `text` holds `word`; Has: whether it does at all.
inline int Count(const std::string& text, const std::string& word) {
  int count = 0;
  for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}
inline bool Has(const std::string& text, const std::string& word) {
  return text.find(word) != std::string::npos;
}

// The message of the `Error` that `act` throws, or "" when it throws none.
template <typename Error, typename Act>
std::string Refusal(const Act& act) {
  try {
    act();
  } catch (const Error& error) {
    return error.what();
  }
  return "";
}

// The words of `text`, split at white space: arguments that hold none.
inline std::vector<std::string> Words(const std::string& text) {
  std::istringstream words(text);
  return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

// A fresh folder under /tmp, removed with all it holds on scope exit.
class TemporaryFolder {
 public:
  TemporaryFolder() : m_path(mkdtemp(m_name)) {}
  ~TemporaryFolder() { std::filesystem::remove_all(m_path); }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  char m_name[20] = "/tmp/zr-test-XXXXXX";
  std::string m_path;
};

#endif  // TESTS_SUBPROCESS_H
