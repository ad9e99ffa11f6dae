// Runs a program as a child process, for tests of the command-line tools.
#ifndef TESTS_SUBPROCESS_H
#define TESTS_SUBPROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct Finished {
  int exitCode;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};

// A child whose stdout and stderr go to files; killed if still running when
// destroyed.
class Subprocess {
 public:
  Subprocess(const std::string& program, const std::vector<std::string>& arguments);
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  void Signal(int signal);
  // Waits for the child to end, killing it after `limit`.
  Finished Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));

 private:
  pid_t m_pid = -1;
  std::string m_outPath;
  std::string m_errPath;
};

// Runs `program` to its end.
Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments);

#endif  // TESTS_SUBPROCESS_H
