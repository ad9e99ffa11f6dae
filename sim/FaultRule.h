// The one grammar for a scripted fault, shared by facepad-sim's command line,
// its admin API and its page: PATH=ACTION[:ARG][*COUNT].
//
//   ACTION  a status code (500), hang:SECONDS, close, drip:BYTES_PER_SECOND
//           or garbage (200 with a body the service never sends)
//   COUNT   how many requests it applies to (default: all; *1 for once)
//   PATH    an endpoint such as facepad/adduser, or * for every path
#ifndef FACEPAD_FAULT_RULE_H
#define FACEPAD_FAULT_RULE_H

#include <string>
#include <variant>

#include "Fault.h"
#include "ServiceModel.h"

namespace FacepadSim {

// The fault `text` describes, or what is wrong with it.
std::variant<Fault, std::string> ParseFault(const std::string& text);

// The fault without its path ("500*1", "hang:2"), as ParseFault reads it.
std::string FaultRuleText(const Fault& fault);

}  // namespace FacepadSim

#endif  // FACEPAD_FAULT_RULE_H
