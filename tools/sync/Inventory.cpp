#include "Inventory.h"

#include <algorithm>
#include <fstream>

#include "Arguments.h"
#include "Csv.h"
#include "PersonInput.h"

namespace Facepadctl {

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
  return services;
}

}  // namespace Facepadctl
