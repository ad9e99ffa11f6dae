#include "FailureText.h"

namespace Facepadctl {

std::string FailureText(const ZR_Framework::Face::TerminalFace_ZR::FailureReason& reason) {
  using Failure = ZR_Framework::Face::TerminalFace_ZR::Failure;
  switch (reason.failure) {
    case Failure::NotReached:
      return "the service could not be reached";
    case Failure::TimedOut:
      return "no answer within the time-out";
    case Failure::NoAnswer:
      return "the connection failed before an answer came";
    case Failure::Status:
      return "refused by the service (status " + std::to_string(reason.status) + ")";
    case Failure::RefusedValue:
      return "not sent: a value holds a tab or NUL";
    case Failure::NoDocument:
    case Failure::OutOfMemory:
      return "not sent: out of memory";
    case Failure::NotConnected:
      return "not connected";
    case Failure::UnreadableAnswer:
      return "the service's answer could not be read";
    case Failure::NotSupported:
      return "not supported";
    case Failure::None:
      break;
  }
  return "failed";
}

}  // namespace Facepadctl
