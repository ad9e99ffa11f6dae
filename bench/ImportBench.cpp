// facepadctl import as a user runs it: 1,000 persons with 20 KiB photos
// against the simulator, with 1 and 4 jobs, results awaited (the tool polls
// half a second after it starts, then every 250 ms).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

#include "BenchSupport.h"

namespace Bench {
namespace {

constexpr int kPersons = 1000;

// A directory with persons.csv and the photo it names; removed on destruction.
struct ImportFiles {
  ImportFiles() {
    char pattern[] = "/tmp/zr-bench-XXXXXX";
    directory = mkdtemp(pattern) != nullptr ? pattern : "";
    std::string photo = "\x89PNG\r\n\x1a\n";
    std::mt19937 random(7);
    while (photo.size() < std::size_t{20} * 1024) photo += static_cast<char>(random());
    std::ofstream(directory + "/face.png", std::ios::binary) << photo;
    std::ofstream csv(directory + "/persons.csv");
    csv << "certnum,name,certtype,authmethod,num,cardtype,photo\n";
    for (int i = 0; i < kPersons; ++i) {
      csv << "C-" << i << ",Person " << i << ",1,face," << 4000 + i << ",1,face.png\n";
    }
  }
  ~ImportFiles() {
    std::remove((directory + "/face.png").c_str());
    std::remove((directory + "/persons.csv").c_str());
    std::remove((directory + "/persons.failed.csv").c_str());
    std::remove(directory.c_str());
  }
  ImportFiles(const ImportFiles&) = delete;
  ImportFiles& operator=(const ImportFiles&) = delete;
  std::string directory;
};

void BM_Import(benchmark::State& state) {
  const ImportFiles files;
  const int jobs = static_cast<int>(state.range(0));
  double seconds = 0;
  for (auto _ : state) {
    // A simulator of its own: it keeps every person and photo it is sent.
    FacepadSim::SimulatorOptions options;
    options.journalLimit = 0;
    FacepadSim::FacepadSimulator simulator(options);
    const std::string command = std::string(FACEPADCTL_PATH) + " --port " +
                                std::to_string(simulator.Port()) + " import --sn IMPORT --jobs " +
                                std::to_string(jobs) + " " + files.directory +
                                "/persons.csv >/dev/null 2>&1";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    if (status != 0 || simulator.PersonCount("IMPORT") != kPersons) {
      state.SkipWithError("the import did not add every person");
    }
  }
  state.counters["persons_per_s"] = kPersons * static_cast<double>(state.iterations()) / seconds;
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark("BM_Import", BM_Import)
      ->Arg(1)
      ->Arg(4)
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  AddGoal({"Import with 4 jobs", "BM_Import/4/", "persons_per_s", Goal::Kind::AtLeast, 1000, "/s"});
  return true;
}();

}  // namespace
}  // namespace Bench
