// The simulator's own parsing and validation, which the other tests rely on.
#include <gtest/gtest.h>

#include "FormBody.h"
#include "Terminal_Http_Tool.h"
#include "TestAdaptor.h"

using FacepadSim::ParseFormBody;
using Fields = std::map<std::string, std::string>;

TEST(SimulatorFormBody, SplitsOnlyWhereAKnownFieldFollows) {
  const std::vector<std::string_view> names = {"SN", "id", "data", "facepic"};
  EXPECT_EQ(ParseFormBody("SN=A\tid=7\tdata={}", names),
            (Fields{{"SN", "A"}, {"id", "7"}, {"data", "{}"}}));
  EXPECT_EQ(ParseFormBody("SN=\tid=", names), (Fields{{"SN", ""}, {"id", ""}}));
  EXPECT_EQ(ParseFormBody("SN=a\tb\tid=x=y", names), (Fields{{"SN", "a\tb"}, {"id", "x=y"}}));
  EXPECT_EQ(ParseFormBody("junk\tSN=1", names), (Fields{{"SN", "1"}}));
  EXPECT_EQ(ParseFormBody("SN=1\tSN=2", names), (Fields{{"SN", "1"}}));
  EXPECT_TRUE(ParseFormBody("", names).empty());
  EXPECT_TRUE(ParseFormBody("other=1", names).empty());
}

TEST(SimulatorEndpoints, RefusesUnknownPathsAndMalformedBodies) {
  FacepadSim::FacepadSimulator simulator;
  ZR_Framework::Terminal_Http_Tool client;
  const std::string base = "http://127.0.0.1:" + std::to_string(simulator.Port()) + "/";
  struct Case {
    std::string path;
    std::string body;
    std::string status;
  };
  const Case cases[] = {
      {"facepad/nothing", "", "404"},
      {"facepad/adduser", "SN=A\tid=1", "400"},
      {"facepad/adduser", "SN=A\tid=1\tdata=not json", "400"},
      {"facepad/adduser", "SN=A\tid=1\tdata=[1]", "400"},
      {"facepad/active", "", "200"},
      {"facepad/active", "SN=A", "400"},
      {"facepad/binding", "SN=A\tch=1\tip=\tport=\tusername=\tpassword=", "200"},
      {"facepad/getresult", "", "200"},
  };
  for (const Case& c : cases) {
    std::string response;
    ASSERT_TRUE(client.HttpPostRequest(base + c.path, c.body, response, false));
    EXPECT_EQ(client.GetLastPostStatus(), c.status) << c.path << " " << c.body << ": " << response;
  }
}
