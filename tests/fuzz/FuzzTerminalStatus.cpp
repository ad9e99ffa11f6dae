// One answer of "facepad/getterminalstatus", read for the connection status.
#include <cstddef>
#include <cstdint>
#include <string>

#include "TerminalStatus.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  const ZR_Framework::Face::TerminalStatus status = ZR_Framework::Face::ReadTerminalStatus(answer);
  if (answer.find("Data") == std::string::npos &&
      status != ZR_Framework::Face::TerminalStatus::Unreadable) {
    __builtin_trap();
  }
  return 0;
}
