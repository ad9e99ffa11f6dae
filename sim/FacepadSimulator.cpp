#include "FacepadSimulator.h"

#include <strings.h>
#include <sys/socket.h>
#include <csignal>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "AdminApi.h"
#include "BrowserGuard.h"
#include "Connections.h"
#include "FaultPlayback.h"

namespace FacepadSim {
namespace {

constexpr std::size_t kKeepAliveRequests = 1000000;

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

// Answers before the body is read; the connection is closed after the
// answer, since what is left of the request cannot be told from the next.
// The page and the admin API answer in JSON, the service in plain text.
void RefuseUnread(httplib::Response& response, int status, const std::string& why,
                  bool ownPath = false) {
  if (ownPath) {
    AdminApi::Refuse(response, status, why);
  } else {
    response.status = status;
    response.set_content(why, "text/plain");
  }
  response.set_header("Connection", "close");
  CloseAfterThisAnswer();
}

void RefuseAsTooLarge(httplib::Response& response, std::size_t maxBody) {
  RefuseUnread(response, 413, "the body is over " + std::to_string(maxBody) + " bytes");
}

// The path without its leading "/": "facepad/adduser", "admin/state", "".
std::string PathOf(const httplib::Request& request) {
  return request.path.empty() ? request.path : request.path.substr(1);
}

// The page and the admin API: the simulator's own, not the service's.
bool IsOwnPath(const std::string& path) {
  return path.empty() || path.rfind("admin/", 0) == 0 || path == "favicon.ico";
}

// What makes `request` ambiguous, if anything: where its body ends, whom it
// is for or where it comes from said twice, or a body framed in a way this
// server does not read.
std::optional<std::string> FramingFault(const httplib::Request& request) {
  for (const char* name : {"Content-Length", "Transfer-Encoding", "Host", "Origin"}) {
    if (request.get_header_value_count(name) > 1) return std::string("two ") + name + " headers";
  }
  if (request.has_header("Transfer-Encoding")) {
    if (request.has_header("Content-Length")) return "both Content-Length and Transfer-Encoding";
    const std::string coding = request.get_header_value("Transfer-Encoding");
    if (strcasecmp(coding.c_str(), "chunked") != 0) {
      return "a body is sent whole or chunked, not " + coding;
    }
  }
  return std::nullopt;
}

// The Content-Length `request` announces, if any.
std::optional<unsigned long long> AnnouncedLength(const httplib::Request& request) {
  if (!request.has_header("Content-Length")) return std::nullopt;
  const std::string text = request.get_header_value("Content-Length");
  char* end = nullptr;
  errno = 0;
  const unsigned long long length = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0) return ~0ULL;  // too large to tell
  return length;
}

}  // namespace

FacepadSimulator::FacepadSimulator(SimulatorOptions options)
    : m_options(std::move(options)),
      m_model(m_options.state),
      m_journal(m_options.journalLimit, m_options.journalBodyLimit, m_options.journalFile),
      m_server(std::make_unique<ConnectionServer>(
          ConnectionServer::Limits{m_options.maxConnections, 2, 5, 5})) {
  IgnoreSigpipeOnce();
  m_model.SetCodeNames(m_options.profile.codes);
  m_server->set_keep_alive_max_count(kKeepAliveRequests);
  m_server->set_tcp_nodelay(true);  // answers go out at once, not after a delayed ACK
  m_server->set_payload_max_length(m_options.maxBody);
  // The server library listens with a backlog of a few connections: clients
  // connecting at once beyond it wait a second for their SYN to be resent.
  // The listening socket is noted here and given a full backlog once bound.
  m_server->set_socket_options([this](int socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    m_listeningSocket = socket;
  });

  m_server->set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        return Screen(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                         : httplib::Server::HandlerResponse::Handled;
      });
  const std::size_t maxBody = m_options.maxBody;
  // A client that waits to be told to send its body is told 413 instead
  // when the body would be over the limit.
  m_server->set_expect_100_continue_handler(
      [maxBody](const httplib::Request& request, httplib::Response& response) {
        const std::optional<unsigned long long> length = AnnouncedLength(request);
        if (!length || *length <= maxBody) return 100;
        RefuseAsTooLarge(response, maxBody);
        return 413;
      });
  const auto serveWithBody = [this, maxBody](const httplib::Request& request,
                                             httplib::Response& response,
                                             const httplib::ContentReader& reader) {
    httplib::Request withBody = request;
    // Room for an announced body at once: growing into it would take up to
    // twice its size, and leave pieces of the heap behind.
    if (const std::optional<unsigned long long> length = AnnouncedLength(request)) {
      withBody.body.reserve(
          static_cast<std::size_t>(std::min<unsigned long long>(*length, maxBody)));
    }
    bool over = false;
    const bool whole = reader([&](const char* data, size_t length) {
      over = withBody.body.size() + length > maxBody;
      if (!over) withBody.body.append(data, length);
      return !over;
    });
    if (over) return RefuseAsTooLarge(response, maxBody);
    // Cut short (the client went quiet or away) or badly framed: nothing of
    // it is served.
    if (!whole) {
      return RefuseUnread(response, 400, "the body did not arrive whole",
                          IsOwnPath(PathOf(request)));
    }
    Serve(withBody, response);
  };
  m_server->Post(".*", serveWithBody);
  m_server->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    Serve(request, response);
  });
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
  m_guard = std::make_unique<BrowserGuard>(m_options.host, m_port);
  m_admin = std::make_unique<AdminApi>(m_model, m_journal, m_faults);
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
  const std::lock_guard<std::mutex> lock(m_stopping);
  m_stop.Raise();
  // Ends the connections this server accepted, each by its own thread, and
  // joins those threads before the listener returns.
  m_server->Shutdown();
  if (m_listener.joinable()) m_listener.join();
}

bool FacepadSimulator::Screen(const httplib::Request& request, httplib::Response& response) const {
  const std::string path = PathOf(request);
  const bool ownPath = IsOwnPath(path);
  if (const std::optional<std::string> why = FramingFault(request)) {
    RefuseUnread(response, 400, *why, ownPath);
    return false;
  }
  // An announced body over the limit is refused before it is read; a
  // chunked one as it passes the limit (in the POST handler).
  const std::optional<unsigned long long> length = AnnouncedLength(request);
  if (length && *length > m_options.maxBody) {
    RefuseAsTooLarge(response, m_options.maxBody);
    return false;
  }
  if (const std::optional<std::string> why = m_guard->Refusal(request, ownPath)) {
    RefuseUnread(response, 403, *why, ownPath);
    return false;
  }
  // A request the path is not for is answered here, so that it is neither
  // journalled nor given a fault scripted for the service's requests.
  const std::string method =
      ServiceModel::IsEndpoint(path) ? std::string("POST") : AdminApi::MethodFor(path);
  if (!method.empty() && request.method != method) {
    response.set_header("Allow", method);
    RefuseUnread(response, 405, "/" + path + " takes " + method + " only", ownPath);
    return false;
  }
  return true;
}

void FacepadSimulator::Serve(const httplib::Request& request, httplib::Response& response) {
  const std::string path = PathOf(request);
  // The page and the admin API are the simulator's own: not journalled, no faults.
  if (IsOwnPath(path)) {
    m_admin->Serve(path, request, response);
    return;
  }
  JournalEntry entry{request.method,
                     path,
                     {},
                     {},
                     request.remote_addr + ":" + std::to_string(request.remote_port),
                     std::chrono::steady_clock::now(),
                     std::chrono::system_clock::now(),
                     0,
                     0};
  for (const auto& header : request.headers) entry.headers.emplace_back(header);
  const std::uint64_t sequence = m_journal.Record(std::move(entry), request.body);
  try {
    ServeService(path, request, response);
  } catch (...) {
    m_journal.RecordStatus(sequence, 500);  // what the server answers for it
    throw;
  }
  m_journal.RecordStatus(sequence, response.status);
}

void FacepadSimulator::ServeService(const std::string& path, const httplib::Request& request,
                                    httplib::Response& response) {
  if (const std::optional<Fault> fault = m_faults.Take(path)) {
    if (PlayFault(*fault, path, request, response, m_model, m_stop)) return;
  }
  const auto pace = m_options.profile.answerTimes.find(path);
  if (pace != m_options.profile.answerTimes.end() && !m_stop.WaitUnlessRaised(pace->second)) {
    response.status = 503;  // stopping
    return;
  }
  const ServiceModel::Answer answer = m_model.Handle(path, request.body);
  response.status = answer.status;
  response.set_content(answer.body, "text/plain");
}

std::vector<JournalEntry> FacepadSimulator::Journal() const {
  return m_journal.Entries();
}

std::vector<JournalEntry> FacepadSimulator::Requests(const std::string& path) const {
  return m_journal.Where([&](const JournalEntry& entry) { return entry.path == path; });
}

std::vector<JournalEntry> FacepadSimulator::RequestsBesidesPolls() const {
  return m_journal.Where(
      [](const JournalEntry& entry) { return entry.path != "facepad/getresult"; });
}

void FacepadSimulator::ClearJournal() {
  m_journal.Clear();
}

std::size_t FacepadSimulator::ConnectionCount() const {
  return m_journal.ConnectionCount();
}

void FacepadSimulator::AddFault(Fault fault) {
  m_faults.Add(std::move(fault));
}

void FacepadSimulator::ClearFaults() {
  m_faults.Clear();
}

std::vector<Fault> FacepadSimulator::Faults() const {
  return m_faults.List();
}

void FacepadSimulator::Reset() {
  m_admin->Reset();
}

}  // namespace FacepadSim
