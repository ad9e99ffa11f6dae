#include "Journal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>

#include "ElidedBody.h"
#include "Json.h"

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

// A journal line's object, `body` being the body as shown.
JsonPtr LineObject(const JournalEntry& entry, std::string_view body) {
  JsonPtr line(json_object_new_object());
  json_object_object_add(line.get(), "time", JsonText(IsoTime(entry.at)));
  json_object_object_add(line.get(), "method", JsonText(entry.method));
  json_object_object_add(line.get(), "path", JsonText(entry.path));
  json_object_object_add(line.get(), "status", json_object_new_int(entry.status));
  json_object_object_add(line.get(), "body", JsonText(body));
  return line;
}

}  // namespace

std::string JournalLine(const JournalEntry& entry) {
  const JsonPtr line = LineObject(entry, entry.shown ? entry.body : ElidedBody(entry.body));
  return CompactJson(line.get());
}

Journal::Journal(std::size_t limit, std::size_t bodyLimit, const std::string& file)
    : m_limit(limit), m_bodyLimit(bodyLimit) {
  if (file.empty()) return;
  m_file = std::make_unique<std::ofstream>(file, std::ios::app);
  if (!*m_file) throw std::runtime_error("cannot write the journal " + file);
}

std::uint64_t Journal::Record(JournalEntry entry, std::string_view body) {
  // The file's line waits for the answer: the whole body as shown, without
  // the headers, which the line does not show.
  std::optional<JournalEntry> forFile;
  if (m_file) {
    forFile = entry;
    forFile->headers.clear();
    forFile->body = ElidedBody(body);
    forFile->shown = true;
  }
  if (m_bodyLimit == std::numeric_limits<std::size_t>::max()) {
    entry.body.assign(body.data(), body.size());
  } else {
    // Without a file, the body is shown no further than the bound.
    entry.body = forFile ? CutText(forFile->body, m_bodyLimit) : ElidedBody(body, m_bodyLimit);
    entry.shown = true;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  entry.sequence = ++m_sequence;
  if (forFile) {
    forFile->sequence = entry.sequence;
    m_unanswered.emplace(entry.sequence, std::move(*forFile));
    // A request that never comes to be answered is dropped in time.
    while (m_unanswered.size() > m_limit) m_unanswered.erase(m_unanswered.begin());
  }
  m_entries.push_back(std::move(entry));
  while (m_entries.size() > m_limit) m_entries.pop_front();
  return m_sequence;
}

void Journal::RecordStatus(std::uint64_t sequence, int status) {
  std::unique_lock<std::mutex> lock(m_mutex);
  const auto entry =
      std::find_if(m_entries.rbegin(), m_entries.rend(),
                   [sequence](const JournalEntry& e) { return e.sequence == sequence; });
  if (entry != m_entries.rend()) entry->status = std::max(status, 0);
  auto unanswered = m_unanswered.extract(sequence);
  lock.unlock();
  if (unanswered.empty()) return;
  unanswered.mapped().status = std::max(status, 0);
  // Made outside the lock, as the body may be long; the body is let go of
  // before the line is written out, so that it is not held twice over.
  const JsonPtr line = LineObject(unanswered.mapped(), unanswered.mapped().body);
  unanswered = {};
  std::size_t length = 0;
  const char* text = json_object_to_json_string_length(line.get(), kCompactJson, &length);
  std::lock_guard<std::mutex> writing(m_writing);
  m_file->write(text, static_cast<std::streamsize>(length)).put('\n');
  m_file->flush();
  if (*m_file) return;
  // A full disk, say: the line is lost. Said once; /admin/state counts them,
  // and the next line is tried again.
  const int error = errno;
  m_file->clear();
  if (m_fileLinesLost++ == 0) {
    std::fprintf(stderr,
                 "facepad-sim: the journal file cannot be written (%s): its lines are lost "
                 "until it can, and /admin/state counts them\n",
                 std::generic_category().message(error).c_str());
  }
}

std::uint64_t Journal::FileLinesLost() const {
  std::lock_guard<std::mutex> writing(m_writing);
  return m_fileLinesLost;
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
