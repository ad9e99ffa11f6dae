// Comma-separated values as spreadsheets write them (RFC 4180), one record
// per line: fields may be quoted, quotes inside doubled, and quoted fields may
// hold commas. A person's fields never hold line breaks, so a quote left open
// at the end of its line is a mistake in that line alone: read one line at a
// time, a stray quote cannot swallow the rows below it, and a file of any
// length streams.
#ifndef FACEPADCTL_CSV_H
#define FACEPADCTL_CSV_H

#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace Facepadctl {

struct CsvRecord {
  int line = 0;  // counting from 1
  std::vector<std::string> fields;
  // A quote opened on the line is not closed on it: `fields` holds the line
  // as it was read.
  bool unclosedQuote = false;
};

class CsvReader {
 public:
  explicit CsvReader(std::istream& input) : m_input(input) {}

  // The next record; blank lines are skipped. std::nullopt at the end.
  std::optional<CsvRecord> Next();

 private:
  std::istream& m_input;
  int m_lineCount = 0;
};

// One record as a line of CSV, fields quoted where they need it.
std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace Facepadctl

#endif  // FACEPADCTL_CSV_H
