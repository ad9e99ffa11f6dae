#include "BrowserGuard.h"

#include <arpa/inet.h>

#include <httplib.h>

#include <algorithm>
#include <cctype>

namespace FacepadSim {
namespace {

std::string Trimmed(const std::string& text) {
  const auto blank = [](unsigned char c) { return c == ' ' || c == '\t'; };
  auto begin = std::find_if_not(text.begin(), text.end(), blank);
  auto end = std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(begin), blank);
  return {begin, end.base()};
}

}  // namespace

BrowserGuard::BrowserGuard(std::string host, int port) : m_host(std::move(host)), m_port(port) {}

std::optional<std::string> BrowserGuard::Refusal(const httplib::Request& request,
                                                 bool ownPath) const {
  if (request.has_header("Origin")) {
    const std::string origin = request.get_header_value("Origin");
    const std::string scheme = "http://";
    if (origin.compare(0, scheme.size(), scheme) != 0 ||
        !NamesThisSimulator(origin.substr(scheme.size()))) {
      return "a browser request from another origin (" + origin + ") is refused";
    }
  }
  if (ownPath && !NamesThisSimulator(request.get_header_value("Host"))) {
    return "the Host header must name this simulator by its address or as localhost";
  }
  return std::nullopt;
}

bool BrowserGuard::NamesThisSimulator(const std::string& host) const {
  const std::string port = ":" + std::to_string(m_port);
  if (host.size() <= port.size() ||
      host.compare(host.size() - port.size(), port.size(), port) != 0) {
    return false;
  }
  std::string name = host.substr(0, host.size() - port.size());
  if (name == m_host || name == "localhost") return true;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
    in6_addr address6{};
    return inet_pton(AF_INET6, name.c_str(), &address6) == 1;
  }
  in_addr address{};
  return inet_pton(AF_INET, name.c_str(), &address) == 1;
}

bool IsJsonMediaType(const std::string& contentType) {
  std::string type = Trimmed(contentType.substr(0, contentType.find(';')));
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return type == "application/json";
}

}  // namespace FacepadSim
