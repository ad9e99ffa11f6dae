#include "LogCapture.h"

#include <mutex>

namespace {

std::mutex g_mutex;
std::vector<CapturedRecord> g_records;

int Capture(int level, const char* source, int line, const char* format, ...) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_records.push_back(
      {level, source != nullptr ? source : "", line, format != nullptr ? format : ""});
  return 0;
}

}  // namespace

LogCapture::LogCapture() : m_previous(ko_libos_log_debug_ex) {
  Clear();
  ko_libos_log_debug_ex = Capture;
}

LogCapture::~LogCapture() {
  ko_libos_log_debug_ex = m_previous;
}

std::vector<CapturedRecord> LogCapture::Records() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_records;
}

std::vector<std::string> LogCapture::Messages() const {
  std::vector<std::string> messages;
  for (const CapturedRecord& record : Records()) messages.push_back(record.message);
  return messages;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_records.clear();
}
