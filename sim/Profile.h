// A service's dialect, for the simulator to speak: its result codes for
// done, already held and not held, in place of the simulator's own 0, 101
// and 102, and each endpoint's answer time. Read from a small JSON profile,
//   {"codes": {"done": "7", "held": "31", "absent": "32"},
//    "answer_ms": {"facepad/adduser": 50}}
// or from what facepadctl check --record wrote (JSON lines: each exchange's
// path and time_us, then {"codes": {...}}), whose median time per path is
// taken. A profile carries no framing: a service that frames its answers
// otherwise is reported by check, not replayed.
#ifndef FACEPAD_PROFILE_H
#define FACEPAD_PROFILE_H

#include <chrono>
#include <map>
#include <stdexcept>
#include <string>

namespace FacepadSim {

struct Profile {
  // The simulator's own codes ("0", "101", "102") to the service's.
  std::map<std::string, std::string> codes;
  std::map<std::string, std::chrono::milliseconds> answerTimes;  // by path
};

// Why a profile cannot be used; the message names the file and the line.
class ProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Profile ReadProfile(const std::string& path);

// "done 7, already held 31, not held 102 (its own), facepad/adduser 50 ms".
std::string Describe(const Profile& profile);

}  // namespace FacepadSim

#endif  // FACEPAD_PROFILE_H
