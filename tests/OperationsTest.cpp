// Every operation over real HTTP: the exact bytes on the wire, what it
// refuses, and its results coming back through the poller. (The texts it
// logs when the service fails it: FaultInjectionTest.)
#include <climits>
#include <cstdlib>
#include <ctime>
#include <functional>

#include "Operations.h"
#include "TestAdaptor.h"

using namespace operations;  // ParamMap and TerminalFace_ZR too
using FacepadSim::Fault;
using Failure = TerminalFace_ZR::Failure;

using EveryOperation = AdaptorTest;

// Each operation sends exactly its body, and logs nothing when it succeeds.
// (Its texts when it fails: FaultInjectionTest.)
TEST_F(EveryOperation, EachSendsExactlyItsBody) {
  for (const Operation& operation : AllOperations()) {
    SCOPED_TRACE(operation.name);
    EXPECT_TRUE(operation.Call(adaptor));
    EXPECT_EQ(LastBody(operation.path), operation.body);
    EXPECT_TRUE(log.Messages().empty());
  }
  // SetInitParamFace sends nothing, and says why, after a call that ended
  // otherwise, so that the reason seen is its own. (DelBiophoto: FactoryTest.)
  ParamMap photo;
  EXPECT_FALSE(adaptor.SetInitParamFace(photo));
  EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, Failure::NotSupported);
}

// A value holding a tab would forge fields and one holding a NUL would be cut:
// the operation refuses it, sends nothing (a bind not even its activation),
// and says which field.
TEST_F(EveryOperation, ValuesThatWouldBreakTheBodyAreRefused) {
  const std::string tab = "FP-1\tid=forged\tdata={}";
  const std::string nul("C-1\0junk", 8);
  using T = TerminalFace_ZR;
  ParamMap person;  // the host's map, Ann's again before each call
  std::string port = "10004";
  std::string reset = tab;
  const auto With = [&](const char* key, const std::string& value) -> ParamMap& {
    person[key] = value;
    return person;
  };
  // Operation, the field as sent, and a call with a bad value in that field.
  const std::tuple<const char*, const char*, std::function<bool(T&)>> refusals[] = {
      {"AddUser", "SN", [&](T& a) { return a.AddUser("7", tab, person); }},
      {"AddUser", "facepic", [&](T& a) { return a.AddUser("7", "SN1", With("facepic", tab)); }},
      {"SetUser", "type", [&](T& a) { return a.SetUser("7", "SN1", With("cardtype", nul)); }},
      {"DelUser", "SN", [&](T& a) { return a.DelUser("7", tab, person); }},
      {"BindTerminalFace", "password",
       [&](T& a) { return a.BindTerminalFace("SN1", 1, "ip", "80", "u", nul); }},
      {"UnBindTerminalFace", "SN", [&](T& a) { return a.UnBindTerminalFace(tab); }},
      {"SetListenPortFace", "reset", [&](T& a) { return a.SetListenPortFace(port, reset); }},
      {"ControlDeviceFace", "id",
       [&](T& a) { return a.ControlDeviceFace(tab, "SN1", "", "", ""); }},
      {"Active", "userlevel", [&](T& a) { return a.Active("7", "SN1", "op", "pw", nul); }},
      {"ActivationStatus", "id", [&](T& a) { return a.ActivationStatus(tab, "SN1"); }},
      {"GetTerminalStatusFace", "SN", [&](T& a) { return a.GetTerminalStatusFace(tab); }},
  };
  for (const auto& [operation, field, call] : refusals) {
    person = kAnn;
    log.Clear();
    EXPECT_FALSE(call(adaptor)) << operation << " " << field;
    EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, Failure::RefusedValue) << operation;
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>{"TerminalFace_ZR::" + std::string(operation) +
                                       " refused: field " + field + " holds a tab or NUL"});
  }
  EXPECT_TRUE(simulator.RequestsBesidesPolls().empty());
}

// The host's maps gain the keys the records read; the photo goes after the
// record on an add only; ids and serial numbers go out as given.
TEST_F(EveryOperation, PersonMapsGainTheRecordsKeys) {
  ParamMap person = kAnn;
  person["facepic"] = "QUJD\r\nRUZH\n";  // line-wrapped base64 goes as it is
  ASSERT_TRUE(adaptor.AddUser("i\r\nd", "S&N=\"1\" \xC3\xBC", person));
  EXPECT_EQ(LastBody("facepad/adduser"), "SN=S&N=\"1\" \xC3\xBC\tid=i\r\nd\tdata=" +
                                             AnnRecord("2") + "\tfacepic=QUJD\r\nRUZH\n");
  EXPECT_EQ(person.size(), 12u);

  ParamMap bare{{"name", "Ann"}};
  ASSERT_TRUE(adaptor.AddUser("7", "SN1", bare));
  EXPECT_EQ(bare.size(), 11u);  // the record's keys: "facepic" looked up, never inserted
  ParamMap invalid{{"certnum", std::string("C\0", 2)}};
  EXPECT_FALSE(adaptor.AddUser("7", "SN1", invalid));
  EXPECT_EQ(invalid.size(), 11u);  // added even when the value is refused

  ParamMap empty;
  ASSERT_TRUE(adaptor.DelUser("", "", empty));
  EXPECT_EQ(LastBody("facepad/deluser"), "SN=\tid=\tdata={ \"certnum\": \"\" }");
  EXPECT_EQ(empty, (ParamMap{{"certnum", ""}}));
  ParamMap photo{{"other", "o"}};
  ASSERT_TRUE(adaptor.SetBiophoto("1", "SN1", photo));
  EXPECT_EQ(LastBody("facepad/setfacepic"),
            "SN=SN1\tid=1\tdata={ \"certnum\": \"\", \"size\": 0, \"content\": \"\" }");
  EXPECT_EQ(photo, (ParamMap{{"other", "o"}, {"certnum", ""}, {"size", ""}, {"content", ""}}));
}

TEST_F(EveryOperation, BindActivatesAsAdministratorFirst) {
  // The host's rand() sequence goes on as if no bind had drawn an id.
  std::srand(42);
  const int hostsFirst = std::rand();
  const int hostsSecond = std::rand();
  std::srand(42);
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(std::rand(), hostsFirst);
  ASSERT_TRUE(adaptor.BindTerminalFace("", INT_MAX, "", "", "", ""));
  ASSERT_TRUE(adaptor.BindTerminalFace("", INT_MAX, "", "", "", ""));
  EXPECT_EQ(std::rand(), hostsSecond);
  const auto sent = simulator.RequestsBesidesPolls();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].path + " " + sent[1].path, "facepad/active facepad/binding");
  EXPECT_EQ(sent[0].peer, sent[1].peer);
  const std::string id = ActivationId(sent[0].body);
  EXPECT_EQ(sent[0].body, "SN=\tid=" + id + "\tdata=" + Account("", "", "Administrator"));
  EXPECT_EQ(sent[1].body, "SN=\tch=2147483647\tip=\tport=\tusername=\tpassword=");
  // Its generator is seeded with the time: binds in one second share the id.
  if (std::time(nullptr) == before) {
    EXPECT_EQ(ActivationId(sent[2].body), id);
  }

  // Whatever becomes of the activation, the binding goes ahead.
  simulator.AddFault(Fault::Answer(500).On("facepad/active").Times(1));
  log.Clear();
  EXPECT_TRUE(Find("BindTerminalFace").Call(adaptor));
  EXPECT_EQ(log.Messages(),
            std::vector<std::string>{Text("ControlDeviceFace", "GetLastPostStatus")});
}

// Requests' results come back through the poller with the simulator's codes.
TEST_F(EveryOperation, ResultsArriveWithTheSimulatorsCodes) {
  ParamMap ann = kAnn;
  ann["facepic"] = std::string(std::size_t{200} * 1024, 'A');
  ParamMap stranger{{"certnum", "C-9"}};
  ASSERT_TRUE(adaptor.ControlDeviceFace("1", "T1", "", "", ""));
  ASSERT_TRUE(adaptor.BindTerminalFace("T1", 1, "10.0.0.9", "8000", "admin", "pw"));
  ASSERT_TRUE(adaptor.ControlDeviceFace("2", "T1", "", "", ""));
  ASSERT_TRUE(adaptor.AddUser("3", "T1", ann));
  ASSERT_TRUE(adaptor.AddUser("4", "T1", ann));
  ASSERT_TRUE(adaptor.SetUser("5", "T1", stranger));
  ASSERT_TRUE(adaptor.DelUser("6", "T1", ann));
  const std::string activation = ActivationId(simulator.Requests("facepad/active").at(0).body);
  ParamMap expected{{"1", "106"}, {"2", "0"}, {"3", "0"}, {"4", "101"}, {"5", "102"}, {"6", "0"}};
  expected[activation] = "0";
  // The map accumulates: the last delivery holds every result.
  ASSERT_TRUE(WaitFor([&] {
    return !results.Deliveries().empty() && results.Deliveries().back().at("T1") == expected;
  })) << testing::PrintToString(results.Deliveries());
}

// The status query's answer decides its return: no entry connected, an empty
// list (logged as a refusal), or an unreadable answer. (A connected entry:
// EachSendsExactlyItsBody, and its Failure::None: FaultInjectionTest.)
TEST_F(EveryOperation, StatusQueryReadsTheAnswerAndLogsWhatItCannot) {
  const std::string emptyList = Text("GetTerminalStatusFaceZorvan", "GetLastPostStatus");
  const std::string unreadable = "TerminalFace_ZR::JsonDataToMapData jsonData array is nullptr";
  const std::tuple<std::string, std::vector<std::string>, Failure> cases[] = {
      {"Data=[]", {emptyList}, Failure::NotConnected},
      {"Data=[ ]", {}, Failure::NotConnected},
      {R"({"Data":[{"connstatus":1}]})", {unreadable}, Failure::UnreadableAnswer},
  };
  for (const auto& [answer, logged, failure] : cases) {
    log.Clear();
    simulator.Model().SetTerminalStatusAnswer(answer);
    EXPECT_EQ(adaptor.GetTerminalStatusFace("T1"), failure == Failure::None) << answer;
    EXPECT_EQ(log.Messages(), logged) << answer;
    EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, failure) << answer;
  }
}
