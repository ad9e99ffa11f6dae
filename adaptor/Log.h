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

// The logger variable is read afresh for every record; null skips it. The
// logger is the host's: whatever it throws stays here, so that logging never
// changes what an operation returns or ends the poller.
inline void LogRecord(int line, const char* message) noexcept {
  const ko_libos_log_fn log = ko_libos_log_debug_ex;
  if (log == nullptr) return;
  try {
    log(kLogLevel, kLogSource, line, message);
  } catch (...) {
    // The record is lost; the library goes on.
  }
}

}  // namespace Face
}  // namespace ZR_Framework

#define ZR_LOG(message) ::ZR_Framework::Face::LogRecord(__LINE__, (message))

#endif  // TERMINALFACE_ZR_LOG_H
