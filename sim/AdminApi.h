// The simulator's own face: the page at "/" and the JSON admin API under
// "/admin/", for looking into the service's state and scripting it. These
// answer on the simulator's address only; an admin POST must carry
// "Content-Type: application/json" and a Host naming that address, so that
// another page open in the same browser cannot reset or script it.
#ifndef FACEPAD_ADMIN_API_H
#define FACEPAD_ADMIN_API_H

#include <string>

#include "FacepadSimulator.h"

namespace FacepadSim {

// Answers a request for the page ("") or for "admin/...".
void ServeAdmin(FacepadSimulator& simulator, const std::string& path,
                const httplib::Request& request, httplib::Response& response);

// A journalled request as one JSON object: time, path, status and body,
// photos elided to their size.
std::string JournalLine(const JournalEntry& entry);

// `body` with its photos (an adduser's facepic, a setfacepic's content)
// replaced by "<N bytes>".
std::string ElidedBody(const std::string& body);

}  // namespace FacepadSim

#endif  // FACEPAD_ADMIN_API_H
