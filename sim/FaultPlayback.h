// Playing a scripted fault into a request's answer.
#ifndef FACEPAD_FAULT_PLAYBACK_H
#define FACEPAD_FAULT_PLAYBACK_H

#include <string>

#include "Fault.h"
#include "ServiceModel.h"
#include "StopSignal.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace FacepadSim {

// Plays `fault` on the request for `path`: fills `response` (or ends the
// connection) and returns true, or returns false when the request is to get
// the service's normal answer after all (a delay that ran its course).
// Waits are cut short by `stop`; `model` answers what a drip drips.
bool PlayFault(const Fault& fault, const std::string& path, const httplib::Request& request,
               httplib::Response& response, ServiceModel& model, const StopSignal& stop);

}  // namespace FacepadSim

#endif  // FACEPAD_FAULT_PLAYBACK_H
