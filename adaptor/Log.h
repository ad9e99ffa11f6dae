// Log records of the adaptor. Each goes to the host's logger when one is
// installed: level 4, source "TerminalFace_ZR", the line of the logging
// statement, and the message passed as the format with no further argument.
#ifndef TERMINALFACE_ZR_LOG_H
#define TERMINALFACE_ZR_LOG_H

#include "ToolKits.h"

namespace ZR_Framework {
namespace Face {

constexpr int kLogLevel = 4;
constexpr const char* kLogSource = "TerminalFace_ZR";

// The logger variable is read afresh for every record; null skips it.
inline void LogRecord(int line, const char* message) {
  const ko_libos_log_fn log = ko_libos_log_debug_ex;
  if (log != nullptr) log(kLogLevel, kLogSource, line, message);
}

}  // namespace Face
}  // namespace ZR_Framework

#define ZR_LOG(message) ::ZR_Framework::Face::LogRecord(__LINE__, (message))

#endif  // TERMINALFACE_ZR_LOG_H
