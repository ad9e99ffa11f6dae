// Loggers for tests: one installed for a scope, and one that records the
// messages of the adaptor's log records.
#ifndef TESTS_LOG_CAPTURE_H
#define TESTS_LOG_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "ToolKits.h"

// Installs `logger` (by default none at all) for its lifetime.
class ScopedLogger {
 public:
  explicit ScopedLogger(ko_libos_log_fn logger = nullptr) : m_previous(ko_libos_log_debug_ex) {
    ko_libos_log_debug_ex = logger;
  }
  ~ScopedLogger() { ko_libos_log_debug_ex = m_previous; }
  ScopedLogger(const ScopedLogger&) = delete;
  ScopedLogger& operator=(const ScopedLogger&) = delete;

 private:
  ko_libos_log_fn m_previous;
};

// Records the messages logged during its lifetime, starting with none.
class LogCapture {
 public:
  LogCapture() { Clear(); }

  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_messages;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_messages.clear();
  }

 private:
  static int Capture(int /*level*/, const char* /*source*/, int /*line*/, const char* format, ...) {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_messages.emplace_back(format != nullptr ? format : "");
    return 0;
  }
  static inline std::mutex s_mutex;
  static inline std::vector<std::string> s_messages;
  ScopedLogger m_installed{Capture};
};

#endif  // TESTS_LOG_CAPTURE_H
