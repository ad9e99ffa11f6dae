#include "SimulatorProgram.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace Bench {

SimulatorProgram::SimulatorProgram(const std::vector<std::string>& options) {
  char log[] = "/tmp/zr-bench-sim-XXXXXX";
  const int fd = mkstemp(log);
  m_log = log;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, 1);
  std::vector<std::string> words = {FACEPAD_SIM_PATH, "--port", "0", "-q"};
  words.insert(words.end(), options.begin(), options.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fd);
  for (int i = 0; i < 500 && m_port == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream text(m_log);
    std::string line;
    std::getline(text, line);
    const std::size_t at = line.find("127.0.0.1:");
    if (at != std::string::npos) m_port = std::atoi(line.c_str() + at + 10);
  }
}

SimulatorProgram::~SimulatorProgram() {
  kill(m_pid, SIGTERM);
  waitpid(m_pid, nullptr, 0);
  std::remove(m_log.c_str());
}

long SimulatorProgram::StatusKiB(const char* field) const {
  std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
  std::string word;
  long kib = 0;
  while (status >> word) {
    if (word == field && status >> kib) return kib;
  }
  return 0;
}

}  // namespace Bench
