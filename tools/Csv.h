// Comma-separated values as spreadsheets write them (RFC 4180): fields may be
// quoted, quotes inside doubled; quoted fields may hold commas and line
// breaks. Read one record at a time, so a file of any length streams.
#ifndef FACEPADCTL_CSV_H
#define FACEPADCTL_CSV_H

#include <deque>
#include <istream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Facepadctl {

struct CsvRecord {
  int line = 0;  // where the record starts, counting from 1
  std::vector<std::string> fields;
  // A quote opened in this record is not closed within kMaxRecordLines
  // lines, or closes where the record gets the wrong number of fields:
  // `fields` holds the first line's text alone, and reading goes on at the
  // line after it, so one stray quote cannot swallow the rows below.
  bool unclosedQuote = false;
};

class CsvReader {
 public:
  static constexpr int kMaxRecordLines = 10;

  explicit CsvReader(std::istream& input) : m_input(input) {}

  // The next record; blank lines are skipped. std::nullopt at the end.
  std::optional<CsvRecord> Next();

  // From now on a record spanning lines must have `count` fields (the
  // header's), or its opening quote is taken as stray.
  void ExpectFields(std::size_t count) { m_fieldCount = count; }

 private:
  // The next physical line without its line break, and its number.
  std::optional<std::pair<int, std::string>> NextLine();

  std::istream& m_input;
  int m_lineCount = 0;
  std::size_t m_fieldCount = 0;                     // 0: any
  std::deque<std::pair<int, std::string>> m_again;  // lines to read once more
};

// One record as a line of CSV, fields quoted where they need it.
std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace Facepadctl

#endif  // FACEPADCTL_CSV_H
