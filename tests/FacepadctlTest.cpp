// facepadctl against the simulator: each subcommand's outcome, results,
// usage errors and bulk import.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "Base64.h"
#include "Subprocess.h"
#include "TestAdaptor.h"

using namespace std::chrono_literals;
using FacepadSim::Fault;

namespace {
const std::string kPhoto = ZR_SOURCE_DIR "/demo/photos/ann.png";

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string TemporaryDirectory() {
  char path[] = "/tmp/zr-facepadctl-XXXXXX";
  return mkdtemp(path);
}

int CountLines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}
}  // namespace

class FacepadctlTool : public ::testing::Test {
 protected:
  // The tool against this test's simulator.
  std::vector<std::string> Arguments(const std::vector<std::string>& arguments) const {
    std::vector<std::string> all = {"--port", std::to_string(simulator.Port())};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
  }
  Finished Ctl(const std::vector<std::string>& arguments) const {
    return RunToEnd(FACEPADCTL_PATH, Arguments(arguments));
  }
  FacepadSim::FacepadSimulator simulator;
};

TEST_F(FacepadctlTool, EverySubcommandAcceptedAndRefused) {
  struct Case {
    std::vector<std::string> arguments;
    std::string path;
    std::string accepted;
    std::string refused;
  };
  const Case cases[] = {
      {{"available"},
       "facepad/active",
       "available: available",
       "available: not available: refused by the service (status 500)"},
      {{"bind", "--sn", "T1", "--channel", "2", "--ip", "10.0.0.1", "--device-port", "80",
        "--username", "u", "--password", "p"},
       "facepad/binding",
       "bind T1: bound",
       "bind T1: refused by the service (status 500)"},
      {{"status", "--sn", "T1"},
       "facepad/getterminalstatus",
       "status T1: connected",
       "status T1: refused by the service (status 500)"},
      {{"add-user", "--sn", "T1", "--id", "a1", "--field", "certnum=C1", "--photo", kPhoto},
       "facepad/adduser",
       "add-user T1 id a1: accepted",
       ""},
      {{"set-user", "--sn", "T1", "--id", "s1", "--field", "certnum=C1"},
       "facepad/setuser",
       "set-user T1 id s1: accepted",
       ""},
      {{"set-photo", "--sn", "T1", "--id", "p1", "--certnum", "C1", "--photo", kPhoto},
       "facepad/setfacepic",
       "set-photo T1 id p1: accepted",
       ""},
      {{"del-user", "--sn", "T1", "--id", "d1", "--certnum", "C1"},
       "facepad/deluser",
       "del-user T1 id d1: accepted",
       ""},
      {{"activate", "--sn", "T1", "--id", "v1", "--username", "op", "--password", "pw"},
       "facepad/active",
       "activate T1 id v1: accepted",
       ""},
      {{"activation-status", "--sn", "T1", "--id", "v2"},
       "facepad/activationstatus",
       "activation-status T1 id v2: accepted",
       ""},
      {{"control", "--sn", "T1", "--id", "c1"},
       "facepad/controldevice",
       "control T1 id c1: accepted",
       ""},
      {{"set-listen-port", "--listen-port", "10004", "--reset", "1"},
       "facepad/setport",
       "set-listen-port 10004: accepted",
       "set-listen-port 10004: refused by the service (status 500)"},
      {{"unbind", "--sn", "T1"},
       "facepad/unbinding",
       "unbind T1: released",
       "unbind T1: refused by the service (status 500)"},
  };
  for (const Case& c : cases) {
    const Finished finished = Ctl(c.arguments);
    EXPECT_EQ(finished.exitCode, 0) << c.arguments[0] << finished.err;
    EXPECT_EQ(finished.out, c.accepted + "\n");
    if (c.arguments[0] == "set-photo") {  // both photos went out base64-encoded
      const std::string image = ReadFile(kPhoto);
      const auto person = simulator.FindPerson("T1", "C1");
      ASSERT_TRUE(person.has_value());
      EXPECT_EQ(person->facepic, Facepadctl::Base64Encode(image));
      EXPECT_EQ(person->photo, Facepadctl::Base64Encode(image));
      EXPECT_EQ(person->photoSize, static_cast<int>(image.size()));
    }
  }
  for (const Case& c : cases) {
    simulator.AddFault(Fault::Answer(500).On(c.path));
    const Finished finished = Ctl(c.arguments);
    simulator.ClearFaults();
    EXPECT_EQ(finished.exitCode, 1) << c.arguments[0];
    const std::string refused = c.refused.empty()
                                    ? c.accepted.substr(0, c.accepted.rfind(':')) +
                                          ": refused by the service (status 500) (run with -v "
                                          "to see the adaptor's log)"
                                    : c.refused;
    EXPECT_EQ(finished.out, refused + "\n");
    EXPECT_EQ(finished.err, "") << "silent without -v";
  }
  const Finished verbose = Ctl({"-v", "unbind", "--sn", "T1"});
  EXPECT_EQ(verbose.err, "");
  simulator.AddFault(Fault::Answer(500));
  EXPECT_NE(
      Ctl({"-v", "unbind", "--sn", "T1"})
          .err.find("TerminalFace_ZR::UnBindTerminalFaceZorvan Call GetLastPostStatus ret false"),
      std::string::npos);
}

TEST_F(FacepadctlTool, WaitPrintsTheResultOfTheRequest) {
  Finished finished =
      Ctl({"add-user", "--sn", "T1", "--id", "w1", "--field", "certnum=C9", "--wait", "10"});
  EXPECT_EQ(finished.exitCode, 0);
  EXPECT_EQ(finished.out, "add-user T1 id w1: accepted\nresult T1 id w1: 0 (done)\n");

  finished = Ctl(
      {"--json", "add-user", "--sn", "T1", "--id", "w2", "--field", "certnum=C9", "--wait", "10"});
  EXPECT_EQ(finished.exitCode, 1);
  EXPECT_EQ(finished.out,
            "{\"command\":\"add-user\",\"sn\":\"T1\",\"id\":\"w2\",\"accepted\":true}\n"
            "{\"sn\":\"T1\",\"id\":\"w2\",\"result\":\"101\"}\n");

  simulator.AddFault(Fault::Answer(500).On("facepad/getresult"));
  finished = Ctl({"control", "--sn", "T1", "--id", "w3", "--wait", "0.5"});
  EXPECT_EQ(finished.exitCode, 1);
  EXPECT_NE(finished.out.find("no result for id w3 within 0.5 s"), std::string::npos)
      << finished.out;

  finished = Ctl({"add-user", "--sn", "T1", "--field", "certnum=C7"});
  EXPECT_TRUE(
      std::regex_match(finished.out, std::regex("add-user T1 id req[0-9a-f]{8}: accepted\n")))
      << finished.out;
}

// A service that is not there, one that does not answer, a refused value and
// a refused status are told apart (the log records cannot); -v drops the hint.
TEST_F(FacepadctlTool, FailuresSayWhatHappened) {
  simulator.AddFault(Fault::Delayed(std::chrono::seconds(5)).On("facepad/unbinding"));
  const std::string port = std::to_string(UnusedPort());
  struct Case {
    std::vector<std::string> arguments;
    const char* says;
  };
  const std::string persons = std::string(ZR_SOURCE_DIR) + "/demo/persons.csv";
  const Case cases[] = {
      {{"--port", port, "status", "--sn", "T1"}, "could not be reached"},
      {{"--port", port, "import", persons, "--sn", "T1", "--wait", "0", "--failures", "/dev/null"},
       "could not be reached"},
      {Arguments({"--timeout", "0.3", "unbind", "--sn", "T1"}), "no answer within the time-out"},
      {Arguments({"set-user", "--sn", "T\t1", "--field", "certnum=C1"}), "not sent"},
      {Arguments({"-v", "activate", "--sn", "T\t1"}), "not sent: a value holds a tab or NUL\n"},
  };
  for (const Case& c : cases) {
    const Finished finished = RunToEnd(FACEPADCTL_PATH, c.arguments);
    EXPECT_EQ(finished.exitCode, 1) << c.says;
    EXPECT_NE(finished.out.find(c.says), std::string::npos) << finished.out;
  }
}

TEST_F(FacepadctlTool, UsageErrorsSayWhatWasWrong) {
  const std::string dir = TemporaryDirectory();
  WriteFile(dir + "/note.txt", "not an image");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no command given"},
      {{"frob"}, "frob"},
      {{"add-user"}, "--sn is required"},
      {{"add-user", "--sn", "T1", "--field", "bad"}, "--field wants key=value, not \"bad\""},
      {{"add-user", "--sn", "T1", "--photo", dir + "/note.txt"}, "is not a JPEG or PNG image"},
      {{"add-user", "--sn", "T1", "--person", dir + "/note.txt"}, "does not hold a JSON object"},
      {{"set-photo", "--sn", "T1", "--certnum", "C1", "--photo", dir + "/none.png"}, "cannot read"},
      {{"--port", "70000", "available"}, "70000"},
      {{"import", dir + "/none.csv", "--sn", "T1"}, "cannot read"},
      {{"import", dir + "/note.txt", "--sn", "T1"}, "has no certnum column"},
      {{"watch", "--count", "-1"}, "--count"},
  };
  for (const auto& [arguments, message] : cases) {
    const Finished finished = RunToEnd(FACEPADCTL_PATH, arguments);
    EXPECT_EQ(finished.exitCode, 2) << message;
    EXPECT_NE(finished.err.find(message), std::string::npos) << finished.err;
    EXPECT_NE(finished.err.find("usage: facepadctl"), std::string::npos) << finished.err;
  }
}

TEST_F(FacepadctlTool, HelpForTheToolAndEverySubcommand) {
  for (const char* command : {"", "available", "add-user", "set-user", "del-user", "set-photo",
                              "bind", "unbind", "status", "activate", "activation-status",
                              "control", "set-listen-port", "watch", "import"}) {
    std::vector<std::string> arguments;
    if (*command != '\0') arguments.emplace_back(command);
    arguments.emplace_back("--help");
    const Finished finished = RunToEnd(FACEPADCTL_PATH, arguments);
    EXPECT_EQ(finished.exitCode, 0) << command;
    EXPECT_NE(finished.out.find("Usage:"), std::string::npos) << command;
  }
}

TEST_F(FacepadctlTool, WatchPrintsResultsUntilStopped) {
  simulator.QueueResult("T1", "x1", "0");
  simulator.QueueResult("T2", "x2", "105");
  const Finished finished = Ctl({"watch", "--count", "2"});
  EXPECT_EQ(finished.exitCode, 0);
  EXPECT_EQ(finished.out, "result T1 id x1: 0\nresult T2 id x2: 105\n");

  // Ctrl-C ends it cleanly.
  EXPECT_EQ(RunToEnd(FACEPADCTL_PATH, Arguments({"watch"}), 1.5).exitCode, 0);
}

TEST_F(FacepadctlTool, ImportEnrolsAndItsFailuresImportAgain) {
  const std::string dir = TemporaryDirectory();
  mkdir((dir + "/photos").c_str(), 0755);
  WriteFile(dir + "/photos/ann.png", ReadFile(kPhoto));
  WriteFile(dir + "/note.txt", "not an image");
  std::string csv = "certnum,name,num,cardtype,photo\n";
  for (int i = 1; i <= 44; ++i) {
    char line[128];
    const char* photo = i == 1 ? "photos/ann.png" : i % 10 == 0 ? kPhoto.c_str() : "";
    std::snprintf(line, sizeof line, "C-%03d,Person %d,%d,1,%s\n", i, i, 4000 + i, photo);
    csv += line;
  }
  csv += "C-001,Again,,,\n";                            // line 46: held already
  csv += "C-002,Again\n";                               // line 47: held already, short row
  csv += ",No Certnum,,,\n";                            // line 48
  csv += "C-045,Missing Photo,,,/nonexistent/x.png\n";  // line 49
  csv += "C-046,Not Image,,," + dir + "/note.txt\n";    // line 50
  csv += "C-047,Too,Many,Fields,x,y\n";                 // line 51
  WriteFile(dir + "/people.csv", csv);

  Finished finished =
      Ctl({"import", dir + "/people.csv", "--sn", "T1", "--jobs", "4", "--wait", "20"});
  EXPECT_EQ(finished.exitCode, 1);
  EXPECT_NE(finished.out.find("import: 50 rows: 4 bad, 46 sent, 46 accepted, 0 refused, "
                              "44 succeeded, 2 failed (101: 2), 0 without result\n"
                              "failed rows written to " +
                              dir + "/people.failed.csv\n"),
            std::string::npos)
      << finished.out;
  EXPECT_NE(finished.out.find("line 48, certnum : bad row: no certnum"), std::string::npos);
  EXPECT_NE(finished.out.find("line 51, certnum : bad row: has 6 fields, the header 5"),
            std::string::npos);
  EXPECT_EQ(CountLines(finished.out), 50 + 2);
  EXPECT_EQ(simulator.PersonCount("T1"), 44u);
  EXPECT_FALSE(simulator.FindPerson("T1", "C-001")->facepic.empty());

  const std::string failures = ReadFile(dir + "/people.failed.csv");
  EXPECT_EQ(CountLines(failures), 1 + 6);
  EXPECT_EQ(failures.substr(0, failures.find('\n')), "certnum,name,num,cardtype,photo,error");

  finished = Ctl({"--json", "import", dir + "/people.failed.csv", "--sn", "T1", "--wait", "20"});
  EXPECT_EQ(finished.exitCode, 1);
  const std::string last =
      finished.out.substr(finished.out.rfind('\n', finished.out.size() - 2) + 1);
  EXPECT_EQ(last,
            "{\"summary\":{\"rows\":6,\"bad\":4,\"sent\":2,\"accepted\":2,\"refused\":0,"
            "\"succeeded\":0,\"without_result\":0,\"not_sent\":0,\"failed\":{\"101\":2},"
            "\"failures\":\"" +
                dir + "/people.failed.failed.csv\"}}\n");
}

TEST_F(FacepadctlTool, InterruptedImportStillReports) {
  const std::string dir = TemporaryDirectory();
  std::string csv = "certnum,name\n";
  for (int i = 1; i <= 20; ++i) csv += "C-" + std::to_string(i) + ",P\n";
  WriteFile(dir + "/people.csv", csv);
  simulator.AddFault(Fault::Delayed(300ms).On("facepad/adduser"));

  // Ctrl-C after about three of twenty requests.
  const Finished finished = RunToEnd(
      FACEPADCTL_PATH, Arguments({"import", dir + "/people.csv", "--sn", "T1", "--jobs", "1"}), 1);
  EXPECT_EQ(finished.exitCode, 1);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(finished.out, match,
                                std::regex("import: 20 rows: 0 bad, (\\d+) sent, .* (\\d+) "
                                           "succeeded, .*, (\\d+) not sent\n")))
      << finished.out;
  const int sent = std::stoi(match[1]);
  const int succeeded = std::stoi(match[2]);
  EXPECT_EQ(sent + std::stoi(match[3]), 20);
  EXPECT_LT(sent, 20);
  EXPECT_EQ(CountLines(ReadFile(dir + "/people.failed.csv")), 1 + 20 - succeeded);
}
