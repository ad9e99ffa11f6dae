// FacepadSimulator: a facepad service on a loopback port, for tests, demos and
// benchmarks. It answers the service's twelve endpoints over real HTTP, keeps
// the persons and terminals it was sent, queues a result for every accepted
// request that names a terminal and a request id, journals every request, and
// plays scripted faults.
//
// Binds and starts serving on construction; stops and joins on destruction.
// All members are safe to call from any thread.
#ifndef FACEPAD_SIMULATOR_H
#define FACEPAD_SIMULATOR_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ServiceModel.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace FacepadSim {

struct SimulatorOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  // Connections served at once: each holds a thread while it is kept alive,
  // and so does a request a fault holds.
  std::size_t threads = 16;
  // Journal entries kept, the oldest dropped first: a long-running simulator
  // keeps a few, so that request bodies do not pile up.
  std::size_t journalLimit = static_cast<std::size_t>(-1);
  // Where the service's state lives (see ServiceModel): a file, ":memory:",
  // or, when empty, a temporary file removed on destruction.
  std::string state = ":memory:";
  // When not empty, every service request is appended to this file as one
  // JSON line (time, path, status, body with photos elided to their size).
  std::string journalFile;
  // Called with one line per request answered ("POST /facepad/adduser 200 ...").
  std::function<void(const std::string&)> requestLog;
};

struct JournalEntry {
  std::string method;
  std::string path;  // without the leading "/", e.g. "facepad/adduser"
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // exactly the bytes received
  std::string peer;  // the client's address and port: one per connection
  std::chrono::steady_clock::time_point received;
  std::chrono::system_clock::time_point at;  // the same moment, by the clock on the wall
  int status = 0;                            // the answer's, once given (0: none)
  std::uint64_t sequence = 0;
};

// A scripted fault. It applies to the next `count` requests for `path` (every
// path when empty), or to all of them while `count` is negative.
struct Fault {
  enum class Action {
    Status,       // answer `status` with `body`, and change nothing
    Delay,        // wait `delay` (cut short when the simulator stops), then answer normally
    Close,        // close the connection without answering
    Oversized,    // answer 200 with a body of `bytes` bytes
    Reset,        // answer 200 announcing `body`, send half of it, then reset the connection
    Drip,         // answer 200 with `body`, one byte every `delay`
    Endless,      // answer 200 with a body of no announced length that never ends
    Unsolicited,  // answer `status` with `body`, then (20 ms later) a 200 nobody asked for
  };
  Action action = Action::Status;
  int status = 500;
  std::string body;
  std::chrono::milliseconds delay{0};
  std::size_t bytes = 0;
  std::string path;
  int count = -1;

  static Fault Answer(int status, std::string body = {}) {
    Fault fault;
    fault.status = status;
    fault.body = std::move(body);
    return fault;
  }
  static Fault Delayed(std::chrono::milliseconds delay) {
    Fault fault;
    fault.action = Action::Delay;
    fault.delay = delay;
    return fault;
  }
  static Fault CloseConnection() {
    Fault fault;
    fault.action = Action::Close;
    return fault;
  }
  static Fault OversizedAnswer(std::size_t bytes) {
    Fault fault;
    fault.action = Action::Oversized;
    fault.bytes = bytes;
    return fault;
  }
  static Fault ResetMidAnswer(std::string body) {
    Fault fault;
    fault.action = Action::Reset;
    fault.body = std::move(body);
    return fault;
  }
  static Fault Drip(std::string body, std::chrono::milliseconds delay) {
    Fault fault;
    fault.action = Action::Drip;
    fault.body = std::move(body);
    fault.delay = delay;
    return fault;
  }
  static Fault AnswerAndAnUnsolicitedOne(int status) {
    Fault fault;
    fault.action = Action::Unsolicited;
    fault.status = status;
    fault.body = "asked";
    return fault;
  }
  static Fault EndlessAnswer() {
    Fault fault;
    fault.action = Action::Endless;
    return fault;
  }
  Fault& On(std::string onlyPath) {
    path = std::move(onlyPath);
    return *this;
  }
  Fault& Times(int requests) {
    count = requests;
    return *this;
  }
};

class FacepadSimulator {
 public:
  // Throws std::runtime_error when it cannot bind.
  explicit FacepadSimulator(SimulatorOptions options = {});
  ~FacepadSimulator();
  FacepadSimulator(const FacepadSimulator&) = delete;
  FacepadSimulator& operator=(const FacepadSimulator&) = delete;

  const std::string& Host() const { return m_options.host; }
  int Port() const { return m_port; }
  // Stops serving and joins the server's threads; a pending delay is cut short.
  void Stop();

  // Every request received, in arrival order.
  std::vector<JournalEntry> Journal() const;
  // The requests for one path, e.g. "facepad/adduser".
  std::vector<JournalEntry> Requests(const std::string& path) const;
  // The requests other than result polls, in arrival order.
  std::vector<JournalEntry> RequestsBesidesPolls() const;
  void ClearJournal();
  // How many distinct connections requests have arrived on.
  std::size_t ConnectionCount() const;

  void AddFault(Fault fault);
  void ClearFaults();
  // The faults still scripted.
  std::vector<Fault> Faults() const;

  // The service's behaviour and state, for the admin API and tests.
  ServiceModel& Model() { return m_model; }
  // Forgets the service's state, the journal and the faults.
  void Reset();

  // Queues a result as if a request with `id` for terminal `sn` had ended with `code`.
  void QueueResult(const std::string& sn, const std::string& id, const std::string& code);
  // The next result poll is answered with exactly `body` (pending results stay queued).
  void QueueResultAnswer(std::string body);
  // Results queued and not yet delivered, by serial number.
  std::map<std::string, std::vector<ResultEntry>> PendingResults() const;

  // Terminal status polls are answered with exactly `body` from now on;
  // std::nullopt returns to answers built from the terminals' state.
  void SetTerminalStatusAnswer(std::optional<std::string> body);

  std::optional<Person> FindPerson(const std::string& sn, const std::string& certnum) const;
  std::size_t PersonCount(const std::string& sn) const;
  std::optional<Terminal> FindTerminal(const std::string& sn) const;
  // The last "facepad/setport" request's port and reset texts.
  std::optional<std::pair<std::string, std::string>> ListenPortRequest() const;

 private:
  void Serve(const httplib::Request& request, httplib::Response& response);
  void ServeService(const std::string& path, const httplib::Request& request,
                    httplib::Response& response);
  // Journals a service request; returns its sequence number.
  std::uint64_t Record(const std::string& path, const httplib::Request& request);
  // Notes the status a journalled request was answered with.
  void RecordStatus(std::uint64_t sequence, int status);
  // The fault for this request, consumed from its script, if any.
  std::optional<Fault> TakeFault(const std::string& path);
  std::vector<JournalEntry> JournalWhere(
      const std::function<bool(const JournalEntry&)>& keep) const;
  bool WaitUnlessStopping(std::chrono::milliseconds delay);
  bool Stopping() const;

  SimulatorOptions m_options;
  ServiceModel m_model;
  std::unique_ptr<httplib::Server> m_server;
  int m_port = 0;
  int m_listeningSocket = -1;  // noted when the server makes it

  mutable std::mutex m_mutex;  // guards everything below
  std::condition_variable m_stopWake;
  bool m_stopping = false;
  std::deque<JournalEntry> m_journal;
  std::uint64_t m_journalSequence = 0;
  std::unique_ptr<std::ofstream> m_journalFile;
  std::vector<Fault> m_faults;

  std::thread m_listener;  // last: started once everything above exists
};

}  // namespace FacepadSim

#endif  // FACEPAD_SIMULATOR_H
