// The journal of service requests: each request as received, the status
// it was answered with, and its rendering as one JSON line with photos
// elided to their size and passwords masked.
#ifndef FACEPAD_JOURNAL_H
#define FACEPAD_JOURNAL_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace FacepadSim {

// What a masked password shows.
inline constexpr const char* kMaskedPassword = "••••••";

struct JournalEntry {
  std::string method;
  std::string path;  // without the leading "/", e.g. "facepad/adduser"
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // exactly the bytes received
  std::string peer;  // the client's address and port: one per connection
  std::chrono::steady_clock::time_point received;
  std::chrono::system_clock::time_point at;  // the same moment, by the clock on the wall
  int status = 0;                            // the answer's, once given (0: none)
  std::uint64_t sequence = 0;
};

// A journalled request as one JSON object: time, method, path, status and
// body, the body elided.
std::string JournalLine(const JournalEntry& entry);

// `body` with its photos (a "facepic" field, a JSON "content" or "facepic"
// text) replaced by "<N bytes>" and its passwords masked: a "password" field,
// and in JSON, read whole, the value of every key naming a password. JSON that
// was changed is written anew, compactly. Where the text cannot be read and
// names a password, everything after that name is masked.
std::string ElidedBody(std::string_view body);

// The requests received, oldest first. Safe to use from any thread.
class Journal {
 public:
  // Keeps the last `limit` entries. When `file` is not empty, each entry is
  // appended to it as a JSON line once answered; throws std::runtime_error
  // when it cannot be opened.
  Journal(std::size_t limit, const std::string& file);

  // Journals `entry`; returns the sequence number it was given.
  std::uint64_t Record(JournalEntry entry);
  // Notes the status the request `sequence` was answered with.
  void RecordStatus(std::uint64_t sequence, int status);

  std::vector<JournalEntry> Entries() const;
  std::vector<JournalEntry> Where(const std::function<bool(const JournalEntry&)>& keep) const;
  void Clear();
  // How many distinct connections the entries arrived on.
  std::size_t ConnectionCount() const;

 private:
  const std::size_t m_limit;
  mutable std::mutex m_mutex;  // guards everything below
  std::deque<JournalEntry> m_entries;
  std::uint64_t m_sequence = 0;
  std::unique_ptr<std::ofstream> m_file;
};

}  // namespace FacepadSim

#endif  // FACEPAD_JOURNAL_H
