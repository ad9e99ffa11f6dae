// Records the adaptor's log records for a test: installs a capturing logger
// for its lifetime and restores the previous one afterwards.
#ifndef TESTS_LOG_CAPTURE_H
#define TESTS_LOG_CAPTURE_H

#include <string>
#include <vector>

#include "ToolKits.h"

struct CapturedRecord {
  int level;
  std::string source;
  int line;
  std::string message;
};

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<CapturedRecord> Records() const;
  std::vector<std::string> Messages() const;
  void Clear();

 private:
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
