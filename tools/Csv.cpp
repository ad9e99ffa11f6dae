#include "Csv.h"

namespace Facepadctl {
namespace {

// Parses `line` into `fields`, the first field continuing `field` when a
// quoted field runs on from the line before. True when the line ends the
// record, false when it ends inside quotes.
bool ParseLine(const std::string& line, std::vector<std::string>& fields, std::string& field,
               bool& quoted) {
  bool fieldStarted = quoted || !field.empty();
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"' && !fieldStarted) {
      quoted = true;
      fieldStarted = true;
    } else if (c == ',') {
      fields.push_back(std::move(field));
      field.clear();
      fieldStarted = false;
    } else {
      field += c;
      fieldStarted = true;
    }
  }
  if (quoted) {
    field += '\n';
    return false;
  }
  fields.push_back(std::move(field));
  field.clear();
  return true;
}

}  // namespace

std::optional<std::pair<int, std::string>> CsvReader::NextLine() {
  if (!m_again.empty()) {
    auto line = std::move(m_again.front());
    m_again.pop_front();
    return line;
  }
  std::string text;
  if (!std::getline(m_input, text)) return std::nullopt;
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (++m_lineCount == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text.erase(0, 3);  // a spreadsheet's byte order mark
  }
  return std::make_pair(m_lineCount, std::move(text));
}

std::optional<CsvRecord> CsvReader::Next() {
  for (;;) {
    auto first = NextLine();
    if (!first) return std::nullopt;
    if (first->second.empty()) continue;

    CsvRecord record;
    record.line = first->first;
    std::string field;
    bool quoted = false;
    if (ParseLine(first->second, record.fields, field, quoted)) return record;

    // A quoted field runs on: read on, keeping the lines in case it never ends.
    std::vector<std::pair<int, std::string>> continued;
    while (continued.size() + 1 < kMaxRecordLines) {
      auto line = NextLine();
      if (!line) break;
      continued.push_back(*line);
      if (!ParseLine(line->second, record.fields, field, quoted)) continue;
      if (m_fieldCount == 0 || record.fields.size() == m_fieldCount) return record;
      break;  // the quote closed somewhere that makes no row: take it as stray
    }
    m_again.insert(m_again.begin(), continued.begin(), continued.end());
    return CsvRecord{record.line, {first->second}, true};
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
