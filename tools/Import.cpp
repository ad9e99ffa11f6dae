#include "Import.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "Csv.h"
#include "FailureText.h"
#include "JsonLine.h"
#include "PersonInput.h"
#include "ResultBoard.h"

namespace Facepadctl {
namespace {

using ZR_Framework::Face::ParamMap;
using Clock = std::chrono::steady_clock;

enum class RowState { Bad, NotSent, Refused, Accepted };

struct Row {
  int line = 0;
  std::vector<std::string> fields;  // as read, photo path resolved
  ParamMap person;                  // the worker's, once sending starts
  std::string certnum;
  std::string id;
  RowState state = RowState::NotSent;
  std::string error;  // why a bad row is bad, or why the service refused a row
  std::string code;   // the result, once it came
  bool hasResult = false;
};

// Joins its threads when it goes out of scope.
struct JoiningThreads {
  std::vector<std::thread> threads;
  ~JoiningThreads() {
    for (std::thread& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  }
};

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string DefaultFailuresPath(const std::string& csvPath) {
  const std::string suffix = ".csv";
  const bool hasSuffix =
      csvPath.size() > suffix.size() &&
      csvPath.compare(csvPath.size() - suffix.size(), suffix.size(), suffix) == 0;
  return (hasSuffix ? csvPath.substr(0, csvPath.size() - suffix.size()) : csvPath) + ".failed.csv";
}

// A prefix that keeps this run's request ids apart from other runs'.
std::string RunPrefix() {
  std::random_device random;
  char text[16];
  std::snprintf(text, sizeof text, "imp%06x", random() & 0xFFFFFFu);
  return text;
}

std::vector<Row> ReadRows(const std::string& csvPath, std::vector<std::string>& header) {
  std::string text = ReadFile(csvPath);
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // a spreadsheet's BOM
  CsvDocument document = ParseCsv(text);
  if (!document.error.empty()) throw InputError(csvPath + ": " + document.error);
  if (document.records.empty()) throw InputError(csvPath + " is empty");
  header = document.records.front().fields;
  if (std::find(header.begin(), header.end(), "certnum") == header.end()) {
    throw InputError(csvPath + " has no certnum column");
  }

  const std::string prefix = RunPrefix();
  const std::string directory = DirectoryOf(csvPath);
  std::vector<Row> rows;
  for (std::size_t r = 1; r < document.records.size(); ++r) {
    CsvRecord& record = document.records[r];
    Row row;
    row.line = record.line;
    row.id = prefix + "-" + std::to_string(record.line);
    row.fields = std::move(record.fields);
    // Trailing empty fields are often left out; extra fields are a mistake.
    if (row.fields.size() > header.size()) {
      row.state = RowState::Bad;
      row.error = "has " + std::to_string(row.fields.size()) + " fields, the header " +
                  std::to_string(header.size());
      rows.push_back(std::move(row));
      continue;
    }
    row.fields.resize(header.size());
    for (std::size_t c = 0; c < header.size(); ++c) {
      std::string& value = row.fields[c];
      if (header[c] == "error") continue;  // written by an earlier import
      if (header[c] != "photo") {
        row.person[header[c]] = value;
        continue;
      }
      if (value.empty()) continue;
      if (value.front() != '/') value.insert(0, directory);
      try {
        row.person["facepic"] = ReadPhoto(value).base64;
      } catch (const InputError& error) {
        row.state = RowState::Bad;
        row.error = error.what();
      }
    }
    row.certnum = row.person["certnum"];
    if (row.state != RowState::Bad && row.certnum.empty()) {
      row.state = RowState::Bad;
      row.error = "no certnum";
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string Describe(const Row& row, std::chrono::milliseconds wait) {
  if (row.hasResult) return row.code == "0" ? "done" : "result " + row.code;
  switch (row.state) {
    case RowState::Bad:
      return "bad row: " + row.error;
    case RowState::NotSent:
      return "not sent: interrupted";
    case RowState::Refused:
      return row.error;
    case RowState::Accepted:
      return "no result within " + std::to_string(wait.count() / 1000) + " s";
  }
  return "";
}

// Prints one row's outcome, on stdout.
void PrintRow(const Row& row, const ImportOptions& options) {
  const std::string& who = row.certnum;
  if (options.json) {
    JsonLine line;
    line.Add("line", row.line).Add("certnum", who).Add("id", row.id);
    line.Add("outcome", Describe(row, options.wait));
    if (row.hasResult) line.Add("result", row.code);
    std::printf("%s\n", line.Text().c_str());
  } else {
    std::printf("line %d, certnum %s: %s\n", row.line, who.c_str(),
                Describe(row, options.wait).c_str());
  }
  std::fflush(stdout);
}

// Progress on stderr: a bar on a terminal, a line per tenth of the rows otherwise.
class Progress {
 public:
  explicit Progress(int total) : m_total(total), m_onTerminal(isatty(STDERR_FILENO) != 0) {}
  void Show(int sent, int results) {
    if (m_total == 0) return;
    if (m_onTerminal) {
      constexpr int kWidth = 30;
      const int filled = sent * kWidth / m_total;
      std::fprintf(stderr, "\r[%s%s] %d/%d sent, %d results", std::string(filled, '#').c_str(),
                   std::string(kWidth - filled, '.').c_str(), sent, m_total, results);
    } else {
      const int tenth = sent * 10 / m_total;
      if (tenth == m_lastTenth) return;
      m_lastTenth = tenth;
      std::fprintf(stderr, "progress: %d/%d sent\n", sent, m_total);
    }
  }
  void Done() const {
    if (m_onTerminal) std::fprintf(stderr, "\n");
  }

 private:
  const int m_total;
  const bool m_onTerminal;
  int m_lastTenth = 0;
};

void WriteFailures(const std::string& path, const std::vector<std::string>& header,
                   const std::vector<const Row*>& failed, std::chrono::milliseconds wait) {
  std::vector<std::string> columns = header;
  const auto errorColumn = std::find(columns.begin(), columns.end(), "error");
  const std::size_t errorIndex = static_cast<std::size_t>(errorColumn - columns.begin());
  if (errorColumn == columns.end()) columns.emplace_back("error");
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw InputError("cannot write " + path);
  file << CsvLine(columns) << "\n";
  for (const Row* row : failed) {
    std::vector<std::string> fields = row->fields;
    if (fields.size() <= header.size()) {
      fields.resize(columns.size());
      fields[errorIndex] = Describe(*row, wait);
    } else {
      fields.push_back(Describe(*row, wait));  // a row too long stays too long
    }
    file << CsvLine(fields) << "\n";
  }
}

}  // namespace

ImportSummary RunImport(ZR_Framework::Face::TerminalFace_ZR& adaptor,
                        const ImportOptions& options) {
  std::vector<std::string> header;
  std::vector<Row> rows = ReadRows(options.csvPath, header);
  for (const Row& row : rows) {
    if (row.state == RowState::Bad) PrintRow(row, options);
  }

  std::mutex mutex;  // guards the rows' states while workers run
  std::size_t next = 0;
  int sent = 0;
  int finishedWorkers = 0;
  const int jobs = std::max(1, options.jobs);
  {
    JoiningThreads workers;
    for (int j = 0; j < jobs; ++j) {
      workers.threads.emplace_back([&] {
        for (;;) {
          Row* row = nullptr;
          {
            std::lock_guard<std::mutex> lock(mutex);
            while (next < rows.size() && rows[next].state == RowState::Bad) ++next;
            if (next == rows.size() || g_interrupted) break;
            row = &rows[next++];
          }
          const bool accepted = adaptor.AddUser(row->id, options.sn, row->person);
          const std::string why = accepted ? std::string() : LastFailureText();
          std::lock_guard<std::mutex> lock(mutex);
          row->state = accepted ? RowState::Accepted : RowState::Refused;
          if (!accepted) row->error = why;
          ++sent;
        }
        std::lock_guard<std::mutex> lock(mutex);
        ++finishedWorkers;
      });
    }

    std::map<std::string, Row*> byId;
    for (Row& row : rows) byId[row.id] = &row;
    Progress progress(static_cast<int>(rows.size()));
    int results = 0;
    Clock::time_point deadline = Clock::time_point::max();
    for (;;) {
      const std::vector<Result> taken = TakeResults(std::chrono::milliseconds(100));
      std::lock_guard<std::mutex> lock(mutex);
      for (const Result& result : taken) {
        const auto row = byId.find(result.id);
        if (result.sn != options.sn || row == byId.end() || row->second->hasResult) continue;
        row->second->hasResult = true;
        row->second->code = result.code;
        ++results;
        PrintRow(*row->second, options);
      }
      progress.Show(sent, results);
      if (finishedWorkers < jobs) continue;
      if (deadline == Clock::time_point::max()) deadline = Clock::now() + options.wait;
      const bool allIn = std::all_of(rows.begin(), rows.end(), [](const Row& row) {
        return row.state != RowState::Accepted || row.hasResult;
      });
      if (allIn || g_interrupted || Clock::now() >= deadline) break;
    }
    progress.Done();
  }

  ImportSummary summary;
  std::vector<const Row*> failed;
  for (const Row& row : rows) {
    ++summary.rows;
    switch (row.state) {
      case RowState::Bad:
        ++summary.bad;
        break;
      case RowState::NotSent:
        ++summary.notSent;
        break;
      case RowState::Refused:
        ++summary.sent;
        ++summary.refused;
        break;
      case RowState::Accepted:
        ++summary.sent;
        ++summary.accepted;
        if (!row.hasResult) {
          ++summary.withoutResult;
        } else if (row.code == "0") {
          ++summary.succeeded;
        } else {
          ++summary.failedByCode[row.code];
        }
        break;
    }
    if (row.state != RowState::Bad && !row.hasResult) PrintRow(row, options);
    if (!(row.state == RowState::Accepted && row.hasResult && row.code == "0")) {
      failed.push_back(&row);
    }
  }
  if (!failed.empty()) {
    summary.failuresPath =
        options.failuresPath.empty() ? DefaultFailuresPath(options.csvPath) : options.failuresPath;
    WriteFailures(summary.failuresPath, header, failed, options.wait);
  }
  return summary;
}

std::string SummaryText(const ImportSummary& summary) {
  int failed = 0;
  std::string codes;
  for (const auto& [code, count] : summary.failedByCode) {
    failed += count;
    codes += (codes.empty() ? "" : ", ") + code + ": " + std::to_string(count);
  }
  std::ostringstream text;
  text << summary.rows << " rows: " << summary.bad << " bad, " << summary.sent << " sent, "
       << summary.accepted << " accepted, " << summary.refused << " refused, " << summary.succeeded
       << " succeeded, " << failed << " failed";
  if (!codes.empty()) text << " (" << codes << ")";
  text << ", " << summary.withoutResult << " without result";
  if (summary.notSent > 0) text << ", " << summary.notSent << " not sent";
  return text.str();
}

std::string SummaryJson(const ImportSummary& summary) {
  JsonLine failed;
  for (const auto& [code, count] : summary.failedByCode) failed.Add(code.c_str(), count);
  JsonLine line;
  line.Add("rows", summary.rows).Add("bad", summary.bad).Add("sent", summary.sent);
  line.Add("accepted", summary.accepted).Add("refused", summary.refused);
  line.Add("succeeded", summary.succeeded).Add("without_result", summary.withoutResult);
  line.Add("not_sent", summary.notSent).AddObject("failed", failed.Take());
  line.Add("failures", summary.failuresPath);
  return JsonLine().AddObject("summary", line.Take()).Text();
}

}  // namespace Facepadctl
