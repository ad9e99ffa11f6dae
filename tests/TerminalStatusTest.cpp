// Reading the connection status answer, as a function and over HTTP.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "TerminalStatus.h"
#include "TestAdaptor.h"

using FacepadSim::Fault;
using ZR_Framework::Face::ReadTerminalStatus;
using ZR_Framework::Face::TerminalFace_ZR;
using ZR_Framework::Face::TerminalStatus;

TEST(TerminalStatusAnswer, Cases) {
  struct Case {
    std::string answer;
    TerminalStatus status;
  };
  const auto connected = TerminalStatus::Connected;
  const auto notConnected = TerminalStatus::NotConnected;
  const auto empty = TerminalStatus::EmptyList;
  const auto unreadable = TerminalStatus::Unreadable;
  const Case cases[] = {
      {R"(Data=[{"sn":"A","connstatus":1}])", connected},
      {R"(Data:[{"connstatus":0},{"connstatus":-1},{},{"connstatus":2}])", connected},
      {R"(Data=[{"connstatus":0},{"connstatus":-1},{"sn":"A"}])", notConnected},
      {R"(Data=[{"sn":"someone else","connstatus":1}])", connected},
      {R"(Data=[1, null, "x", {"connstatus":3}])", connected},
      {R"(Data=[{"connstatus":"1"}])", connected},    // a text that reads as a number
      {R"(MetaData=[{"connstatus":1}])", connected},  // inside a longer word
      {R"(head Data=[{"connstatus":1}] tail)", connected},
      {std::string("Data=[{\"connstatus\":1}]\0junk", 27), connected},
      {"Data=[ ]", notConnected},
      {"Data:[]", empty},
      {"Data=[]trailing", empty},
      {R"({"Data":[{"connstatus":1}]})", unreadable},  // the quote is the separator
      {R"(Data={"connstatus":1})", unreadable},
      {"Data=5", unreadable},
      {"Data=[", unreadable},
      {"Data=", unreadable},
      {"Data", unreadable},
      {"Dat", unreadable},
      {"", unreadable},
      {"data=[{\"connstatus\":1}]", unreadable},
      {"Data=" + std::string(5000, '[') + std::string(5000, ']'), unreadable},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadTerminalStatus(c.answer), c.status) << c.answer;
}

TEST(TerminalStatusOverHttp, AnswersAndTheirLogs) {
  FacepadSim::FacepadSimulator simulator;
  TerminalFace_ZR adaptor;
  PointAt(adaptor, simulator);
  LogCapture log;
  const std::string emptyList =
      "TerminalFace_ZR::GetTerminalStatusFaceZorvan Call GetLastPostStatus ret false";
  const std::string unreadable = "TerminalFace_ZR::JsonDataToMapData jsonData array is nullptr";

  EXPECT_FALSE(adaptor.GetTerminalStatusFace("T1"));  // not bound at the simulator
  ASSERT_TRUE(adaptor.BindTerminalFace("T1", 0, "", "", "", ""));
  EXPECT_TRUE(adaptor.GetTerminalStatusFace("T1"));
  EXPECT_TRUE(log.Records().empty());

  using Failure = TerminalFace_ZR::Failure;
  struct Case {
    std::string answer;
    std::vector<std::string> logged;
    Failure failure;  // the reason a host is given
    bool connected;
  };
  const Case cases[] = {
      {R"(Data=[{"sn":"X","connstatus":1}])", {}, Failure::None, true},
      {"Data=[]", {emptyList}, Failure::NotConnected, false},
      {"Data=[ ]", {}, Failure::NotConnected, false},
      {R"({"Data":[{"connstatus":1}]})", {unreadable}, Failure::UnreadableAnswer, false},
      {"nothing", {unreadable}, Failure::UnreadableAnswer, false},
  };
  for (const Case& c : cases) {
    log.Clear();
    simulator.SetTerminalStatusAnswer(c.answer);
    EXPECT_EQ(adaptor.GetTerminalStatusFace("T1"), c.connected) << c.answer;
    EXPECT_EQ(log.Messages(), c.logged) << c.answer;
    EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, c.failure) << c.answer;
    NoLogger silence;
    EXPECT_EQ(adaptor.GetTerminalStatusFace("T1"), c.connected) << c.answer;
  }

  simulator.AddFault(Fault::Answer(201, R"(Data=[{"connstatus":1}])").Times(1));
  EXPECT_FALSE(adaptor.GetTerminalStatusFace("T1"));  // a valid list, but not a 200
}
