// The simulator's own face: the page at "/" and the JSON admin API under
// "/admin/", for looking into the service's state and scripting it. These
// answer on the simulator's address only; an admin POST must carry
// "Content-Type: application/json" and a Host naming that address, so that
// another page open in the same browser cannot reset or script it.
#ifndef FACEPAD_ADMIN_API_H
#define FACEPAD_ADMIN_API_H

#include <string>

#include "Fault.h"
#include "Journal.h"
#include "ServiceModel.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace FacepadSim {

class AdminApi {
 public:
  // Shows and scripts `model`, `journal` and `faults`; admin POSTs must name
  // `host` and `port`, the address the simulator listens on.
  AdminApi(ServiceModel& model, Journal& journal, FaultScript& faults, std::string host, int port);

  // Answers a request for the page ("") or for "admin/...".
  void Serve(const std::string& path, const httplib::Request& request,
             httplib::Response& response) const;
  // Forgets the service's state, the journal and the faults.
  void Reset() const;

 private:
  void State(httplib::Response& response) const;
  void Persons(const httplib::Request& request, httplib::Response& response) const;
  void Photo(const httplib::Request& request, httplib::Response& response) const;
  void JournalPage(const httplib::Request& request, httplib::Response& response) const;
  void Post(const std::string& path, const httplib::Request& request,
            httplib::Response& response) const;
  bool NamesThisSimulator(const std::string& host) const;

  ServiceModel& m_model;
  Journal& m_journal;
  FaultScript& m_faults;
  const std::string m_host;
  const int m_port;
};

}  // namespace FacepadSim

#endif  // FACEPAD_ADMIN_API_H
