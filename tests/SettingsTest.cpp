// The adaptor's settings: where requests go, and the port range.
#include <climits>
#include <regex>
#include <thread>

#include "Operations.h"
#include "TestAdaptor.h"

using namespace std::chrono_literals;
using ZR_Framework::Face::TerminalFace_ZR;

// A fresh adaptor targets the service on this machine. A refused port is
// logged, by the logger a fresh process has, to stderr as a warning (level 4)
// from the adaptor's source, with its text.
TEST(Settings, RequestPortAcceptsOnlyZeroTo65535) {
  TerminalFace_ZR adaptor;
  EXPECT_EQ(adaptor.GetFullPostUrl("facepad/getresult"),
            "http://127.0.0.1:10003/facepad/getresult");
  const std::pair<int, bool> cases[] = {{0, true},      {65535, true},    {-1, false},
                                        {65536, false}, {INT_MIN, false}, {INT_MAX, false}};
  for (const auto& [port, accepted] : cases) {
    ASSERT_TRUE(adaptor.SetRequestPort(4321));
    testing::internal::CaptureStderr();
    EXPECT_EQ(adaptor.SetRequestPort(port), accepted) << port;
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(adaptor.GetRequestPort(), accepted ? port : 4321) << port;
    const std::regex refusal(
        R"(^[-0-9]{10} [:.0-9]{12} \[4\] TerminalFace_ZR:[0-9]+ )"
        R"(TerminalFace_ZR::SetRequestPortZorvan _iPort<0 \|\| _iPort>65535\n$)");
    EXPECT_EQ(accepted ? logged.empty() : std::regex_match(logged, refusal), true) << logged;
    EXPECT_EQ(TerminalFace_ZR::LastFailure().failure,
              accepted ? TerminalFace_ZR::Failure::None : TerminalFace_ZR::Failure::RefusedValue);
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

// An address that would move the request elsewhere (each row's, unchecked,
// reaches the simulator) is refused before anything is sent, with the
// operation's post-failure record, and the poller does not poll through it.
// "[::1]" is checked and let through; nothing listens there.
TEST(Settings, AddressThatMovesTheRequestIsRefused) {
  using Failure = TerminalFace_ZR::Failure;
  FacepadSim::FacepadSimulator simulator;
  const std::string at = "127.0.0.1:" + std::to_string(simulator.Port());
  // Each failure, and the addresses that end in it; the first good one
  // comes before the refused ones.
  const std::pair<Failure, std::vector<std::string>> cases[] = {
      {Failure::None, {"127.0.0.1"}},
      {Failure::RefusedValue,
       {at + "/facepad/active#", at + "/facepad/active?", at + "/", at, "user@127.0.0.1",
        " 127.0.0.1", ""}},
      {Failure::NotReached, {"[::1]"}},
      {Failure::None, {"localhost", "127.0.0.1"}}};
  const operations::Operation& available = operations::Find("GetAvailableFace");
  LogCapture log;
  FastPollingAdaptor adaptor(1ms);
  ASSERT_TRUE(adaptor.SetRequestPort(simulator.Port()));
  for (const auto& [failure, addresses] : cases) {
    for (const std::string& address : addresses) {
      ASSERT_TRUE(adaptor.SetUrl(address));
      log.Clear();
      simulator.ClearJournal();
      EXPECT_EQ(available.Call(adaptor), failure == Failure::None) << address;
      EXPECT_EQ(TerminalFace_ZR::LastFailure().failure, failure) << address;
      if (failure == Failure::RefusedValue) {
        EXPECT_EQ(log.Messages(), std::vector<std::string>{available.Failed(false)});
        std::this_thread::sleep_for(50ms);  // the poller's turns
        EXPECT_TRUE(simulator.Journal().empty()) << address;
      }
    }
  }
  EXPECT_TRUE(WaitFor([&] { return Polls(simulator) > 0; }));  // at a good address it polls
}
