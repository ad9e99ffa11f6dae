#include "BrowserGuard.h"

#include <arpa/inet.h>
#include <strings.h>

#include <httplib.h>

#include <algorithm>

namespace FacepadSim {
namespace {

std::string Trimmed(const std::string& text) {
  const auto blank = [](unsigned char c) { return c == ' ' || c == '\t'; };
  auto begin = std::find_if_not(text.begin(), text.end(), blank);
  auto end = std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(begin), blank);
  return {begin, end.base()};
}

// `name` without the brackets of an IPv6 literal.
std::string Unbracketed(const std::string& name) {
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    return name.substr(1, name.size() - 2);
  }
  return name;
}

bool IsIpAddress(const std::string& name) {
  in_addr address{};
  in6_addr address6{};
  return inet_pton(AF_INET, name.c_str(), &address) == 1 ||
         (name != Unbracketed(name) &&
          inet_pton(AF_INET6, Unbracketed(name).c_str(), &address6) == 1);
}

bool IsLoopback(const std::string& name) {
  in_addr address{};
  if (inet_pton(AF_INET, name.c_str(), &address) == 1) return (ntohl(address.s_addr) >> 24) == 127;
  return Unbracketed(name) == "::1" && name != Unbracketed(name);
}

}  // namespace

BrowserGuard::BrowserGuard(std::string host, int port) : m_host(std::move(host)), m_port(port) {}

std::optional<std::string> BrowserGuard::Refusal(const httplib::Request& request,
                                                 bool ownPath) const {
  if (request.has_header("Origin")) {
    const std::string origin = request.get_header_value("Origin");
    const std::string scheme = "http://";
    if (origin.compare(0, scheme.size(), scheme) != 0 || !IsOwnPage(origin.substr(scheme.size()))) {
      return "a browser request from another origin (" + origin + ") is refused";
    }
  }
  if (ownPath && !NamesThisSimulator(request.get_header_value("Host"))) {
    return "the Host header must name this simulator by its address or as localhost";
  }
  return std::nullopt;
}

std::optional<std::string> BrowserGuard::NameOnThisPort(const std::string& host) const {
  const std::string port = ":" + std::to_string(m_port);
  if (host.size() <= port.size() ||
      host.compare(host.size() - port.size(), port.size(), port) != 0) {
    return std::nullopt;
  }
  return host.substr(0, host.size() - port.size());
}

bool BrowserGuard::NamesThisSimulator(const std::string& host) const {
  const std::optional<std::string> name = NameOnThisPort(host);
  return name && (*name == m_host || *name == "localhost" || IsIpAddress(*name));
}

bool BrowserGuard::IsOwnPage(const std::string& host) const {
  const std::optional<std::string> name = NameOnThisPort(host);
  if (!name) return false;
  if (*name == m_host || Unbracketed(*name) == m_host || *name == "localhost" ||
      IsLoopback(*name)) {
    return true;
  }
  // Listening on every address, the page may be opened by any of them.
  return (m_host == "0.0.0.0" || m_host == "::") && IsIpAddress(*name);
}

bool IsJsonMediaType(const std::string& contentType) {
  return strcasecmp(Trimmed(contentType.substr(0, contentType.find(';'))).c_str(),
                    "application/json") == 0;
}

}  // namespace FacepadSim
