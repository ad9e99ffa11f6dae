#include "Csv.h"

#include <algorithm>
#include <limits>

namespace Facepadctl {

namespace {
constexpr std::size_t kLongestPiece = std::size_t{64} * 1024;
}  // namespace

// A line is read in pieces of at most kLongestPiece bytes, so a long line
// never needs a buffer of its own size.
CsvReader::CsvReader(std::istream& input, std::size_t longestLine)
    : m_input(input),
      m_longestLine(std::min(longestLine, std::numeric_limits<std::size_t>::max() / 2)),
      m_piece(std::min(kLongestPiece, longestLine + 1) + 1) {}

CsvReader::LineRead CsvReader::ReadLine(std::string& text) {
  text.clear();
  // One byte over the limit is kept: it may be the CR of a CR LF.
  const std::size_t kept = m_longestLine + 1;
  bool readAny = false;
  for (;;) {
    // Stops after an LF (taken, not stored), at the end, or with the buffer
    // full less its NUL; only the last sets failbit without eofbit.
    m_input.getline(m_piece.data(), static_cast<std::streamsize>(m_piece.size()));
    const auto count = static_cast<std::size_t>(m_input.gcount());
    const bool full = m_input.fail() && !m_input.eof() && count + 1 == m_piece.size();
    const bool atLf = !m_input.fail() && !m_input.eof();
    const std::size_t stored = atLf ? count - 1 : count;
    readAny = readAny || count > 0;
    if (text.size() + stored > kept) {
      text.clear();
      if (full) {
        m_input.clear();
        m_input.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      }
      return LineRead::kTooLong;
    }
    text.append(m_piece.data(), stored);
    if (!full) break;
    m_input.clear();
  }
  if (!readAny) return LineRead::kEnd;
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text.size() > m_longestLine ? LineRead::kTooLong : LineRead::kLine;
}

std::optional<CsvRecord> CsvReader::Next() {
  std::string text;
  for (;;) {
    const LineRead read = ReadLine(text);
    if (read == LineRead::kEnd) return std::nullopt;
    if (read == LineRead::kTooLong) {
      CsvRecord record;
      record.line = ++m_lineCount;
      record.tooLong = true;
      return record;
    }
    if (++m_lineCount == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      text.erase(0, 3);  // a spreadsheet's byte order mark
    }
    if (text.empty()) continue;

    CsvRecord record;
    record.line = m_lineCount;
    std::string field;
    bool quoted = false;
    bool fieldStarted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (quoted) {
        if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
        } else if (c == '"') {
          quoted = false;
        } else {
          field += c;
        }
      } else if (c == '"' && !fieldStarted) {
        quoted = fieldStarted = true;
      } else if (c == ',') {
        record.fields.push_back(std::move(field));
        field.clear();
        fieldStarted = false;
      } else {
        field += c;
        fieldStarted = true;
      }
    }
    if (quoted) return CsvRecord{record.line, {text}, true, false};
    record.fields.push_back(std::move(field));
    return record;
  }
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    const std::string& field = fields[i];
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
      line += field;
      continue;
    }
    line += '"';
    for (char c : field) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
  }
  return line;
}

}  // namespace Facepadctl
