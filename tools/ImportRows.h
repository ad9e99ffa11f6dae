// The rows of an import file: its columns, checked once, and each row's
// checks before it may be sent.
#ifndef FACEPADCTL_IMPORT_ROWS_H
#define FACEPADCTL_IMPORT_ROWS_H

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Csv.h"
#include "PersonInput.h"

namespace Facepadctl {

// An import file's header. The columns are the person record's keys, "photo"
// (an image's path) and the resume file's own "outcome" and "detail".
class ImportColumns {
 public:
  // Throws InputError for an unknown or repeated column, or no certnum.
  // Names are taken without case and surrounding blanks.
  ImportColumns(std::vector<std::string> header, const std::string& fileName);

  std::size_t Count() const { return m_names.size(); }
  const std::string& Name(std::size_t column) const { return m_names[column]; }
  bool IsResumeFile() const { return m_outcome.has_value(); }

  // A row's certnum (empty when the row is too short to hold it).
  std::string Certnum(const std::vector<std::string>& fields) const;
  // A well-shaped row's values.
  std::string& PhotoPath(std::vector<std::string>& fields) const;
  bool HasPhoto() const { return m_photo.has_value(); }
  // The outcome an earlier run gave the row, in a resume file.
  std::string EarlierOutcome(const std::vector<std::string>& fields) const;
  std::string EarlierDetail(const std::vector<std::string>& fields) const;
  // The person as the adaptor takes it (the photo not yet read).
  Person ToPerson(const std::vector<std::string>& fields) const;

  // The resume file's header and a row's fields there: the person's
  // columns, then the outcome and its detail.
  std::vector<std::string> ResumeHeader() const;
  std::vector<std::string> ResumeFields(const std::vector<std::string>& fields,
                                        const std::string& outcome,
                                        const std::string& detail) const;

 private:
  std::vector<std::string> m_names;
  std::size_t m_certnum = 0;
  std::optional<std::size_t> m_photo;
  std::optional<std::size_t> m_outcome;
  std::optional<std::size_t> m_detail;
};

// Why a record may not be sent (empty when it may): a quote left open, the
// wrong number of fields, text that is not UTF-8, a tab or NUL, no certnum,
// a certnum already seen. `seen` maps certnums to their lines.
std::string CheckRecord(const CsvRecord& record, const ImportColumns& columns,
                        std::unordered_map<std::string, int>& seen);

}  // namespace Facepadctl

#endif  // FACEPADCTL_IMPORT_ROWS_H
