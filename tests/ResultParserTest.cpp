// The result parser and the framing of the service's result answers.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ResultPoller.h"
#include "TerminalFace_ZR.h"

using ZR_Framework::Face::FrameResultAnswer;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultFrame;
using ZR_Framework::Face::ResultMap;
using ZR_Framework::Face::TerminalFace_ZR;

namespace {
const std::string kSnNull = "TerminalFace_ZR::JsonDataToMapData jsonDataSn == nullptr";
const std::string kRetNull = "TerminalFace_ZR::JsonDataToMapData jsonDataRet == nullptr";

// An element whose "data" is the entry list's text, as the service sends it.
std::string Element(const std::string& sn, const std::string& data) {
  std::string quoted;
  for (char c : data) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return R"({"SN": ")" + sn + R"(", "data": ")" + quoted + "\"}";
}
}  // namespace

struct ParserCase {
  const char* name;
  ResultMap before;
  std::string json;
  ResultMap after;
  bool stored;
  std::vector<std::string> logged;
};

void PrintTo(const ParserCase& c, std::ostream* out) {
  *out << c.name;
}

class ResultParser : public ::testing::TestWithParam<ParserCase> {};

TEST_P(ResultParser, MergesAndLogs) {
  const ParserCase& c = GetParam();
  TerminalFace_ZR adaptor;
  LogCapture log;
  ResultMap results = c.before;
  EXPECT_EQ(adaptor.JsonDataToMapData(c.json, results), c.stored);
  EXPECT_EQ(results, c.after);
  EXPECT_EQ(log.Messages(), c.logged);
}

const ResultMap kEarlier = {{"A1", {{"1", "9"}}}, {"B2", {{"5", "0"}}}};
const std::string kTwoEntries = R"([{"id":"7","return":"0"},{"id":"8","return":"1"}])";

INSTANTIATE_TEST_SUITE_P(
    Cases, ResultParser,
    ::testing::Values(
        ParserCase{"TwoEntries",
                   {},
                   "[" + Element("A1", kTwoEntries) + "]",
                   {{"A1", {{"7", "0"}, {"8", "1"}}}},
                   true,
                   {}},
        ParserCase{"ReplacesItsSerialKeepsOthers",
                   kEarlier,
                   "[" + Element("A1", kTwoEntries) + "]",
                   {{"A1", {{"7", "0"}, {"8", "1"}}}, {"B2", {{"5", "0"}}}},
                   true,
                   {}},
        ParserCase{"EmptyEntryList",
                   kEarlier,
                   "[" + Element("A1", "[]") + "]",
                   {{"A1", {}}, {"B2", {{"5", "0"}}}},
                   false,
                   {}},
        ParserCase{
            "EmptyDataSkipped", kEarlier, "[" + Element("A1", "") + "]", kEarlier, false, {}},
        ParserCase{"DataNotJsonSkippedRestProcessed",
                   {},
                   "[" + Element("A1", "nope") + "," + Element("B2", kTwoEntries) + "]",
                   {{"B2", {{"7", "0"}, {"8", "1"}}}},
                   true,
                   {kRetNull}},
        ParserCase{"LaterIdWinsElementsOfOneSerialNumberAddUp",
                   {},
                   "[" + Element("A1", R"([{"id":"7","return":"0"},{"id":"7","return":"3"}])") +
                       "," + Element("B2", R"([{"id":"1","return":"0"}])") + "," +
                       Element("B2", R"([{"id":"2","return":"0"}])") + "]",
                   {{"A1", {{"7", "3"}}}, {"B2", {{"1", "0"}, {"2", "0"}}}},
                   true,
                   {}},
        ParserCase{"NotJson", kEarlier, "result", kEarlier, false, {kSnNull}},
        ParserCase{"EmptyArray", kEarlier, "[]", kEarlier, false, {}},
        ParserCase{
            "DocumentNotAnArray", kEarlier, R"({"SN":"A1","data":"[]"})", kEarlier, false, {}},
        ParserCase{"NonObjectElementsSkipped",
                   {},
                   R"([1, "x", null, [], true, )" + Element("A1", kTwoEntries) + "]",
                   {{"A1", {{"7", "0"}, {"8", "1"}}}},
                   true,
                   {}},
        ParserCase{"NonObjectEntriesSkipped",
                   {},
                   "[" + Element("A1", R"([1, null, "x", {"id":"7","return":"0"}])") + "]",
                   {{"A1", {{"7", "0"}}}},
                   true,
                   {}},
        ParserCase{"EntryListNotAnArrayCountsAsEmpty",
                   kEarlier,
                   "[" + Element("A1", R"({"id":"7","return":"0"})") + "]",
                   {{"A1", {}}, {"B2", {{"5", "0"}}}},
                   false,
                   {}},
        ParserCase{"EmbeddedArrayAsData",
                   {},
                   R"([{"SN":"A1","data":[{"id":"7","return":"0"}]}])",
                   {{"A1", {{"7", "0"}}}},
                   true,
                   {}},
        ParserCase{"MembersOfOtherTypesReadAsText",
                   {},
                   R"([{"SN":12,"data":"[{\"id\":7,\"return\":0},{\"return\":\"x\"}]"}])",
                   {{"12", {{"7", "0"}, {"", "x"}}}},
                   true,
                   {}},
        ParserCase{"DeepNestingRefused",
                   kEarlier,
                   std::string(5000, '[') + std::string(5000, ']'),
                   kEarlier,
                   false,
                   {kSnNull}},
        ParserCase{"ZeroByteEndsTheText",
                   {},
                   "[" + Element("A1", kTwoEntries) + "]" + std::string("\0garbage", 8),
                   {{"A1", {{"7", "0"}, {"8", "1"}}}},
                   true,
                   {}}),
    [](const ::testing::TestParamInfo<ParserCase>& info) { return info.param.name; });

TEST(ResultParserWithoutLogger, SameResultsNothingLogged) {
  TerminalFace_ZR adaptor;
  LogCapture log;
  NoLogger silence;
  ResultMap results;
  EXPECT_FALSE(adaptor.JsonDataToMapData("not json", results));
  EXPECT_FALSE(adaptor.JsonDataToMapData("[" + Element("A1", "nope") + "]", results));
  EXPECT_TRUE(results.empty());
  EXPECT_TRUE(log.Records().empty());
}

TEST(ResultFraming, FindsTheArrayAfterTheFirstWord) {
  struct Case {
    std::string answer;
    ResultFrame frame;
    std::string list;
  };
  const Case cases[] = {
      {R"(result=[{"SN":"A1"}])", ResultFrame::List, R"([{"SN":"A1"}])"},
      {"result:[1]", ResultFrame::List, "[1]"},
      {"xresult=[1]", ResultFrame::List, "[1]"},  // inside a longer word
      {"head result=[1] tail", ResultFrame::List, "[1] tail"},
      {"result=[ ]", ResultFrame::List, "[ ]"},
      {"result=[", ResultFrame::List, "["},
      {std::string("result=[1]\0[2]", 14), ResultFrame::List, "[1]"},
      {"result=[]", ResultFrame::EmptyList, ""},
      {"result=[]tail", ResultFrame::EmptyList, ""},
      {R"({"result":[{"SN":"A1"}]})", ResultFrame::None, ""},  // the quote comes first
      {"results=[1]", ResultFrame::None, ""},
      {"result=x result=[1]", ResultFrame::None, ""},  // only the first word counts
      {"result", ResultFrame::None, ""},
      {"result=", ResultFrame::None, ""},
      {"resul", ResultFrame::None, ""},
      {"", ResultFrame::None, ""},
      {"Result=[1]", ResultFrame::None, ""},
  };
  for (const Case& c : cases) {
    std::string list;
    EXPECT_EQ(FrameResultAnswer(c.answer, list), c.frame) << c.answer;
    EXPECT_EQ(list, c.list) << c.answer;
  }
}
