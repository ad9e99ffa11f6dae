// The simulator under load and abuse:
// - 100 adaptors, each with its poller, against one simulator: operations
//   per second, their p99, and whether every one returned true;
// - a request's latency with 70 idle and 64 slowloris connections open,
//   against the same requests with none, in turns;
// - facepad-sim's resident memory after four bodies just under its cap, as
//   a ratio to before, and its peak.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "BenchSupport.h"
#include "FacepadctlRun.h"
#include "SimulatorProgram.h"

namespace Bench {
namespace {

using ZR_Framework::Face::ParamMap;
using ZR_Framework::Face::TerminalFace_ZR;

constexpr int kAdaptors = 100;
constexpr int kOperationsEach = 50;

void BM_ManyAdaptors(benchmark::State& state) {
  for (auto _ : state) {
    const auto simulator = FreshSimulator();
    std::vector<std::unique_ptr<TerminalFace_ZR>> adaptors;
    for (int a = 0; a < kAdaptors; ++a) {
      auto adaptor = std::make_unique<TerminalFace_ZR>();
      adaptor->SetUrl(simulator->Host());
      adaptor->SetRequestPort(simulator->Port());
      adaptor->SetPollerTiming({std::chrono::milliseconds(200), std::chrono::milliseconds(200),
                                std::chrono::milliseconds(1000)});
      adaptor->SetResultHandler([](ZR_Framework::Face::ResultMap& results) {
        results.clear();
        return 0;
      });
      adaptors.push_back(std::move(adaptor));
    }
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<int> failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> hosts;
    hosts.reserve(kAdaptors);
    for (int a = 0; a < kAdaptors; ++a) {
      hosts.emplace_back([&, a] {
        std::vector<double> mine;
        for (int i = 0; i < kOperationsEach; ++i) {
          ParamMap person{{"certnum", "C-" + std::to_string(a) + "-" + std::to_string(i)}};
          const auto begin = Clock::now();
          if (!adaptors[a]->AddUser("id" + std::to_string(i), "T" + std::to_string(a), person)) {
            ++failed;
          }
          mine.push_back(Microseconds(Clock::now() - begin));
        }
        const std::lock_guard<std::mutex> lock(mutex);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
      });
    }
    for (std::thread& host : hosts) host.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["operations_per_s"] = kAdaptors * kOperationsEach / seconds;
    state.counters["p99_ms"] = Percentile(latencies, 0.99) / 1000;
    state.counters["failed"] = failed.load();
  }
}

// Connections that hold a server's attention and send nothing useful: idle
// ones that send nothing, and slow ones that send a header line every 3 s.
// A connection the server closes is opened again at once.
class Abusers {
 public:
  Abusers(int port, int idle, int slow) : m_port(port) {
    for (int i = 0; i < idle + slow; ++i) m_sockets.push_back({-1, i >= idle, {}});
    m_thread = std::thread([this] { Run(); });
  }
  ~Abusers() {
    m_stop = true;
    m_thread.join();
    for (const Socket& socket : m_sockets) {
      if (socket.fd >= 0) close(socket.fd);
    }
  }
  Abusers(const Abusers&) = delete;
  Abusers& operator=(const Abusers&) = delete;

 private:
  struct Socket {
    int fd;
    bool slow;
    Clock::time_point lastLine;
  };
  void Open(Socket& socket) const {
    socket.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(m_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      close(socket.fd);  // tried again on the next round
      socket.fd = -1;
      return;
    }
    if (socket.slow) {
      const char start[] = "POST /facepad/active HTTP/1.1\r\nHost: 127.0.0.1\r\n";
      (void)!send(socket.fd, start, sizeof start - 1, MSG_NOSIGNAL);
    }
    socket.lastLine = Clock::now();
  }
  void Run() {
    while (!m_stop) {
      for (Socket& socket : m_sockets) {
        if (socket.fd < 0) Open(socket);
        if (socket.fd < 0) continue;
        pollfd check{socket.fd, POLLIN, 0};
        char byte = 0;
        if (poll(&check, 1, 0) > 0 && recv(socket.fd, &byte, 1, MSG_DONTWAIT) <= 0) {
          close(socket.fd);  // closed by the server: open it again
          socket.fd = -1;
          continue;
        }
        if (socket.slow && Clock::now() - socket.lastLine > std::chrono::seconds(3)) {
          const char line[] = "X-Slow: 1\r\n";
          (void)!send(socket.fd, line, sizeof line - 1, MSG_NOSIGNAL);
          socket.lastLine = Clock::now();
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  const int m_port;
  std::vector<Socket> m_sockets;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

constexpr int kLatencyTurns = 10;
constexpr int kRequestsPerLatencyTurn = 100;

void BM_LatencyUnderAbuse(benchmark::State& state) {
  for (auto _ : state) {
    const auto simulator = FreshSimulator();
    const std::string url =
        "http://" + simulator->Host() + ":" + std::to_string(simulator->Port()) + "/facepad/active";
    std::vector<double> calm;
    std::vector<double> abused;
    for (int turn = 0; turn < kLatencyTurns; ++turn) {
      for (const bool withAbusers : {turn % 2 == 0, turn % 2 != 0}) {
        std::unique_ptr<Abusers> abusers;
        if (withAbusers) {
          abusers = std::make_unique<Abusers>(simulator->Port(), 70, 64);
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        RawPoster poster;  // a connection of its own, as a new client's
        for (int i = 0; i < kRequestsPerLatencyTurn; ++i) {
          const auto begin = Clock::now();
          poster.Post(url, "");
          (withAbusers ? abused : calm).push_back(Microseconds(Clock::now() - begin));
        }
      }
    }
    state.counters["calm_p50_us"] = Percentile(calm, 0.5);
    state.counters["calm_p99_us"] = Percentile(calm, 0.99);
    state.counters["abused_p50_us"] = Percentile(abused, 0.5);
    state.counters["abused_p99_us"] = Percentile(abused, 0.99);
    state.counters["ratio_p50"] = state.counters["abused_p50_us"] / state.counters["calm_p50_us"];
    state.counters["ratio_p99"] = state.counters["abused_p99_us"] / state.counters["calm_p99_us"];
  }
}

constexpr std::size_t kBodyCap = std::size_t{64} * 1024 * 1024;

void BM_SimulatorBodyMemory(benchmark::State& state) {
  const std::string body(kBodyCap - 1024, 'a');
  for (auto _ : state) {
    const SimulatorProgram simulator;
    RawPoster poster;
    const std::string url = "http://127.0.0.1:" + std::to_string(simulator.Port());
    poster.Post(url + "/facepad/active", "");
    const long before = simulator.ResidentKiB();
    for (int i = 0; i < 4; ++i) poster.Post(url + "/facepad/active", body);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    state.counters["resident_after_vs_before"] =
        static_cast<double>(simulator.ResidentKiB()) / static_cast<double>(before);
    state.counters["peak_over_before_in_caps"] =
        static_cast<double>(simulator.PeakKiB() - before) * 1024 / static_cast<double>(kBodyCap);
  }
}

const bool kRegistered = [] {
  RegisterScenario("BM_ManyAdaptors", BM_ManyAdaptors);
  RegisterScenario("BM_LatencyUnderAbuse", BM_LatencyUnderAbuse);
  RegisterScenario("BM_SimulatorBodyMemory", BM_SimulatorBodyMemory);
  AddGoal({"100 adaptors on one simulator: operations that failed", "BM_ManyAdaptors", "failed",
           Goal::Kind::AtMost, 0, ""});
  AddGoal({"Latency with 134 abusive connections / without, p99", "BM_LatencyUnderAbuse",
           "ratio_p99", Goal::Kind::AtMost, 2, "x"});
  AddGoal({"facepad-sim after 4 bodies near the cap: resident / before", "BM_SimulatorBodyMemory",
           "resident_after_vs_before", Goal::Kind::AtMost, 1.2, "x"});
  AddGoal({"facepad-sim's peak over before, in body caps", "BM_SimulatorBodyMemory",
           "peak_over_before_in_caps", Goal::Kind::AtMost, 2, "x"});
  return true;
}();

}  // namespace
}  // namespace Bench
