// A loopback TCP listener that speaks no HTTP: it answers every connection
// with the same bytes, once the request has come, and closes it. It stops on
// scope exit.
#ifndef TESTS_RAW_LISTENER_H
#define TESTS_RAW_LISTENER_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

class RawListener {
 public:
  explicit RawListener(std::string answer) : m_answer(std::move(answer)) {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    static_cast<void>(bind(m_socket, generic, length));
    listen(m_socket, 16);
    getsockname(m_socket, generic, &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
      for (int peer; (peer = accept(m_socket, nullptr, nullptr)) >= 0; close(peer)) {
        char request[4096];
        static_cast<void>(recv(peer, request, sizeof request, 0));
        static_cast<void>(send(peer, m_answer.data(), m_answer.size(), MSG_NOSIGNAL));
      }
    });
  }
  ~RawListener() {
    shutdown(m_socket, SHUT_RDWR);  // ends the accept under way
    m_thread.join();
    close(m_socket);
  }
  int Port() const { return m_port; }

 private:
  const std::string m_answer;
  const int m_socket = socket(AF_INET, SOCK_STREAM, 0);
  int m_port = 0;
  std::thread m_thread;  // last: starts once the rest exists
};

#endif  // TESTS_RAW_LISTENER_H
