// The HTTP client against the simulator: a kept-alive connection, large
// bodies, the size cap, an answer nobody asked for.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "Terminal_Http_Tool.h"
#include "TestAdaptor.h"

using FacepadSim::Fault;
using ZR_Framework::Terminal_Http_Tool;
using namespace std::chrono_literals;

namespace {
std::string Url(const FacepadSim::FacepadSimulator& simulator, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(simulator.Port()) + "/" + path;
}
}  // namespace

// One client in turn. Posts share one kept-alive connection; a large body
// goes out unchanged, as text, without an Expect round trip, and its answer
// replaces the string's text. Answers past the cap (an endless one included)
// fail; one of 1 MiB is taken. HTTP/1.1 cannot tell which request an answer
// belongs to: a kept-alive connection that holds an answer before anything
// was asked is dropped.
TEST(HttpClient, ConnectionsBodiesAndAnswers) {
  FacepadSim::FacepadSimulator simulator;
  Terminal_Http_Tool client;
  std::string response;
  const auto post = [&](const std::string& path, const std::string& body = "") {
    return client.HttpPostRequest(Url(simulator, path), body, response, false);
  };
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(post("facepad/active"));
  const std::string body =
      "SN=A\tid=1\tdata={}\tfacepic=" + std::string(std::size_t{300} * 1024, 'Q');
  response = "left over from before";
  ASSERT_TRUE(post("facepad/adduser", body));
  EXPECT_EQ(response, "ok");
  EXPECT_EQ(simulator.ConnectionCount(), 1u);
  const auto requests = simulator.Requests("facepad/adduser");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, body);
  for (const auto& [name, value] : requests[0].headers) {
    EXPECT_NE(name, "Expect") << value;
    EXPECT_TRUE(name != "Content-Type" || value == "text/plain") << value;
  }

  simulator.AddFault(Fault::EndlessAnswer().Times(1));
  EXPECT_FALSE(post("facepad/getresult"));
  EXPECT_TRUE(response.empty());
  simulator.AddFault(Fault::OversizedAnswer(std::size_t{1024} * 1024).Times(1));
  ASSERT_TRUE(post("facepad/getresult"));
  EXPECT_EQ(response.size(), 1024u * 1024u);

  simulator.AddFault(Fault::AnswerAndAnUnsolicitedOne(500).Times(1));
  simulator.AddFault(Fault::Answer(500).Times(1));
  ASSERT_TRUE(post("facepad/active"));
  EXPECT_EQ(client.GetLastPostStatus(), "500");
  std::this_thread::sleep_for(Scaled(200ms));  // the extra answer has arrived
  ASSERT_TRUE(post("facepad/active"));
  EXPECT_EQ(client.GetLastPostStatus(), "500");                 // not the extra answer's 200
  EXPECT_EQ(simulator.Requests("facepad/active").size(), 22u);  // the second was sent
}

// A post closed unanswered lets go of the idle connections kept alive too:
// after it, two posts at once open two connections, none of them reused.
TEST(HttpClient, APostClosedUnansweredLetsTheIdleConnectionsGo) {
  FacepadSim::FacepadSimulator simulator;
  const std::string url = Url(simulator, "facepad/active");
  Terminal_Http_Tool client;
  std::string response;
  const auto twoAtOnce = [&] {
    simulator.AddFault(Fault::Delayed(300ms).On("facepad/active").Times(2));
    std::thread other([&] {
      std::string otherResponse;
      client.HttpPostRequest(url, "", otherResponse, false);
    });
    client.HttpPostRequest(url, "", response, false);
    other.join();
  };
  twoAtOnce();
  // Twice: libcurl posts again on a fresh connection when a kept-alive one closes.
  simulator.AddFault(Fault::CloseConnection().Times(2));
  EXPECT_FALSE(client.HttpPostRequest(url, "", response, false));
  const std::size_t connections = simulator.ConnectionCount();
  twoAtOnce();
  EXPECT_EQ(simulator.ConnectionCount(), connections + 2);
}

// A connection never made (the service's queue of connections is full, and
// takes no more) times out before the request leaves: not reached. (A request
// sent and never answered times out: FaultInjectionTest.)
TEST(HttpClient, ATimeOutBeforeTheRequestLeftIsNotReached) {
  const int full = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  ASSERT_TRUE(bind(full, generic, length) == 0 && listen(full, 0) == 0 &&
              getsockname(full, generic, &length) == 0);
  std::vector<int> waiting;  // fill the queue: later connections are not answered
  for (int i = 0; i < 3; ++i) {
    waiting.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    static_cast<void>(connect(waiting.back(), generic, length));
  }
  Terminal_Http_Tool client;
  client.SetTimeouts(300ms, 5s);
  std::string response;
  EXPECT_FALSE(client.HttpPostRequest(
      "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/facepad/active", "",
      response, false));
  EXPECT_EQ(client.GetLastPostFailure(), Terminal_Http_Tool::PostFailure::NotReached);
  for (const int socket : waiting) close(socket);
  close(full);
}

// A service at its limit of connections closes one more at once: the idle
// connections kept alive are let go, so that the next post finds a place.
TEST(HttpClientAtALimit, AClosedConnectionLetsTheIdleOnesGo) {
  FacepadSim::SimulatorOptions options;
  options.maxConnections = 2;
  FacepadSim::FacepadSimulator simulator(options);
  simulator.AddFault(Fault::Delayed(200ms).On("facepad/active").Times(2));
  const std::string url = Url(simulator, "facepad/active");
  Terminal_Http_Tool client;
  std::thread other([&] {
    std::string response;
    client.HttpPostRequest(url, "", response, false);
  });
  std::string response;
  client.HttpPostRequest(url, "", response, false);  // two connections, both kept
  other.join();
  EXPECT_FALSE(client.HttpPostRequestInterruptible(url, "", response)) << "a third is closed";
  // The next is answered at once, not after the service's 5 s keep-alive.
  EXPECT_TRUE(WaitFor([&] { return client.HttpPostRequestInterruptible(url, "", response); }, 1s));
}
