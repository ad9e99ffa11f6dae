// facepadctl sync as an operator runs it, against simulators in this
// process, each run with a ledger of its own in a temporary folder:
//
// - its throughput on a first sync of 5,000 persons with 20 KiB photos to
//   four terminals, results awaited, against as many bare libcurl handles
//   as it has jobs posting the same AddUser bodies to a fresh simulator;
// - at scale, 100,000 persons without photos to four terminals: its peak
//   memory, then a second sync of the same roster, which must send nothing;
// - killed with SIGKILL part-way through a sync, then run again until it
//   succeeds: whether every person ends up on the terminal, and how many
//   adds were sent twice.
#include <algorithm>
#include <atomic>
#include <thread>

#include "BenchSupport.h"
#include "FacepadctlRun.h"

namespace Bench {
namespace {

constexpr int kPersons = 5000;
constexpr int kScalePersons = 100000;
// The journal kept by the simulators of a throughput run: every request,
// so that the floor posts the very bodies the sync sent. The floor's
// simulator keeps its journal too, so that both do the same work.
constexpr std::size_t kEveryRequest = static_cast<std::size_t>(-1);
// The journal kept at scale: what a second sync sends, and no more.
constexpr std::size_t kScaleJournal = 10000;
constexpr int kCrashPoints = 10;
constexpr int kMostReruns = 5;
// The result code with which the simulator answers an add of a person the
// terminal already holds.
constexpr const char* kHeldCode = "101";
// The simulator's code for a person a terminal does not hold: it settles the
// persons a kill left maybe held.
constexpr const char* kAbsentCode = "102";

const std::vector<std::string>& FourTerminals() {
  static const std::vector<std::string> sns = {"T1", "T2", "T3", "T4"};
  return sns;
}

std::vector<std::string> SyncCommand(const std::vector<std::string>& sns, const std::string& ledger,
                                     const std::string& roster,
                                     const std::vector<std::string>& more = {}) {
  std::vector<std::string> words = {"sync"};
  for (const std::string& sn : sns) words.insert(words.end(), {"--sn", sn});
  words.insert(words.end(), {"--ledger", ledger});
  words.insert(words.end(), more.begin(), more.end());
  words.push_back(roster);
  return words;
}

bool EveryoneHeld(const FacepadSim::FacepadSimulator& simulator,
                  const std::vector<std::string>& sns, int persons) {
  return std::all_of(sns.begin(), sns.end(), [&](const std::string& sn) {
    return simulator.Model().PersonCount(sn) == static_cast<std::size_t>(persons);
  });
}

// Posts each of `bodies` once to `url` from `threads` bare handles on as
// many threads, each taking the next body; the seconds it took, or -1 when
// a post failed.
double FloorSeconds(const std::string& url, const std::vector<std::string>& bodies, int threads) {
  std::vector<std::unique_ptr<RawPoster>> posters;
  posters.reserve(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) posters.push_back(std::make_unique<RawPoster>());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  const auto start = Clock::now();
  std::vector<std::thread> running;
  running.reserve(posters.size());
  for (auto& poster : posters) {
    running.emplace_back([&, raw = poster.get()] {
      for (std::size_t i = next++; i < bodies.size(); i = next++) {
        if (!raw->Post(url, bodies[i])) failed = true;
      }
    });
  }
  for (std::thread& thread : running) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return failed ? -1 : seconds;
}

// Each iteration runs the sync, then the floor; the figures are the
// medians of the iterations', as other work on these shared cores comes
// and goes.
void BM_SyncThroughput(benchmark::State& state) {
  const int jobs = static_cast<int>(state.range(0));
  const std::vector<std::string>& sns = FourTerminals();
  const double sent = static_cast<double>(kPersons) * static_cast<double>(sns.size());
  RosterFolder folder(kPersons, true);
  std::vector<double> syncRates;
  std::vector<double> floorRates;
  std::vector<double> ratios;
  for (auto _ : state) {
    std::vector<std::string> bodies;
    double syncSeconds = 0;
    {
      const auto simulator = FreshSimulator(kEveryRequest);
      const Ran ran = Facepadctl(
          simulator->Port(),
          SyncCommand(sns, folder.NewLedger(), folder.Roster(), {"--jobs", std::to_string(jobs)}));
      if (ran.exitCode != 0 || !EveryoneHeld(*simulator, sns, kPersons)) {
        state.SkipWithError("the sync did not add every person to every terminal");
        break;
      }
      syncSeconds = ran.seconds;
      for (FacepadSim::JournalEntry& entry : simulator->Requests("facepad/adduser")) {
        bodies.push_back(std::move(entry.body));
      }
    }
    const auto simulator = FreshSimulator(kEveryRequest);
    const std::string url = "http://" + simulator->Host() + ":" +
                            std::to_string(simulator->Port()) + "/facepad/adduser";
    const double floorSeconds = FloorSeconds(url, bodies, jobs);
    if (floorSeconds <= 0 || !EveryoneHeld(*simulator, sns, kPersons)) {
      state.SkipWithError("the floor's posts did not add every person to every terminal");
      break;
    }
    syncRates.push_back(sent / syncSeconds);
    floorRates.push_back(sent / floorSeconds);
    ratios.push_back(floorSeconds / syncSeconds);
  }
  if (ratios.empty()) return;
  state.counters["persons_terminals_per_s"] = Percentile(syncRates, 0.5);
  state.counters["floor_per_s"] = Percentile(floorRates, 0.5);
  state.counters["ratio"] = Percentile(ratios, 0.5);
}

void BM_SyncScale(benchmark::State& state) {
  const std::vector<std::string>& sns = FourTerminals();
  RosterFolder folder(kScalePersons, false);
  long peakKiB = 0;
  double firstSeconds = 0;
  double unchangedSeconds = 0;
  std::size_t unchangedRequests = 0;
  for (auto _ : state) {
    const auto simulator = FreshSimulator(kScaleJournal);
    const std::vector<std::string> command = SyncCommand(sns, folder.NewLedger(), folder.Roster());
    const Ran first = Facepadctl(simulator->Port(), command);
    if (first.exitCode != 0 || !EveryoneHeld(*simulator, sns, kScalePersons)) {
      state.SkipWithError("the first sync did not add every person to every terminal");
      break;
    }
    peakKiB = std::max(peakKiB, first.peakKiB);
    firstSeconds = std::max(firstSeconds, first.seconds);
    simulator->ClearJournal();
    const Ran unchanged = Facepadctl(simulator->Port(), command);
    if (unchanged.exitCode != 0) {
      state.SkipWithError("the sync of an unchanged roster failed");
      break;
    }
    unchangedSeconds = std::max(unchangedSeconds, unchanged.seconds);
    // Besides result polls, only the availability probe, an empty post.
    for (const FacepadSim::JournalEntry& entry : simulator->RequestsBesidesPolls()) {
      if (entry.path != "facepad/active" || !entry.body.empty()) ++unchangedRequests;
    }
  }
  state.counters["peak_MiB"] = static_cast<double>(peakKiB) / 1024;
  state.counters["first_s"] = firstSeconds;
  state.counters["unchanged_s"] = unchangedSeconds;
  state.counters["unchanged_requests"] = static_cast<double>(unchangedRequests);
}

void BM_SyncCrashes(benchmark::State& state) {
  const std::vector<std::string>& sns = FourTerminals();
  const int expected = kPersons * static_cast<int>(sns.size());
  RosterFolder folder(kPersons, true);
  const std::vector<std::string> codes = {"--held-code", kHeldCode, "--absent-code",
                                            kAbsentCode};
  int killed = 0;
  int whole = 0;
  int settled = 0;
  int mostReruns = 0;
  long extraAdds = 0;
  long mostExtraAdds = 0;
  double uncrashedSeconds = 0;
  double rerunSeconds = 0;
  for (auto _ : state) {
    // One run left alone, to spread the crashes over the time a run takes.
    {
      const auto simulator = FreshSimulator();
      const Ran ran = Facepadctl(simulator->Port(),
                                 SyncCommand(sns, folder.NewLedger(), folder.Roster(), codes));
      if (ran.exitCode != 0 || !EveryoneHeld(*simulator, sns, kPersons)) {
        state.SkipWithError("the sync left alone did not add every person");
        break;
      }
      uncrashedSeconds = ran.seconds;
    }
    for (int point = 0; point < kCrashPoints; ++point) {
      const auto simulator = FreshSimulator(kEveryRequest);
      const std::vector<std::string> command =
          SyncCommand(sns, folder.NewLedger(), folder.Roster(), codes);
      {
        FacepadctlRun run(simulator->Port(), command);
        std::this_thread::sleep_for(std::chrono::duration<double>(
            uncrashedSeconds * (point + 0.5) / static_cast<double>(kCrashPoints)));
        killed += run.Kill() ? 1 : 0;
        run.Wait();
      }
      int reruns = 0;
      bool succeeded = false;
      while (!succeeded && reruns < kMostReruns) {
        ++reruns;
        const Ran ran = Facepadctl(simulator->Port(), command);
        rerunSeconds += ran.seconds;
        succeeded = ran.exitCode == 0;
      }
      settled += succeeded ? 1 : 0;
      mostReruns = std::max(mostReruns, reruns);
      whole += EveryoneHeld(*simulator, sns, kPersons) ? 1 : 0;
      const long extra =
          static_cast<long>(simulator->Requests("facepad/adduser").size()) - expected;
      extraAdds += extra;
      mostExtraAdds = std::max(mostExtraAdds, extra);
    }
  }
  const auto trials = static_cast<double>(kCrashPoints) * static_cast<double>(state.iterations());
  state.counters["uncrashed_s"] = uncrashedSeconds;
  state.counters["killed"] = killed;
  state.counters["whole"] = whole;
  state.counters["settled"] = settled;
  state.counters["most_reruns"] = mostReruns;
  state.counters["rerun_s_per_crash"] = rerunSeconds / trials;
  state.counters["extra_adds"] = static_cast<double>(extraAdds);
  state.counters["most_extra_adds"] = static_cast<double>(mostExtraAdds);
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark("BM_SyncThroughput", BM_SyncThroughput)
      ->Arg(1)
      ->Arg(4)
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  RegisterScenario("BM_SyncScale", BM_SyncScale);
  RegisterScenario("BM_SyncCrashes", BM_SyncCrashes);
  AddGoal({"Sync, 5,000 x 4 with photos, 1 job / floor", "BM_SyncThroughput/1/", "ratio",
           Goal::Kind::AtLeast, 0.5, ""});
  AddGoal({"Sync, 5,000 x 4 with photos, 4 jobs / floor", "BM_SyncThroughput/4/", "ratio",
           Goal::Kind::AtLeast, 0.75, ""});
  AddGoal({"Sync of 100,000 x 4: peak memory", "BM_SyncScale", "peak_MiB", Goal::Kind::AtMost, 64,
           "MiB"});
  AddGoal({"Sync of 100,000 x 4 unchanged: start to end", "BM_SyncScale", "unchanged_s",
           Goal::Kind::AtMost, 5, "s"});
  AddGoal({"Sync of 100,000 x 4 unchanged: requests", "BM_SyncScale", "unchanged_requests",
           Goal::Kind::AtMost, 0, ""});
  AddGoal({"Sync killed 10 times: runs ending whole", "BM_SyncCrashes", "whole",
           Goal::Kind::AtLeast, kCrashPoints, "of 10"});
  return true;
}();

}  // namespace
}  // namespace Bench
