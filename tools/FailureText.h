// Why the adaptor's last operation on this thread failed, in an operator's
// words: the log records cannot tell a refused connection from a time-out.
#ifndef FACEPADCTL_FAILURE_TEXT_H
#define FACEPADCTL_FAILURE_TEXT_H

#include <TerminalFace_ZR/TerminalFace_ZR.h>

#include <string>

namespace Facepadctl {

std::string FailureText(const ZR_Framework::Face::TerminalFace_ZR::FailureReason& reason);

// The calling thread's last failure, in words.
inline std::string LastFailureText() {
  return FailureText(ZR_Framework::Face::TerminalFace_ZR::LastFailure());
}

}  // namespace Facepadctl

#endif  // FACEPADCTL_FAILURE_TEXT_H
