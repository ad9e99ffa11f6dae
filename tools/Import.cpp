// import: one person per CSV row, added to a terminal through one adaptor.
//
// Rows stream through a bounded pipeline: a reader thread checks each row and
// queues it, worker threads read its photo and send it, and the main thread
// matches the results the poller brings. A row's line is printed as soon as
// its outcome is final; rows leave memory in row order, the ones that need
// another run going to the resume file on their way out.
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "Adaptor.h"
#include "Arguments.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "ImportRows.h"
#include "JsonLine.h"
#include "Output.h"
#include "ResumeFile.h"
#include "Signals.h"

namespace Facepadctl {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct ImportOptions {
  std::string csvPath;  // "-": standard input
  std::string resumePath;
  std::string sn;
  std::string failuresPath;  // empty: beside the CSV, "NAME.failed.csv"
  int jobs = 4;
  double waitSeconds = 30;  // for results, once every row is sent
  bool resendAccepted = false;
};

// Sending holds back while this many accepted rows await their results, so
// that neither the rows kept nor the service's answers to polls grow with
// the file.
constexpr int kMostAwaiting = 4000;

// After this many requests in a row that do not reach the service, the
// import stops sending: the service is gone.
constexpr int kUnreachableInARow = 10;

// Outcomes of rows that need nothing more: not written to the resume file.
bool Settled(const std::string& outcome) {
  return outcome == "done" || outcome == "accepted";
}

// Outcomes that an earlier run gave rows the service accepted: sending them
// again would only be answered "already held".
bool AcceptedEarlier(const std::string& outcome) {
  return outcome == "no-result" || outcome == "accepted";
}

struct Row {
  std::vector<std::string> fields;  // as read, the photo's path made absolute
  std::string certnum;
  bool wellShaped = true;                  // as many fields as the header
  bool unclosedQuote = false;              // `fields` holds the line as it was read
  bool accepted = false;                   // sent, accepted and awaiting its result
  std::optional<std::string> earlyResult;  // came before the request returned
  bool final = false;
  std::string outcome;
};

struct Summary {
  int rows = 0;
  std::map<std::string, int> byOutcome;
  std::map<std::string, int> results;  // codes other than "0"
};

// "1 row", "2 rows".
std::string Count(int count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Progress on stderr: a line rewritten on a terminal, nothing otherwise.
class Progress {
 public:
  Progress() : m_onTerminal(isatty(STDERR_FILENO) != 0) {}
  void Show(int read, int sent, int results) const {
    if (m_onTerminal) std::fprintf(stderr, "\r%d read, %d sent, %d results", read, sent, results);
  }
  void Done() const {
    if (m_onTerminal) std::fprintf(stderr, "\n");
  }

 private:
  const bool m_onTerminal;
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

class ImportRun {
 public:
  ImportRun(const Globals& globals, const ImportOptions& options, CsvReader& reader,
            const ImportColumns& columns, fs::path photoFolder, ResumeFile& resume)
      : m_options(options),
        m_reader(reader),
        m_columns(columns),
        m_photoFolder(std::move(photoFolder)),
        m_resume(resume),
        m_adaptor(globals, options.waitSeconds > 0),
        m_idPrefix(NewRequestId("imp") + "-") {}

  // Imports every row; returns the exit code.
  int Run();

 private:
  void ReadRows();
  void SendRows();
  void MatchResults(const std::vector<Result>& results);
  // Gives row `line` its final outcome and prints it. With m_mutex held.
  void Finish(int line, Row& row, const std::string& outcome, const std::string& detail,
              const std::string& result = std::string());
  // Lets go of the final rows at the front, writing those that need another run.
  void Release();
  // Why rows are no longer sent, or empty while they are. With m_mutex held.
  std::string StopDetail() const;
  void PrintSummary() const;

  const ImportOptions& m_options;
  CsvReader& m_reader;
  const ImportColumns& m_columns;
  const fs::path m_photoFolder;
  ResumeFile& m_resume;
  Adaptor m_adaptor;
  const std::string m_idPrefix;

  std::mutex m_mutex;  // guards everything below
  std::condition_variable m_queueChanged;
  std::map<int, Row> m_rows;  // read and not yet let go, by line
  std::deque<int> m_queue;    // lines to send
  bool m_readingDone = false;
  int m_sendersDone = 0;
  int m_unreachableInARow = 0;
  bool m_serviceGone = false;
  int m_read = 0;
  int m_sent = 0;
  int m_results = 0;
  int m_awaiting = 0;
  Clock::time_point m_lastResult = Clock::now();
  Summary m_summary;
};

std::string ImportRun::StopDetail() const {
  if (g_interrupted) return "interrupted";
  if (m_serviceGone) return "the import stopped: the service could not be reached";
  return {};
}

void ImportRun::Finish(int line, Row& row, const std::string& outcome, const std::string& detail,
                       const std::string& result) {
  row.final = true;
  row.outcome = outcome;
  if (row.accepted) --m_awaiting;
  row.accepted = false;
  ++m_summary.rows;
  ++m_summary.byOutcome[outcome];
  if (outcome == "result") ++m_summary.results[result];

  Outcome printed{"import", m_options.sn};
  printed.id = outcome == "bad" || outcome == "not-sent" || outcome == "skipped"
                   ? std::string()
                   : m_idPrefix + std::to_string(line);
  printed.line = line;
  printed.certnum = row.certnum;
  printed.status = StatusFromName(outcome).value_or(Status::Failed);
  printed.result = result;
  printed.detail = outcome == "result" ? std::string() : detail;
  Emit(printed);

  // A row of the wrong shape goes to the resume file as it was read, so it
  // stays bad until fixed; a skipped row keeps what the earlier run said.
  if (outcome == "skipped") {
    row.fields = m_columns.ResumeFields(row.fields, m_columns.EarlierOutcome(row.fields),
                                        m_columns.EarlierDetail(row.fields));
  } else if (!Settled(outcome) && row.wellShaped) {
    row.fields = m_columns.ResumeFields(row.fields, outcome,
                                        outcome == "result" ? "result " + result : detail);
  }
}

void ImportRun::Release() {
  while (!m_rows.empty() && m_rows.begin()->second.final) {
    const Row& row = m_rows.begin()->second;
    if (row.unclosedQuote) {
      m_resume.WriteLine(row.fields.front());
    } else if (!Settled(row.outcome)) {
      m_resume.WriteLine(CsvLine(row.fields));
    }
    m_rows.erase(m_rows.begin());
  }
}

void ImportRun::ReadRows() {
  std::unordered_map<std::string, int> certnums;
  const std::size_t queueLimit = 2 * static_cast<std::size_t>(m_options.jobs);
  // After an interruption the rest of a file is read, so that its rows go to
  // the resume file; standard input may be a terminal that never ends.
  while (!(m_options.csvPath == "-" && g_interrupted)) {
    std::optional<CsvRecord> record = m_reader.Next();
    if (!record) break;
    const std::string bad = CheckRecord(*record, m_columns, certnums);
    Row row;
    row.fields = std::move(record->fields);
    row.unclosedQuote = record->unclosedQuote;
    row.wellShaped = !record->unclosedQuote && row.fields.size() == m_columns.Count();
    if (!record->unclosedQuote) row.certnum = m_columns.Certnum(row.fields);
    if (row.wellShaped && m_columns.HasPhoto()) {
      std::string& photo = m_columns.PhotoPath(row.fields);
      if (!photo.empty()) photo = (m_photoFolder / photo).lexically_normal().string();
    }
    const std::string earlier = row.wellShaped ? m_columns.EarlierOutcome(row.fields) : "";

    std::unique_lock<std::mutex> lock(m_mutex);
    m_queueChanged.wait(lock, [&] { return m_queue.size() < queueLimit || !StopDetail().empty(); });
    ++m_read;
    Row& kept = m_rows.emplace(record->line, std::move(row)).first->second;
    if (!bad.empty()) {
      Finish(record->line, kept, "bad", bad);
    } else if (AcceptedEarlier(earlier) && !m_options.resendAccepted) {
      Finish(record->line, kept, "skipped", "accepted by an earlier run; not sent again");
    } else if (!StopDetail().empty()) {
      Finish(record->line, kept, "not-sent", StopDetail());
    } else {
      m_queue.push_back(record->line);
      m_queueChanged.notify_all();
      continue;
    }
    Release();
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_readingDone = true;
  m_queueChanged.notify_all();
}

void ImportRun::SendRows() {
  const auto patience = Milliseconds(m_options.waitSeconds);
  for (;;) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Results another client takes never come: hold back no longer than the
    // wait for results, counted from the last one that came.
    while (m_awaiting >= kMostAwaiting && StopDetail().empty() &&
           Clock::now() - m_lastResult < patience) {
      m_queueChanged.wait_for(lock, std::chrono::milliseconds(100));
    }
    m_queueChanged.wait(lock, [&] { return !m_queue.empty() || m_readingDone; });
    if (m_queue.empty()) break;
    const int line = m_queue.front();
    m_queue.pop_front();
    m_queueChanged.notify_all();
    Row& row = m_rows.at(line);  // stays put: a row unfinished is never let go
    if (!StopDetail().empty()) {
      Finish(line, row, "not-sent", StopDetail());
      Release();
      continue;
    }
    Person person = m_columns.ToPerson(row.fields);
    const std::string photoPath = m_columns.HasPhoto() ? m_columns.PhotoPath(row.fields) : "";
    lock.unlock();

    std::string bad;
    if (!photoPath.empty()) {
      try {
        person["facepic"] = ReadPhoto(photoPath).base64;
      } catch (const InputError& error) {
        bad = error.what();
      }
    }
    const bool accepted =
        bad.empty() && m_adaptor.AddUser(m_idPrefix + std::to_string(line), m_options.sn, person);
    const FailureReason failure = Adaptor::LastFailure();

    lock.lock();
    if (!bad.empty()) {
      Finish(line, row, "bad", bad);
    } else if (accepted) {
      ++m_sent;
      m_unreachableInARow = 0;
      if (row.earlyResult) {
        Finish(line, row, *row.earlyResult == "0" ? "done" : "result", "", *row.earlyResult);
      } else if (m_options.waitSeconds > 0) {
        row.accepted = true;
        ++m_awaiting;
      } else {
        Finish(line, row, "accepted", "");
      }
    } else {
      ++m_sent;
      m_unreachableInARow = Unreachable(failure) ? m_unreachableInARow + 1 : 0;
      if (m_unreachableInARow >= kUnreachableInARow && !m_serviceGone) {
        m_serviceGone = true;
        m_queueChanged.notify_all();
      }
      Finish(line, row, StatusName(FailureClass(failure)), FailureText(failure));
    }
    Release();
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_sendersDone;
}

void ImportRun::MatchResults(const std::vector<Result>& results) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const Result& result : results) {
    if (result.sn != m_options.sn || result.id.compare(0, m_idPrefix.size(), m_idPrefix) != 0) {
      continue;
    }
    const int line = std::atoi(result.id.c_str() + m_idPrefix.size());
    const auto found = m_rows.find(line);
    if (found == m_rows.end() || found->second.final) continue;
    Row& row = found->second;
    ++m_results;
    if (!row.accepted) {
      row.earlyResult = result.code;  // the request has not returned yet
      continue;
    }
    Finish(line, row, result.code == "0" ? "done" : "result", "", result.code);
    m_lastResult = Clock::now();
    m_queueChanged.notify_all();
  }
  Release();
}

int ImportRun::Run() {
  Progress progress;
  {
    JoiningThreads threads;
    threads.threads.emplace_back([this] { ReadRows(); });
    for (int j = 0; j < m_options.jobs; ++j) {
      threads.threads.emplace_back([this] { SendRows(); });
    }
    for (;;) {
      MatchResults(m_adaptor.TakeResults(std::chrono::milliseconds(100)));
      std::lock_guard<std::mutex> lock(m_mutex);
      progress.Show(m_read, m_sent, m_results);
      if (m_readingDone && m_sendersDone == m_options.jobs) break;
    }
  }
  const auto deadline = Clock::now() + Milliseconds(m_options.waitSeconds);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      progress.Show(m_read, m_sent, m_results);
      if (m_awaiting == 0 || g_interrupted || Clock::now() >= deadline) break;
    }
    MatchResults(m_adaptor.TakeResults(std::chrono::milliseconds(100)));
  }
  progress.Done();

  // Rows still awaiting a result: another client may have taken it, unless
  // the service is gone, and then whether it kept them is not known.
  bool serviceAnswers = true;
  if (m_awaiting > 0 && !g_interrupted) {
    ZR_Framework::Face::ParamMap none;
    serviceAnswers = m_adaptor.GetAvailableFace(none);
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto& [line, row] : m_rows) {
    if (row.final) continue;
    if (g_interrupted) {
      Finish(line, row, "no-result", "interrupted before its result came");
    } else if (serviceAnswers) {
      Finish(line, row, "no-result", NoResultText(m_options.waitSeconds));
    } else {
      Finish(line, row, "failed", "accepted, but the service stopped answering before its result");
    }
  }
  Release();
  const bool written = m_resume.Close();
  if (m_resume.Rows() == 0 && fs::exists(m_resume.Path())) {
    // A resume file left by an earlier run would say rows need sending again.
    std::error_code ignored;
    if (fs::remove(m_resume.Path(), ignored)) {
      Note("removed " + m_resume.Path() + ", an earlier run's: no row needs another run");
    }
  }
  PrintSummary();
  if (!StopDetail().empty()) {
    Note("import stopped: " +
         (g_interrupted ? std::string("interrupted")
                        : "the service could not be reached (" +
                              std::to_string(kUnreachableInARow) + " requests in a row)"));
  }
  if (g_interrupted) return InterruptedExitCode();
  const int settled = m_summary.byOutcome["done"] + m_summary.byOutcome["accepted"];
  return written && settled == m_summary.rows ? kSucceeded : kFailed;
}

void ImportRun::PrintSummary() const {
  if (JsonOutput()) {
    JsonLine counts;
    counts.Add("rows", m_summary.rows);
    for (const char* outcome :
         {"done", "accepted", "refused", "failed", "bad", "no-result", "not-sent", "skipped"}) {
      const auto found = m_summary.byOutcome.find(outcome);
      counts.Add(outcome, found == m_summary.byOutcome.end() ? 0 : found->second);
    }
    JsonLine results;
    for (const auto& [code, count] : m_summary.results) results.Add(code.c_str(), count);
    counts.AddObject("results", results.Take());
    if (g_interrupted) counts.Add("stopped", "interrupted");
    if (m_serviceGone && !g_interrupted) counts.Add("stopped", "service unreachable");
    if (m_resume.Rows() > 0) {
      counts.Add("resume_file", fs::absolute(m_resume.Path()).lexically_normal().string());
    }
    PrintLine(JsonLine().Add("command", "import").AddObject("summary", counts.Take()).Text());
    return;
  }
  std::string text = "import: " + Count(m_summary.rows, "row");
  const char* separator = ": ";
  for (const auto& [outcome, count] : m_summary.byOutcome) {
    if (count == 0 || outcome == "result") continue;
    text += separator + std::to_string(count) + " " + outcome;
    separator = ", ";
  }
  for (const auto& [code, count] : m_summary.results) {
    text += separator + std::to_string(count) + " result " + code;
    separator = ", ";
  }
  if (m_resume.Rows() > 0) {
    const auto count = [this](const char* outcome) {
      const auto found = m_summary.byOutcome.find(outcome);
      return found == m_summary.byOutcome.end() ? 0 : found->second;
    };
    const int unconfirmed = count("no-result") + count("skipped");
    text += "\nrows needing another run, in " + m_resume.Path() + ": " +
            std::to_string(m_resume.Rows() - unconfirmed) +
            " to send again (import the file as it is)";
    if (unconfirmed > 0) {
      text += ", " + std::to_string(unconfirmed) +
              " accepted without a result seen (sent again only with --resend-accepted)";
    }
  }
  PrintLine(text);
}

int RunImport(const Globals& globals, ImportOptions options) {
  if (!options.resumePath.empty()) {
    if (!options.csvPath.empty()) throw UsageError("give either FILE or --resume FILE, not both");
    options.csvPath = options.resumePath;
  }
  if (options.csvPath.empty()) throw UsageError("give the CSV FILE to import, or --resume FILE");
  const bool fromStdin = options.csvPath == "-";
  if (fromStdin && options.failuresPath.empty()) {
    throw UsageError(
        "reading from standard input (-), --failures PATH must say where rows to "
        "send again go");
  }
  const std::string resumePath =
      options.failuresPath.empty() ? DefaultFailuresPath(options.csvPath) : options.failuresPath;
  CheckResumePath(resumePath, options.csvPath);

  std::ifstream file;
  if (!fromStdin) {
    if (fs::is_directory(options.csvPath)) {
      throw InputError(options.csvPath + " is a folder, not a CSV file");
    }
    file.open(options.csvPath, std::ios::binary);
    if (!file) throw InputError("cannot read " + options.csvPath + ": " + LastSystemError());
  }
  CsvReader reader(fromStdin ? std::cin : file);
  const std::optional<CsvRecord> header = reader.Next();
  if (!header) throw InputError(options.csvPath + " is empty: it needs a header row");
  if (header->tooLong) {
    throw InputError(options.csvPath + ": the header is longer than " +
                     std::to_string(kLongestLine) + " bytes");
  }
  if (header->unclosedQuote)
    throw InputError(options.csvPath + ": the header's quote is not closed");
  const ImportColumns columns(header->fields, options.csvPath);
  if (!options.resumePath.empty() && !columns.IsResumeFile()) {
    throw InputError(options.resumePath + " is not a resume file: it has no outcome column");
  }

  const fs::path photoFolder =
      fromStdin ? fs::current_path() : fs::absolute(options.csvPath).parent_path();
  ResumeFile resume(resumePath, columns.ResumeHeader());
  InterruptOnSignals();
  ImportRun run(globals, options, reader, columns, photoFolder, resume);
  return run.Run();
}

}  // namespace

Subcommand AddImport(CLI::App& parent) {
  auto options = std::make_shared<ImportOptions>();
  CLI::App* command = parent.add_subcommand("import", "add the persons of a CSV file");
  command->add_option("file", options->csvPath, "CSV file, one person per row (- reads stdin)");
  command->add_option("--resume", options->resumePath,
                      "send again the rows of a resume file that need it");
  AddSerialNumber(command, options->sn);
  command->add_option("--jobs", options->jobs, "requests in parallel")
      ->check(Whole(1, 64))
      ->capture_default_str();
  command
      ->add_option("--wait", options->waitSeconds, "seconds to wait for results once all are sent")
      ->check(Seconds(true))
      ->capture_default_str();
  command->add_option("--failures", options->failuresPath,
                      "where the rows to send again go (default: FILE.failed.csv)");
  command->add_flag("--resend-accepted", options->resendAccepted,
                    "send again rows an earlier run saw accepted without a result");
  return {command, [options](const Globals& globals) { return RunImport(globals, *options); }};
}

}  // namespace Facepadctl
