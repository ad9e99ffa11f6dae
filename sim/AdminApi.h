// The simulator's own face: the page at "/" and the JSON admin API under
// "/admin/", for looking into the service's state and scripting it. An admin
// POST must carry "Content-Type: application/json", which a page from
// another site cannot send without asking first; the server's BrowserGuard
// keeps such pages out besides.
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
  // Shows and scripts `model`, `journal` and `faults`.
  AdminApi(ServiceModel& model, Journal& journal, FaultScript& faults);

  // Answers `status` with {"error": why}.
  static void Refuse(httplib::Response& response, int status, const std::string& why);

  // The method `path` ("", "admin/state", ...) is served for: "GET" or
  // "POST", or empty when there is no such path.
  static std::string MethodFor(const std::string& path);

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

  ServiceModel& m_model;
  Journal& m_journal;
  FaultScript& m_faults;
};

}  // namespace FacepadSim

#endif  // FACEPAD_ADMIN_API_H
