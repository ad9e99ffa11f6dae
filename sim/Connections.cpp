#include "Connections.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace FacepadSim {
namespace {

// Set on the accepting thread while it closes a connection over the limit.
thread_local bool t_refusing = false;

// After an answer that left part of a request unread, how long what the
// client still sends is read and dropped before the socket is closed, so that
// the close does not reset the connection before the client reads the answer.
constexpr std::chrono::milliseconds kLingering{1000};

// Lines (the request line, each header, each chunk's size) are read a byte
// at a time, into a buffer that grows until the line ends: a line, and a
// request's head, may not grow past these. A request, head and body, must
// arrive within kRequestTime of its first byte: a client that trickles it
// holds its connection no longer.
constexpr std::size_t kLongestLine = 8192;
constexpr std::size_t kLongestHead = std::size_t{64} * 1024;
constexpr std::chrono::seconds kRequestTime{10};

std::string Address(const sockaddr_storage& address, int& port) {
  char text[INET6_ADDRSTRLEN] = "";
  port = -1;
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    port = ntohs(in.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    port = ntohs(in6.sin6_port);
  }
  return text;
}

// Each connection on a thread of its own, up to a limit; one over it is
// closed at once on the accepting thread. Threads that have ended are joined
// as the next connection comes, the others on shutdown.
class ConnectionQueue final : public httplib::TaskQueue {
 public:
  explicit ConnectionQueue(std::size_t limit) : m_limit(std::max<std::size_t>(limit, 1)) {}
  ~ConnectionQueue() override { shutdown(); }
  ConnectionQueue(const ConnectionQueue&) = delete;
  ConnectionQueue& operator=(const ConnectionQueue&) = delete;

  void enqueue(std::function<void()> task) override {
    auto shared = std::make_shared<std::function<void()>>(std::move(task));
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      JoinEnded();
      if (m_threads.size() < m_limit) {
        const auto worker = m_threads.emplace(m_threads.end());
        try {
          *worker = std::thread([this, worker, shared] {
            (*shared)();
            Ended(worker);
          });
          return;
        } catch (const std::system_error&) {
          m_threads.erase(worker);  // no thread to be had: refused like one over the limit
        }
      }
    }
    t_refusing = true;
    (*shared)();
    t_refusing = false;
  }

  void shutdown() override {
    std::list<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_shutDown = true;
      threads.swap(m_threads);
      m_ended.clear();
    }
    for (std::thread& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  using Worker = std::list<std::thread>::iterator;

  void Ended(Worker worker) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_shutDown) m_ended.push_back(worker);
  }
  // With m_mutex held: the threads that have ended, or are about to.
  void JoinEnded() {
    for (const Worker worker : m_ended) {
      worker->join();
      m_threads.erase(worker);
    }
    m_ended.clear();
  }

  const std::size_t m_limit;
  std::mutex m_mutex;  // guards everything below
  std::list<std::thread> m_threads;
  std::vector<Worker> m_ended;
  bool m_shutDown = false;
};

// One accepted connection as the server library reads and writes it. Every
// wait also ends when the server shuts down.
class Connection final : public httplib::Stream {
 public:
  Connection(int socket, int wake, const ConnectionServer::Limits& limits)
      : m_socket(socket), m_wake(wake), m_limits(limits) {}
  ~Connection() override {
    if (m_closeAfterAnswer) Linger();
    ::shutdown(m_socket, SHUT_RDWR);
    ::close(m_socket);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Whether a request begins within `seconds`.
  bool AwaitRequest(std::time_t seconds) const {
    return m_begin < m_end || Wait(POLLIN, std::chrono::seconds(seconds));
  }
  // A request begins: its head is read from now on.
  void BeginRequest() {
    m_inHead = true;
    m_headBytes = 0;
    m_requestStart = std::chrono::steady_clock::now();
  }
  // The request's head has been read.
  void EndHead() { m_inHead = false; }

  bool is_readable() const override {
    if (m_begin < m_end || Wait(POLLIN, std::chrono::seconds(m_limits.readSeconds))) return true;
    m_readFailed = true;
    return false;
  }
  bool is_writable() const override {
    return Wait(POLLOUT, std::chrono::seconds(m_limits.writeSeconds));
  }

  ssize_t read(char* data, size_t size) override {
    if (m_begin == m_end) {
      if (Late() || !is_readable()) {
        m_readFailed = true;
        return -1;
      }
      // Headers are read a byte at a time: they come from a buffer.
      const bool direct = size >= m_buffer.size();
      const ssize_t received =
          direct ? Receive(data, size) : Receive(m_buffer.data(), m_buffer.size());
      if (direct && received > 0) return received;
      if (received <= 0) {
        m_readFailed = true;
        return received;
      }
      m_begin = 0;
      m_end = static_cast<std::size_t>(received);
    }
    if (size == 1 && !TakeLineByte(m_buffer[m_begin])) {
      m_readFailed = true;
      return -1;
    }
    const std::size_t taken = std::min(size, m_end - m_begin);
    std::memcpy(data, m_buffer.data() + m_begin, taken);
    m_begin += taken;
    return static_cast<ssize_t>(taken);
  }

  using httplib::Stream::write;
  ssize_t write(const char* data, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t sent = 0;
    do {
      sent = ::send(m_socket, data, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    getpeername(m_socket, reinterpret_cast<sockaddr*>(&address), &size);
    ip = Address(address, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &size);
    ip = Address(address, port);
  }
  int socket() const override { return m_socket; }

  void End(Ending ending) const {
    if (ending == Ending::Shutdown) {
      ::shutdown(m_socket, SHUT_RDWR);
      return;
    }
    // Connecting a TCP socket to AF_UNSPEC aborts its connection with a
    // reset and leaves the descriptor open for its owner to close.
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    static_cast<void>(connect(m_socket, &unspecified, sizeof unspecified));
  }
  // Whether a read timed out or found the connection ended: the request it
  // was part of is answered 400, and nothing more is read.
  bool ReadFailed() const { return m_readFailed; }
  void CloseAfterAnswer() { m_closeAfterAnswer = true; }
  bool ClosingAfterAnswer() const { return m_closeAfterAnswer; }

 private:
  // Whether `events` come on the socket within `limit`: false on time-out
  // and once the server shuts down.
  bool Wait(short events, std::chrono::milliseconds limit) const {
    std::array<pollfd, 2> fds{pollfd{m_socket, events, 0}, pollfd{m_wake, POLLIN, 0}};
    int ready = 0;
    do {
      ready = poll(fds.data(), fds.size(), static_cast<int>(limit.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && fds[1].revents == 0 && fds[0].revents != 0;
  }

  ssize_t Receive(char* data, std::size_t size) const {
    ssize_t received = 0;
    do {
      received = ::recv(m_socket, data, size, 0);
    } while (received < 0 && errno == EINTR);
    return received;
  }

  // Counts a byte of a line; false once the line or the head is too long,
  // or the head too slow.
  bool TakeLineByte(char byte) {
    m_lineBytes = byte == '\n' ? 0 : m_lineBytes + 1;
    if (m_lineBytes > kLongestLine) return false;
    return !m_inHead || (++m_headBytes <= kLongestHead && !Late());
  }

  // Whether the request under way has taken longer than it may.
  bool Late() const { return std::chrono::steady_clock::now() - m_requestStart > kRequestTime; }

  void Linger() {
    ::shutdown(m_socket, SHUT_WR);
    const auto until = std::chrono::steady_clock::now() + kLingering;
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
      if (!Wait(POLLIN, std::chrono::duration_cast<std::chrono::milliseconds>(until - now)) ||
          Receive(m_buffer.data(), m_buffer.size()) <= 0) {
        return;
      }
    }
  }

  const int m_socket;
  const int m_wake;
  const ConnectionServer::Limits& m_limits;
  std::array<char, 4096> m_buffer{};
  std::size_t m_begin = 0;
  std::size_t m_end = 0;
  bool m_closeAfterAnswer = false;
  mutable bool m_readFailed = false;
  bool m_inHead = false;
  std::size_t m_lineBytes = 0;
  std::size_t m_headBytes = 0;
  std::chrono::steady_clock::time_point m_requestStart;
};

// The connection this thread serves, if any.
thread_local Connection* t_connection = nullptr;

}  // namespace

void EndThisConnection(Ending ending) {
  if (t_connection != nullptr) t_connection->End(ending);
}

void CloseAfterThisAnswer() {
  if (t_connection != nullptr) t_connection->CloseAfterAnswer();
}

ConnectionServer::ConnectionServer(Limits limits)
    : m_limits(limits), m_wake(eventfd(0, EFD_CLOEXEC)) {
  if (m_wake < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  new_task_queue = [this] { return new ConnectionQueue(m_limits.connections); };
  set_keep_alive_timeout(m_limits.keepAliveSeconds);
  set_read_timeout(m_limits.readSeconds, 0);
  set_write_timeout(m_limits.writeSeconds, 0);
}

ConnectionServer::~ConnectionServer() {
  ::close(m_wake);
}

void ConnectionServer::Shutdown() {
  const std::uint64_t one = 1;
  static_cast<void>(::write(m_wake, &one, sizeof one));  // stays readable: every wait ends
  stop();
}

bool ConnectionServer::process_and_close_socket(int sock) {
  if (t_refusing) {
    ::close(sock);
    return false;
  }
  Connection connection(sock, m_wake, m_limits);
  t_connection = &connection;
  bool served = true;
  // A new connection's first request gets the read time-out; later ones the keep-alive's.
  std::time_t idle = m_limits.readSeconds;
  for (std::size_t left = keep_alive_max_count_; left > 0 && connection.AwaitRequest(idle);
       --left) {
    bool closed = false;
    bool headRead = false;
    connection.BeginRequest();
    served = process_request(connection, left == 1, closed, [&](httplib::Request& request) {
      headRead = true;
      connection.EndHead();
      // Answers are whole: a list of ranges would copy an answer once for each.
      request.ranges.clear();
      // Without either, a request has no body; unsaid, it would be read until
      // the connection went quiet.
      if (!request.has_header("Content-Length") && !request.has_header("Transfer-Encoding")) {
        request.set_header("Content-Length", "0");
      }
    });
    // A head that could not be read was answered 400: what follows it on the
    // connection cannot be told from the rest of it.
    if (!served || closed || !headRead || connection.ClosingAfterAnswer() ||
        connection.ReadFailed()) {
      break;
    }
    idle = m_limits.keepAliveSeconds;
  }
  t_connection = nullptr;
  return served;
}

}  // namespace FacepadSim
