#include "FacepadSimulator.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <csignal>

#include <httplib.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <set>
#include <stdexcept>

#include "FormBody.h"

namespace FacepadSim {
namespace {

// The simulator stands in for the service and shares no code with the
// adaptor, so that a fault on one side cannot hide one on the other.
struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

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

std::string FieldOr(const std::map<std::string, std::string>& fields, const char* name) {
  const auto found = fields.find(name);
  return found != fields.end() ? found->second : std::string();
}

std::string JsonText(json_object* object, const char* key) {
  json_object* member = nullptr;
  if (!json_object_object_get_ex(object, key, &member) || member == nullptr) return {};
  const char* text = json_object_get_string(member);
  return text != nullptr ? text : "";
}

std::string PlainJson(json_object* object) {
  const char* text = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN);
  return text != nullptr ? text : "";
}

}  // namespace

FacepadSimulator::FacepadSimulator(SimulatorOptions options)
    : m_options(std::move(options)), m_server(std::make_unique<httplib::Server>()) {
  IgnoreSigpipeOnce();
  const std::size_t threads = std::max<std::size_t>(m_options.threads, 1);
  m_server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  m_server->set_keep_alive_max_count(kKeepAliveRequests);
  m_server->set_keep_alive_timeout(kKeepAliveSeconds);
  m_server->set_tcp_nodelay(true);  // answers go out at once, not after a delayed ACK
  // The server library listens with a backlog of a few connections: clients
  // connecting at once beyond it wait a second for their SYN to be resent.
  // The listening socket is noted here and given a full backlog once bound.
  int listening = -1;
  m_server->set_socket_options([&listening](int socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listening = socket;
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

  m_port = m_options.port == 0
               ? m_server->bind_to_any_port(m_options.host)
               : (m_server->bind_to_port(m_options.host, m_options.port) ? m_options.port : -1);
  if (m_port <= 0) {
    throw std::runtime_error("facepad simulator: cannot listen on " + m_options.host + ":" +
                             std::to_string(m_options.port));
  }
  if (listening >= 0) listen(listening, SOMAXCONN);  // a second listen() only resizes the backlog
  m_listener = std::thread([this] { m_server->listen_after_bind(); });
  while (!m_server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
  {
    JournalEntry entry{request.method,
                       path,
                       {},
                       request.body,
                       request.remote_addr + ":" + std::to_string(request.remote_port),
                       std::chrono::steady_clock::now()};
    for (const auto& header : request.headers) entry.headers.emplace_back(header);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_journal.push_back(std::move(entry));
    while (m_journal.size() > m_options.journalLimit) m_journal.pop_front();
  }

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
      case Fault::Action::Drip:
        response.set_content_provider(
            fault->body.size(), "text/plain",
            [this, body = fault->body, delay = fault->delay](size_t offset, size_t /*length*/,
                                                             httplib::DataSink& sink) {
              return sink.write(body.data() + offset, 1) && WaitUnlessStopping(delay);
            });
        return;
    }
  }

  if (request.method != "POST") {
    response.status = 405;
    response.set_content("the facepad service answers POST only", "text/plain");
    return;
  }
  const Answer answer = Handle(path, request.body);
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

FacepadSimulator::Answer FacepadSimulator::Handle(const std::string& path,
                                                  const std::string& body) {
  using Apply = const char* (FacepadSimulator::*)(const Fields&, json_object*);
  struct Endpoint {
    const char* path;
    std::vector<std::string_view> required;
    std::vector<std::string_view> optional;
    bool jsonData;
    Apply apply;
  };
  static const std::vector<Endpoint> kEndpoints = {
      {"facepad/adduser", {"SN", "id", "data"}, {"facepic"}, true, &FacepadSimulator::AddUser},
      {"facepad/setuser", {"SN", "id", "data"}, {}, true, &FacepadSimulator::SetUser},
      {"facepad/deluser", {"SN", "id", "data"}, {}, true, &FacepadSimulator::DelUser},
      {"facepad/setfacepic", {"SN", "id", "data"}, {}, true, &FacepadSimulator::SetFacePic},
      {"facepad/binding",
       {"SN", "ch", "ip", "port", "username", "password"},
       {},
       false,
       &FacepadSimulator::Bind},
      {"facepad/unbinding", {"SN"}, {}, false, &FacepadSimulator::Unbind},
      {"facepad/setport", {"port", "reset"}, {}, false, &FacepadSimulator::SetListenPort},
      {"facepad/controldevice", {"SN", "id", "data"}, {}, true, &FacepadSimulator::ControlDevice},
      {"facepad/getterminalstatus", {"SN"}, {}, false, nullptr},
      {"facepad/active", {"SN", "id", "data"}, {}, true, &FacepadSimulator::Activate},
      {"facepad/activationstatus", {"SN", "id"}, {}, false, &FacepadSimulator::ActivationStatus},
      {"facepad/getresult", {}, {}, false, nullptr},
  };

  const auto endpoint = std::find_if(kEndpoints.begin(), kEndpoints.end(),
                                     [&](const Endpoint& e) { return path == e.path; });
  if (endpoint == kEndpoints.end()) return {404, "unknown endpoint: " + path};
  // An empty post to "facepad/active" is how clients probe the service.
  if (path == "facepad/active" && body.empty()) return {};

  std::vector<std::string_view> names = endpoint->required;
  names.insert(names.end(), endpoint->optional.begin(), endpoint->optional.end());
  const Fields fields = ParseFormBody(body, names);
  for (std::string_view name : endpoint->required) {
    if (fields.count(std::string(name)) == 0) {
      return {400, "missing field: " + std::string(name)};
    }
  }
  JsonPtr data;
  if (endpoint->jsonData) {
    data.reset(json_tokener_parse(fields.at("data").c_str()));
    if (!data || !json_object_is_type(data.get(), json_type_object)) {
      return {400, "data is not a JSON object"};
    }
  }

  std::lock_guard<std::mutex> lock(m_mutex);
  if (path == "facepad/getresult") return {200, ResultAnswer()};
  if (path == "facepad/getterminalstatus") return {200, TerminalStatusAnswer(fields.at("SN"))};
  const char* code = (this->*endpoint->apply)(fields, data.get());
  const auto sn = fields.find("SN");
  const auto id = fields.find("id");
  if (code != nullptr && sn != fields.end() && id != fields.end()) {
    m_pendingResults[sn->second].push_back({id->second, code});
  }
  return {};
}

const char* FacepadSimulator::AddUser(const Fields& fields, json_object* data) {
  const std::string certnum = JsonText(data, "certnum");
  if (certnum.empty()) return Code::kNoCertnum;
  auto& persons = m_persons[fields.at("SN")];
  if (persons.count(certnum) != 0) return Code::kPersonExists;
  persons[certnum] = Person{fields.at("data"), FieldOr(fields, "facepic"), {}, 0};
  return Code::kDone;
}

const char* FacepadSimulator::SetUser(const Fields& fields, json_object* data) {
  const std::string certnum = JsonText(data, "certnum");
  if (certnum.empty()) return Code::kNoCertnum;
  auto& persons = m_persons[fields.at("SN")];
  const auto person = persons.find(certnum);
  if (person == persons.end()) return Code::kPersonUnknown;
  person->second.record = fields.at("data");
  return Code::kDone;
}

const char* FacepadSimulator::DelUser(const Fields& fields, json_object* data) {
  const std::string certnum = JsonText(data, "certnum");
  if (certnum.empty()) return Code::kNoCertnum;
  return m_persons[fields.at("SN")].erase(certnum) != 0 ? Code::kDone : Code::kPersonUnknown;
}

const char* FacepadSimulator::SetFacePic(const Fields& fields, json_object* data) {
  const std::string certnum = JsonText(data, "certnum");
  if (certnum.empty()) return Code::kNoCertnum;
  auto& persons = m_persons[fields.at("SN")];
  const auto person = persons.find(certnum);
  if (person == persons.end()) return Code::kPersonUnknown;
  const std::string content = JsonText(data, "content");
  if (content.empty()) return Code::kNoPhoto;
  json_object* size = nullptr;
  json_object_object_get_ex(data, "size", &size);
  person->second.photo = content;
  person->second.photoSize = json_object_get_int(size);
  return Code::kDone;
}

const char* FacepadSimulator::Activate(const Fields& fields, json_object* data) {
  Terminal& terminal = m_terminals[fields.at("SN")];
  terminal.activated = true;
  terminal.accountUser = JsonText(data, "username");
  terminal.accountPassword = JsonText(data, "password");
  terminal.accountLevel = JsonText(data, "userlevel");
  return Code::kDone;
}

const char* FacepadSimulator::ActivationStatus(const Fields& fields, json_object* /*data*/) {
  const auto terminal = m_terminals.find(fields.at("SN"));
  const bool activated = terminal != m_terminals.end() && terminal->second.activated;
  return activated ? Code::kDone : Code::kNotActivated;
}

const char* FacepadSimulator::Bind(const Fields& fields, json_object* /*data*/) {
  Terminal& terminal = m_terminals[fields.at("SN")];
  terminal.bound = true;
  terminal.channel = fields.at("ch");
  terminal.ip = fields.at("ip");
  terminal.port = fields.at("port");
  terminal.username = fields.at("username");
  terminal.password = fields.at("password");
  return nullptr;
}

const char* FacepadSimulator::Unbind(const Fields& fields, json_object* /*data*/) {
  const auto terminal = m_terminals.find(fields.at("SN"));
  if (terminal != m_terminals.end()) terminal->second.bound = false;
  return nullptr;
}

const char* FacepadSimulator::SetListenPort(const Fields& fields, json_object* /*data*/) {
  m_listenPort.emplace(fields.at("port"), fields.at("reset"));
  return nullptr;
}

const char* FacepadSimulator::ControlDevice(const Fields& fields, json_object* /*data*/) {
  const auto terminal = m_terminals.find(fields.at("SN"));
  const bool bound = terminal != m_terminals.end() && terminal->second.bound;
  return bound ? Code::kDone : Code::kNotBound;
}

std::string FacepadSimulator::ResultAnswer() {
  if (!m_resultAnswers.empty()) {
    std::string answer = std::move(m_resultAnswers.front());
    m_resultAnswers.pop_front();
    return answer;
  }
  if (m_pendingResults.empty()) return "result=[]";
  JsonPtr results(json_object_new_array());
  for (const auto& [sn, entries] : m_pendingResults) {
    JsonPtr list(json_object_new_array());
    for (const ResultEntry& entry : entries) {
      json_object* item = json_object_new_object();
      json_object_object_add(item, "id", json_object_new_string(entry.id.c_str()));
      json_object_object_add(item, "return", json_object_new_string(entry.code.c_str()));
      json_object_array_add(list.get(), item);
    }
    json_object* element = json_object_new_object();
    json_object_object_add(element, "SN", json_object_new_string(sn.c_str()));
    json_object_object_add(element, "data", json_object_new_string(PlainJson(list.get()).c_str()));
    json_object_array_add(results.get(), element);
  }
  m_pendingResults.clear();
  return "result=" + PlainJson(results.get());
}

std::string FacepadSimulator::TerminalStatusAnswer(const std::string& sn) const {
  if (m_terminalStatusAnswer) return *m_terminalStatusAnswer;
  const auto terminal = m_terminals.find(sn);
  const bool connected = terminal != m_terminals.end() && terminal->second.bound;
  JsonPtr list(json_object_new_array());
  json_object* entry = json_object_new_object();
  json_object_object_add(entry, "sn", json_object_new_string(sn.c_str()));
  json_object_object_add(entry, "connstatus", json_object_new_int(connected ? 1 : 0));
  json_object_array_add(list.get(), entry);
  return "Data=" + PlainJson(list.get());
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

void FacepadSimulator::QueueResult(const std::string& sn, const std::string& id,
                                   const std::string& code) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pendingResults[sn].push_back({id, code});
}

void FacepadSimulator::QueueResultAnswer(std::string body) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_resultAnswers.push_back(std::move(body));
}

std::map<std::string, std::vector<ResultEntry>> FacepadSimulator::PendingResults() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_pendingResults;
}

void FacepadSimulator::SetTerminalStatusAnswer(std::optional<std::string> body) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_terminalStatusAnswer = std::move(body);
}

std::optional<Person> FacepadSimulator::FindPerson(const std::string& sn,
                                                   const std::string& certnum) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto terminal = m_persons.find(sn);
  if (terminal == m_persons.end()) return std::nullopt;
  const auto person = terminal->second.find(certnum);
  if (person == terminal->second.end()) return std::nullopt;
  return person->second;
}

std::size_t FacepadSimulator::PersonCount(const std::string& sn) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto terminal = m_persons.find(sn);
  return terminal != m_persons.end() ? terminal->second.size() : 0;
}

std::optional<Terminal> FacepadSimulator::FindTerminal(const std::string& sn) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto terminal = m_terminals.find(sn);
  if (terminal == m_terminals.end()) return std::nullopt;
  return terminal->second;
}

std::optional<std::pair<std::string, std::string>> FacepadSimulator::ListenPortRequest() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_listenPort;
}

}  // namespace FacepadSim
