// Every operation over real HTTP: the exact bytes on the wire, the texts it
// logs when it fails, and its results coming back through the poller.
#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <functional>
#include <regex>

#include "JsonCreationFailure.h"
#include "LogCapture.h"
#include "Operations.h"
#include "RecordedCallback.h"
#include "TestAdaptor.h"

using namespace std::chrono_literals;
using FacepadSim::Fault;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;
using ZR_Framework::Face::TerminalFace_ZR;
using Container = JsonCreationFailure::Container;

using namespace operations;

class EveryOperation : public ::testing::Test {
 protected:
  EveryOperation() {
    PointAt(adaptor, simulator);
    simulator.SetTerminalStatusAnswer(kConnectedAnswer);
  }
  std::string LastBody(const std::string& path) const {
    const auto requests = simulator.Requests(path);
    return requests.empty() ? "<none>" : requests.back().body;
  }
  LogCapture log;  // installed before the poller's thread starts, as hosts must
  FacepadSim::FacepadSimulator simulator;
  TerminalFace_ZR adaptor;
};

TEST_F(EveryOperation, EachSendsExactlyItsBody) {
  for (const Operation& operation : AllOperations()) {
    EXPECT_TRUE(operation.call(adaptor)) << operation.name;
    EXPECT_EQ(LastBody(operation.path), operation.body) << operation.name;
  }
  EXPECT_TRUE(log.Records().empty());
}

// Each failure's own text is checked under every fault in FaultInjectionTest.
TEST_F(EveryOperation, FailuresLogFromDistinctLinesOrNotAtAll) {
  for (const Operation& operation : AllOperations()) {
    simulator.AddFault(Fault::CloseConnection().On(operation.path));
    NoLogger silence;
    EXPECT_FALSE(operation.call(adaptor)) << operation.name;
    simulator.ClearFaults();
  }
  // Where the two failures share a text, they still come from different lines.
  log.Clear();
  simulator.AddFault(Fault::Answer(500).On("facepad/adduser").Times(1));
  Find("AddUser").call(adaptor);
  adaptor.SetRequestPort(UnusedPort());
  Find("AddUser").call(adaptor);
  ASSERT_EQ(log.Records().size(), 2u);
  EXPECT_NE(log.Records()[0].line, log.Records()[1].line);
}

// A JSON document that cannot be made (memory ran out) sends nothing.
TEST_F(EveryOperation, DocumentsThatCannotBeMadeSendNothing) {
  const std::string noRecord = "TerminalFace_ZR::AddUserZorvan jsonData == nullptr";
  const std::tuple<const char*, Container, int, std::string> cases[] = {
      {"AddUser", Container::Object, 1, noRecord},
      {"AddUser", Container::Object, 2, noRecord},
      {"AddUser", Container::Array, 1, noRecord},
      {"SetUser", Container::Array, 1, noRecord},
      {"DelUser", Container::Object, 1, noRecord},
      {"SetBiophoto", Container::Object, 1,
       "TerminalFace_ZR::SetBiophotoZorvan jsonData == nullptr"},
      {"ControlDeviceFace", Container::Object, 1, kNoDocument},
      {"Active", Container::Object, 1, kNoDocument},
  };
  for (const auto& [name, container, nth, text] : cases) {
    log.Clear();
    JsonCreationFailure fail(container, nth);
    EXPECT_FALSE(Find(name).call(adaptor)) << name;
    EXPECT_EQ(log.Messages(), std::vector<std::string>{text}) << name;
    EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, TerminalFace_ZR::Failure::NoDocument) << name;
  }
  EXPECT_TRUE(simulator.RequestsBesidesPolls().empty());
}

// A value holding a tab would forge fields and one holding a NUL would be cut:
// the operation refuses it, sends nothing (a bind not even its activation),
// and says which field.
TEST_F(EveryOperation, ValuesThatWouldBreakTheBodyAreRefused) {
  const std::string tab = "FP-1\tid=forged\tdata={}";
  const std::string nul("C-1\0junk", 8);
  // A person operation whose map holds `value` under `key`, or whose id or
  // serial number is `value` when `key` names one.
  using PersonOperation =
      bool (TerminalFace_ZR::*)(const std::string&, const std::string&, ParamMap&);
  const auto person = [](PersonOperation operation, const char* key, const std::string& value) {
    return [=](TerminalFace_ZR& a) {
      ParamMap p = kAnn;
      if (key == std::string("id")) return (a.*operation)(value, "SN1", p);
      if (key == std::string("SN")) return (a.*operation)("7", value, p);
      p[key] = value;
      return (a.*operation)("7", "SN1", p);
    };
  };
  struct Refusal {
    const char* operation;
    const char* field;  // as sent
    std::function<bool(TerminalFace_ZR&)> call;
  };
  const Refusal refusals[] = {
      {"AddUser", "SN", person(&TerminalFace_ZR::AddUser, "SN", tab)},
      {"AddUser", "id", person(&TerminalFace_ZR::AddUser, "id", nul)},
      {"AddUser", "certnum", person(&TerminalFace_ZR::AddUser, "certnum", nul)},
      {"AddUser", "facepic", person(&TerminalFace_ZR::AddUser, "facepic", nul)},
      {"AddUser", "facepic", person(&TerminalFace_ZR::AddUser, "facepic", tab)},
      {"SetUser", "type", person(&TerminalFace_ZR::SetUser, "cardtype", nul)},
      {"SetUser", "enablecover", person(&TerminalFace_ZR::SetUser, "enablecover", nul)},
      {"DelUser", "certnum", person(&TerminalFace_ZR::DelUser, "certnum", nul)},
      {"SetBiophoto", "content", person(&TerminalFace_ZR::SetBiophoto, "content", nul)},
      {"BindTerminalFace", "ip",
       [&](TerminalFace_ZR& a) { return a.BindTerminalFace("SN1", 1, tab, "80", "u", "p"); }},
      {"BindTerminalFace", "password",
       [&](TerminalFace_ZR& a) { return a.BindTerminalFace("SN1", 1, "ip", "80", "u", nul); }},
      {"UnBindTerminalFace", "SN", [&](TerminalFace_ZR& a) { return a.UnBindTerminalFace(tab); }},
      {"SetListenPortFace", "reset",
       [&](TerminalFace_ZR& a) {
         std::string port = "10004";
         std::string reset = tab;
         return a.SetListenPortFace(port, reset);
       }},
      {"ControlDeviceFace", "id",
       [&](TerminalFace_ZR& a) { return a.ControlDeviceFace(tab, "SN1", "", "", ""); }},
      {"Active", "userlevel",
       [&](TerminalFace_ZR& a) { return a.Active("7", "SN1", "op", "pw", nul); }},
      {"ActivationStatus", "SN", [&](TerminalFace_ZR& a) { return a.ActivationStatus("7", nul); }},
      {"GetTerminalStatusFace", "SN",
       [&](TerminalFace_ZR& a) { return a.GetTerminalStatusFace(tab); }},
  };
  for (const Refusal& refusal : refusals) {
    log.Clear();
    const std::string row = std::string(refusal.operation) + " " + refusal.field;
    EXPECT_FALSE(refusal.call(adaptor)) << row;
    EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, TerminalFace_ZR::Failure::RefusedValue)
        << row;
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>{"TerminalFace_ZR::" + std::string(refusal.operation) +
                                       " refused: field " + refusal.field + " holds a tab or NUL"})
        << row;
  }
  EXPECT_TRUE(simulator.RequestsBesidesPolls().empty());
  ParamMap sparse{{"certnum", nul}};
  EXPECT_FALSE(adaptor.AddUser("7", "SN1", sparse));
  EXPECT_EQ(sparse.size(), 11u);  // the record's keys are added all the same
}

TEST_F(EveryOperation, PersonMapsAndArguments) {
  const std::pair<ParamMap, std::string> pictures[] = {
      {{{"facepic", "/9j/4A=="}}, "\tfacepic=/9j/4A=="},
      {{{"facepic", ""}}, "\tfacepic="},
      {{{"facepic", "QUJD\r\nRUZH\n"}}, "\tfacepic=QUJD\r\nRUZH\n"},  // line-wrapped base64
  };
  for (const auto& [extra, tail] : pictures) {
    ParamMap person = kAnn;
    person.insert(extra.begin(), extra.end());
    ASSERT_TRUE(adaptor.AddUser("7", "SN1", person));
    EXPECT_EQ(LastBody("facepad/adduser"), "SN=SN1\tid=7\tdata=" + kAnnRecord + tail);
    ASSERT_TRUE(adaptor.SetUser("7", "SN1", person));
    EXPECT_EQ(LastBody("facepad/setuser").find("facepic"), std::string::npos);
  }
  ParamMap person = kAnn;
  ASSERT_TRUE(adaptor.AddUser("i\r\nd", "S&N=\"1\" \xC3\xBC", person));
  EXPECT_EQ(LastBody("facepad/adduser"), "SN=S&N=\"1\" \xC3\xBC\tid=i\r\nd\tdata=" + kAnnRecord);
  EXPECT_EQ(person.count("facepic"), 0u);  // looked up, never inserted
  EXPECT_EQ(person.size(), 11u);

  ParamMap empty;
  ASSERT_TRUE(adaptor.DelUser("", "", empty));
  EXPECT_EQ(LastBody("facepad/deluser"), "SN=\tid=\tdata={ \"certnum\": \"\" }");
  EXPECT_EQ(empty, (ParamMap{{"certnum", ""}}));
  ParamMap photo{{"other", "o"}};
  ASSERT_TRUE(adaptor.SetBiophoto("1", "SN1", photo));
  EXPECT_EQ(LastBody("facepad/setfacepic"),
            "SN=SN1\tid=1\tdata="
            R"({ "certnum": "", "size": 0, "content": "" })");
  EXPECT_EQ(photo, (ParamMap{{"other", "o"}, {"certnum", ""}, {"size", ""}, {"content", ""}}));

  std::string port = "70000";
  std::string reset = "x";
  ASSERT_TRUE(adaptor.SetListenPortFace(port, reset));
  EXPECT_EQ(port + reset, "70000x");
  EXPECT_EQ(adaptor.GetRequestPort(), simulator.Port());
  ASSERT_TRUE(adaptor.ControlDeviceFace("", "", "", "", ""));
  EXPECT_EQ(LastBody("facepad/controldevice"), "SN=\tid=\tdata=" + kControl);
}

TEST_F(EveryOperation, BindActivatesAsAdministratorFirst) {
  const std::pair<int, std::string> channels[] = {
      {0, "SN=\tch=0\tip=\tport=\tusername=\tpassword="},
      {INT_MAX, "SN=\tch=2147483647\tip=\tport=\tusername=\tpassword="}};
  for (const auto& [channel, binding] : channels) {
    simulator.ClearJournal();
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(adaptor.BindTerminalFace("", channel, "", "", "", ""));
    ASSERT_TRUE(adaptor.BindTerminalFace("", channel, "", "", "", ""));
    const auto sent = simulator.RequestsBesidesPolls();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].path + " " + sent[1].path, "facepad/active facepad/binding");
    EXPECT_EQ(sent[0].peer, sent[1].peer);
    const std::string id = ActivationId(sent[0].body);
    EXPECT_EQ(sent[0].body, "SN=\tid=" + id + "\tdata=" + Account("", "", "Administrator"));
    EXPECT_EQ(sent[1].body, binding);
    // The generator is reseeded with the time: binds in one second share the id.
    if (std::time(nullptr) == before) {
      EXPECT_EQ(ActivationId(sent[2].body), id);
    }
  }
  // Whatever becomes of the activation, the binding goes ahead.
  simulator.AddFault(Fault::Answer(500).On("facepad/active").Times(1));
  EXPECT_TRUE(Find("BindTerminalFace").call(adaptor));
  EXPECT_EQ(log.Messages(), std::vector<std::string>{kControlStatus});
  log.Clear();
  simulator.ClearJournal();
  JsonCreationFailure fail(Container::Object, 1);
  EXPECT_TRUE(Find("BindTerminalFace").call(adaptor));
  EXPECT_EQ(log.Messages(), std::vector<std::string>{kNoDocument});
  EXPECT_EQ(simulator.RequestsBesidesPolls().size(), 1u);
}

// Requests' results come back through the poller with the simulator's codes.
TEST(OperationResults, ArriveWithTheSimulatorsCodes) {
  using Results = RecordedCallback<0>;
  Results::Reset(/*emptyTheMap=*/true);
  FacepadSim::FacepadSimulator simulator;
  FastPollingAdaptor adaptor(10ms);
  PointAt(adaptor, simulator);
  adaptor.SetResultCallbackFace(Results::Record);

  ParamMap ann = kAnn;
  ann["facepic"] = std::string(std::size_t{200} * 1024, 'A');
  ParamMap photo{{"certnum", "C-1"}, {"size", "3"}, {"content", "QUJD"}};
  ParamMap stranger{{"certnum", "C-9"}};
  ParamMap unnamed;
  ASSERT_TRUE(adaptor.ActivationStatus("1", "T1"));
  ASSERT_TRUE(adaptor.ControlDeviceFace("2", "T1", "", "", ""));
  ASSERT_TRUE(adaptor.BindTerminalFace("T1", 1, "10.0.0.9", "8000", "admin", "pw"));
  ASSERT_TRUE(adaptor.ActivationStatus("3", "T1"));
  ASSERT_TRUE(adaptor.ControlDeviceFace("4", "T1", "", "", ""));
  ASSERT_TRUE(adaptor.AddUser("5", "T1", ann));
  ASSERT_TRUE(adaptor.AddUser("6", "T1", ann));
  ASSERT_TRUE(adaptor.SetUser("7", "T1", stranger));
  ASSERT_TRUE(adaptor.SetBiophoto("8", "T1", photo));
  ASSERT_TRUE(adaptor.AddUser("9", "T1", unnamed));
  ASSERT_TRUE(adaptor.DelUser("10", "T1", ann));
  ASSERT_TRUE(adaptor.DelUser("11", "T1", ann));
  const std::string activation = ActivationId(simulator.Requests("facepad/active").at(0).body);

  ParamMap seen;
  ASSERT_TRUE(WaitFor([&] {
    for (const ResultMap& delivery : Results::Deliveries()) {
      for (const auto& [sn, outcomes] : delivery) seen.insert(outcomes.begin(), outcomes.end());
    }
    return seen.size() == 12;
  }));
  EXPECT_EQ(seen, (ParamMap{{"1", "105"},
                            {"2", "106"},
                            {activation, "0"},
                            {"3", "0"},
                            {"4", "0"},
                            {"5", "0"},
                            {"6", "101"},
                            {"7", "102"},
                            {"8", "0"},
                            {"9", "103"},
                            {"10", "0"},
                            {"11", "102"}}));
  EXPECT_EQ(simulator.FindTerminal("T1")->accountLevel, "Administrator");
  EXPECT_EQ(simulator.PersonCount("T1"), 0u);
}
