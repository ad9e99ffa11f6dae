// The adaptor's settings: where requests go, and the port range.
#include <climits>
#include <thread>

#include "TestAdaptor.h"

using ZR_Framework::Face::TerminalFace_ZR;

TEST(Settings, FreshAdaptorTargetsTheServiceOnThisMachine) {
  TerminalFace_ZR adaptor;
  EXPECT_EQ(adaptor.GetFullPostUrl("facepad/getresult"),
            "http://127.0.0.1:10003/facepad/getresult");
}

namespace {
std::vector<std::string> g_logged;  // level, source and text of each record

int LogWithLevelAndSource(int level, const char* source, int /*line*/, const char* text, ...) {
  g_logged.push_back(std::to_string(level) + " " + source + ": " + text);
  return 0;
}
}  // namespace

// A refused port is logged as a warning (level 4) from the adaptor's source.
TEST(Settings, RequestPortAcceptsOnlyZeroTo65535) {
  const ScopedLogger logger(LogWithLevelAndSource);
  TerminalFace_ZR adaptor;
  const std::pair<int, bool> cases[] = {{0, true},      {65535, true},    {-1, false},
                                        {65536, false}, {INT_MIN, false}, {INT_MAX, false}};
  for (const auto& [port, accepted] : cases) {
    ASSERT_TRUE(adaptor.SetRequestPort(4321));
    g_logged.clear();
    EXPECT_EQ(adaptor.SetRequestPort(port), accepted) << port;
    EXPECT_EQ(adaptor.GetRequestPort(), accepted ? port : 4321) << port;
    const std::vector<std::string> refusal = {
        "4 TerminalFace_ZR: TerminalFace_ZR::SetRequestPortZorvan _iPort<0 || _iPort>65535"};
    EXPECT_EQ(g_logged, accepted ? std::vector<std::string>{} : refusal) << port;
    if (!accepted) {
      EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, TerminalFace_ZR::Failure::RefusedValue);
    }
  }
}

// Settings change while other threads compose URLs; every URL seen is one of
// the settings' states, never a torn mix (and the sanitizer builds see no race).
TEST(Settings, ConcurrentChangesAreNeverSeenTorn) {
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
