// Records the adaptor's log records for a test: installs a capturing logger
// for its lifetime and restores the previous one afterwards.
#ifndef TESTS_LOG_CAPTURE_H
#define TESTS_LOG_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "ToolKits.h"

struct CapturedRecord {
  int level;
  std::string source;
  std::string message;
};

class LogCapture {
 public:
  LogCapture() : m_previous(ko_libos_log_debug_ex) {
    Clear();
    ko_libos_log_debug_ex = Capture;
  }
  ~LogCapture() { ko_libos_log_debug_ex = m_previous; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<CapturedRecord> Records() const {
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_records;
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const CapturedRecord& record : Records()) messages.push_back(record.message);
    return messages;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_records.clear();
  }

 private:
  static int Capture(int level, const char* source, int /*line*/, const char* format, ...) {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_records.push_back({level, source != nullptr ? source : "", format != nullptr ? format : ""});
    return 0;
  }
  static inline std::mutex s_mutex;
  static inline std::vector<CapturedRecord> s_records;
  ko_libos_log_fn m_previous;
};

// Sets the logger variable to null for its lifetime.
class NoLogger {
 public:
  NoLogger() : m_previous(ko_libos_log_debug_ex) { ko_libos_log_debug_ex = nullptr; }
  ~NoLogger() { ko_libos_log_debug_ex = m_previous; }
  NoLogger(const NoLogger&) = delete;
  NoLogger& operator=(const NoLogger&) = delete;

 private:
  ko_libos_log_fn m_previous;
};

#endif  // TESTS_LOG_CAPTURE_H
