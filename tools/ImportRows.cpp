#include "ImportRows.h"

#include <algorithm>
#include <cctype>

namespace Facepadctl {
namespace {

const char* const kPhotoColumn = "photo";
const char* const kOutcomeColumn = "outcome";
const char* const kDetailColumn = "detail";

std::string KnownColumns() {
  return PersonKeyList() + ", " + kPhotoColumn + ", " + kOutcomeColumn + ", " + kDetailColumn;
}

// A column's name as spreadsheets may write it: " Name" is "name".
std::string ColumnName(std::string name) {
  const std::size_t first = name.find_first_not_of(' ');
  name.erase(0, first == std::string::npos ? name.size() : first);
  name.erase(name.find_last_not_of(' ') + 1);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

}  // namespace

ImportColumns::ImportColumns(std::vector<std::string> header, const std::string& fileName) {
  std::transform(header.begin(), header.end(), header.begin(), ColumnName);
  m_names = header;
  std::optional<std::size_t> certnum;
  const auto where = [&fileName](const std::string& name) {
    return fileName + ": \"" + name + "\" ";
  };
  for (std::size_t c = 0; c < header.size(); ++c) {
    const std::string& name = header[c];
    if (std::find(header.begin(), header.begin() + static_cast<long>(c), name) !=
        header.begin() + static_cast<long>(c)) {
      throw InputError(where(name).append("appears twice"));
    }
    if (!IsPersonKey(name) && name != kPhotoColumn && name != kOutcomeColumn &&
        name != kDetailColumn) {
      throw InputError(
          where(name).append("is not a column the import knows; they are ").append(KnownColumns()));
    }
    if (name == "certnum") certnum = c;
    if (name == kPhotoColumn) m_photo = c;
    if (name == kOutcomeColumn) m_outcome = c;
    if (name == kDetailColumn) m_detail = c;
  }
  if (!certnum) throw InputError(fileName + " has no certnum column");
  m_certnum = *certnum;
}

std::string ImportColumns::Certnum(const std::vector<std::string>& fields) const {
  return m_certnum < fields.size() ? fields[m_certnum] : std::string();
}

std::string& ImportColumns::PhotoPath(std::vector<std::string>& fields) const {
  return fields[*m_photo];
}

std::string ImportColumns::EarlierOutcome(const std::vector<std::string>& fields) const {
  return m_outcome ? fields[*m_outcome] : std::string();
}

std::string ImportColumns::EarlierDetail(const std::vector<std::string>& fields) const {
  return m_detail ? fields[*m_detail] : std::string();
}

Person ImportColumns::ToPerson(const std::vector<std::string>& fields) const {
  Person person;
  for (std::size_t c = 0; c < m_names.size(); ++c) {
    if (IsPersonKey(m_names[c])) person[m_names[c]] = fields[c];
  }
  return person;
}

std::vector<std::string> ImportColumns::ResumeHeader() const {
  std::vector<std::string> header;
  for (std::size_t c = 0; c < m_names.size(); ++c) {
    if (c != m_outcome && c != m_detail) header.push_back(m_names[c]);
  }
  header.emplace_back(kOutcomeColumn);
  header.emplace_back(kDetailColumn);
  return header;
}

std::vector<std::string> ImportColumns::ResumeFields(const std::vector<std::string>& fields,
                                                     const std::string& outcome,
                                                     const std::string& detail) const {
  std::vector<std::string> resumed;
  for (std::size_t c = 0; c < m_names.size(); ++c) {
    if (c != m_outcome && c != m_detail) resumed.push_back(fields[c]);
  }
  resumed.push_back(outcome);
  resumed.push_back(detail);
  return resumed;
}

std::string CheckRecord(const CsvRecord& record, const ImportColumns& columns,
                        std::unordered_map<std::string, int>& seen) {
  if (record.tooLong) {
    return "the line is longer than " + std::to_string(kLongestLine) + " bytes";
  }
  if (record.unclosedQuote) {
    return "a quote opened on this line is not closed on it";
  }
  if (record.fields.size() != columns.Count()) {
    return "has " + std::to_string(record.fields.size()) + " fields, the header " +
           std::to_string(columns.Count());
  }
  for (std::size_t c = 0; c < record.fields.size(); ++c) {
    const std::string problem = ValueProblem(record.fields[c]);
    if (!problem.empty()) return "the " + columns.Name(c) + " " + problem;
  }
  const std::string certnum = columns.Certnum(record.fields);
  if (certnum.empty()) return "no certnum";
  const auto [earlier, isNew] = seen.emplace(certnum, record.line);
  if (!isNew)
    return "certnum " + certnum + " is already on line " + std::to_string(earlier->second);
  return {};
}

}  // namespace Facepadctl
