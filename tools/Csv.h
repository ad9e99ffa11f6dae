// Comma-separated values as spreadsheets write them (RFC 4180): fields may be
// quoted, quotes inside doubled; quoted fields may hold commas and line breaks.
#ifndef FACEPADCTL_CSV_H
#define FACEPADCTL_CSV_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Facepadctl {

struct CsvRecord {
  int line;  // where the record starts in the text, counting from 1
  std::vector<std::string> fields;
};

struct CsvDocument {
  std::vector<CsvRecord> records;  // blank lines are left out
  std::string error;               // set when the text ends inside a quoted field
};

CsvDocument ParseCsv(std::string_view text);

// One record as a line of CSV, fields quoted where they need it.
std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace Facepadctl

#endif  // FACEPADCTL_CSV_H
