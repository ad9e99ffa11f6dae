#include "Csv.h"

namespace Facepadctl {

CsvDocument ParseCsv(std::string_view text) {
  CsvDocument document;
  CsvRecord record{1, {}};
  std::string field;
  bool quoted = false;
  bool fieldStarted = false;
  int line = 1;

  const auto endField = [&] {
    record.fields.push_back(std::move(field));
    field.clear();
    fieldStarted = false;
  };
  const auto endRecord = [&] {
    const bool blank = record.fields.size() == 1 && record.fields[0].empty();
    if (!blank) document.records.push_back(std::move(record));
    record = CsvRecord{line, {}};
  };

  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        if (c == '\n') ++line;
        field += c;
      }
      continue;
    }
    if (c == '"' && !fieldStarted) {
      quoted = true;
      fieldStarted = true;
    } else if (c == ',') {
      endField();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      ++line;
      endField();
      endRecord();
    } else {
      field += c;
      fieldStarted = true;
    }
  }
  if (quoted) document.error = "the text ends inside a quoted field";
  if (fieldStarted || !field.empty() || !record.fields.empty()) {
    endField();
    endRecord();
  }
  return document;
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
