// The journal of service requests: each request as received (or, in a
// journal that bounds its bodies, as shown), the status it was answered with,
// and its rendering as one JSON line with photos elided to their size and
// passwords masked.
#ifndef FACEPAD_JOURNAL_H
#define FACEPAD_JOURNAL_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ElidedBody.h"

namespace FacepadSim {

struct JournalEntry {
  std::string method;
  std::string path;  // without the leading "/", e.g. "facepad/adduser"
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // exactly the bytes received, unless `shown`
  std::string peer;  // the client's address and port: one per connection
  std::chrono::steady_clock::time_point received;
  std::chrono::system_clock::time_point at;  // the same moment, by the clock on the wall
  int status = 0;                            // the answer's, once given (0: none)
  std::uint64_t sequence = 0;
  // The body is already as ElidedBody shows it, and may have been cut.
  bool shown = false;
};

// A journalled request as one JSON object: time, method, path, status and
// body, the body elided.
std::string JournalLine(const JournalEntry& entry);

// The requests received, oldest first. Safe to use from any thread.
class Journal {
 public:
  // Keeps the last `limit` entries. Their bodies are the bytes received, or,
  // when `bodyLimit` is not the largest size_t, as ElidedBody shows them, cut
  // to `bodyLimit` bytes. When `file` is not empty, each entry is appended to
  // it once answered, as a JSON line with the whole body elided; throws
  // std::runtime_error when it cannot be opened.
  Journal(std::size_t limit, std::size_t bodyLimit, const std::string& file);

  // Journals `entry` with `body` as its body; returns the sequence number it
  // was given.
  std::uint64_t Record(JournalEntry entry, std::string_view body);
  // Notes the status the request `sequence` was answered with.
  void RecordStatus(std::uint64_t sequence, int status);

  std::vector<JournalEntry> Entries() const;
  std::vector<JournalEntry> Where(const std::function<bool(const JournalEntry&)>& keep) const;
  void Clear();
  // How many distinct connections the entries arrived on.
  std::size_t ConnectionCount() const;
  // Lines the file could not take (a full disk, say).
  std::uint64_t FileLinesLost() const;

 private:
  const std::size_t m_limit;
  const std::size_t m_bodyLimit;
  mutable std::mutex m_mutex;  // guards everything below
  std::deque<JournalEntry> m_entries;
  // The entries not yet answered, their bodies whole, for the file: kept
  // apart so that neither the limit nor Clear() loses a line.
  std::map<std::uint64_t, JournalEntry> m_unanswered;
  std::uint64_t m_sequence = 0;
  mutable std::mutex m_writing;  // one line written to the file at a time; guards the next two
  std::unique_ptr<std::ofstream> m_file;
  std::uint64_t m_fileLinesLost = 0;
};

}  // namespace FacepadSim

#endif  // FACEPAD_JOURNAL_H
