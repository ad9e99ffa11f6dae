#include "FacepadctlRun.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace Bench {

using Clock = std::chrono::steady_clock;

RosterFolder::RosterFolder(int rows, bool photos) {
  char pattern[] = "/tmp/zr-bench-XXXXXX";
  m_directory = mkdtemp(pattern) != nullptr ? pattern : "";
  std::string photo = "\x89PNG\r\n\x1a\n";
  std::mt19937 random(7);
  while (photo.size() < std::size_t{20} * 1024) photo += static_cast<char>(random());
  std::ofstream(m_directory + "/face.png", std::ios::binary) << photo;
  std::ofstream csv(Roster());
  csv << "certnum,name,certtype,authmethod,num,cardtype,photo\n";
  for (int i = 0; i < rows; ++i) {
    csv << "C-" << i << ",Person " << i << ",1,face," << 4000 + i << ",1,"
        << (photos ? "face.png" : "") << "\n";
  }
}

RosterFolder::~RosterFolder() {
  std::error_code ignored;
  if (!m_directory.empty()) std::filesystem::remove_all(m_directory, ignored);
}

std::string RosterFolder::NewLedger() {
  return m_directory + "/ledger-" + std::to_string(++m_ledgers) + ".db";
}

FacepadctlRun::FacepadctlRun(int port, const std::vector<std::string>& arguments) {
  char report[] = "/tmp/zr-bench-peak-XXXXXX";
  const int reportFile = mkstemp(report);
  if (reportFile < 0) return;
  close(reportFile);
  m_report = report;
  std::vector<std::string> command = {"/proc/self/exe", "--peak-rss", m_report,
                                      FACEPADCTL_PATH,  "--port",     std::to_string(port)};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  if (posix_spawn(&m_goBetween, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    m_goBetween = 0;
  }
}

FacepadctlRun::~FacepadctlRun() {
  Wait();
}

bool FacepadctlRun::Kill() {
  if (m_goBetween == 0 || m_waited) return false;
  // The go-between's only child is facepadctl; it is there once spawned,
  // and gone once it ended and was reaped.
  const std::string children =
      "/proc/" + std::to_string(m_goBetween) + "/task/" + std::to_string(m_goBetween) + "/children";
  const auto giveUp = Clock::now() + std::chrono::seconds(2);
  while (Clock::now() < giveUp) {
    pid_t child = 0;
    if (std::ifstream(children) >> child && child > 0) return kill(child, SIGKILL) == 0;
    std::ifstream report(m_report);
    if (report.peek() != std::ifstream::traits_type::eof()) return false;  // it ended
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

Ran FacepadctlRun::Wait() {
  if (m_waited) return m_ran;
  m_waited = true;
  if (m_goBetween != 0) {
    int status = 0;
    waitpid(m_goBetween, &status, 0);
    std::ifstream(m_report) >> m_ran.exitCode >> m_ran.seconds >> m_ran.peakKiB;
  }
  if (!m_report.empty()) std::remove(m_report.c_str());
  return m_ran;
}

Ran Facepadctl(int port, const std::vector<std::string>& arguments) {
  return FacepadctlRun(port, arguments).Wait();
}

std::unique_ptr<FacepadSim::FacepadSimulator> FreshSimulator(std::size_t journalLimit) {
  FacepadSim::SimulatorOptions options;
  options.journalLimit = journalLimit;
  return std::make_unique<FacepadSim::FacepadSimulator>(options);
}

int PeakRssRun(char** argv) {
  const std::string report = argv[0];
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t child = 0;
  if (posix_spawn(&child, argv[1], &actions, nullptr, argv + 1, environ) != 0) return 1;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::ofstream(report) << (WIFEXITED(status) ? WEXITSTATUS(status) : -1) << " " << seconds << " "
                        << usage.ru_maxrss << "\n";
  return 0;
}

}  // namespace Bench
