// An inventory: the terminals of a sync behind several services, one CSV row
// each with the columns host, port and sn.
#ifndef FACEPADCTL_INVENTORY_H
#define FACEPADCTL_INVENTORY_H

#include <string>
#include <vector>

namespace Facepadctl {

struct ServiceTerminals {
  std::string host;
  int port = 0;
  std::vector<std::string> sns;  // in the order of the file
};

// The services of the inventory at `path`, in the order they first appear.
// Throws InputError for a file that cannot be read, and UsageError for a
// missing column, a bad host, port or sn, or a row given twice.
std::vector<ServiceTerminals> ReadInventory(const std::string& path);

}  // namespace Facepadctl

#endif  // FACEPADCTL_INVENTORY_H
