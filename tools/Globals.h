// The options every facepadctl command takes.
#ifndef FACEPADCTL_GLOBALS_H
#define FACEPADCTL_GLOBALS_H

#include <string>

namespace Facepadctl {

struct Globals {
  std::string host = "127.0.0.1";
  int port = 10003;
  bool json = false;
  bool verbose = false;
  double timeoutSeconds = 30;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_GLOBALS_H
