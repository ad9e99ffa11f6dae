#include "Journal.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <optional>
#include <set>
#include <stdexcept>

namespace FacepadSim {
namespace {

std::string IsoTime(std::chrono::system_clock::time_point at) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}

}  // namespace

std::string ElidedBody(const std::string& body) {
  std::string shown = body;
  // The bytes base64 text of `length` characters stands for.
  const auto decoded = [&shown](std::size_t start, std::size_t length) {
    std::size_t padding = 0;
    while (padding < length && shown[start + length - 1 - padding] == '=') ++padding;
    return (length - padding) * 3 / 4;
  };
  const auto replace = [&shown](std::size_t start, std::size_t end, const std::string& with) {
    shown.replace(start, end - start, with);
    return start + with.size();
  };
  // A form field's value runs to the next tab; a JSON text's to its quote.
  const auto formValue = [&shown](const std::string& name) -> std::optional<std::size_t> {
    for (std::size_t at = shown.find(name + "="); at != std::string::npos;
         at = shown.find(name + "=", at + 1)) {
      if (at == 0 || shown[at - 1] == '\t') return at + name.size() + 1;
    }
    return std::nullopt;
  };
  const auto jsonValue = [&shown](const std::string& key,
                                  std::size_t from) -> std::optional<std::size_t> {
    const std::size_t at = shown.find("\"" + key + "\"", from);
    if (at == std::string::npos) return std::nullopt;
    std::size_t value = at + key.size() + 2;
    while (value < shown.size() && (shown[value] == ' ' || shown[value] == ':')) ++value;
    if (value >= shown.size() || shown[value] != '"') return std::nullopt;
    return value + 1;
  };
  const auto valueEnd = [&shown](std::size_t start, char end) {
    const std::size_t found = shown.find(end, start);
    return found == std::string::npos ? shown.size() : found;
  };

  if (const auto start = formValue("facepic")) {
    const std::size_t end = valueEnd(*start, '\t');
    replace(*start, end, "<" + std::to_string(decoded(*start, end - *start)) + " bytes>");
  }
  if (const auto start = jsonValue("content", 0)) {
    const std::size_t end = valueEnd(*start, '"');
    replace(*start, end, "<" + std::to_string(decoded(*start, end - *start)) + " bytes>");
  }
  if (const auto start = formValue("password")) {
    const std::size_t end = valueEnd(*start, '\t');
    if (end > *start) replace(*start, end, kMaskedPassword);
  }
  for (std::size_t from = 0; const auto start = jsonValue("password", from);) {
    const std::size_t end = valueEnd(*start, '"');
    from = end > *start ? replace(*start, end, kMaskedPassword) : end;
  }
  return shown;
}

std::string JournalLine(const JournalEntry& entry) {
  const std::unique_ptr<json_object, decltype(&json_object_put)> line(json_object_new_object(),
                                                                      &json_object_put);
  const auto text = [](const std::string& value) {
    return json_object_new_string_len(value.data(), static_cast<int>(value.size()));
  };
  json_object_object_add(line.get(), "time", text(IsoTime(entry.at)));
  json_object_object_add(line.get(), "method", text(entry.method));
  json_object_object_add(line.get(), "path", text(entry.path));
  json_object_object_add(line.get(), "status", json_object_new_int(entry.status));
  json_object_object_add(line.get(), "body", text(ElidedBody(entry.body)));
  const char* rendered = json_object_to_json_string_ext(
      line.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
  return rendered != nullptr ? rendered : "";
}

Journal::Journal(std::size_t limit, const std::string& file) : m_limit(limit) {
  if (file.empty()) return;
  m_file = std::make_unique<std::ofstream>(file, std::ios::app);
  if (!*m_file) throw std::runtime_error("cannot write the journal " + file);
}

std::uint64_t Journal::Record(JournalEntry entry) {
  std::lock_guard<std::mutex> lock(m_mutex);
  entry.sequence = ++m_sequence;
  m_entries.push_back(std::move(entry));
  while (m_entries.size() > m_limit) m_entries.pop_front();
  return m_sequence;
}

void Journal::RecordStatus(std::uint64_t sequence, int status) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto entry =
      std::find_if(m_entries.rbegin(), m_entries.rend(),
                   [sequence](const JournalEntry& e) { return e.sequence == sequence; });
  if (entry == m_entries.rend()) return;
  entry->status = std::max(status, 0);
  if (m_file) {
    *m_file << JournalLine(*entry) << "\n";
    m_file->flush();
  }
}

std::vector<JournalEntry> Journal::Entries() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {m_entries.begin(), m_entries.end()};
}

std::vector<JournalEntry> Journal::Where(
    const std::function<bool(const JournalEntry&)>& keep) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<JournalEntry> matching;
  std::copy_if(m_entries.begin(), m_entries.end(), std::back_inserter(matching), keep);
  return matching;
}

void Journal::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_entries.clear();
}

std::size_t Journal::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::set<std::string> peers;
  for (const JournalEntry& entry : m_entries) peers.insert(entry.peer);
  return peers.size();
}

}  // namespace FacepadSim
