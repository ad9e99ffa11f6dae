// How the adaptor reads the service's answers: the list in a result answer,
// the results in it, and the connection status answer.
#include "JsonDocument.h"
#include "ResultPoller.h"
#include "TerminalStatus.h"
#include "TestAdaptor.h"

using ZR_Framework::Face::FrameResultAnswer;
using ZR_Framework::Face::ReadTerminalStatus;
using ZR_Framework::Face::ResultFrame;
using ZR_Framework::Face::ResultMap;
using ZR_Framework::Face::TerminalStatus;
using Failure = ZR_Framework::Face::TerminalFace_ZR::Failure;

namespace {
// An element whose "data" is the entry list's text, as the service sends it.
std::string Element(const std::string& sn, const std::string& data) {
  const ZR_Framework::Face::JsonDocument text(json_object_new_string(data.c_str()));
  return R"({"SN": ")" + sn + R"(", "data": )" + json_object_to_json_string(text.get()) + "}";
}
}  // namespace

// Each element replaces the results of its serial number and keeps the rest;
// what cannot be read is skipped, some of it logged.
TEST(ResultList, MergesWhatItCanReadAndLogsWhatItCannot) {
  const std::string twoEntries = R"([{"id":"7","return":"0"},{"id":"8","return":"1"}])";
  const ResultMap earlier = {{"A1", {{"1", "9"}}}, {"B2", {{"5", "0"}}}};
  struct Case {
    std::string list;
    ResultMap after;  // the results, `earlier` before
    std::vector<std::string> logged = {};
    bool stored = true;
  };
  const Case cases[] = {
      {"[" + Element("A1", twoEntries) + "]",
       {{"A1", {{"7", "0"}, {"8", "1"}}}, {"B2", {{"5", "0"}}}}},
      {"[" + Element("A1", "[]") + "]", {{"A1", {}}, {"B2", {{"5", "0"}}}}, {}, false},
      {"[" + Element("A1", "nope") + "," + Element("B2", twoEntries) + "]",
       {{"A1", {{"1", "9"}}}, {"B2", {{"7", "0"}, {"8", "1"}}}},
       {"TerminalFace_ZR::JsonDataToMapData jsonDataRet == nullptr"}},
      {"[" + Element("A1", R"([{"id":"7","return":"0"},{"id":"7","return":"3"}])") + "," +
           Element("B2", R"([{"id":"1","return":"0"}])") + "," +
           Element("B2", R"([{"id":"2","return":"0"}])") + "]",
       {{"A1", {{"7", "3"}}}, {"B2", {{"1", "0"}, {"2", "0"}}}}},
      {"result", earlier, {"TerminalFace_ZR::JsonDataToMapData jsonDataSn == nullptr"}, false},
      {R"([1, "x", null, [], true, )" +
           Element("A1", R"([1, null, "x", {"id":"7","return":"0"}])") + "]",
       {{"A1", {{"7", "0"}}}, {"B2", {{"5", "0"}}}}},
      {R"([{"SN":"A1","data":[{"id":"7","return":"0"}]}])",  // an array, not its text
       {{"A1", {{"7", "0"}}}, {"B2", {{"5", "0"}}}}},
      {R"([{"SN":12,"data":"[{\"id\":7,\"return\":0},{\"return\":\"x\"}]"}])",  // read as text
       {{"A1", {{"1", "9"}}}, {"B2", {{"5", "0"}}}, {"12", {{"7", "0"}, {"", "x"}}}}},
  };
  ZR_Framework::Face::TerminalFace_ZR adaptor;
  for (const Case& c : cases) {
    LogCapture log;
    ResultMap results = earlier;
    EXPECT_EQ(adaptor.JsonDataToMapData(c.list, results), c.stored) << c.list;
    EXPECT_EQ(results, c.after) << c.list;
    EXPECT_EQ(log.Messages(), c.logged) << c.list;
    EXPECT_EQ(ZR_Framework::Face::TerminalFace_ZR::LastFailure().failure,
              c.list == "result" ? Failure::UnreadableAnswer : Failure::None);
  }
}

TEST(ResultFraming, FindsTheArrayAfterTheFirstWord) {
  // The answer, its frame, and the list found.
  const std::tuple<std::string, ResultFrame, std::string> cases[] = {
      {R"(result=[{"SN":"A1"}])", ResultFrame::List, R"([{"SN":"A1"}])"},
      {"result:[1]", ResultFrame::List, "[1]"},
      {"123456[1]", ResultFrame::None, ""},       // no word, whatever follows
      {"xresult=[1]", ResultFrame::List, "[1]"},  // inside a longer word
      {"head result=[1] tail", ResultFrame::List, "[1] tail"},
      {"result=[", ResultFrame::List, "["},
      {std::string("result=[1]\0[2]", 14), ResultFrame::List, "[1]"},
      {"result=[]", ResultFrame::EmptyList, ""},
      {R"({"result":[{"SN":"A1"}]})", ResultFrame::None, ""},  // the quote comes first
      {"results=[1]", ResultFrame::None, ""},
      {"result=x result=[1]", ResultFrame::None, ""},  // only the first word counts
      {"", ResultFrame::None, ""},
  };
  for (const auto& [answer, frame, expected] : cases) {
    std::string list;
    EXPECT_EQ(FrameResultAnswer(answer, list), frame) << answer;
    EXPECT_EQ(list, expected) << answer;
  }
}

// The word is found as a result answer's is (ResultFraming: inside a longer
// word, or missing while a list follows).
TEST(TerminalStatusAnswer, ConnectedWhenAnyEntryOfTheListAfterDataIsConnected) {
  using S = TerminalStatus;
  const std::pair<std::string, S> cases[] = {
      {R"(Data=[{"sn":"A","connstatus":1}])", S::Connected},
      {R"(Data:[{"connstatus":0},{"connstatus":-1},{},{"connstatus":2}])", S::Connected},
      {R"(Data=[{"connstatus":0},{"connstatus":-1},{"sn":"A"}])", S::NotConnected},
      {R"(Data=[1, null, "x", {"connstatus":3}])", S::Connected},
      {R"(Data=[{"connstatus":"1"}])", S::Connected},  // a text that reads as a number
      {std::string("Data=[{\"connstatus\":1}]\0junk", 27), S::Connected},
      {"Data=[ ]", S::NotConnected},
      {"Data:[]", S::EmptyList},
      {R"({"Data":[{"connstatus":1}]})", S::Unreadable},  // the quote is the separator
      {R"(Data={"connstatus":1})", S::Unreadable},
      {"Data=[", S::Unreadable},
      {"", S::Unreadable},
      {"data=[{\"connstatus\":1}]", S::Unreadable},
  };
  for (const auto& [text, status] : cases) EXPECT_EQ(ReadTerminalStatus(text), status) << text;
}
