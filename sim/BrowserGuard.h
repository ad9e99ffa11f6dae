// What a browser may ask of the simulator. A page from any site, open in
// the same browser, can send requests to a loopback port (a form, a
// `fetch` in no-cors mode), and with a name of its own rebound to 127.0.0.1
// it can read the answers too. The guard lets through requests that carry
// no Origin (the adaptor, scripts, curl) and those from the simulator's own
// page; every other browser request is refused.
#ifndef FACEPAD_BROWSER_GUARD_H
#define FACEPAD_BROWSER_GUARD_H

#include <optional>
#include <string>

namespace httplib {
struct Request;
}  // namespace httplib

namespace FacepadSim {

class BrowserGuard {
 public:
  // Guards a simulator listening on `host` and `port`.
  BrowserGuard(std::string host, int port);

  // Why `request` is refused (with 403), or nothing:
  // - on every path, an Origin other than this simulator's own page
  //   ("null" included);
  // - on the simulator's own paths (`ownPath`: the page and the admin API),
  //   a Host that does not name this simulator.
  std::optional<std::string> Refusal(const httplib::Request& request, bool ownPath) const;

  // Whether `host` ("127.0.0.1:8080", a Host header's value) names this
  // simulator: by the address it listens on, as localhost or by any IP
  // address, with its port. A name that only resolves here is not taken.
  bool NamesThisSimulator(const std::string& host) const;

 private:
  // The name in `host` ("name:port"), when the port is this simulator's.
  std::optional<std::string> NameOnThisPort(const std::string& host) const;
  // Whether `host` (an Origin's "name:port") is where this simulator's page
  // is opened: http:// and its address, localhost or a loopback address, with
  // its port; any IP address when it listens on every address.
  bool IsOwnPage(const std::string& host) const;

  const std::string m_host;
  const int m_port;
};

// Whether a Content-Type's media type is application/json, parameters such
// as "; charset=utf-8" aside.
bool IsJsonMediaType(const std::string& contentType);

}  // namespace FacepadSim

#endif  // FACEPAD_BROWSER_GUARD_H
