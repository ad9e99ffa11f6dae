// facepadctl as a user runs it, against a simulator of its own in this
// process: an import of 2,000 persons with 20 KiB photos with and without
// awaiting the results, the peak memory of an import of 100,000 rows, and
// one add-user --wait from start to end. facepadctl runs as a grandchild,
// started by `zr_bench --peak-rss`: a process started straight from this one
// would count this process's memory in its peak (Linux records the memory
// a process had before exec), and this one holds the simulator's persons.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "BenchSupport.h"

namespace Bench {
namespace {

constexpr int kPersons = 2000;
constexpr int kManyRows = 100000;

// A directory with a CSV of `rows` persons, each with the same 20 KiB photo
// when `photos`; removed on destruction.
struct ImportFiles {
  ImportFiles(int rows, bool photos) {
    char pattern[] = "/tmp/zr-bench-XXXXXX";
    directory = mkdtemp(pattern) != nullptr ? pattern : "";
    std::string photo = "\x89PNG\r\n\x1a\n";
    std::mt19937 random(7);
    while (photo.size() < std::size_t{20} * 1024) photo += static_cast<char>(random());
    std::ofstream(directory + "/face.png", std::ios::binary) << photo;
    std::ofstream csv(Csv());
    csv << "certnum,name,certtype,authmethod,num,cardtype,photo\n";
    for (int i = 0; i < rows; ++i) {
      csv << "C-" << i << ",Person " << i << ",1,face," << 4000 + i << ",1,"
          << (photos ? "face.png" : "") << "\n";
    }
  }
  ~ImportFiles() {
    for (const char* name : {"/face.png", "/persons.csv", "/persons.failed.csv"}) {
      std::remove((directory + name).c_str());
    }
    std::remove(directory.c_str());
  }
  ImportFiles(const ImportFiles&) = delete;
  ImportFiles& operator=(const ImportFiles&) = delete;
  std::string Csv() const { return directory + "/persons.csv"; }
  std::string directory;
};

struct Ran {
  int exitCode = -1;
  double seconds = 0;
  long peakKiB = 0;
};

// Runs facepadctl against the service on `port` with `arguments`, its output dropped.
Ran Facepadctl(int port, const std::vector<std::string>& arguments) {
  char report[] = "/tmp/zr-bench-peak-XXXXXX";
  const int reportFile = mkstemp(report);
  if (reportFile < 0) return {};
  close(reportFile);
  std::vector<std::string> command = {"/proc/self/exe", "--peak-rss", report,
                                      FACEPADCTL_PATH,  "--port",     std::to_string(port)};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  int status = -1;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) == 0) {
    waitpid(child, &status, 0);
  }
  Ran ran;
  std::ifstream(report) >> ran.exitCode >> ran.seconds >> ran.peakKiB;
  std::remove(report);
  return ran;
}

// A simulator that keeps every person it is sent but no request bodies.
std::unique_ptr<FacepadSim::FacepadSimulator> FreshSimulator() {
  FacepadSim::SimulatorOptions options;
  options.journalLimit = 0;
  return std::make_unique<FacepadSim::FacepadSimulator>(options);
}

void BM_Import(benchmark::State& state) {
  const ImportFiles files(kPersons, true);
  const std::string jobs = std::to_string(state.range(0));
  double awaited = 0;
  double notAwaited = 0;
  for (auto _ : state) {
    for (const bool await : {true, false}) {
      const auto simulator = FreshSimulator();
      std::vector<std::string> arguments = {"import", "--sn", "IMPORT",
                                            "--jobs", jobs,   files.Csv()};
      if (!await) arguments.insert(arguments.end(), {"--wait", "0"});
      const Ran ran = Facepadctl(simulator->Port(), arguments);
      (await ? awaited : notAwaited) += ran.seconds;
      if (ran.exitCode != 0 || simulator->PersonCount("IMPORT") != kPersons) {
        state.SkipWithError("the import did not add every person");
      }
    }
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["persons_per_s"] = kPersons * iterations / awaited;
  state.counters["awaiting_costs_s"] = (awaited - notAwaited) / iterations;
}

void BM_ImportMemory(benchmark::State& state) {
  const ImportFiles files(kManyRows, false);
  long peakKiB = 0;
  for (auto _ : state) {
    const auto simulator = FreshSimulator();
    const Ran ran = Facepadctl(simulator->Port(), {"import", "--sn", "MANY", files.Csv()});
    peakKiB = std::max(peakKiB, ran.peakKiB);
    if (ran.exitCode != 0) state.SkipWithError("the import failed");
  }
  state.counters["peak_MiB"] = static_cast<double>(peakKiB) / 1024;
}

void BM_AddUserWait(benchmark::State& state) {
  const auto simulator = FreshSimulator();
  double longest = 0;
  int n = 0;
  for (auto _ : state) {
    const Ran ran =
        Facepadctl(simulator->Port(), {"add-user", "--sn", "WAIT", "--field",
                                       "certnum=C-" + std::to_string(n++), "--wait", "10"});
    longest = std::max(longest, ran.seconds);
    if (ran.exitCode != 0) state.SkipWithError("add-user --wait failed");
  }
  state.counters["longest_s"] = longest;
}

// facepad-sim as a program, its state in a temporary file, on a free port;
// stopped on destruction. Its peak memory is read while it runs.
class SimulatorProgram {
 public:
  SimulatorProgram() {
    char log[] = "/tmp/zr-bench-sim-XXXXXX";
    const int fd = mkstemp(log);
    m_log = log;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    std::vector<std::string> words = {FACEPAD_SIM_PATH, "--port", "0", "-q"};
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
  ~SimulatorProgram() {
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
    std::remove(m_log.c_str());
  }
  SimulatorProgram(const SimulatorProgram&) = delete;
  SimulatorProgram& operator=(const SimulatorProgram&) = delete;
  int Port() const { return m_port; }
  long PeakKiB() const {
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    std::string word;
    long kib = 0;
    while (status >> word) {
      if (word == "VmHWM:" && status >> kib) return kib;
    }
    return 0;
  }

 private:
  pid_t m_pid = 0;
  int m_port = 0;
  std::string m_log;
};

// 20,000 persons with 20 KiB photos through facepadctl into facepad-sim,
// whose state lives in a database file, not in its memory.
void BM_SimulatorMemory(benchmark::State& state) {
  const ImportFiles files(20000, true);
  long peakKiB = 0;
  for (auto _ : state) {
    const SimulatorProgram simulator;
    const Ran ran =
        Facepadctl(simulator.Port(), {"import", "--sn", "MANY", "--wait", "0", files.Csv()});
    if (ran.exitCode != 0) state.SkipWithError("the import failed");
    peakKiB = std::max(peakKiB, simulator.PeakKiB());
  }
  state.counters["sim_peak_MiB"] = static_cast<double>(peakKiB) / 1024;
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark("BM_Import", BM_Import)
      ->Arg(1)
      ->Arg(4)
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_ImportMemory", BM_ImportMemory)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_AddUserWait", BM_AddUserWait)
      ->Iterations(5)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_SimulatorMemory", BM_SimulatorMemory)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  AddGoal({"facepad-sim, 20,000 persons with photos: peak", "BM_SimulatorMemory", "sim_peak_MiB",
           Goal::Kind::AtMost, 100, "MiB"});
  AddGoal({"Import, results awaited, 4 jobs", "BM_Import/4/", "persons_per_s", Goal::Kind::AtLeast,
           1500, "/s"});
  AddGoal({"Import: awaiting results costs", "BM_Import/4/", "awaiting_costs_s", Goal::Kind::AtMost,
           1, "s"});
  AddGoal({"Import of 100,000 rows: peak memory", "BM_ImportMemory", "peak_MiB", Goal::Kind::AtMost,
           64, "MiB"});
  AddGoal(
      {"add-user --wait, start to end", "BM_AddUserWait", "longest_s", Goal::Kind::AtMost, 1, "s"});
  return true;
}();

}  // namespace

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
