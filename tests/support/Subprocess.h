// Runs a program to its end, for tests of the command-line tools.
#ifndef TESTS_SUBPROCESS_H
#define TESTS_SUBPROCESS_H

#include <map>
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

// Whether each line of `out` is one JSON object in valid UTF-8, as a strict
// reader takes it.
bool JsonLinesValid(const std::string& out);

// Each line of --json output as its top-level members, in text (a nested
// object or array as its JSON text).
using JsonFields = std::map<std::string, std::string>;
std::vector<JsonFields> JsonLines(const std::string& out);

// The bytes of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

#endif  // TESTS_SUBPROCESS_H
