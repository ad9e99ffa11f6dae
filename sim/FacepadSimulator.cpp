#include "FacepadSimulator.h"

#include "AdminApi.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <csignal>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <set>
#include <stdexcept>
#include <system_error>

namespace FacepadSim {
namespace {

constexpr std::size_t kKeepAliveRequests = 1000000;
constexpr time_t kKeepAliveSeconds = 60;

// Writing to a connection the client has closed must not end the process.
void IgnoreSigpipeOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      signal(SIGPIPE, SIG_IGN);
    }
  });
}

int SocketPort(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return -1;
}

// How a connection is ended under the server's feet. The server still owns
// and closes the descriptor either way.
enum class Ending {
  Shutdown,  // the client sees the connection end (FIN)
  Reset,     // the client sees it reset (RST)
};

void EndConnection(int fd, Ending ending) {
  if (ending == Ending::Shutdown) {
    shutdown(fd, SHUT_RDWR);
    return;
  }
  // Connecting a TCP socket to AF_UNSPEC aborts its connection with a reset
  // and leaves the descriptor open.
  sockaddr unspecified{};
  unspecified.sa_family = AF_UNSPEC;
  static_cast<void>(connect(fd, &unspecified, sizeof unspecified));  // gone already: fine
}

// Ends this process's accepted connections on `localPort` (only the one from
// `remotePort` when it is not negative). The server library does not expose
// its sockets, so they are found by address.
void EndConnections(int localPort, int remotePort, Ending ending = Ending::Shutdown) {
  // One scan at a time: a descriptor one scan ends may be closed and reused
  // for another scan's directory stream.
  static std::mutex scanning;
  const std::lock_guard<std::mutex> lock(scanning);
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  // readdir is safe on a stream of our own.
  while (const dirent* entry = readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(dir)) continue;
    sockaddr_storage local{};
    sockaddr_storage peer{};
    socklen_t localSize = sizeof local;
    socklen_t peerSize = sizeof peer;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) {
      continue;
    }
    if (SocketPort(local) == localPort && (remotePort < 0 || SocketPort(peer) == remotePort)) {
      EndConnection(static_cast<int>(fd), ending);
    }
  }
  closedir(dir);
}

}  // namespace

FacepadSimulator::FacepadSimulator(SimulatorOptions options)
    : m_options(std::move(options)),
      m_model(m_options.state),
      m_server(std::make_unique<httplib::Server>()) {
  IgnoreSigpipeOnce();
  if (!m_options.journalFile.empty()) {
    m_journalFile = std::make_unique<std::ofstream>(m_options.journalFile, std::ios::app);
    if (!*m_journalFile)
      throw std::runtime_error("cannot write the journal " + m_options.journalFile);
  }
  const std::size_t threads = std::max<std::size_t>(m_options.threads, 1);
  m_server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  m_server->set_keep_alive_max_count(kKeepAliveRequests);
  m_server->set_keep_alive_timeout(kKeepAliveSeconds);
  m_server->set_tcp_nodelay(true);  // answers go out at once, not after a delayed ACK
  // The server library listens with a backlog of a few connections: clients
  // connecting at once beyond it wait a second for their SYN to be resent.
  // The listening socket is noted here and given a full backlog once bound.
  m_server->set_socket_options([this](int socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    m_listeningSocket = socket;
  });

  const auto serve = [this](const httplib::Request& request, httplib::Response& response) {
    Serve(request, response);
  };
  m_server->Post(".*", serve);
  m_server->Get(".*", serve);
  m_server->Put(".*", serve);
  m_server->Delete(".*", serve);
  if (m_options.requestLog) {
    m_server->set_logger([log = m_options.requestLog](const httplib::Request& request,
                                                      const httplib::Response& response) {
      log(request.method + " " + request.path + " " + std::to_string(response.status) + " " +
          std::to_string(request.body.size()) + "B in, " + std::to_string(response.body.size()) +
          "B out, from " + request.remote_addr + ":" + std::to_string(request.remote_port));
    });
  }

  errno = 0;
  m_port = m_options.port == 0
               ? m_server->bind_to_any_port(m_options.host)
               : (m_server->bind_to_port(m_options.host, m_options.port) ? m_options.port : -1);
  if (m_port <= 0) {
    throw std::runtime_error("cannot listen on " + m_options.host + ":" +
                             std::to_string(m_options.port) +
                             (errno != 0 ? ": " + std::generic_category().message(errno)
                                         : std::string(": no such address here")));
  }
  if (m_listeningSocket >= 0) {
    listen(m_listeningSocket, SOMAXCONN);  // a second listen() only resizes the backlog
  }
  auto listening = std::make_shared<std::atomic<bool>>(true);
  m_listener = std::thread([this, listening] {
    m_server->listen_after_bind();
    *listening = false;
  });
  // Serving has begun once the server says so; a listener that has already
  // given up never will.
  while (!m_server->is_running() && *listening) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!m_server->is_running()) {
    m_listener.join();
    throw std::runtime_error("facepad simulator: cannot serve on " + m_options.host + ":" +
                             std::to_string(m_port));
  }
}

FacepadSimulator::~FacepadSimulator() {
  Stop();
}

void FacepadSimulator::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_stopWake.notify_all();
  m_server->stop();
  // Connections idling between requests would otherwise hold the server's
  // threads until their keep-alive time-out.
  EndConnections(m_port, -1);
  if (m_listener.joinable()) m_listener.join();
}

void FacepadSimulator::Serve(const httplib::Request& request, httplib::Response& response) {
  const std::string path = request.path.empty() ? request.path : request.path.substr(1);
  // The page and the admin API are the simulator's own: not journalled, no faults.
  if (path.empty() || path.rfind("admin/", 0) == 0 || path == "favicon.ico") {
    ServeAdmin(*this, path, request, response);
    return;
  }
  const std::uint64_t sequence = Record(path, request);
  ServeService(path, request, response);
  RecordStatus(sequence, response.status);
}

std::uint64_t FacepadSimulator::Record(const std::string& path, const httplib::Request& request) {
  JournalEntry entry{request.method,
                     path,
                     {},
                     request.body,
                     request.remote_addr + ":" + std::to_string(request.remote_port),
                     std::chrono::steady_clock::now(),
                     std::chrono::system_clock::now(),
                     0,
                     0};
  for (const auto& header : request.headers) entry.headers.emplace_back(header);
  std::lock_guard<std::mutex> lock(m_mutex);
  entry.sequence = ++m_journalSequence;
  m_journal.push_back(std::move(entry));
  while (m_journal.size() > m_options.journalLimit) m_journal.pop_front();
  return m_journalSequence;
}

void FacepadSimulator::RecordStatus(std::uint64_t sequence, int status) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto entry =
      std::find_if(m_journal.rbegin(), m_journal.rend(),
                   [sequence](const JournalEntry& e) { return e.sequence == sequence; });
  if (entry == m_journal.rend()) return;
  entry->status = std::max(status, 0);
  if (m_journalFile) {
    *m_journalFile << JournalLine(*entry) << "\n";
    m_journalFile->flush();
  }
}

void FacepadSimulator::ServeService(const std::string& path, const httplib::Request& request,
                                    httplib::Response& response) {
  if (const std::optional<Fault> fault = TakeFault(path)) {
    switch (fault->action) {
      case Fault::Action::Status:
        response.status = fault->status;
        response.set_content(fault->body, "text/plain");
        return;
      case Fault::Action::Delay:
        if (!WaitUnlessStopping(fault->delay)) {
          response.status = 503;
          return;
        }
        break;
      case Fault::Action::Close:
        EndConnections(request.local_port, request.remote_port);
        return;
      case Fault::Action::Oversized:
        response.set_content_provider(
            fault->bytes, "text/plain",
            [](size_t /*offset*/, size_t length, httplib::DataSink& sink) {
              static const std::string chunk(std::size_t{64} * 1024, 'x');
              return sink.write(chunk.data(), std::min(length, chunk.size()));
            });
        return;
      case Fault::Action::Endless:
        // Chunked, so that the client cannot tell the size from the headers.
        response.set_chunked_content_provider(
            "text/plain", [this](size_t /*offset*/, httplib::DataSink& sink) {
              static const std::string chunk(std::size_t{64} * 1024, 'x');
              return !Stopping() && sink.write(chunk.data(), chunk.size());
            });
        return;
      case Fault::Action::Unsolicited:
        // The extra answer follows the announced body on the same connection.
        response.status = fault->status;
        response.set_content_provider(
            fault->body.size(), "text/plain",
            [this, body = fault->body](size_t /*offset*/, size_t /*length*/,
                                       httplib::DataSink& sink) {
              static const std::string extra = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
              // A pause first, so that the client has read the answer it asked for.
              return sink.write(body.data(), body.size()) &&
                     WaitUnlessStopping(std::chrono::milliseconds(20)) &&
                     sink.write(extra.data(), extra.size());
            });
        return;
      case Fault::Action::Reset:
        // Half the body goes out, then the connection is reset.
        response.set_content_provider(
            fault->body.size(), "text/plain",
            [body = fault->body, local = request.local_port, remote = request.remote_port](
                size_t offset, size_t /*length*/, httplib::DataSink& sink) {
              if (offset == 0) sink.write(body.data(), body.size() / 2);
              EndConnections(local, remote, Ending::Reset);
              return false;
            });
        return;
      case Fault::Action::Drip: {
        // Without a body of its own, the fault drips the service's own answer.
        std::string body = fault->body;
        if (body.empty()) {
          ServiceModel::Answer answer = m_model.Handle(path, request.body);
          response.status = answer.status;
          body = std::move(answer.body);
        }
        response.set_content_provider(
            body.size(), "text/plain",
            [this, body, delay = fault->delay](size_t offset, size_t /*length*/,
                                               httplib::DataSink& sink) {
              return sink.write(body.data() + offset, 1) && WaitUnlessStopping(delay);
            });
        return;
      }
    }
  }

  if (request.method != "POST") {
    response.status = 405;
    response.set_content("the facepad service answers POST only", "text/plain");
    return;
  }
  const ServiceModel::Answer answer = m_model.Handle(path, request.body);
  response.status = answer.status;
  response.set_content(answer.body, "text/plain");
}

std::optional<Fault> FacepadSimulator::TakeFault(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
    if (!it->path.empty() && it->path != path) continue;
    Fault fault = *it;
    if (it->count > 0 && --it->count == 0) m_faults.erase(it);
    return fault;
  }
  return std::nullopt;
}

bool FacepadSimulator::Stopping() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stopping;
}

bool FacepadSimulator::WaitUnlessStopping(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return !m_stopWake.wait_for(lock, delay, [this] { return m_stopping; });
}

std::vector<JournalEntry> FacepadSimulator::Journal() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {m_journal.begin(), m_journal.end()};
}

std::vector<JournalEntry> FacepadSimulator::JournalWhere(
    const std::function<bool(const JournalEntry&)>& keep) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<JournalEntry> matching;
  std::copy_if(m_journal.begin(), m_journal.end(), std::back_inserter(matching), keep);
  return matching;
}

std::vector<JournalEntry> FacepadSimulator::Requests(const std::string& path) const {
  return JournalWhere([&](const JournalEntry& entry) { return entry.path == path; });
}

std::vector<JournalEntry> FacepadSimulator::RequestsBesidesPolls() const {
  return JournalWhere([](const JournalEntry& entry) { return entry.path != "facepad/getresult"; });
}

void FacepadSimulator::ClearJournal() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_journal.clear();
}

std::size_t FacepadSimulator::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::set<std::string> peers;
  for (const JournalEntry& entry : m_journal) peers.insert(entry.peer);
  return peers.size();
}

void FacepadSimulator::AddFault(Fault fault) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (fault.count != 0) m_faults.push_back(std::move(fault));
}

void FacepadSimulator::ClearFaults() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_faults.clear();
}

std::vector<Fault> FacepadSimulator::Faults() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_faults;
}

void FacepadSimulator::Reset() {
  m_model.Reset();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_faults.clear();
  m_journal.clear();
}

void FacepadSimulator::QueueResult(const std::string& sn, const std::string& id,
                                   const std::string& code) {
  m_model.QueueResult(sn, id, code);
}

void FacepadSimulator::QueueResultAnswer(std::string body) {
  m_model.QueueResultAnswer(std::move(body));
}

std::map<std::string, std::vector<ResultEntry>> FacepadSimulator::PendingResults() const {
  return m_model.PendingResults();
}

void FacepadSimulator::SetTerminalStatusAnswer(std::optional<std::string> body) {
  m_model.SetTerminalStatusAnswer(std::move(body));
}

std::optional<Person> FacepadSimulator::FindPerson(const std::string& sn,
                                                   const std::string& certnum) const {
  return m_model.FindPerson(sn, certnum);
}

std::size_t FacepadSimulator::PersonCount(const std::string& sn) const {
  return m_model.PersonCount(sn);
}

std::optional<Terminal> FacepadSimulator::FindTerminal(const std::string& sn) const {
  return m_model.FindTerminal(sn);
}

std::optional<std::pair<std::string, std::string>> FacepadSimulator::ListenPortRequest() const {
  return m_model.ListenPortRequest();
}

}  // namespace FacepadSim
