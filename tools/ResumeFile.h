// The resume file of an import: the rows that need another run, in row
// order, written as they leave the pipeline; and where it goes.
#ifndef FACEPADCTL_RESUME_FILE_H
#define FACEPADCTL_RESUME_FILE_H

#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace Facepadctl {

// "people.csv" -> "people.failed.csv".
std::string DefaultFailuresPath(const std::string& csvPath);

// Throws UsageError when the resume file cannot go to `path`: the input
// itself, a folder, or a folder that is missing or not writable.
void CheckResumePath(const std::string& path, const std::string& inputPath);

// Created at the first line written, so that a run with nothing to resume
// leaves no file.
class ResumeFile {
 public:
  ResumeFile(std::string path, std::vector<std::string> header)
      : m_path(std::move(path)), m_header(std::move(header)) {}

  // One row, already a line of CSV.
  void WriteLine(const std::string& line);
  // Ends the file; false when it could not be written whole.
  bool Close();
  const std::string& Path() const { return m_path; }
  int Rows() const { return m_rows; }

 private:
  std::string m_path;
  std::vector<std::string> m_header;
  std::ofstream m_file;
  bool m_failed = false;
  int m_rows = 0;
};

}  // namespace Facepadctl

#endif  // FACEPADCTL_RESUME_FILE_H
