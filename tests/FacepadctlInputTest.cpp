// What facepadctl reads and writes: base64, CSV and photos.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Base64.h"
#include "Csv.h"
#include "PersonInput.h"
#include "Photos.h"
#include "Subprocess.h"

using namespace Facepadctl;

TEST(Base64, PadsToWholeQuadruples) {
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(std::string("\xFF\xD8\xFF\x00\x10", 5)), "/9j/ABA=");
  // Every byte value, at each of the three places in a group, comes back.
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  for (const std::string& shifted : {bytes, "\x01" + bytes, "\x01\x02" + bytes}) {
    EXPECT_EQ(FacepadSim::Base64Decode(Base64Encode(shifted)), shifted);
  }
}

// The records of `input`, read one at a time by a reader of that limit, each
// as "LINE: [FIELD] [FIELD]", marked when a quote is left open or it is too long.
std::vector<std::string> ReadAll(std::istream&& input, std::size_t longestLine = kLongestLine) {
  CsvReader reader(input, longestLine);
  std::vector<std::string> records;
  while (auto record = reader.Next()) {
    std::string text = std::to_string(record->line) + ":";
    for (const std::string& field : record->fields) text += " [" + field + "]";
    if (record->unclosedQuote) text += " unclosed";
    records.push_back(text + (record->tooLong ? " too long" : ""));
  }
  return records;
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

// A quote left open is a mistake of its line alone: the rows below it are
// read as they are, whatever quotes they hold. A line written reads back. A
// line over the limit (its CR LF aside) is one record marked too long; the
// line after it reads as ever, however long the one skipped.
TEST(Csv, ReadsWhatSpreadsheetsWriteAndSkipsLinesOverTheLimitUnread) {
  const std::vector<std::string> written = {"C-6", "with,comma", "with \"quote\"", ""};
  EXPECT_EQ(ReadAll(std::istringstream("\xEF\xBB\xBF"
                                       "certnum,name\r\n"
                                       "C-1,\"Lee, Ann\"\r\n"
                                       "\n"
                                       "C-2,\"say \"\"hi\"\"\"\n"
                                       "C-3,\"open\n"
                                       "C-4,\"Gil\"\n" +
                                       CsvLine(written) + "\nC-5,last")),
            (std::vector<std::string>{
                "1: [certnum] [name]", "2: [C-1] [Lee, Ann]", R"(4: [C-2] [say "hi"])",
                R"(5: [C-3,"open] unclosed)", "6: [C-4] [Gil]",
                R"(7: [C-6] [with,comma] [with "quote"] [])", "8: [C-5] [last]"}));
  EXPECT_EQ(
      ReadAll(std::istringstream("a,b\n" + std::string(33, 'x') + "\nc,d\n" + std::string(32, 'y') +
                                 "\r\n" + std::string(70, 'z') + "\r\ne"),
              32),
      (std::vector<std::string>{"1: [a] [b]", "2: too long", "3: [c] [d]",
                                "4: [" + std::string(32, 'y') + "]", "5: too long", "6: [e]"}));
  LongLine twentyMiB(320, "\nC-1,z");  // read with a limit of 1 KiB
  EXPECT_EQ(ReadAll(std::istream(&twentyMiB), 1024),
            (std::vector<std::string>{"1: too long", "2: [C-1] [z]"}));
}

// Nothing but a regular file is opened: the FIFO without a writer blocks
// nothing and /dev/zero is never read.
TEST(Photo, OnlyRegularFilesWithinTheLimitAreReadEachWithItsIdentity) {
  const TemporaryFolder folder;
  const std::string& dir = folder.Path();
  std::ofstream(dir + "/big.png") << std::string("\x89PNG\r\n\x1A\n", 8) << std::string(57, '.');
  std::ofstream(dir + "/text.png") << "hello";
  ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mknod((dir + "/socket").c_str(), S_IFSOCK | 0600, 0), 0);

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
  for (const auto& [path, says] : hostile) {
    std::vector<std::string> messages = {Refusal<InputError>([&p = path] { ReadPhoto(p, 64); })};
    if (path != dir + "/text.png") {  // a regular file whose bytes alone are wrong
      messages.push_back(Refusal<InputError>([&p = path] { StatPhoto(p, 64); }));
      messages.push_back(Refusal<InputError>([&p = path] { ReadFile(p, 64); }));
    }
    for (const std::string& message : messages)
      EXPECT_TRUE(Has(message, path) && Has(message, says)) << message;
  }

  // A PNG reads with its identity, as StatPhoto gives it, and encodes.
  const std::string png = ZR_SOURCE_DIR "/demo/photos/ann.png";
  const PhotoFile file = ReadPhotoFile(png, kDefaultMaxPhoto);
  const FileIdentity identity = StatPhoto(png, kDefaultMaxPhoto);
  EXPECT_EQ(std::make_tuple(file.bytes.size(), file.identity.inode, file.identity.mtimeNs),
            std::make_tuple(identity.size, identity.inode, identity.mtimeNs));
  const Photo photo = ReadPhoto(png);
  EXPECT_EQ(photo.bytes, file.bytes.size());
  EXPECT_EQ(photo.base64, Base64Encode(file.bytes));
}
