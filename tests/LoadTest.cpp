// Host threads drive adaptors while their pollers run: every call gets the
// status of its own post (persons are accepted, photos refused), none waits
// on another's connection, and every accepted request's result is delivered
// exactly once.
//
// ZR_LOAD_OPERATIONS sets the operations per thread (default 1000). Then the
// simulator's own limits: idle, slow and oversized clients and results.
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "TestAdaptor.h"

using namespace std::chrono_literals;
using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::ResultMap;

// Host threads drive adaptors while their pollers run: four threads one
// adaptor, and a hundred each an adaptor of its own against one simulator.
TEST(Load, HostThreadsEachGetTheirOwnStatusAndEveryResultArrivesOnce) {
  const char* size = std::getenv("ZR_LOAD_OPERATIONS");
  struct Shape {
    int adaptors;
    int threads;  // thread t drives adaptor t % adaptors, on terminal "T<t>"
    std::chrono::milliseconds tick;
    int perThread;
  };
  const Shape shapes[] = {
      {1, 4, 1ms, size != nullptr && std::atoi(size) > 0 ? std::atoi(size) : 1000},
      {100, 100, 20ms, 10},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(std::to_string(shape.threads) + " threads");
    const ScopedLogger quiet;  // the refused photos log
    FacepadSim::SimulatorOptions options;
    options.journalLimit = 0;  // a long run's bodies would pile up
    FacepadSim::FacepadSimulator simulator(options);
    simulator.AddFault(FacepadSim::Fault::Answer(503).On("facepad/setfacepic"));
    std::mutex mutex;
    std::map<std::string, int> deliveries;  // by request id; guarded by mutex
    std::vector<std::unique_ptr<FastPollingAdaptor>> adaptors;
    for (int a = 0; a < shape.adaptors; ++a) {
      adaptors.push_back(Pointed(simulator, shape.tick));
      adaptors.back()->SetResultHandler([&](ResultMap& results) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [sn, outcomes] : results) {
          for (const auto& [id, code] : outcomes) ++deliveries[id];
        }
        results.clear();
        return 0;
      });
    }
    std::map<std::string, int> expected;  // each accepted request's id, once
    std::atomic<int> wrongReturns{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < shape.threads; ++t) {
      for (int i = 0; i < shape.perThread; i += 2)
        expected[std::to_string(t) + ":" + std::to_string(i)] = 1;
      threads.emplace_back([&, t] {
        FastPollingAdaptor& adaptor = *adaptors[static_cast<std::size_t>(t % shape.adaptors)];
        const std::string terminal = "T" + std::to_string(t);
        for (int i = 0; i < shape.perThread; ++i) {
          const std::string id = std::to_string(t) + ":" + std::to_string(i);
          ParamMap person{{"certnum", id}, {"name", "Load"}, {"size", "3"}, {"content", "QUJD"}};
          const bool accepted = i % 2 == 0 ? adaptor.AddUser(id, terminal, person)
                                           : !adaptor.SetBiophoto(id, terminal, person);
          if (!accepted) ++wrongReturns;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrongReturns.load(), 0);

    const auto delivered = [&] {
      std::lock_guard<std::mutex> lock(mutex);
      return deliveries.size() >= expected.size();
    };
    ASSERT_TRUE(WaitFor(delivered, 60s));
    std::this_thread::sleep_for(200ms);  // time for a stray second delivery to show
    for (int t = 0; t < shape.threads; ++t) {
      EXPECT_EQ(simulator.Model().PersonCount("T" + std::to_string(t)),
                static_cast<std::size_t>(shape.perThread + 1) / 2);
    }
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(deliveries == expected);  // each once, and nothing else
  }
}

namespace {

// A raw loopback TCP connection to `port`, closed on scope exit.
class RawClient {
 public:
  explicit RawClient(int port) {
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    m_connected = connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { close(m_socket); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  bool Connected() const { return m_connected; }
  void Send(const std::string& bytes) const {
    static_cast<void>(send(m_socket, bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }
  // What arrives until the server closes the connection or `limit` passes.
  std::string ReadToEnd(std::chrono::milliseconds limit = 5s) const {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + Scaled(limit);
    for (char buffer[4096];;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready{m_socket, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
      const ssize_t n = recv(m_socket, buffer, sizeof buffer, 0);
      if (n <= 0) return received + "<closed>";
      received.append(buffer, static_cast<std::size_t>(n));
    }
    return received + "<open>";
  }

 private:
  int m_socket = socket(AF_INET, SOCK_STREAM, 0);
  bool m_connected = false;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// Idle and slow clients hold a connection each, not the service: a normal
// request is still answered at once, and a client that sends a header line
// every 3 s is cut after 2 s of silence.
TEST(Load, IdleAndSlowClientsDoNotHoldTheService) {
  FacepadSim::FacepadSimulator simulator;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 70 + 64; ++i) {
    clients.push_back(std::make_unique<RawClient>(simulator.Port()));
    ASSERT_TRUE(clients.back()->Connected());
    if (i >= 70) clients.back()->Send("POST /facepad/active HTTP/1.1\r\n");
  }
  const auto start = std::chrono::steady_clock::now();
  httplib::Client client(simulator.Host(), simulator.Port());
  const auto answer = client.Post("/facepad/active", "", "text/plain");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_LT(SecondsSince(start), Scaled(1s).count() / 1000.0);

  const RawClient slow(simulator.Port());
  const auto sent = std::chrono::steady_clock::now();
  slow.Send("POST /facepad/active HTTP/1.1\r\nHost: x\r\n");
  EXPECT_NE(slow.ReadToEnd(3s).find("<closed>"), std::string::npos) << "cut before its next line";
  EXPECT_GT(SecondsSince(sent), 1.5);

  // A body trickled a byte a second is cut 10 s after the request began.
  const RawClient trickle(simulator.Port());
  const auto began = std::chrono::steady_clock::now();
  trickle.Send("POST /facepad/active HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n");
  std::string answer400;
  while (answer400.empty() && SecondsSince(began) < 20) {
    trickle.Send("x");
    const std::string read = trickle.ReadToEnd(1s);
    if (read != "<open>") answer400 = read;
  }
  EXPECT_NE(answer400.find(" 400 "), std::string::npos) << answer400;
  EXPECT_LT(SecondsSince(began), 14);
}

// Over the limits: a body too large gets 413 and the connection closed, as
// announced or as chunked; a connection beyond the limit is closed at once.
TEST(Load, OverTheLimitsIsRefused) {
  FacepadSim::SimulatorOptions options;
  options.maxBody = 1000;
  FacepadSim::FacepadSimulator simulator(options);
  const std::string post = "POST /facepad/adduser HTTP/1.1\r\nHost: x\r\n";
  const std::string person = "SN=CUT\tid=1\tdata={\"certnum\":\"1\"}";
  // What follows the request line, and the status it gets before the
  // connection is closed. Nothing of any of them is served.
  const std::pair<std::string, const char*> requests[] = {
      {"Content-Length: 100000000\r\n\r\n", "413"},
      {"Content-Length: 100000000\r\nExpect: 100-continue\r\n\r\n", "413"},
      {"Transfer-Encoding: chunked\r\n\r\n7d1\r\n" + std::string(2001, 'x') + "\r\n", "413"},
      {"Content-Length: 80\r\n\r\n" + person, "400"},  // cut short
      {"Transfer-Encoding: chunked\r\n\r\nzz\r\nPOST /facepad/active HTTP/1.1\r\n\r\n", "400"},
      {"Transfer-Encoding: gzip, chunked\r\n\r\n", "400"},
      {"Content-Length: 0\r\nContent-Length: 36\r\n\r\n" + person, "400"},
      {"Origin: http://127.0.0.1:1\r\nOrigin: null\r\nContent-Length: 0\r\n\r\n", "400"},
      {"X-Long: " + std::string(20000, 'x'), "400"},  // a line that never ends
      {"\r\nGARBAGE\r\n\r\nPOST /facepad/active HTTP/1.1\r\n\r\n", "400"},
  };
  for (const auto& [rest, status] : requests) {
    const RawClient client(simulator.Port());
    client.Send((rest.rfind("\r\nGARBAGE", 0) == 0 ? "" : post) + rest);
    const std::string answer = client.ReadToEnd();
    EXPECT_EQ(answer.rfind(std::string("HTTP/1.1 ") + status, 0), 0u) << rest.substr(0, 60);
    EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << "one answer only: " << answer;
    EXPECT_NE(answer.find("<closed>"), std::string::npos) << answer;
  }
  EXPECT_TRUE(simulator.Journal().empty());
  EXPECT_EQ(simulator.Model().PersonCount("CUT"), 0u);

  // A request without a length has no body, and ranges are not answered.
  const RawClient client(simulator.Port());
  client.Send("POST /facepad/active HTTP/1.1\r\n\r\nGET /admin/state HTTP/1.1\r\nHost: " +
              simulator.Host() + ":" + std::to_string(simulator.Port()) +
              "\r\nRange: bytes=0-1,0-\r\nConnection: close\r\n\r\n");
  const std::string answers = client.ReadToEnd(1s);
  EXPECT_EQ(answers.rfind("HTTP/1.1 200", 0), 0u) << answers;
  EXPECT_NE(answers.find("HTTP/1.1 200", 1), std::string::npos) << answers;
  EXPECT_EQ(answers.find("multipart"), std::string::npos) << answers;

  // A connection beyond the limit is closed at once. A closed connection
  // frees its place only when its thread ends, a moment after the client
  // sees the close, so the limit is tried on a simulator of its own.
  options.maxConnections = 2;
  FacepadSim::FacepadSimulator full(options);
  const RawClient first(full.Port());
  const RawClient second(full.Port());
  ASSERT_TRUE(WaitFor([&] {
    const RawClient third(full.Port());
    return third.ReadToEnd(100ms) == "<closed>";
  }));
}

// Stop() may come twice, and a simulator stopped (and then destroyed) leaves
// a later one on the same port and its connections alone.
TEST(Load, AStoppedSimulatorLeavesALaterOneOnItsPortAlone) {
  auto earlier = std::make_unique<FacepadSim::FacepadSimulator>();
  FacepadSim::SimulatorOptions options;
  options.port = earlier->Port();
  earlier->Stop();
  earlier->Stop();
  FacepadSim::FacepadSimulator later(options);
  httplib::Client client(later.Host(), later.Port());
  client.set_keep_alive(true);
  ASSERT_TRUE(client.Post("/facepad/active", "", "text/plain"));
  earlier.reset();
  ASSERT_TRUE(client.Post("/facepad/active", "", "text/plain"));
  EXPECT_EQ(later.ConnectionCount(), 1u);
}

// A poll hands out at most 10,000 results; the rest wait for the next.
TEST(Load, APollHandsOutAtMostTenThousandResults) {
  FacepadSim::ServiceModel model;
  for (int i = 0; i <= 10000; ++i) model.QueueResult("T", std::to_string(i), "0");
  const auto handed = [&model] {
    const std::string body = model.Handle("facepad/getresult", "").body;
    std::size_t count = 0;
    for (std::size_t at = body.find(R"(\"id\")"); at != std::string::npos;
         at = body.find(R"(\"id\")", at + 1)) {
      ++count;
    }
    return count;
  };
  EXPECT_EQ(handed(), FacepadSim::ServiceModel::kResultsPerPoll);
  EXPECT_EQ(handed(), 1u);
  EXPECT_EQ(handed(), 0u);
}
