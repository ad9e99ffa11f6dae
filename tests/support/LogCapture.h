// Records the messages of the adaptor's log records for a test: installs a capturing logger
// for its lifetime and restores the previous one afterwards.
#ifndef TESTS_LOG_CAPTURE_H
#define TESTS_LOG_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "ToolKits.h"

class LogCapture {
 public:
  LogCapture() : m_previous(ko_libos_log_debug_ex) {
    Clear();
    ko_libos_log_debug_ex = Capture;
  }
  ~LogCapture() { ko_libos_log_debug_ex = m_previous; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

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
  ko_libos_log_fn m_previous;
};

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

#endif  // TESTS_LOG_CAPTURE_H
