// What facepadctl reads and writes: base64 and CSV.
#include <gtest/gtest.h>

#include <sstream>

#include "Base64.h"
#include "Csv.h"

using namespace Facepadctl;

TEST(Base64, PadsToWholeQuadruples) {
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(std::string("\xFF\xD8\xFF\x00\x10", 5)), "/9j/ABA=");
}

// The records of `text`, read one at a time.
std::vector<CsvRecord> ReadAll(const std::string& text) {
  std::istringstream input(text);
  CsvReader reader(input);
  std::vector<CsvRecord> records;
  while (auto record = reader.Next()) records.push_back(*record);
  return records;
}

// A quote left open is a mistake of its line alone: the rows below it are
// read as they are, whatever quotes they hold.
TEST(Csv, ReadsWhatSpreadsheetsWriteOneLineAtATime) {
  const std::vector<CsvRecord> records = ReadAll(
      "\xEF\xBB\xBF"
      "certnum,name\r\n"
      "C-1,\"Lee, Ann\"\r\n"
      "\n"
      "C-2,\"say \"\"hi\"\"\"\n"
      "C-3,\"open\n"
      "C-4,\"Gil\"\n"
      "C-5,last");
  const std::vector<std::pair<int, std::vector<std::string>>> expected = {
      {1, {"certnum", "name"}}, {2, {"C-1", "Lee, Ann"}}, {4, {"C-2", "say \"hi\""}},
      {5, {"C-3,\"open"}},      {6, {"C-4", "Gil"}},      {7, {"C-5", "last"}},
  };
  ASSERT_EQ(records.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(records[i].line, expected[i].first) << i;
    EXPECT_EQ(records[i].fields, expected[i].second) << i;
    EXPECT_EQ(records[i].unclosedQuote, i == 3) << i;
  }
}

TEST(Csv, WrittenLinesReadBack) {
  const std::vector<std::string> fields = {"plain", "with,comma", "with \"quote\"", ""};
  const std::vector<CsvRecord> records = ReadAll(CsvLine(fields) + "\n");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].fields, fields);
}
