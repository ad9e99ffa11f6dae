// Single facepadctl commands as an operator runs them: one add-user --wait
// from start to end, against a simulator in this process; and the peak
// memory of facepad-sim, as a program, while an import enrols 20,000
// persons with photos into it.
#include <curl/curl.h>
#include <json-c/json.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "BenchSupport.h"
#include "FacepadctlRun.h"
#include "SimulatorProgram.h"

namespace Bench {
namespace {

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

size_t Append(char* data, size_t size, size_t count, void* answer) {
  static_cast<std::string*>(answer)->append(data, size * count);
  return size * count;
}

// How many persons terminal `sn` holds, by the admin API of the simulator
// on `port`; -1 when it cannot be told.
long PersonsHeld(int port, const std::string& sn) {
  CURL* curl = curl_easy_init();
  std::string answer;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/admin/state";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  const bool answered = curl_easy_perform(curl) == CURLE_OK;
  curl_easy_cleanup(curl);
  json_object* state = answered ? json_tokener_parse(answer.c_str()) : nullptr;
  long persons = -1;
  json_object* terminals = nullptr;
  if (state != nullptr && json_object_object_get_ex(state, "terminals", &terminals)) {
    for (std::size_t i = 0; i < json_object_array_length(terminals); ++i) {
      json_object* terminal = json_object_array_get_idx(terminals, i);
      json_object* name = nullptr;
      json_object* count = nullptr;
      if (json_object_object_get_ex(terminal, "sn", &name) &&
          json_object_object_get_ex(terminal, "persons", &count) &&
          sn == json_object_get_string(name)) {
        persons = static_cast<long>(json_object_get_int64(count));
      }
    }
  }
  json_object_put(state);
  return persons;
}

// 20,000 persons with 20 KiB photos through facepadctl into facepad-sim,
// whose state lives in a database file, not in its memory. Results are not
// awaited (--wait 0), so the import ends with exit 1: sent, no result yet.
void BM_SimulatorMemory(benchmark::State& state) {
  constexpr int kPersons = 20000;
  RosterFolder folder(kPersons, true);
  long peakKiB = 0;
  for (auto _ : state) {
    const SimulatorProgram simulator;
    const Ran ran = Facepadctl(simulator.Port(), {"import", "--sn", "MANY", "--wait", "0",
                                                  "--ledger", folder.NewLedger(), folder.Roster()});
    peakKiB = std::max(peakKiB, simulator.PeakKiB());
    if (ran.exitCode != 1 || PersonsHeld(simulator.Port(), "MANY") != kPersons) {
      state.SkipWithError("the import did not add every person");
      break;
    }
  }
  state.counters["sim_peak_MiB"] = static_cast<double>(peakKiB) / 1024;
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark("BM_AddUserWait", BM_AddUserWait)
      ->Iterations(5)
      ->Unit(benchmark::kMillisecond);
  RegisterScenario("BM_SimulatorMemory", BM_SimulatorMemory);
  AddGoal({"facepad-sim, 20,000 persons with photos: peak", "BM_SimulatorMemory", "sim_peak_MiB",
           Goal::Kind::AtMost, 100, "MiB"});
  AddGoal(
      {"add-user --wait, start to end", "BM_AddUserWait", "longest_s", Goal::Kind::AtMost, 1, "s"});
  return true;
}();

}  // namespace
}  // namespace Bench
