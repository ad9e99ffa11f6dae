// What facepadctl reads and writes: base64, CSV and photos.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "Base64.h"
#include "Csv.h"
#include "PersonInput.h"
#include "Subprocess.h"

using namespace Facepadctl;

TEST(Base64, PadsToWholeQuadruples) {
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(std::string("\xFF\xD8\xFF\x00\x10", 5)), "/9j/ABA=");
}

// The records of `input`, read one at a time by a reader of that limit.
std::vector<CsvRecord> ReadAll(std::istream&& input, std::size_t longestLine = kLongestLine) {
  CsvReader reader(input, longestLine);
  std::vector<CsvRecord> records;
  while (auto record = reader.Next()) records.push_back(*record);
  return records;
}

// A quote left open is a mistake of its line alone: the rows below it are
// read as they are, whatever quotes they hold. A line written reads back.
TEST(Csv, ReadsWhatSpreadsheetsWriteOneLineAtATime) {
  const std::vector<std::string> written = {"C-6", "with,comma", "with \"quote\"", ""};
  const std::vector<CsvRecord> records =
      ReadAll(std::istringstream("\xEF\xBB\xBF"
                                 "certnum,name\r\n"
                                 "C-1,\"Lee, Ann\"\r\n"
                                 "\n"
                                 "C-2,\"say \"\"hi\"\"\"\n"
                                 "C-3,\"open\n"
                                 "C-4,\"Gil\"\n" +
                                 CsvLine(written) + "\nC-5,last"));
  const std::vector<std::pair<int, std::vector<std::string>>> expected = {
      {1, {"certnum", "name"}}, {2, {"C-1", "Lee, Ann"}}, {4, {"C-2", "say \"hi\""}},
      {5, {"C-3,\"open"}},      {6, {"C-4", "Gil"}},      {7, written},
      {8, {"C-5", "last"}},
  };
  ASSERT_EQ(records.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(records[i].line, expected[i].first) << i;
    EXPECT_EQ(records[i].fields, expected[i].second) << i;
    EXPECT_EQ(records[i].unclosedQuote, i == 3) << i;
  }
}

// `pieces` times 64 KiB of 'x', then `tail`: a line never held whole.
struct LongLine : std::streambuf {
  LongLine(int pieces, std::string tail) : left(pieces), tail(std::move(tail)) {}
  int_type underflow() override {
    std::string& next = left-- > 0 ? piece : tail;
    if (left < -1) return traits_type::eof();
    setg(next.data(), next.data(), next.data() + next.size());
    return traits_type::to_int_type(next.front());
  }
  int left;
  std::string piece = std::string(std::size_t{64} * 1024, 'x'), tail;
};

// A line over the limit (its CR LF aside) is one record marked too long; the
// line after it reads as ever, however long the one skipped.
TEST(Csv, ALineOverTheLimitIsSkippedUnread) {
  const std::vector<CsvRecord> records =
      ReadAll(std::istringstream("a,b\n" + std::string(33, 'x') + "\nc,d\n" + std::string(32, 'y') +
                                 "\r\n" + std::string(70, 'z') + "\r\ne"),
              32);
  ASSERT_EQ(records.size(), 6u);
  const std::vector<bool> tooLong = {false, true, false, false, true, false};
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].line, static_cast<int>(i) + 1);
    EXPECT_EQ(records[i].tooLong, tooLong[i]) << i;
    EXPECT_EQ(records[i].fields.empty(), tooLong[i]) << i;
  }
  EXPECT_EQ(records[2].fields, (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(records[3].fields, std::vector<std::string>{std::string(32, 'y')});

  LongLine twentyMiB(320, "\nC-1,z");  // read with a limit of 1 KiB
  const std::vector<CsvRecord> afterLong = ReadAll(std::istream(&twentyMiB), 1024);
  ASSERT_EQ(afterLong.size(), 2u);
  EXPECT_TRUE(afterLong[0].tooLong);
  EXPECT_EQ(afterLong[1].line, 2);
  EXPECT_EQ(afterLong[1].fields, (std::vector<std::string>{"C-1", "z"}));
}

// A descriptor, closed on scope exit.
struct Descriptor {
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

// Nothing but a regular file is opened: the FIFO without a writer blocks
// nothing and /dev/zero is never read.
TEST(Photo, OnlyRegularFilesWithinTheLimitAreRead) {
  const TemporaryFolder folder;
  const std::string& dir = folder.Path();
  std::ofstream(dir + "/big.png") << std::string("\x89PNG\r\n\x1A\n", 8) << std::string(57, '.');
  std::ofstream(dir + "/text.png") << "hello";
  ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
  const Descriptor socket{::socket(AF_UNIX, SOCK_STREAM, 0)};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (dir + "/socket").c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(socket.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  const std::vector<std::pair<std::string, std::string>> hostile = {
      {dir + "/fifo", "is a FIFO"},
      {"/dev/zero", "is a character device"},
      {"/dev/null", "is a character device"},
      {dir, "is a folder"},
      {dir + "/" + std::string(300, 'n'), "File name too long"},
      {dir + "/missing.png", "No such file"},
      {dir + "/big.png", "is 65 bytes, more than the 64 allowed"},
      {dir + "/socket", "is a socket"},
      {dir + "/text.png", "is not a JPEG or PNG image"},
  };
  for (const auto& entry : hostile) {
    const std::string& path = entry.first;
    std::vector<std::function<void()>> reads = {[&] { ReadPhoto(path, 64); }};
    if (path != dir + "/text.png") {  // a regular file whose bytes alone are wrong
      reads.emplace_back([&] { StatPhoto(path, 64); });
      reads.emplace_back([&] { ReadFile(path, 64); });
    }
    for (const auto& read : reads) {
      const std::string message = Refusal<InputError>(read);
      EXPECT_NE(message.find(path), std::string::npos) << message;
      EXPECT_NE(message.find(entry.second), std::string::npos) << message;
    }
  }
}

TEST(Photo, APngReadsWithItsIdentity) {
  const std::string path = ZR_SOURCE_DIR "/demo/photos/ann.png";
  const PhotoFile file = ReadPhotoFile(path, kDefaultMaxPhoto);
  const FileIdentity identity = StatPhoto(path, kDefaultMaxPhoto);
  EXPECT_EQ(file.bytes.size(), identity.size);
  EXPECT_EQ(file.identity.inode, identity.inode);
  EXPECT_EQ(file.identity.mtimeNs, identity.mtimeNs);
  const Photo photo = ReadPhoto(path);
  EXPECT_EQ(photo.bytes, file.bytes.size());
  EXPECT_EQ(photo.base64, Base64Encode(file.bytes));
}
