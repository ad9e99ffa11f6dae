// The roster: the persons the terminals must hold, one per CSV row, keyed by
// certnum. It streams into a temporary table beside the ledger, so that its
// size costs disk, not memory, and the plan is a join.
#ifndef FACEPADCTL_ROSTER_H
#define FACEPADCTL_ROSTER_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Digest.h"
#include "Ledger.h"
#include "PersonInput.h"

namespace Facepadctl {

// A roster's header. The columns are the person record's keys and "photo",
// an image's path; certnum is required.
class RosterColumns {
 public:
  // Throws InputError for an unknown or repeated column, no certnum, or the
  // columns of an old resume file. Names are taken without case and
  // surrounding blanks.
  RosterColumns(std::vector<std::string> header, const std::string& fileName);

  std::size_t Count() const { return m_names.size(); }
  const std::string& Name(std::size_t column) const { return m_names[column]; }
  std::optional<std::size_t> Certnum() const { return m_certnum; }
  std::optional<std::size_t> Photo() const { return m_photo; }
  Person ToPerson(const std::vector<std::string>& fields) const;

 private:
  std::vector<std::string> m_names;
  std::size_t m_certnum = 0;
  std::optional<std::size_t> m_photo;
};

// A row of the roster as the plan and the senders need it.
struct RosterPerson {
  int line = 0;
  Person person;
  std::string photoPath;  // empty: none
  Digest fields = 0;
  std::optional<Digest> photo;
};

struct BadRow {
  int line = 0;
  std::string certnum;  // empty when it cannot be read
  std::string why;
};

class Roster {
 public:
  // Reads `path` ("-": standard input) into the ledger's connection,
  // checking each row and hashing each photo (again only when the file
  // changed). `onBad` hears of every bad row as it is read. Throws
  // InputError when the roster cannot be read at all. Stops early, with
  // Interrupted() true, once `stop` is raised.
  Roster(Ledger& ledger, const std::string& path, std::uint64_t maxPhoto,
         const std::function<bool()>& stop, const std::function<void(const BadRow&)>& onBad);

  int Rows() const { return m_rows; }
  int Valid() const { return m_valid; }
  int Bad() const { return m_rows - m_valid; }
  // Every row's certnum could be read: a person the roster lacks is one it
  // does not name, so deleting it is safe.
  bool CertnumsComplete() const { return m_certnumsComplete; }
  bool Interrupted() const { return m_interrupted; }

  // The valid row of `line`.
  RosterPerson Row(int line);

 private:
  Ledger& m_ledger;
  int m_rows = 0;
  int m_valid = 0;
  bool m_certnumsComplete = true;
  bool m_interrupted = false;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_ROSTER_H
