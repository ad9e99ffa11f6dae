#include "ResumeFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Arguments.h"
#include "Csv.h"
#include "Output.h"

namespace Facepadctl {

namespace fs = std::filesystem;

std::string DefaultFailuresPath(const std::string& csvPath) {
  fs::path path(csvPath);
  if (path.extension() == ".csv") path.replace_extension();
  return path.string() + ".failed.csv";
}

void CheckResumePath(const std::string& path, const std::string& inputPath) {
  struct stat input {};
  struct stat output {};
  if (inputPath != "-" && stat(inputPath.c_str(), &input) == 0 &&
      stat(path.c_str(), &output) == 0 && input.st_dev == output.st_dev &&
      input.st_ino == output.st_ino) {
    throw UsageError("--failures " + path + " is the input file");
  }
  if (stat(path.c_str(), &output) == 0 && S_ISDIR(output.st_mode)) {
    throw UsageError("--failures " + path + " is a folder; give a file's path");
  }
  const fs::path folder = fs::path(path).parent_path();
  const std::string folderName = folder.empty() ? "." : folder.string();
  struct stat directory {};
  if (stat(folderName.c_str(), &directory) != 0 || !S_ISDIR(directory.st_mode)) {
    throw UsageError("the folder " + folderName + " for the resume file " + path +
                     " does not exist");
  }
  if (access(folderName.c_str(), W_OK) != 0) {
    throw UsageError("the resume file " + path + " cannot be written: " + LastSystemError());
  }
}

void ResumeFile::WriteLine(const std::string& line) {
  if (!m_file.is_open() && !m_failed) {
    m_file.open(m_path, std::ios::binary | std::ios::trunc);
    m_failed = !m_file;
    if (m_failed) Note("cannot write the resume file " + m_path + ": " + LastSystemError());
    m_file << CsvLine(m_header) << "\n";
  }
  m_file << line << "\n";
  ++m_rows;
}

bool ResumeFile::Close() {
  if (!m_file.is_open()) return !m_failed;
  m_file.close();
  return !m_failed && !m_file.fail();
}

}  // namespace Facepadctl
