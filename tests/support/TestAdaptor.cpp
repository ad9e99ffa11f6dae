#include "TestAdaptor.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return 1;  // privileged: nothing of ours listens there
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

std::chrono::milliseconds Scaled(std::chrono::milliseconds time) {
  const char* scale = std::getenv("ZR_TIME_SCALE");
  const int factor = scale != nullptr ? std::atoi(scale) : 1;
  return time * std::max(factor, 1);
}
