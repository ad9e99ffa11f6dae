// The request convention and the availability probe, over real HTTP.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "Request.h"
#include "TestAdaptor.h"

using FacepadSim::Fault;
using ZR_Framework::Face::FormBody;
using ZR_Framework::Face::IsAcceptedStatus;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::TerminalFace_ZR;

TEST(StatusRule, AcceptsExactly200) {
  EXPECT_TRUE(IsAcceptedStatus("200"));
  for (const char* status : {"201", "204", "2000", "200 ", " 200", "", "20", "500", "OK"}) {
    EXPECT_FALSE(IsAcceptedStatus(status)) << '"' << status << '"';
  }
}

TEST(FormBodyText, FieldsJoinedByTabsWithValuesUnescaped) {
  EXPECT_EQ(FormBody({}), "");
  EXPECT_EQ(FormBody({{"SN", ""}, {"id", ""}}), "SN=\tid=");
  EXPECT_EQ(FormBody({{"SN", "a&b=c"}, {"id", "x\ty\r\nz"}}), "SN=a&b=c\tid=x\ty\r\nz");
  EXPECT_EQ(FormBody({{"port", "80"}}), "port=80");
  const std::string withNul("a\0b", 3);
  EXPECT_EQ(FormBody({{"SN", withNul}}), std::string("SN=a\0b", 6));
}

// The probe's failures and their texts are checked with every other
// operation's; here, what is particular to it.
TEST(Availability, AnyAnswerWith200MeansAvailable) {
  FacepadSim::FacepadSimulator simulator;
  TerminalFace_ZR adaptor;
  PointAt(adaptor, simulator);
  simulator.AddFault(Fault::Answer(200, R"({"error": "busy"})").Times(1));
  ParamMap params{{"keep", "me"}};
  EXPECT_TRUE(adaptor.GetAvailableFace(params));
  EXPECT_EQ(params, (ParamMap{{"keep", "me"}}));
  EXPECT_EQ(simulator.Requests("facepad/active").at(0).method, "POST");

  LogCapture log;
  adaptor.SetRequestPort(UnusedPort());
  EXPECT_FALSE(adaptor.GetAvailableFace(params));
  ASSERT_EQ(log.Records().size(), 1u);
  const CapturedRecord record = log.Records()[0];
  EXPECT_EQ(record.message,
            "TerminalFace_ZR::GetAvailableFaceZorvan Call HttpPostRequest ret false");
  EXPECT_EQ(record.level, 4);
  EXPECT_EQ(record.source, "TerminalFace_ZR");
}
