// facepadctl run as a program against the simulator. Outputs are checked for
// their meaning: the exit code, the --json fields, a key word.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "RawListener.h"
#include "Subprocess.h"
#include "TestAdaptor.h"

using namespace std::chrono_literals;
using FacepadSim::Fault;

const std::string kPhoto = ZR_SOURCE_DIR "/demo/photos/ann.png";

class FacepadctlTool : public ::testing::Test {
 protected:
  // The tool against this test's simulator, with the words of `command` as its arguments.
  Finished Ctl(const std::string& command, double interruptAfter = 0,
               const char* signal = "INT") const {
    const std::string arguments = "--port " + std::to_string(simulator.Port()) + " " + command;
    return RunToEnd(FACEPADCTL_PATH, Words(arguments), interruptAfter, signal);
  }
  // The last line of --json output.
  JsonFields CtlJson(const std::string& args) const { return LastJson(Ctl("--json " + args)); }
  FacepadSim::FacepadSimulator simulator;
  TemporaryFolder dir;
};

TEST_F(FacepadctlTool, EverySubcommandReportsAcceptedAndRefused) {
  const std::pair<std::string, std::string> cases[] = {
      {"available", "facepad/active"},
      {"bind --sn T1 --channel 2 --ip 10.0.0.1 --device-port 80", "facepad/binding"},
      {"status --sn T1", "facepad/getterminalstatus"},
      {"add-user --sn T1 --id a1 --field certnum=C1 --photo " + kPhoto, "facepad/adduser"},
      {"set-user --sn T1 --field certnum=C1", "facepad/setuser"},
      {"set-photo --sn T1 --certnum C1 --photo " + kPhoto, "facepad/setfacepic"},
      {"del-user --sn T1 --certnum C1", "facepad/deluser"},
      {"activate --sn T1 --username op --password pw", "facepad/active"},
      {"activation-status --sn T1", "facepad/activationstatus"},
      {"control --sn T1", "facepad/controldevice"},
      {"set-listen-port --listen-port 10004 --reset 1", "facepad/setport"},
      {"unbind --sn T1", "facepad/unbinding"},
  };
  for (const auto& [command, path] : cases) {
    const std::string name = Words(command)[0];
    const Finished accepted = Ctl("--json " + command);
    EXPECT_EQ(accepted.exitCode, 0) << name;
    JsonFields line = LastJson(accepted);
    EXPECT_EQ(line["command"], name);
    EXPECT_TRUE(line["outcome"] == "ok" || line["outcome"] == "accepted") << name;
    EXPECT_TRUE(name != "add-user" || line["id"] == "a1");
    if (name == "set-photo") {  // both photos went out as the PNG's base64
      const auto person = simulator.Model().FindPerson("T1", "C1");
      ASSERT_TRUE(person.has_value());
      EXPECT_EQ(person->facepic.substr(0, 11), "iVBORw0KGgo");
      EXPECT_EQ(person->photo, person->facepic);
    }
    simulator.AddFault(Fault::Answer(500).On(path));
    EXPECT_EQ(CtlJson(command)["outcome"], "refused") << name;
    simulator.ClearFaults();
  }
  // The photo's limit is the command's own, as sync's is.
  for (const char* command :
       {"add-user --sn T1 --field certnum=C1", "set-photo --sn T1 --certnum C1"}) {
    const Finished large = Ctl(std::string(command) + " --photo " + kPhoto + " --max-photo 100");
    EXPECT_EQ(large.exitCode, 1) << command;
    EXPECT_TRUE(Has(large.err, "more than the 100 allowed")) << large.err;
  }

  // The library binds whatever became of the activation; the tool tells it.
  simulator.AddFault(Fault::Answer(500).On("facepad/active").Times(1));
  const JsonFields unactivated = CtlJson(cases[1].first);
  EXPECT_EQ(unactivated.at("outcome"), "failed");
  EXPECT_TRUE(Has(unactivated.at("detail"), "bound, but the activation before it failed"));
  simulator.AddFault(Fault::Answer(500));
  const Finished refused = Ctl("unbind --sn T1");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(Has(refused.err, "status 500") && Has(refused.err, "-v")) << refused.err;
  EXPECT_EQ(refused.out, "") << "stdout holds only what succeeded";
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << "no log without -v";
  const Finished verbose = Ctl("-v unbind --sn T1");
  EXPECT_TRUE(Has(verbose.err, "UnBindTerminalFaceZorvan Call GetLastPostStatus ret false"));
  EXPECT_FALSE(Has(verbose.err, "run with -v")) << "no hint to give -v when it was given";
  // Without --wait the tool never polls: results belong to the hosts beside it.
  EXPECT_TRUE(simulator.Requests("facepad/getresult").empty());
}

// A service that is not there, one that does not answer, a refused value and
// a terminal that is not connected are told apart (the log records cannot).
TEST_F(FacepadctlTool, FailuresSayWhatHappened) {
  simulator.AddFault(Fault::Delayed(5s).On("facepad/unbinding"));
  const std::string down = std::to_string(UnusedPort()), sim = std::to_string(simulator.Port());
  const RawListener notHttp("SSH-2.0-not a web server\r\n");
  // The arguments, the outcome, and a word of its detail.
  const std::tuple<std::vector<std::string>, const char*, const char*> cases[] = {
      {{"--port", down, "status", "--sn", "T1"}, "failed", "could not be reached"},
      {{"--port", std::to_string(notHttp.Port()), "status", "--sn", "T1"}, "failed", "not HTTP"},
      {{"--port", sim, "status", "--sn", "T1"}, "failed", "not connected"},
      {{"--port", sim, "--timeout", "0.3", "unbind", "--sn", "T1"}, "failed", "may still carry"},
      {{"--port", sim, "set-user", "--sn", "T1", "--id", "a\tb", "--field", "certnum=C1"},
       "bad",
       "tab or NUL"},
  };
  for (auto [arguments, outcome, says] : cases) {
    arguments.insert(arguments.begin(), "--json");
    const Finished finished = RunToEnd(FACEPADCTL_PATH, arguments);
    EXPECT_EQ(finished.exitCode, 1) << says;
    JsonFields line = JsonLines(finished.out).at(0);
    EXPECT_EQ(line["outcome"], outcome);
    EXPECT_TRUE(Has(line["detail"], says)) << line["detail"];
  }
}

TEST_F(FacepadctlTool, WaitAndWatchReportTheResultsOrWhyThereAreNoneAndInterruptionsSaySo) {
  simulator.Model().QueueResult("T1", "other", "105");  // another client's: left alone
  const auto start = std::chrono::steady_clock::now();
  JsonFields line = CtlJson("add-user --sn T1 --field certnum=C9 --wait 10");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the first poll comes at once";
  EXPECT_EQ(line["outcome"], "done");
  EXPECT_EQ(line["result"], "0");

  const Finished held = Ctl("add-user --sn T1 --field certnum=C9 --wait 10");
  EXPECT_EQ(held.exitCode, 1);
  EXPECT_TRUE(Has(held.out, "accepted") && Has(held.err, "result 101")) << held.err;

  simulator.AddFault(Fault::Answer(200, "result=[]").On("facepad/getresult"));
  line = CtlJson("control --sn T1 --wait 0.7");
  EXPECT_EQ(line["outcome"], "no-result");
  EXPECT_TRUE(Has(line["detail"], "another client")) << line["detail"];
  line = CtlJson("control --sn T1 --wait 0.1");
  EXPECT_TRUE(Has(line["detail"], "no result poll has ended yet")) << line["detail"];
  // With every poll refused, that is why: not another client.
  simulator.ClearFaults();
  simulator.AddFault(Fault::Answer(500).On("facepad/getresult"));
  line = CtlJson("control --sn T1 --wait 0.7");
  EXPECT_TRUE(Has(line["detail"], "every result poll failed: refused by the service (status 500)"))
      << line["detail"];
  const Finished refusedPolls = Ctl("watch --for 0.7");
  EXPECT_EQ(refusedPolls.exitCode, 1);
  EXPECT_TRUE(Has(refusedPolls.err, "every result poll failed")) << refusedPolls.err;

  // An interruption says so and exits with 128 plus the signal.
  const Finished waiting = Ctl("--json control --sn T1 --wait 30", 1);
  EXPECT_EQ(waiting.exitCode, 130);
  EXPECT_EQ(LastJson(waiting)["outcome"], "interrupted");
  const Finished watching = Ctl("watch", 1, "TERM");
  EXPECT_EQ(watching.exitCode, 143);
  EXPECT_TRUE(Has(watching.err, "interrupted"));

  // watch polls an idle service every 250 ms from the start, and notices a down one.
  simulator.ClearFaults();
  simulator.ClearJournal();
  EXPECT_EQ(Ctl("watch --for 2.1").exitCode, 0);
  EXPECT_GE(simulator.Requests("facepad/getresult").size(), 6u);
  const Finished down =
      RunToEnd(FACEPADCTL_PATH, {"--port", std::to_string(UnusedPort()), "watch", "--for", "10"});
  EXPECT_EQ(down.exitCode, 1);
  EXPECT_TRUE(Has(down.err, "could not be reached")) << down.err;
}

// What the service hands over prints as one line a result, with its
// terminal, code and time, control characters and stray bytes escaped; with
// --json, as valid UTF-8 in which no two ids read alike.
TEST_F(FacepadctlTool, WhatTheServiceSaysCannotForgeALine) {
  const std::vector<std::pair<std::string, std::string>> ids = {
      // the id, as printed
      {"a\n18:00:00.000 result T1 id FORGED: 0", "a\\n18:00:00.000 result T1 id FORGED: 0"},
      {"x\x1b[2J\x7f", "x\\x1b[2J\\x7f"},
      {"c1\xc2\x85", "c1\\u0085"},
      {"bad\xff\xfeid", "bad\\xff\\xfeid"},
      {R"(bad\xff\xfeid)", R"(bad\\xff\\xfeid)"}};
  for (const bool json : {false, true}) {
    for (const auto& id : ids) simulator.Model().QueueResult("T1", id.first, "105");
    const Finished watch = Ctl(std::string(json ? "--json " : "") + "watch --count 5");
    EXPECT_EQ(watch.exitCode, 0);
    EXPECT_EQ(std::count(watch.out.begin(), watch.out.end(), '\n'), 5) << watch.out;
    EXPECT_EQ(watch.out.find('\x1b'), std::string::npos);
    if (!json) {
      for (const auto& id : ids)
        EXPECT_TRUE(Has(watch.out, "T1 id " + id.second + ": 105")) << id.second;
      continue;
    }
    EXPECT_TRUE(JsonLinesValid(watch.out)) << watch.out;
    std::set<std::string> read;  // the id as a reader gets it, and whether it was escaped
    for (JsonFields& line : JsonLines(watch.out)) {
      read.insert(line["id"] + "|" + line["escaped"]);
      EXPECT_EQ(line["sn"] + " " + line["result"] + " " + std::to_string(line["time"].size() > 8),
                "T1 105 1");
    }
    EXPECT_EQ(read.size(), ids.size());
  }
}

TEST_F(FacepadctlTool, UsageAndDataErrorsSayWhatWasWrong) {
  WriteFile(dir / "note.txt", "not an image");
  WriteFile(dir / "empty.png", "");
  WriteFile(dir / "typo.csv", "certnum,nmae\nC1,Ann\n");
  WriteFile(dir / "twice.csv", "certnum,name,name\nC1,Ann,Ann\n");
  WriteFile(dir / "person.json", R"({"certnum":"C1","nmae":"Ann"})");
  const std::string typo = "sync " + dir / "typo.csv";
  // The exit code, a word of what is said, and the arguments.
  const std::tuple<int, const char*, std::string> cases[] = {
      {2, "no command", ""},
      {2, "did you mean 'bind'", "biind"},
      {2, "did you mean 'add-user'", "add-usr --sn T1"},
      {2, "did you mean '--sn'", "status -sn T1"},
      {2, "status needs --sn", "status"},
      {2, "--sn needs a value", "status --sn"},
      {2, "--sn is given more than once", "status --sn T1 --sn T2"},
      {2, "'extra' was not expected", "status --sn T1 extra"},
      {2, "the port with --port", "--host http://127.0.0.1 available"},
      {2, "the port with --port", "--host 127.0.0.1:10003 available"},
      {2, "a bracketed IPv6 address", "--host 127.0.0.1# --port 1 available"},
      {2, "a bracketed IPv6 address", "--host u@127.0.0.1 available"},
      {2, "--field certnum is given twice",
       "add-user --sn T1 --field certnum=C1 --field certnum=C2"},
      {2, "certnum, name", "add-user --sn T1 --field nmae=Ann"},
      {1, "no certnum", "add-user --sn T1 --field name=Ann"},
      {2, "did you mean '--port'", "--prot 1 status --sn T1"},
      {2, "1 to 65535", "--port 70000 available"},
      {2, "the ledger remembers", "import - --sn T1 --failures x.csv"},
      {2, "--resume is gone", "import - --sn T1 --resume x.csv"},
      {2, "--resume is gone", "import - --resume --sn T1"},
      {2, "--resend-accepted is gone", "import --resend-accepted - --sn T1"},
      {2, "--sn", typo},
      {2, "given twice", typo + " --sn T1 --sn T1"},
      {2, "a code means one thing", typo + " --sn T1 --held-code 7 --done-code 7"},
      {1, "not a JPEG or PNG", "add-user --sn T1 --field certnum=C1 --photo " + dir / "note.txt"},
      {1, "nmae", "add-user --sn T1 --person " + dir / "person.json"},
      {1, "certnum, name", typo + " --sn T1 --ledger " + dir / "l.db"},
      {1, "twice", "import " + dir / "twice.csv" + " --sn T1 --ledger " + dir / "l.db"},
      {1, "empty.png is empty", "add-user --sn T1 --field certnum=C1 --photo " + dir / "empty.png"},
      {1, "not a file", typo + " --sn T1 --ledger " + dir.Path()},
      {1, "not a file", "ledger show --ledger " + dir.Path()},
  };
  for (const auto& [exitCode, says, command] : cases) {
    const Finished finished = Ctl(command);
    EXPECT_EQ(finished.exitCode, exitCode) << says;
    EXPECT_TRUE(Has(finished.err, says)) << finished.err;
    EXPECT_FALSE(Has(finished.err, "Options:")) << "no usage banner: " << finished.err;
    EXPECT_EQ(finished.out, "");
  }
  EXPECT_TRUE(simulator.RequestsBesidesPolls().empty()) << "nothing bad is sent";
}
