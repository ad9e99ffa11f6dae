// The simulator's store: requests per second with its state in a database
// file against the same in memory, for the availability probe (which touches
// no state) and for AddUser with a 20 KiB photo (which writes a row of 27 KB).
// Both simulators run in this process and are posted to in turns.
#include <random>

#include "BenchSupport.h"

namespace Bench {
namespace {

constexpr int kRequestsPerTurn = 100;
constexpr int kTurns = 30;

std::unique_ptr<FacepadSim::FacepadSimulator> Simulator(const std::string& state) {
  FacepadSim::SimulatorOptions options;
  options.journalLimit = 0;
  options.state = state;
  return std::make_unique<FacepadSim::FacepadSimulator>(options);
}

std::string Photo() {
  std::mt19937 random(11);
  std::string base64;
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  while (base64.size() < std::size_t{27} * 1024) base64 += kAlphabet[random() % 64];
  return base64;
}

// Seconds for kRequestsPerTurn posts of `body(n)` to `path` of `simulator`.
template <typename Body>
double Turn(const FacepadSim::FacepadSimulator& simulator, RawPoster& poster,
            const std::string& path, int& n, const Body& body) {
  const std::string url =
      "http://" + simulator.Host() + ":" + std::to_string(simulator.Port()) + "/" + path;
  const auto start = Clock::now();
  for (int i = 0; i < kRequestsPerTurn; ++i) poster.Post(url, body(n++));
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_SimulatorStore(benchmark::State& state) {
  const std::string photo = Photo();
  const auto probe = [](int) { return std::string(); };
  const auto addUser = [&photo](int n) {
    return "SN=STORE\tid=" + std::to_string(n) + "\tdata={\"certnum\":\"C-" + std::to_string(n) +
           "\",\"name\":\"Person\"}\tfacepic=" + photo;
  };
  for (auto _ : state) {
    const auto memory = Simulator(":memory:");
    const auto file = Simulator("");  // a temporary database file
    RawPoster toMemory;
    RawPoster toFile;
    double seconds[2][2] = {};  // [probe, adduser][memory, file]
    int n = 0;
    // Every thread on one CPU, and the order swapped each turn, so that
    // neither store meets the other's leftovers (a file's pages written back,
    // a thread woken on the other CPU) more often.
    const OneCpu pinned;
    for (int turn = 0; turn < kTurns; ++turn) {
      const int first = turn % 2;
      for (const int store : {first, 1 - first}) {
        seconds[0][store] += Turn(store == 0 ? *memory : *file, store == 0 ? toMemory : toFile,
                                  "facepad/active", n, probe);
      }
      for (const int store : {first, 1 - first}) {
        seconds[1][store] += Turn(store == 0 ? *memory : *file, store == 0 ? toMemory : toFile,
                                  "facepad/adduser", n, addUser);
      }
    }
    const double requests = kRequestsPerTurn * kTurns;
    state.counters["probe_memory_per_s"] = requests / seconds[0][0];
    state.counters["adduser_memory_per_s"] = requests / seconds[1][0];
    state.counters["probe_file_vs_memory"] = seconds[0][0] / seconds[0][1];
    state.counters["adduser_file_vs_memory"] = seconds[1][0] / seconds[1][1];
  }
}

const bool kRegistered = [] {
  RegisterScenario("BM_SimulatorStore", BM_SimulatorStore);
  AddGoal({"Simulator probe, file store / memory", "BM_SimulatorStore", "probe_file_vs_memory",
           Goal::Kind::AtLeast, 0.9, "x"});
  AddGoal({"Simulator AddUser 20 KiB, file / memory", "BM_SimulatorStore", "adduser_file_vs_memory",
           Goal::Kind::AtLeast, 0.5, "x"});
  return true;
}();

}  // namespace
}  // namespace Bench
