#include "catalog/fields.h"

#include <gtest/gtest.h>

#include "catalog/catalog_record.h"
#include "scan/volumes.h"
#include "support/fake_volumes.h"

namespace lumivor {
namespace {

TEST(FieldTable, IndexesByExactName) {
  EXPECT_EQ(FieldIndexOf("Description"), 6);
  EXPECT_EQ(FieldIndexOf("CatalogName"), 10);
  EXPECT_EQ(FieldIndexOf("description"), 0);
  EXPECT_EQ(FieldIndexOf(""), 0);
  EXPECT_EQ(FieldIndexOf("Unknown"), 0);
  for (int i = 0; i < kFieldCount; ++i) EXPECT_EQ(FieldIndexOf(FieldNames[i]), i);
}

TEST(NumberText, ParsesDecimalsWithPointOnly) {
  EXPECT_TRUE(IsNumberText("0"));
  EXPECT_TRUE(IsNumberText("25.00"));
  EXPECT_TRUE(IsNumberText(" 12 "));
  EXPECT_TRUE(IsNumberText("-3.5"));
  EXPECT_FALSE(IsNumberText(""));
  EXPECT_FALSE(IsNumberText("25,00"));
  EXPECT_FALSE(IsNumberText("12 KB"));
  EXPECT_FALSE(IsNumberText("abc"));
}

TEST(NumberText, ComparesWithNonNumbersAsZeroAndNeverEqual) {
  EXPECT_EQ(CompareNumberText("10", "9"), 1);
  EXPECT_EQ(CompareNumberText("9", "10"), -1);
  EXPECT_EQ(CompareNumberText("5", "5"), -1);
  EXPECT_EQ(CompareNumberText("x", "0"), -1);
  EXPECT_EQ(CompareNumberText("0.5", "x"), 1);
  EXPECT_EQ(CompareNumberText("99999999999999", "100000000000000"), -1);
}

TEST(DateText, ComparesInTheOrderOfItsRules) {
  EXPECT_EQ(CompareDateText("", ""), -1);
  EXPECT_EQ(CompareDateText("", "2020-01-01"), -1);
  EXPECT_EQ(CompareDateText("garbage", ""), 1);
  EXPECT_EQ(CompareDateText("2020-01-01 10:00:00", ""), 1);
  EXPECT_EQ(CompareDateText("garbage", "2020-01-01"), 1);
  EXPECT_EQ(CompareDateText("2020-01-01", "garbage"), 1);
  EXPECT_EQ(CompareDateText("2020-01-01 10:00:00", "2020-01-01 10:00:00"), 0);
  EXPECT_EQ(CompareDateText("2020-01-01", "2020-01-01 00:00:00"), 0);
  EXPECT_EQ(CompareDateText("2020-01-02", "2020-01-01 23:59:58"), 1);
  EXPECT_EQ(CompareDateText("2019-12-31 23:59:58", "2020-01-01"), -1);
  EXPECT_EQ(CompareDateText("2020-13-01", "2020-01-01"), 1);
  EXPECT_EQ(CompareDateText("2020-1-01", "2020-01-01"), 1);
}

TEST(DateText, FormatsLocalTimeAndDropsMidnight) {
  std::tm t{};
  t.tm_year = 124;
  t.tm_mon = 2;
  t.tm_mday = 5;
  EXPECT_EQ(FormatFileTime(t), "2024-03-05");
  t.tm_hour = 7;
  t.tm_min = 8;
  t.tm_sec = 4;
  EXPECT_EQ(FormatFileTime(t), "2024-03-05 07:08:04");
  std::tm parsed;
  ASSERT_TRUE(ParseFileTime("2024-03-05 07:08:04", &parsed));
  EXPECT_EQ(parsed.tm_hour, 7);
  EXPECT_EQ(parsed.tm_mday, 5);
}

TEST(FoldedText, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(CompareFoldedText("song.mp3", "SONG.MP3"), 0);
  EXPECT_EQ(CompareFoldedText("abc", "ABD"), -1);
  EXPECT_EQ(CompareFoldedText("b", "A"), 1);
  EXPECT_EQ(CompareFoldedText("ab", "abc"), -1);
  // "é" and "É" are different code points and stay different.
  EXPECT_NE(CompareFoldedText("\xC3\xA9", "\xC3\x89"), 0);
  // '_' (0x5F) sorts after the folded letters (upper case, 0x41-0x5A).
  EXPECT_EQ(CompareFoldedText("_a", "za"), 1);
}

TEST(Lengths, CountCodePoints) {
  EXPECT_EQ(CodePointCount("abc"), 3u);
  EXPECT_EQ(CodePointCount("M\xC3\xBCller"), 6u);
  EXPECT_EQ(CodePointCount(""), 0u);
}

TEST(Sanitize, ReplacesInvalidUtf8AndControlCharacters) {
  std::string out;
  EXPECT_FALSE(SanitizeText("plain text\twith tab\n", &out));
  EXPECT_FALSE(SanitizeText("M\xC3\xBCller", &out));
  ASSERT_TRUE(
      SanitizeText("bad\xFF"
                   "byte",
                   &out));
  EXPECT_EQ(out,
            "bad\xEF\xBF\xBD"
            "byte");
  ASSERT_TRUE(SanitizeText("bell\x07", &out));
  EXPECT_EQ(out, "bell\xEF\xBF\xBD");
  ASSERT_TRUE(SanitizeText("\xC3", &out));  // truncated sequence
  EXPECT_EQ(out, "\xEF\xBF\xBD");
}

TEST(Record, StoresElevenFieldsInOneBlock) {
  CatalogRecord record;
  EXPECT_EQ(record.Field(kFileName), "");
  record.SetField(kFileName, "a.txt");
  record.SetField(kDescription, "note");
  EXPECT_EQ(record.Field(kFileName), "a.txt");
  EXPECT_EQ(record.Field(kDescription), "note");
  EXPECT_EQ(record.Field(kFullPath), "");
  record.SetField(kFullPath, record.Field(kFileName));  // a view into the record itself
  EXPECT_EQ(record.Field(kFullPath), "a.txt");
  // A long field widens the lengths without disturbing the others.
  const std::string long_text(70000, 'x');
  record.SetField(kDescription, long_text);
  EXPECT_EQ(record.Field(kDescription), long_text);
  EXPECT_EQ(record.Field(kFileName), "a.txt");
  record.SetField(kFileType, "directory");
  EXPECT_TRUE(record.IsDirectory());
  record.SetField(kFileType, "Directory");
  EXPECT_FALSE(record.IsDirectory());
  EXPECT_FALSE(record.IsFile());

  CatalogRecord copy = record;
  EXPECT_EQ(copy, record);
  copy.SetField(kFileName, "b");
  EXPECT_EQ(record.Field(kFileName), "a.txt");
  CatalogRecord moved = std::move(copy);
  EXPECT_EQ(moved.Field(kFileName), "b");
}

TEST(Record, CleansTextsOnTheWayIn) {
  CatalogRecord record;
  record.SetField(kFileName, "x\x01y\xFE");
  EXPECT_EQ(record.Field(kFileName), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
  FieldViews fields{};
  fields[kFullPath] = "/a\x1F";
  record.SetFields(fields);
  EXPECT_EQ(record.Field(kFullPath), "/a\xEF\xBF\xBD");
  EXPECT_EQ(record.Field(kFileName), "");
}

TEST(DisplayName, UsesLabelsOfDriveRootsAndFileNamesOtherwise) {
  FakeVolumes volumes({{"/media/u/PHOTOS", "PHOTOS"}, {"/media/u/USB", ""}, {"/", ""}});
  SetVolumes(&volumes);
  EXPECT_EQ(DisplayNameOf("/media/u/PHOTOS"), "PHOTOS");
  EXPECT_EQ(DisplayNameOf("/media/u/PHOTOS/"), "PHOTOS");
  EXPECT_EQ(DisplayNameOf("/media/u/USB"), "USB");
  EXPECT_EQ(DisplayNameOf("/"), "/");
  EXPECT_EQ(DisplayNameOf("/lib/Music.2009.xml"), "Music");
  EXPECT_EQ(DisplayNameOf("/data/Photos"), "Photos");
  EXPECT_EQ(DisplayNameOf("archive.tar.gz"), "archive");
  EXPECT_EQ(DisplayNameOf(""), "");
  EXPECT_EQ(VolumeLabelOf("/media/u/PHOTOS"), "PHOTOS");
  EXPECT_EQ(VolumeLabelOf("/media/u/USB"), "");
  SetVolumes(nullptr);
}

}  // namespace
}  // namespace lumivor
