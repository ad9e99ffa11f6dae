// The simulator's connections: an HTTP server that serves each accepted
// connection on a thread of its own, up to a limit, owns their sockets, and
// on Shutdown() wakes every one of them at once and joins their threads.
//
// The server library's own loop reads a request and answers it; what
// happens around that (waiting for the next request, time-outs, ending a
// connection) is done here, so that the simulator only ever touches sockets
// it accepted itself, and none after Shutdown() returns.
#ifndef FACEPAD_CONNECTIONS_H
#define FACEPAD_CONNECTIONS_H

#include <httplib.h>

#include <cstddef>
#include <ctime>

namespace FacepadSim {

// How a connection is ended under the server's feet.
enum class Ending {
  Shutdown,  // the client sees the connection end (FIN)
  Reset,     // the client sees it reset (RST)
};

// Ends the connection the calling thread serves: callable from a request
// handler or a content provider, which run on their connection's thread.
// Does nothing on any other thread.
void EndThisConnection(Ending ending);

// The connection the calling thread serves is closed once this request is
// answered, the rest of its request left unread (read and dropped for a
// moment first, so that the client can read the answer).
void CloseAfterThisAnswer();

class ConnectionServer : public httplib::Server {
 public:
  struct Limits {
    // Connections served at once; one more is closed at once, unanswered.
    std::size_t connections = 512;
    // A connection's first request, and each part of a request, must arrive
    // within this many seconds.
    std::time_t readSeconds = 2;
    // A connection kept alive between requests is closed after this many
    // idle seconds.
    std::time_t keepAliveSeconds = 5;
    // An answer that cannot be sent for this many seconds ends its connection.
    std::time_t writeSeconds = 5;
  };

  explicit ConnectionServer(Limits limits);
  ~ConnectionServer() override;
  ConnectionServer(const ConnectionServer&) = delete;
  ConnectionServer& operator=(const ConnectionServer&) = delete;

  // Stops accepting and ends every connection; listen_after_bind() returns
  // once their threads are joined. Safe to call again, and from any thread.
  void Shutdown();

 private:
  bool process_and_close_socket(int sock) override;

  const Limits m_limits;
  int m_wake = -1;  // an eventfd, readable from Shutdown() on
};

}  // namespace FacepadSim

#endif  // FACEPAD_CONNECTIONS_H
