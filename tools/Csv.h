// Comma-separated values as spreadsheets write them (RFC 4180), one record
// per line: fields may be quoted, quotes inside doubled, and quoted fields may
// hold commas. A person's fields never hold line breaks, so a quote left open
// at the end of its line is a mistake in that line alone: read one line at a
// time, a stray quote cannot swallow the rows below it, and a file of any
// length streams. A line costs at most kLongestLine bytes of memory, however
// long it is.
#ifndef FACEPADCTL_CSV_H
#define FACEPADCTL_CSV_H

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace Facepadctl {

// The longest line read as fields: no person's row comes near it.
constexpr std::size_t kLongestLine = std::size_t{1024} * 1024;

struct CsvRecord {
  int line = 0;  // counting from 1
  std::vector<std::string> fields;
  // A quote opened on the line is not closed on it: `fields` holds the line
  // as it was read.
  bool unclosedQuote = false;
  // The line has more bytes than the reader's limit (its line break aside):
  // `fields` is empty and the line was skipped unread.
  bool tooLong = false;
};

class CsvReader {
 public:
  explicit CsvReader(std::istream& input, std::size_t longestLine = kLongestLine);

  // The next record; blank lines are skipped. std::nullopt at the end.
  std::optional<CsvRecord> Next();

 private:
  enum class LineRead { kLine, kTooLong, kEnd };
  // Reads the next line into `text`, its LF taken off.
  LineRead ReadLine(std::string& text);

  std::istream& m_input;
  const std::size_t m_longestLine;
  std::vector<char> m_piece;  // what istream::getline reads into
  int m_lineCount = 0;
};

// One record as a line of CSV, fields quoted where they need it.
std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace Facepadctl

#endif  // FACEPADCTL_CSV_H
