#include "Roster.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include "Csv.h"

namespace Facepadctl {
namespace {

constexpr const char* kPhotoColumn = "photo";
// Rows loaded in one transaction: bounds what SQLite keeps before writing.
constexpr int kRowsPerTransaction = 5000;

// A column's name as spreadsheets may write it: " Name" is "name".
std::string ColumnName(std::string name) {
  const std::size_t first = name.find_first_not_of(' ');
  name.erase(0, first == std::string::npos ? name.size() : first);
  name.erase(name.find_last_not_of(' ') + 1);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The person's values in the record's key order, as one CSV line.
std::string RecordText(const Person& person) {
  std::vector<std::string> values;
  for (const std::string& key : kPersonKeys) {
    const auto found = person.find(key);
    values.push_back(found == person.end() ? std::string() : found->second);
  }
  return CsvLine(values);
}

// Certnums are identities: one is never trimmed, nor merged with another
// that differs by blanks or a byte order mark.
std::string CertnumProblem(const std::string& certnum) {
  if (certnum.empty()) return "no certnum";
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  if (blank(certnum.front()) || blank(certnum.back())) {
    return "the certnum has blanks around it";
  }
  if (certnum.find("\xEF\xBB\xBF") != std::string::npos) {
    return "the certnum holds a byte order mark (U+FEFF)";
  }
  return {};
}

// The record came from a row within the line limit, but holds every key:
// its text may be longer than the row was, so no limit applies to it.
Person PersonFromRecord(const std::string& text) {
  std::istringstream input(text);
  CsvReader reader(input, text.size());
  const std::optional<CsvRecord> record = reader.Next();
  Person person;
  for (std::size_t k = 0; k < kPersonKeys.size(); ++k) {
    person[kPersonKeys[k]] =
        record && k < record->fields.size() ? record->fields[k] : std::string();
  }
  return person;
}

}  // namespace

RosterColumns::RosterColumns(std::vector<std::string> header, const std::string& fileName) {
  // Spreadsheets save "Unicode text" as UTF-16: a byte order mark, and a
  // NUL beside every ASCII letter.
  const std::string first = header.empty() ? std::string() : header[0];
  if (first.rfind("\xff\xfe", 0) == 0 || first.rfind("\xfe\xff", 0) == 0 ||
      std::any_of(header.begin(), header.end(),
                  [](const std::string& name) { return name.find('\0') != std::string::npos; })) {
    throw InputError(fileName + " is not UTF-8 text (UTF-16, it seems): save it as CSV in UTF-8");
  }
  std::transform(header.begin(), header.end(), header.begin(), ColumnName);
  m_names = header;
  std::optional<std::size_t> certnum;
  for (std::size_t c = 0; c < header.size(); ++c) {
    const std::string& name = header[c];
    std::string where = fileName;
    where.append(": \"").append(name).append("\" ");
    if (name == "outcome" || name == "detail") {
      throw InputError(where + "is a column of an old resume file; give the original roster");
    }
    if (std::find(header.begin(), header.begin() + static_cast<long>(c), name) !=
        header.begin() + static_cast<long>(c)) {
      throw InputError(where + "appears twice");
    }
    if (!IsPersonKey(name) && name != kPhotoColumn) {
      throw InputError(where + "is not a roster column; they are " + PersonKeyList() + ", " +
                       kPhotoColumn);
    }
    if (name == "certnum") certnum = c;
    if (name == kPhotoColumn) m_photo = c;
  }
  if (!certnum) throw InputError(fileName + " has no certnum column");
  m_certnum = *certnum;
}

Person RosterColumns::ToPerson(const std::vector<std::string>& fields) const {
  Person person;
  for (std::size_t c = 0; c < m_names.size(); ++c) {
    if (IsPersonKey(m_names[c])) person[m_names[c]] = fields[c];
  }
  return person;
}

Roster::Roster(Ledger& ledger, const std::string& path, std::uint64_t maxPhoto,
               const std::function<bool()>& stop, const std::function<void(const BadRow&)>& onBad)
    : m_ledger(ledger) {
  std::ifstream file;
  if (path != "-") {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
      throw InputError("cannot read " + path + ": " + std::generic_category().message(errno));
    }
    if (S_ISDIR(status.st_mode)) throw InputError(path + " is a folder, not a roster");
    file.open(path, std::ios::binary);
    if (!file)
      throw InputError("cannot read " + path + ": " + std::generic_category().message(errno));
  }
  std::istream& input = path == "-" ? std::cin : file;
  const std::string name = path == "-" ? "standard input" : path;
  const std::string photoFolder = path == "-" ? std::string() : FolderOf(path);

  CsvReader reader(input);
  const std::optional<CsvRecord> header = reader.Next();
  if (!header && stop()) {
    m_interrupted = true;
    return;
  }
  if (!header) throw InputError(name + " is empty: a roster starts with a row of column names");
  if (header->tooLong || header->unclosedQuote) {
    throw InputError(name + ": its first line is not a row of column names");
  }
  const RosterColumns columns(header->fields, name);

  auto lock = ledger.Hold();
  Database& db = ledger.Db();
  db.Execute(
      "DROP TABLE IF EXISTS temp.roster;"
      "CREATE TEMP TABLE roster(line INTEGER PRIMARY KEY, certnum TEXT, valid INTEGER NOT NULL,"
      "  fields INTEGER, photo INTEGER, photo_path TEXT, record TEXT);"
      "CREATE UNIQUE INDEX temp.roster_valid ON roster(certnum) WHERE valid;"
      "CREATE INDEX temp.roster_certnum ON roster(certnum);");
  Statement insert = db.Prepare(
      "INSERT INTO roster(line, certnum, valid, fields, photo, photo_path, record) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT DO NOTHING");
  Statement earlier = db.Prepare("SELECT line FROM roster WHERE certnum = ?1 AND valid");

  std::optional<Transaction> transaction;
  const auto insertRow = [&](int line, const std::string* certnum, bool valid, Digest fields,
                             std::optional<Digest> photo, const std::string& photoPath,
                             const std::string& record) {
    if (!transaction) transaction.emplace(db);
    insert.Bind(1, static_cast<std::int64_t>(line));
    if (certnum != nullptr) insert.Bind(2, *certnum);
    insert.Bind(3, static_cast<std::int64_t>(valid ? 1 : 0));
    if (valid) insert.Bind(4, fields).Bind(5, photo).Bind(6, photoPath).Bind(7, record);
    insert.Run();
    return db.Changes() == 1;
  };

  while (std::optional<CsvRecord> record = reader.Next()) {
    if (stop()) {
      m_interrupted = true;
      break;
    }
    ++m_rows;
    BadRow bad{record->line, {}, {}};
    if (record->tooLong) {
      bad.why = "the line is longer than 1 MiB";
    } else if (record->unclosedQuote) {
      bad.why = "a quote opened on this line is not closed on it";
    } else if (record->fields.size() != columns.Count()) {
      bad.why = "has " + std::to_string(record->fields.size()) + " fields, the header " +
                std::to_string(columns.Count());
    }
    if (!bad.why.empty()) {
      m_certnumsComplete = false;  // whom this line names is not known
      insertRow(bad.line, nullptr, false, 0, std::nullopt, {}, {});
      onBad(bad);
      continue;
    }
    bad.certnum = record->fields[*columns.Certnum()];
    for (std::size_t c = 0; c < record->fields.size() && bad.why.empty(); ++c) {
      const std::string problem = ValueProblem(record->fields[c]);
      if (!problem.empty()) bad.why = "the " + columns.Name(c) + " " + problem;
    }
    if (bad.why.empty()) bad.why = CertnumProblem(bad.certnum);

    std::string photoPath;
    std::optional<Digest> photo;
    if (bad.why.empty() && columns.Photo() && !record->fields[*columns.Photo()].empty()) {
      const std::string& given = record->fields[*columns.Photo()];
      photoPath = given[0] == '/' ? given : photoFolder + given;
      try {
        const FileIdentity identity = StatPhoto(photoPath, maxPhoto);
        photo = ledger.CachedPhoto(photoPath, identity);
        if (!photo) {
          const PhotoFile read = ReadPhotoFile(photoPath, maxPhoto);
          photo = BytesDigest(read.bytes);
          ledger.CachePhoto(photoPath, read.identity, *photo);
        }
      } catch (const InputError& error) {
        bad.why = std::string("photo: ") + error.what();
      }
    }
    if (bad.why.empty()) {
      const Person person = columns.ToPerson(record->fields);
      if (insertRow(record->line, &bad.certnum, true, FieldsDigest(person), photo, photoPath,
                    RecordText(person))) {
        ++m_valid;
      } else {
        earlier.Bind(1, bad.certnum);
        const std::int64_t first = earlier.Step() ? earlier.Int(0) : 0;
        earlier.Reset();
        bad.why = "certnum " + bad.certnum + " is already on line " + std::to_string(first);
      }
    }
    if (!bad.why.empty()) {
      insertRow(bad.line, &bad.certnum, false, 0, std::nullopt, {}, {});
      onBad(bad);
    }
    if (m_rows % kRowsPerTransaction == 0 && transaction) {
      transaction->Commit();
      transaction.reset();
    }
  }
  if (transaction) transaction->Commit();
  if (stop()) m_interrupted = true;  // a signal may also end a read early
  if (path != "-" && file.bad()) throw InputError("cannot read " + path + " to its end");
}

RosterPerson Roster::Row(int line) {
  auto lock = m_ledger.Hold();
  const auto find = m_ledger.Db().Prepared(
      "SELECT record, photo_path, fields, photo FROM roster WHERE line = ?1 AND valid");
  find->Bind(1, static_cast<std::int64_t>(line));
  RosterPerson row;
  row.line = line;
  if (find->Step()) {
    row.person = PersonFromRecord(find->Text(0));
    row.photoPath = find->Text(1);
    row.fields = find->Int(2);
    row.photo = find->OptionalInt(3);
  }
  return row;
}

}  // namespace Facepadctl
