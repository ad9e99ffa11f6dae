// What facepadctl reads: base64, CSV, person fields and photo signatures.
#include <gtest/gtest.h>

#include "Base64.h"
#include "Csv.h"
#include "PersonInput.h"

using namespace Facepadctl;

TEST(Base64, StandardVectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xFF\xD8\xFF\x00\x10", 5), "/9j/ABA="},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(Base64Encode(bytes), text);
}

TEST(Csv, ParsesWhatSpreadsheetsWrite) {
  const CsvDocument document = ParseCsv(
      "certnum,name\r\n"
      "C-1,\"Lee, Ann\"\r\n"
      "\n"
      "C-2,\"say \"\"hi\"\"\"\n"
      "C-3,\"two\nlines\"\n"
      "C-4,\n"
      "C-5,last");
  ASSERT_TRUE(document.error.empty());
  const std::vector<CsvRecord> expected = {
      {1, {"certnum", "name"}},   {2, {"C-1", "Lee, Ann"}}, {4, {"C-2", "say \"hi\""}},
      {5, {"C-3", "two\nlines"}}, {7, {"C-4", ""}},         {8, {"C-5", "last"}},
  };
  ASSERT_EQ(document.records.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(document.records[i].line, expected[i].line) << i;
    EXPECT_EQ(document.records[i].fields, expected[i].fields) << i;
  }
  EXPECT_FALSE(ParseCsv("a,\"open").error.empty());
}

TEST(Csv, WrittenLinesReadBack) {
  const std::vector<std::string> fields = {"plain", "with,comma", "with \"quote\"", "two\nlines",
                                           ""};
  const CsvDocument document = ParseCsv(CsvLine(fields) + "\n");
  ASSERT_EQ(document.records.size(), 1u);
  EXPECT_EQ(document.records[0].fields, fields);
  EXPECT_EQ(CsvLine({"a", "b"}), "a,b");
}

TEST(PersonFields, KeyValueTexts) {
  Person person{{"name", "old"}};
  AddFields(person, {"name=Ann", "note=a=b", "empty="});
  EXPECT_EQ(person, (Person{{"name", "Ann"}, {"note", "a=b"}, {"empty", ""}}));
  EXPECT_THROW(AddFields(person, {"novalue"}), InputError);
  EXPECT_THROW(AddFields(person, {"=value"}), InputError);
}

TEST(PersonFields, PhotoSignatures) {
  EXPECT_TRUE(LooksLikeJpegOrPng(std::string("\xFF\xD8\xFF\xE0rest", 8)));
  EXPECT_TRUE(LooksLikeJpegOrPng(std::string("\x89PNG\r\n\x1A\nrest", 12)));
  EXPECT_FALSE(LooksLikeJpegOrPng("GIF89a"));
  EXPECT_FALSE(LooksLikeJpegOrPng(std::string("\xFF\xD8", 2)));
  EXPECT_FALSE(LooksLikeJpegOrPng(""));
}
