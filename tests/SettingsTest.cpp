// The adaptor's settings: where requests go, and the port range.
#include <climits>
#include <thread>

#include "TestAdaptor.h"

using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::TerminalFace_ZR;

TEST(Settings, FreshAdaptorTargetsTheServiceOnThisMachine) {
  TerminalFace_ZR adaptor;
  EXPECT_EQ(adaptor.GetFullPostUrl("facepad/getresult"),
            "http://127.0.0.1:10003/facepad/getresult");
}

TEST(Settings, RequestPortAcceptsOnlyZeroTo65535) {
  TerminalFace_ZR adaptor;
  for (const int port : {0, 65535, -1, 65536, INT_MIN, INT_MAX}) {
    const bool valid = port >= 0 && port <= 65535;
    ASSERT_TRUE(adaptor.SetRequestPort(4321));
    LogCapture log;
    EXPECT_EQ(adaptor.SetRequestPort(port), valid) << port;
    EXPECT_EQ(adaptor.GetRequestPort(), valid ? port : 4321) << port;
    EXPECT_EQ(
        log.Messages(),
        valid ? std::vector<std::string>{}
              : std::vector<
                    std::string>{"TerminalFace_ZR::SetRequestPortZorvan _iPort<0 || _iPort>65535"})
        << port;
    if (!valid) {
      EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, TerminalFace_ZR::Failure::RefusedValue);
    }
  }
}

// Records are warnings (level 4) from the adaptor's own source.
TEST(Settings, LogRecordsAreWarningsFromTheAdaptor) {
  static std::string seen;
  const ScopedLogger logger([](int level, const char* source, int, const char*, ...) {
    seen = std::to_string(level) + " " + source;
    return 0;
  });
  TerminalFace_ZR().SetRequestPort(-1);
  EXPECT_EQ(seen, "4 TerminalFace_ZR");
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
