// The adaptor's settings: where requests go, and the port range.
#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "LogCapture.h"
#include "TestAdaptor.h"

using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::TerminalFace_ZR;

TEST(Settings, FreshAdaptorTargetsTheServiceOnThisMachine) {
  TerminalFace_ZR adaptor;
  EXPECT_EQ(adaptor.GetUrl(), "127.0.0.1");
  EXPECT_EQ(adaptor.GetRequestPort(), 10003);
  EXPECT_EQ(adaptor.GetFullPostUrl("facepad/getresult"),
            "http://127.0.0.1:10003/facepad/getresult");
}

TEST(Settings, UrlIsComposedUncheckedFromItsParts) {
  struct Case {
    std::string address;
    int port;
    std::string path;
    std::string url;
  };
  const Case cases[] = {
      {"", 10003, "facepad/active", "http://:10003/facepad/active"},
      {"10.1.2.3", 8080, "", "http://10.1.2.3:8080/"},
      {"10.1.2.3", 0, "/facepad/active", "http://10.1.2.3:0//facepad/active"},
      {"http://host", 65535, "facepad/x", "http://http://host:65535/facepad/x"},
      {" host ", 1, "a b", "http:// host :1/a b"},
  };
  TerminalFace_ZR adaptor;
  for (const Case& c : cases) {
    EXPECT_TRUE(adaptor.SetUrl(c.address));
    EXPECT_TRUE(adaptor.SetRequestPort(c.port));
    EXPECT_EQ(adaptor.GetUrl(), c.address);
    EXPECT_EQ(adaptor.GetFullPostUrl(c.path), c.url);
  }
}

TEST(Settings, RequestPortAcceptsOnlyZeroTo65535) {
  struct Case {
    int port;
    bool accepted;
  };
  const Case cases[] = {{0, true},      {65535, true},    {1, true},       {-1, false},
                        {65536, false}, {INT_MIN, false}, {INT_MAX, false}};
  TerminalFace_ZR adaptor;
  for (const Case& c : cases) {
    ASSERT_TRUE(adaptor.SetRequestPort(4321));
    LogCapture log;
    EXPECT_EQ(adaptor.SetRequestPort(c.port), c.accepted) << c.port;
    EXPECT_EQ(adaptor.GetRequestPort(), c.accepted ? c.port : 4321) << c.port;
    if (c.accepted) {
      EXPECT_TRUE(log.Records().empty());
    } else {
      ASSERT_EQ(log.Records().size(), 1u);
      const CapturedRecord record = log.Records()[0];
      EXPECT_EQ(record.message, "TerminalFace_ZR::SetRequestPortZorvan _iPort<0 || _iPort>65535");
      EXPECT_EQ(record.level, 4);
      EXPECT_EQ(record.source, "TerminalFace_ZR");
      EXPECT_GT(record.line, 0);
    }
  }
  NoLogger silence;
  EXPECT_FALSE(adaptor.SetRequestPort(70000));
  EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, TerminalFace_ZR::Failure::RefusedValue);
}

TEST(Settings, DoNothingOperationsSendNothingAndLeaveTheMap) {
  FacepadSim::FacepadSimulator simulator;
  TerminalFace_ZR adaptor;
  PointAt(adaptor, simulator);
  LogCapture log;
  for (ParamMap params : {ParamMap{}, ParamMap{{"certnum", "7"}, {"content", "abc"}}}) {
    const ParamMap before = params;
    EXPECT_FALSE(adaptor.SetInitParamFace(params));
    EXPECT_FALSE(adaptor.DelBiophoto("id", "SN1", params));
    EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, TerminalFace_ZR::Failure::NotSupported);
    EXPECT_EQ(params, before);
  }
  EXPECT_TRUE(simulator.RequestsBesidesPolls().empty());
  EXPECT_TRUE(log.Records().empty());
}

// Settings change while other threads compose URLs; every URL seen is one of
// the settings' states, never a torn mix (and the sanitizer builds see no race).
TEST(Settings, ConcurrentChangesAndReads) {
  TerminalFace_ZR adaptor;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      adaptor.SetUrl(i % 2 == 0 ? "10.0.0.1" : "host.example");
      adaptor.SetRequestPort(i % 2 == 0 ? 1111 : 2222);
    }
    done = true;
  });
  while (!done) {
    const std::string url = adaptor.GetFullPostUrl("p");
    const bool known = url == "http://127.0.0.1:10003/p" || url == "http://10.0.0.1:10003/p" ||
                       url == "http://10.0.0.1:1111/p" || url == "http://10.0.0.1:2222/p" ||
                       url == "http://host.example:1111/p" || url == "http://host.example:2222/p";
    EXPECT_TRUE(known) << url;
    adaptor.GetUrl();
    adaptor.GetRequestPort();
  }
  writer.join();
}
