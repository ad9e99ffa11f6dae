// The request convention shared by every operation: tab-separated form
// bodies and the success rule for the service's status.
#ifndef TERMINALFACE_ZR_REQUEST_H
#define TERMINALFACE_ZR_REQUEST_H

#include <initializer_list>
#include <string>
#include <string_view>

namespace ZR_Framework {
namespace Face {

struct FormField {
  const char* name;  // without the "="
  std::string_view value;
};

// "name=value" fields joined by single tabs, values copied byte for byte:
// nothing is escaped, quoted or encoded.
std::string FormBody(std::initializer_list<FormField> fields);

// A request succeeded only when the status text is exactly "200".
bool IsAcceptedStatus(const std::string& status);

}  // namespace Face
}  // namespace ZR_Framework

#endif  // TERMINALFACE_ZR_REQUEST_H
