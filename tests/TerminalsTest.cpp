// Terminal administration and activation over real HTTP.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "JsonCreationFailure.h"
#include "LogCapture.h"
#include "RecordedCallback.h"
#include "TestAdaptor.h"

using namespace std::chrono_literals;
using FacepadSim::Fault;
using FacepadSim::JournalEntry;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;
using ZR_Framework::Face::TerminalFace_ZR;

namespace {
const std::string kControlPostFailed =
    "TerminalFace_ZR::ControlDeviceFace Call HttpPostRequest ret false";
const std::string kControlStatusFailed =
    "TerminalFace_ZR::ControlDeviceFace Call GetLastPostStatus ret false";
const std::string kJsonFailed = "TerminalFace_ZR::DelBiophotoZorvan jsonData == nullptr";
const std::string kControlData = R"({ "type": 73795, "enable": "true", "value": 0 })";

std::string Account(const std::string& user, const std::string& password,
                    const std::string& level) {
  return R"({ "username": ")" + user + R"(", "password": ")" + password + R"(", "userlevel": ")" +
         level + "\" }";
}

// The activation id of an "active" body sent by a bind.
std::string ActivationId(const std::string& body) {
  std::smatch match;
  return std::regex_search(body, match, std::regex("\tid=([0-9]+)\t")) ? match[1].str() : "";
}
}  // namespace

class Terminals : public ::testing::Test {
 protected:
  Terminals() { PointAt(adaptor, simulator); }
  std::vector<JournalEntry> Sent() const { return simulator.RequestsBesidesPolls(); }
  FacepadSim::FacepadSimulator simulator;
  TerminalFace_ZR adaptor;
  LogCapture log;
};

TEST_F(Terminals, BindActivatesAsAdministratorThenBinds) {
  struct Case {
    int channel;
    std::string sn, ip, port, user, password;
    std::string binding;
  };
  const Case cases[] = {
      {2, "SN1", "10.0.0.7", "8000", "admin", "pw",
       "SN=SN1\tch=2\tip=10.0.0.7\tport=8000\tusername=admin\tpassword=pw"},
      {0, "", "", "", "", "", "SN=\tch=0\tip=\tport=\tusername=\tpassword="},
      {-1, "SN1", "h", "p", "u", "p=w&", "SN=SN1\tch=-1\tip=h\tport=p\tusername=u\tpassword=p=w&"},
      {2147483647, "SN1", "h", "p", "u", "Administrator",
       "SN=SN1\tch=2147483647\tip=h\tport=p\tusername=u\tpassword=Administrator"},
  };
  for (const Case& c : cases) {
    simulator.ClearJournal();
    EXPECT_TRUE(adaptor.BindTerminalFace(c.sn, c.channel, c.ip, c.port, c.user, c.password));
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].path, "facepad/active");
    EXPECT_EQ(sent[1].path, "facepad/binding");
    const std::string id = ActivationId(sent[0].body);
    EXPECT_FALSE(id.empty()) << sent[0].body;
    EXPECT_EQ(sent[0].body, "SN=" + c.sn + "\tid=" + id +
                                "\tdata=" + Account(c.user, c.password, "Administrator"));
    EXPECT_EQ(sent[1].body, c.binding);
    EXPECT_EQ(sent[0].peer, sent[1].peer);  // one service, one connection
  }
  EXPECT_TRUE(log.Records().empty());
}

TEST_F(Terminals, BindsWithinOneSecondShareTheActivationId) {
  const std::time_t before = std::time(nullptr);
  adaptor.BindTerminalFace("A", 1, "", "", "", "");
  adaptor.BindTerminalFace("B", 1, "", "", "", "");
  const std::time_t after = std::time(nullptr);
  const auto activations = simulator.Requests("facepad/active");
  ASSERT_EQ(activations.size(), 2u);
  if (before == after) {
    EXPECT_EQ(ActivationId(activations[0].body), ActivationId(activations[1].body));
  }
}

TEST_F(Terminals, BindGoesAheadWhateverBecomesOfTheActivation) {
  simulator.AddFault(Fault::Answer(500).On("facepad/active").Times(1));
  EXPECT_TRUE(adaptor.BindTerminalFace("SN1", 1, "h", "p", "u", "pw"));
  EXPECT_EQ(log.Messages(), std::vector<std::string>{kControlStatusFailed});

  log.Clear();
  simulator.ClearJournal();
  {
    JsonCreationFailure fail(JsonCreationFailure::Container::Object, 1);
    EXPECT_TRUE(adaptor.BindTerminalFace("SN1", 1, "h", "p", "u", "pw"));
  }
  EXPECT_EQ(log.Messages(), std::vector<std::string>{kJsonFailed});
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].path, "facepad/binding");
  EXPECT_TRUE(simulator.FindTerminal("SN1")->bound);
}

TEST_F(Terminals, UnbindAndListenPortBodies) {
  EXPECT_TRUE(adaptor.UnBindTerminalFace("SN1"));
  EXPECT_TRUE(adaptor.UnBindTerminalFace(""));
  struct Case {
    std::string port, reset, body;
  };
  const Case cases[] = {{"", "", "port=\treset="},
                        {"10004", "1", "port=10004\treset=1"},
                        {"abc", "yes", "port=abc\treset=yes"},
                        {"70000", "-1", "port=70000\treset=-1"}};
  for (const Case& c : cases) {
    std::string port = c.port;
    std::string reset = c.reset;
    EXPECT_TRUE(adaptor.SetListenPortFace(port, reset));
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(reset, c.reset);
  }
  EXPECT_EQ(adaptor.GetRequestPort(), simulator.Port());
  const std::vector<std::string> expected = {"SN=SN1",
                                             "SN=",
                                             "port=\treset=",
                                             "port=10004\treset=1",
                                             "port=abc\treset=yes",
                                             "port=70000\treset=-1"};
  EXPECT_EQ(Bodies(Sent()), expected);
  EXPECT_EQ(simulator.ListenPortRequest()->first, "70000");
}

TEST_F(Terminals, ControlSendsTheFixedCommandWhateverItsLastArguments) {
  EXPECT_TRUE(adaptor.ControlDeviceFace("7", "SN1", "", "", ""));
  EXPECT_TRUE(adaptor.ControlDeviceFace("7", "SN1", "open", "door 2", "{\"type\": 1}"));
  EXPECT_TRUE(adaptor.ControlDeviceFace("", "", "x", "y", "z"));
  const std::vector<std::string> expected = {"SN=SN1\tid=7\tdata=" + kControlData,
                                             "SN=SN1\tid=7\tdata=" + kControlData,
                                             "SN=\tid=\tdata=" + kControlData};
  EXPECT_EQ(Bodies(Sent()), expected);
}

TEST_F(Terminals, ActivationBodies) {
  EXPECT_TRUE(adaptor.Active("1", "SN1", "op", "", "5"));
  EXPECT_TRUE(adaptor.ActivationStatus("2", "SN1"));
  EXPECT_TRUE(adaptor.ActivationStatus("", ""));
  const std::vector<std::string> expected = {"SN=SN1\tid=1\tdata=" + Account("op", "", "5"),
                                             "SN=SN1\tid=2", "SN=\tid="};
  EXPECT_EQ(Bodies(Sent()), expected);
}

TEST_F(Terminals, DocumentsThatCannotBeMadeSendNothing) {
  {
    JsonCreationFailure fail(JsonCreationFailure::Container::Object, 1);
    EXPECT_FALSE(adaptor.ControlDeviceFace("7", "SN1", "", "", ""));
  }
  {
    JsonCreationFailure fail(JsonCreationFailure::Container::Object, 1);
    EXPECT_FALSE(adaptor.Active("1", "SN1", "u", "p", "l"));
  }
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{kJsonFailed, kJsonFailed}));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(Terminals, EveryFailureLogsItsText) {
  struct Case {
    const char* name;
    std::function<bool(TerminalFace_ZR&)> call;
    std::string path;
    std::string postFailed;
    std::string statusFailed;
  };
  const Case cases[] = {
      {"bind", [](TerminalFace_ZR& a) { return a.BindTerminalFace("S", 1, "", "", "", ""); },
       "facepad/binding", "TerminalFace_ZR::BindTerminalFaceZorvan Call HttpPostRequest ret false",
       "TerminalFace_ZR::BindTerminalFaceZorvan Call GetLastPostStatus ret false"},
      {"unbind", [](TerminalFace_ZR& a) { return a.UnBindTerminalFace("S"); }, "facepad/unbinding",
       "TerminalFace_ZR::UnBindTerminalFaceZorvan Call HttpPostRequest ret false",
       "TerminalFace_ZR::UnBindTerminalFaceZorvan Call GetLastPostStatus ret false"},
      {"listen port",
       [](TerminalFace_ZR& a) {
         std::string port = "1", reset = "0";
         return a.SetListenPortFace(port, reset);
       },
       "facepad/setport", "TerminalFace_ZR::SetListenPortFaceZorvan Call HttpPostRequest ret false",
       "TerminalFace_ZR::SetListenPortFaceZorvan Call GetLastPostStatus ret false"},
      {"control", [](TerminalFace_ZR& a) { return a.ControlDeviceFace("1", "S", "", "", ""); },
       "facepad/controldevice", kControlPostFailed, kControlStatusFailed},
      {"active", [](TerminalFace_ZR& a) { return a.Active("1", "S", "u", "p", "l"); },
       "facepad/active", kControlPostFailed, kControlStatusFailed},
      {"activation status", [](TerminalFace_ZR& a) { return a.ActivationStatus("1", "S"); },
       "facepad/activationstatus", kControlPostFailed, kControlStatusFailed},
      {"status", [](TerminalFace_ZR& a) { return a.GetTerminalStatusFace("S"); },
       "facepad/getterminalstatus",
       "TerminalFace_ZR::GetTerminalStatusFaceZorvan Call HttpPostRequest ret false",
       "TerminalFace_ZR::GetTerminalStatusFaceZorvan Call GetLastPostStatus ret false"},
  };
  for (const Case& c : cases) {
    for (int status : {201, 204, 500}) {
      log.Clear();
      simulator.AddFault(Fault::Answer(status).On(c.path).Times(1));
      EXPECT_FALSE(c.call(adaptor)) << c.name << " " << status;
      EXPECT_EQ(log.Messages(), std::vector<std::string>{c.statusFailed}) << c.name;
    }
    log.Clear();
    simulator.AddFault(Fault::CloseConnection().On(c.path));
    EXPECT_FALSE(c.call(adaptor)) << c.name;
    EXPECT_EQ(log.Messages(), std::vector<std::string>{c.postFailed}) << c.name;
    {
      NoLogger silence;
      EXPECT_FALSE(c.call(adaptor)) << c.name;
    }
    simulator.ClearFaults();
  }
}

// Results of terminal requests arrive through the poller with the simulator's codes.
TEST(TerminalsEndToEnd, ResultsCarryTheSimulatorsCodes) {
  using Results = RecordedCallback<0>;
  Results::Reset();
  FacepadSim::FacepadSimulator simulator;
  FastPollingAdaptor adaptor(10ms);
  PointAt(adaptor, simulator);
  adaptor.SetResultCallbackFace(Results::Record);

  ASSERT_TRUE(adaptor.ActivationStatus("1", "T1"));               // not yet activated
  ASSERT_TRUE(adaptor.ControlDeviceFace("2", "T1", "", "", ""));  // not yet bound
  ASSERT_TRUE(adaptor.BindTerminalFace("T1", 1, "10.0.0.9", "8000", "admin", "pw"));
  ASSERT_TRUE(adaptor.ActivationStatus("3", "T1"));
  ASSERT_TRUE(adaptor.ControlDeviceFace("4", "T1", "", "", ""));
  ASSERT_TRUE(adaptor.GetTerminalStatusFace("T1"));
  ASSERT_TRUE(adaptor.UnBindTerminalFace("T1"));
  EXPECT_FALSE(adaptor.GetTerminalStatusFace("T1"));

  const std::string activationId = ActivationId(simulator.Requests("facepad/active").at(0).body);
  ASSERT_TRUE(WaitFor([&] {
    const auto deliveries = Results::Deliveries();
    return !deliveries.empty() && deliveries.back().count("T1") != 0 &&
           deliveries.back().at("T1").size() == 5;
  }));
  EXPECT_EQ(Results::Deliveries().back().at("T1"),
            (ParamMap{{"1", "105"}, {"2", "106"}, {activationId, "0"}, {"3", "0"}, {"4", "0"}}));
  const auto terminal = simulator.FindTerminal("T1");
  EXPECT_EQ(terminal->accountLevel, "Administrator");
  EXPECT_EQ(terminal->channel, "1");
  EXPECT_EQ(terminal->ip, "10.0.0.9");
}
