// facepadctl check run as a program against simulators that conform, that
// deviate, and that speak another service's codes: each verdict, the codes
// and sync options it learns, and what it leaves on the terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "FacepadSimulator.h"
#include "FaultRule.h"
#include "Subprocess.h"

using FacepadSim::FacepadSimulator;
using namespace std::chrono_literals;

namespace {

// check --json against `simulator`, with `extra` arguments.
Finished Check(const FacepadSimulator& simulator, const std::string& extra = "",
               double interruptAfter = 0) {
  const std::string port = std::to_string(simulator.Port());
  const std::string command = "--port " + port + " --json check --sn T1 --wait 3 " + extra;
  return RunToEnd(FACEPADCTL_PATH, Words(command), interruptAfter);
}

// "step: verdict" for each step of a report, its steps written in that order.
std::map<std::string, std::string> Verdicts(const JsonFields& report) {
  std::map<std::string, std::string> verdicts;
  const std::string steps = report.count("steps") > 0 ? report.at("steps") : "";
  const std::regex step(R"re("step":"([^"]*)","verdict":"([^"]*)")re");
  for (std::sregex_iterator it(steps.begin(), steps.end(), step), end; it != end; ++it)
    verdicts[(*it)[1]] = (*it)[2];
  return verdicts;
}

// Options for a simulator that speaks `profile`.
FacepadSim::SimulatorOptions Speaking(FacepadSim::Profile profile) {
  FacepadSim::SimulatorOptions options;
  options.profile = std::move(profile);
  return options;
}

}  // namespace

// A conforming service: every step conforms, its codes are learnt, and sync
// with the options printed converges, pruning included. The record holds no
// photo, and replays the service's codes and pace in another simulator.
TEST(FacepadctlCheck, AConformingServiceGivesItsCodesAndTheSyncOptions) {
  const std::tuple<FacepadSim::SimulatorOptions, std::string, const char*> services[] = {
      {{}, "--held-code 101 --absent-code 102", "result 0 (done)"},
      {Speaking({{{"0", "7"}, {"101", "31"}, {"102", "32"}}, {{"facepad/adduser", 50ms}}}),
       "--done-code 7 --held-code 31 --absent-code 32", "result 7 (done)"},
  };
  for (const auto& [options, syncOptions, doneLine] : services) {
    SCOPED_TRACE(syncOptions);
    const FacepadSimulator simulator(options);
    const TemporaryFolder dir;
    const Finished finished = Check(simulator, "--record " + dir / "check.jsonl");
    EXPECT_EQ(finished.exitCode, 0) << finished.out << finished.err;
    const JsonFields report = LastJson(finished);
    EXPECT_EQ(report.at("conforms"), "true");
    EXPECT_EQ(report.at("sync_options"), syncOptions);
    EXPECT_EQ(Verdicts(report).size(), 11U);
    EXPECT_EQ(simulator.Model().PersonCount("T1"), 0U) << "the test person is gone";
    for (const char* path : {"facepad/binding", "facepad/setport", "facepad/controldevice"})
      EXPECT_TRUE(simulator.Requests(path).empty()) << path;

    WriteFile(dir / "roster.csv", "certnum,name\nA,Ann\nB,Bo\nC,Chen\n");
    const std::vector<std::string> sync =
        Words("--port " + std::to_string(simulator.Port()) + " sync " + dir / "roster.csv" +
              " --sn T1 --prune --ledger " + dir / "ledger.db" + " " + syncOptions);
    const Finished synced = RunToEnd(FACEPADCTL_PATH, sync);
    EXPECT_EQ(synced.exitCode, 0);
    EXPECT_TRUE(Has(synced.out, doneLine)) << synced.out;
    WriteFile(dir / "roster.csv", "certnum,name\nA,Ann\nB,Bo new\n");
    const Finished pruned = RunToEnd(FACEPADCTL_PATH, sync);
    EXPECT_EQ(pruned.exitCode, 0) << pruned.out << pruned.err;
    EXPECT_EQ(simulator.Model().PersonCount("T1"), 2U);

    EXPECT_EQ(std::filesystem::status(dir / "check.jsonl").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_FALSE(Has(ReadFile(dir / "check.jsonl"), "iVBOR")) << "photos are elided";
    const FacepadSimulator desk(Speaking(FacepadSim::ReadProfile(dir / "check.jsonl")));
    const JsonFields replayed = LastJson(Check(desk));
    EXPECT_EQ(replayed.at("sync_options"), syncOptions);
    const std::string times = replayed.at("answer_times");
    const std::string adduser = R"("facepad/adduser":{"median_ms":)";
    ASSERT_TRUE(Has(times, adduser)) << times;
    EXPECT_GE(std::stod(times.substr(times.find(adduser) + adduser.size())),
              options.profile.answerTimes.empty() ? 0.0 : 40.0)
        << times;
  }
}

// One deviation a row: its step deviates with a reason, the others still run,
// and the test person is gone.
TEST(FacepadctlCheck, EachDeviationIsNamedAndOnlyItsOwnPersonIsTouched) {
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"facepad/getterminalstatus=500", "", "terminal status"},
      {"facepad/getresult=garbage", "", "results channel"},
      {"facepad/active=hang:3", "--timeout 1", "availability"},
      {"facepad/setuser=close", "", "update"},
      {"facepad/adduser=200*1", "", "add"},  // accepted, and no result ever comes
  };
  for (const auto& [fault, extra, step] : rows) {
    SCOPED_TRACE(fault);
    FacepadSimulator simulator;
    simulator.AddFault(std::get<FacepadSim::Fault>(FacepadSim::ParseFault(fault)));
    const Finished finished = Check(simulator, extra);
    EXPECT_EQ(finished.exitCode, 1) << finished.err;
    const std::map<std::string, std::string> verdicts = Verdicts(LastJson(finished));
    EXPECT_EQ(verdicts.size(), 11U);
    EXPECT_EQ(verdicts.count(step) ? verdicts.at(step) : "", "deviates");
    EXPECT_EQ(verdicts.at("availability"),
              std::string(step) == "availability" ? "deviates" : "conforms");
    EXPECT_EQ(simulator.Model().PersonCount("T1"), 0U);
  }

  // A result under another serial number is one sync would never match.
  {
    FacepadSimulator renamed;
    renamed.AddFault(FacepadSim::Fault::Answer(200, "ok").On("facepad/adduser").Times(1));
    std::thread answerAsT1Lowercase([&] {
      while (renamed.Requests("facepad/adduser").empty()) std::this_thread::sleep_for(5ms);
      const std::string body = renamed.Requests("facepad/adduser")[0].body;
      const std::size_t id = body.find("\tid=") + 4;
      renamed.Model().QueueResult("t1", body.substr(id, body.find('\t', id) - id), "0");
    });
    const Finished finished = Check(renamed);
    answerAsT1Lowercase.join();
    EXPECT_EQ(Verdicts(LastJson(finished)).at("add"), "deviates");
    EXPECT_TRUE(Has(finished.out, "came under the serial number t1")) << finished.out;
  }

  // check touches its own test person only, however it ends, and counts the
  // results of others that its polls took.
  FacepadSimulator simulator;
  simulator.Model().Handle("facepad/adduser", "SN=T1\tid=x\tdata={\"certnum\":\"REAL\"}");
  for (int i = 0; i < 3; ++i) simulator.Model().QueueResult("T9", "other" + std::to_string(i), "0");
  const Finished held = Check(simulator, "--certnum REAL");
  EXPECT_EQ(held.exitCode, 1);
  EXPECT_TRUE(Has(held.out, "held before the check")) << held.out;
  EXPECT_TRUE(simulator.Model().FindPerson("T1", "REAL").has_value()) << "not deleted";
  EXPECT_GE(std::stoi(LastJson(held).at("others_results")), 4) << "three queued, and REAL's add";

  // A second add without a code cannot tell whether the first found REAL
  // there: nothing more is sent for it.
  simulator.ClearJournal();
  std::thread failTheSecondAdd([&] {
    while (simulator.Requests("facepad/adduser").empty()) std::this_thread::sleep_for(5ms);
    simulator.AddFault(FacepadSim::Fault::Answer(500).On("facepad/adduser").Times(1));
  });
  EXPECT_EQ(Check(simulator, "--certnum REAL").exitCode, 1);
  failTheSecondAdd.join();
  for (const char* path : {"facepad/setuser", "facepad/setfacepic", "facepad/deluser"}) {
    EXPECT_TRUE(simulator.Requests(path).empty()) << path;
  }

  simulator.AddFault(FacepadSim::Fault::Delayed(3s).On("facepad/setuser").Times(1));
  const Finished interrupted = Check(simulator, "", 2.5);  // during the update
  EXPECT_EQ(interrupted.exitCode, 130) << interrupted.err;
  EXPECT_EQ(LastJson(interrupted).at("conforms"), "false") << "what was not tried proves nothing";
  EXPECT_EQ(simulator.Model().PersonCount("T1"), 1U) << "only REAL is left";
}

// A profile that cannot be read, says nothing or contradicts itself is
// refused, naming its line.
TEST(FacepadctlCheck, AProfileIsReadWholeOrRefused) {
  const TemporaryFolder dir;
  const std::string path = dir / "profile";
  const std::pair<const char*, const char*> rows[] = {
      {"", "no code and no answer time"},
      {"{}", "no code and no answer time"},
      {R"({"codes":{"done":"7","held":"7"}})", "given twice"},
      {R"({"codes":{"done":"a\tb"}})", "control character"},
      {R"({"answer_ms":{"facepad/nothing":5}})", "not an endpoint"},
      {"{\"path\":\"facepad/adduser\",\"time_us\":5}\nnot json\n", ":2: not a JSON object"},
  };
  for (const auto& [text, why] : rows) {
    WriteFile(path, text);
    const std::string refusal =
        Refusal<FacepadSim::ProfileError>([&] { FacepadSim::ReadProfile(path); });
    EXPECT_TRUE(Has(refusal, why)) << text << ": " << refusal;
  }
}
