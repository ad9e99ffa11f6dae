#include "Inventory.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "Arguments.h"
#include "Csv.h"
#include "Output.h"
#include "PersonInput.h"

namespace Facepadctl {

namespace {

// The addresses `host` resolves to, as text: none when it does not resolve.
std::set<std::string> Addresses(const std::string& host) {
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);  // an IPv6 address
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::set<std::string> addresses;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return addresses;
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    char text[NI_MAXHOST];
    if (getnameinfo(address->ai_addr, address->ai_addrlen, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) == 0) {
      addresses.insert(text);
    }
  }
  return addresses;
}

// Two hosts on one port that reach one address are most likely one
// service, whose results each adaptor would poll for and take from the
// other: said, though a proxy may route the two names to two services.
void WarnOfOneServiceTwice(const std::vector<ServiceTerminals>& services, const std::string& path) {
  std::map<std::string, std::set<std::string>> resolved;
  const auto addresses = [&](const std::string& host) -> const std::set<std::string>& {
    auto found = resolved.find(host);
    if (found == resolved.end()) found = resolved.emplace(host, Addresses(host)).first;
    return found->second;
  };
  for (auto one = services.begin(); one != services.end(); ++one) {
    for (auto other = one + 1; other != services.end(); ++other) {
      if (one->port != other->port) continue;
      for (const std::string& address : addresses(one->host)) {
        if (addresses(other->host).count(address) == 0) continue;
        const std::string port = ":" + std::to_string(one->port);
        std::string twice = "the inventory " + path + " may name one service twice: ";
        twice.append(one->host).append(port).append(" and ").append(other->host).append(port);
        Note(twice.append(" both reach ")
                 .append(address)
                 .append(": if they are one service, each adaptor takes the other's results, and "
                         "its terminals' lines and counts go missing; give them under one host"));
        break;
      }
    }
  }
}

}  // namespace

std::vector<ServiceTerminals> ReadInventory(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw InputError("cannot read the inventory " + path);
  CsvReader reader(file);
  const std::optional<CsvRecord> header = reader.Next();
  if (!header || header->tooLong || header->unclosedQuote) {
    throw UsageError("the inventory " + path + " has no header row (host,port,sn)");
  }
  const auto column = [&](const char* name) {
    const auto found = std::find(header->fields.begin(), header->fields.end(), name);
    if (found == header->fields.end()) {
      throw UsageError("the inventory " + path + " has no " + name + " column");
    }
    return static_cast<std::size_t>(found - header->fields.begin());
  };
  const std::size_t host = column("host");
  const std::size_t port = column("port");
  const std::size_t sn = column("sn");

  std::vector<ServiceTerminals> services;
  while (const std::optional<CsvRecord> record = reader.Next()) {
    const std::string where = path + " line " + std::to_string(record->line) + ": ";
    if (record->tooLong || record->unclosedQuote ||
        record->fields.size() != header->fields.size()) {
      throw UsageError(where + "is not a row of " + std::to_string(header->fields.size()) +
                       " fields");
    }
    std::string hostName = record->fields[host];
    // The same rule as --host's; an IPv6 address gains its brackets.
    const std::string hostProblem = HostName()(hostName);
    if (!hostProblem.empty()) throw UsageError(where + hostProblem);
    const std::string& snText = record->fields[sn];
    char* end = nullptr;
    const long portNumber = std::strtol(record->fields[port].c_str(), &end, 10);
    if (hostName.empty() || !ValueProblem(hostName).empty()) throw UsageError(where + "no host");
    if (end == record->fields[port].c_str() || *end != '\0' || portNumber < 1 ||
        portNumber > 65535) {
      throw UsageError(where + "the port '" + record->fields[port] + "' is not 1 to 65535");
    }
    if (snText.empty() || !ValueProblem(snText).empty()) {
      throw UsageError(where + "the sn is empty or not plain text");
    }
    auto service = std::find_if(services.begin(), services.end(), [&](const ServiceTerminals& s) {
      return s.host == hostName && s.port == portNumber;
    });
    if (service == services.end()) {
      services.push_back({hostName, static_cast<int>(portNumber), {}});
      service = services.end() - 1;
    }
    if (std::find(service->sns.begin(), service->sns.end(), snText) != service->sns.end()) {
      std::string twice = where;
      twice.append("terminal ").append(snText).append(" of ").append(service->host);
      throw UsageError(twice.append(":" + std::to_string(service->port) + " is given twice"));
    }
    service->sns.push_back(snText);
  }
  if (services.empty()) throw UsageError("the inventory " + path + " names no terminal");
  WarnOfOneServiceTwice(services, path);
  return services;
}

}  // namespace Facepadctl
