// FacepadSimulator: a facepad service on a loopback port, for tests, demos and
// benchmarks. It answers the service's twelve endpoints over real HTTP, keeps
// the persons and terminals it was sent (its Model()), queues a result for
// every accepted request that names a terminal and a request id, journals
// every request, and plays scripted faults.
//
// Binds and starts serving on construction; stops and joins on destruction.
// All members are safe to call from any thread.
#ifndef FACEPAD_SIMULATOR_H
#define FACEPAD_SIMULATOR_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Fault.h"
#include "Journal.h"
#include "Profile.h"
#include "ServiceModel.h"
#include "StopSignal.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace FacepadSim {

class AdminApi;
class BrowserGuard;
class ConnectionServer;

struct SimulatorOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  // Connections served at once, each on a thread of its own while it is
  // open; a connection beyond them is closed at once.
  std::size_t maxConnections = 512;
  // A request whose body is larger gets 413 and its connection closed,
  // before the body is read.
  std::size_t maxBody = std::size_t{64} * 1024 * 1024;
  // Journal entries kept, the oldest dropped first: a long-running simulator
  // keeps a few, so that request bodies do not pile up.
  std::size_t journalLimit = static_cast<std::size_t>(-1);
  // When set, the journal keeps each body with its photos elided and
  // passwords masked, cut to this many bytes; by default, the bytes received.
  std::size_t journalBodyLimit = static_cast<std::size_t>(-1);
  // Where the service's state lives (see ServiceModel): a file, ":memory:",
  // or, when empty, a temporary file removed on destruction.
  std::string state = ":memory:";
  // When not empty, every service request is appended to this file as one
  // JSON line (time, method, path, status, the whole body with photos elided
  // to their size and passwords masked).
  std::string journalFile;
  // A service's result codes and answer times to speak (see Profile.h).
  Profile profile;
  // Called with one line per request answered ("POST /facepad/adduser 200 ...").
  std::function<void(const std::string&)> requestLog;
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
  // Stops serving, ends every connection and joins their threads; a pending
  // delay is cut short. Once it returns, nothing of this simulator touches a
  // socket. Calling it again does nothing.
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

  // The service's behaviour and state: its persons, terminals and results,
  // and what it answers.
  ServiceModel& Model() { return m_model; }
  const ServiceModel& Model() const { return m_model; }
  // Forgets the service's state, the journal and the faults.
  void Reset();

 private:
  // Whether `request` goes on to be served; when not, `response` says why.
  bool Screen(const httplib::Request& request, httplib::Response& response) const;
  void Serve(const httplib::Request& request, httplib::Response& response);
  void ServeService(const std::string& path, const httplib::Request& request,
                    httplib::Response& response);

  SimulatorOptions m_options;
  ServiceModel m_model;
  FacepadSim::Journal m_journal;
  FaultScript m_faults;
  StopSignal m_stop;
  std::unique_ptr<ConnectionServer> m_server;
  std::unique_ptr<BrowserGuard> m_guard;  // made once the port is known
  std::unique_ptr<AdminApi> m_admin;
  int m_port = 0;
  int m_listeningSocket = -1;  // noted when the server makes it

  std::mutex m_stopping;   // one Stop() at a time
  std::thread m_listener;  // last: started once everything above exists
};

}  // namespace FacepadSim

#endif  // FACEPAD_SIMULATOR_H
