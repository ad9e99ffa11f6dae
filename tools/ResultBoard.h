// Where the adaptor's result handler leaves results for facepadctl's main
// thread. The handler takes every result it is handed and empties the map,
// so each result is taken once.
#ifndef FACEPADCTL_RESULT_BOARD_H
#define FACEPADCTL_RESULT_BOARD_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <TerminalFace_ZR/CLS_TerminalFace_Base.h>

namespace Facepadctl {

struct Result {
  std::string sn;
  std::string id;
  std::string code;
};

class ResultBoard {
 public:
  // The adaptor's result handler, on the poller's thread.
  int Collect(ZR_Framework::Face::ResultMap& results);
  // The results collected since the last call; waits up to `limit` for one.
  std::vector<Result> Take(std::chrono::milliseconds limit);

 private:
  std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::vector<Result> m_results;  // guarded by m_mutex
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_RESULT_BOARD_H
