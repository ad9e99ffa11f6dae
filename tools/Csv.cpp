#include "Csv.h"

namespace Facepadctl {
std::optional<CsvRecord> CsvReader::Next() {
  std::string text;
  while (std::getline(m_input, text)) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
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
    if (quoted) return CsvRecord{record.line, {text}, true};
    record.fields.push_back(std::move(field));
    return record;
  }
  return std::nullopt;
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
