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

namespace {
const char* const kProbePostFailed =
    "TerminalFace_ZR::GetAvailableFaceZorvan Call HttpPostRequest ret false";
const char* const kProbeStatusFailed =
    "TerminalFace_ZR::GetAvailableFaceZorvan Call GetLastPostStatus ret false";
}  // namespace

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

class Availability : public ::testing::Test {
 protected:
  Availability() { PointAt(adaptor, simulator); }
  FacepadSim::FacepadSimulator simulator;
  TerminalFace_ZR adaptor;
  LogCapture log;
};

TEST_F(Availability, ServiceAnswering200IsAvailableWhateverItSays) {
  simulator.AddFault(Fault::Answer(200, "{\"error\": \"busy\"}").Times(1));
  ParamMap params{{"keep", "me"}};
  EXPECT_TRUE(adaptor.GetAvailableFace(params));
  EXPECT_EQ(params, (ParamMap{{"keep", "me"}}));
  const auto requests = simulator.Requests("facepad/active");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "");
  EXPECT_TRUE(log.Records().empty());
}

TEST_F(Availability, OtherStatusesAreNotAvailable) {
  for (int status : {204, 201, 500, 404}) {
    log.Clear();
    simulator.AddFault(Fault::Answer(status).On("facepad/active").Times(1));
    ParamMap params{{"keep", "me"}};
    EXPECT_FALSE(adaptor.GetAvailableFace(params)) << status;
    EXPECT_EQ(params, (ParamMap{{"keep", "me"}}));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{kProbeStatusFailed}) << status;
  }
}

TEST_F(Availability, ClosedConnectionIsAFailedPost) {
  simulator.AddFault(Fault::CloseConnection().On("facepad/active").Times(1));
  ParamMap params;
  EXPECT_FALSE(adaptor.GetAvailableFace(params));
  EXPECT_EQ(log.Messages(), std::vector<std::string>{kProbePostFailed});
  EXPECT_TRUE(params.empty());
}

TEST_F(Availability, NothingListeningIsAFailedPost) {
  adaptor.SetRequestPort(UnusedPort());
  ParamMap params;
  EXPECT_FALSE(adaptor.GetAvailableFace(params));
  EXPECT_EQ(log.Messages(), std::vector<std::string>{kProbePostFailed});
  const CapturedRecord record = log.Records().at(0);
  EXPECT_EQ(record.level, 4);
  EXPECT_EQ(record.source, "TerminalFace_ZR");
}

TEST_F(Availability, WithoutLoggerTheResultsAreTheSame) {
  NoLogger silence;
  ParamMap params;
  EXPECT_TRUE(adaptor.GetAvailableFace(params));
  simulator.AddFault(Fault::Answer(204).Times(1));
  EXPECT_FALSE(adaptor.GetAvailableFace(params));
  // A reused connection that closes unanswered is retried once on a fresh
  // one, so the fault covers every attempt.
  simulator.AddFault(Fault::CloseConnection());
  EXPECT_FALSE(adaptor.GetAvailableFace(params));
  EXPECT_TRUE(log.Records().empty());
}
