#include <gtest/gtest.h>

#include <regex>

#include "catalog/catalog_file.h"
#include "core/errors.h"
#include "export/export_request.h"
#include "support/recording_progress.h"
#include "support/scripted_prompts.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::RunCommand;
using testing::TempDir;

// A part of the workbook, read back with unzip.
std::string Part(const std::string& workbook, const std::string& part) {
  const auto result = RunCommand("unzip -p '" + workbook + "' " + part);
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out;
}

// The XML of cell `ref` in the sheet, from "<c r=..." to its "</c>" or "/>".
std::string Cell(const std::string& sheet, const std::string& ref) {
  const std::size_t start = sheet.find("<c r=\"" + ref + "\"");
  if (start == std::string::npos) return "";
  const std::size_t close = sheet.find('>', start);
  if (sheet[close - 1] == '/') return sheet.substr(start, close + 1 - start);
  return sheet.substr(start, sheet.find("</c>", start) + 4 - start);
}

// The cell's value: the number of a number cell, the text of a string cell, "" for a blank.
std::string Value(const std::string& sheet, const std::string& ref) {
  const std::string cell = Cell(sheet, ref);
  std::smatch match;
  if (std::regex_search(cell, match, std::regex("<v>([^<]*)</v>"))) return "n:" + match[1].str();
  if (std::regex_search(cell, match, std::regex("<t[^>]*>([^<]*)</t>"))) {
    return "s:" + match[1].str();
  }
  return cell.empty() ? "missing" : "";
}

// Exports the catalog file `catalog` as a workbook at `path`.
ExportOutcome ExportFile(const std::string& catalog, const std::string& path,
                         const ExportColumns& columns, Prompts& prompts,
                         Progress& progress = NoProgress()) {
  return RunExport({ExportFormat::kSpreadsheet, columns, "", catalog, path}, nullptr, progress,
                   prompts);
}

constexpr std::string_view kCatalog =
    "<?xml version=\"1.0\"?><fileinfo><file FileName=\"Disk\" FileSize=\"300\" "
    "FileType=\"directory\"><file FileName=\"a &amp; b.mp3\" FileSize=\"100\" Tag=\"rock\" "
    "FileNameLength=\"9\" SizePercentage=\"33.33\"/><file FileName=\"long name of a file.txt\" "
    "FileSize=\"12 KB\" Description=\"d\"/></file><file FileName=\"1234\"/></fileinfo>";

TEST(SpreadsheetExport, WritesTitleHeaderSerialsAndValuesInPreOrder) {
  TempDir dir;
  testing::WriteFile(dir / "c.xml", kCatalog);
  const std::string path = dir / "My Music.2009.xlsx";
  ScriptedPrompts prompts;
  RecordingProgress progress;
  ASSERT_EQ(ExportFile(dir / "c.xml", path,
                       {"FileName", "FileSize", "Description", "SizePercentage", "FileNameLength"},
                       prompts, progress),
            ExportOutcome::kWritten);
  EXPECT_TRUE(prompts.shown.empty());
  EXPECT_FALSE(progress.visible);
  EXPECT_EQ(progress.Texts().back(), "Export to file..");

  const std::string sheet = Part(path, "xl/worksheets/sheet1.xml");
  EXPECT_EQ(Value(sheet, "A1"), "s:My Music");
  EXPECT_NE(sheet.find("<mergeCell ref=\"A1:F1\"/>"), std::string::npos);
  EXPECT_EQ(Value(sheet, "A2"), "s:SerialNO");
  EXPECT_EQ(Value(sheet, "B2"), "s:FileName");
  EXPECT_EQ(Value(sheet, "F2"), "s:FileNameLength");
  // Serial numbers run through every depth in document order.
  EXPECT_EQ(Value(sheet, "A3"), "n:1");
  EXPECT_EQ(Value(sheet, "B3"), "s:Disk");
  EXPECT_EQ(Value(sheet, "A4"), "n:2");
  EXPECT_EQ(Value(sheet, "B4"), "s:a &amp; b.mp3");
  EXPECT_EQ(Value(sheet, "C4"), "n:100");
  EXPECT_EQ(Value(sheet, "E4"), "n:33.33");
  EXPECT_EQ(Value(sheet, "F4"), "n:9");
  EXPECT_EQ(Value(sheet, "D4"), "");  // no Description: an empty, bordered cell
  EXPECT_NE(Cell(sheet, "D4").find(" s=\""), std::string::npos);
  EXPECT_EQ(Value(sheet, "A5"), "n:3");
  EXPECT_EQ(Value(sheet, "C5"), "s:12 KB");  // not a number text: stays text
  EXPECT_EQ(Value(sheet, "D5"), "s:d");
  // A FileName that looks like a number is still text.
  EXPECT_EQ(Value(sheet, "B6"), "s:1234");
  EXPECT_EQ(Value(sheet, "A6"), "n:4");
  EXPECT_EQ(Cell(sheet, "A7"), "");
  // The FileName column is as wide as its longest text.
  EXPECT_NE(sheet.find("<col min=\"2\" max=\"2\" width=\"25"), std::string::npos) << sheet;

  // The title is bold and centred both ways; the table cells have thin borders.
  const std::string styles = Part(path, "xl/styles.xml");
  EXPECT_NE(styles.find("<b/>"), std::string::npos);
  EXPECT_NE(styles.find("horizontal=\"center\" vertical=\"center\""), std::string::npos);
  EXPECT_NE(styles.find("<left style=\"thin\">"), std::string::npos);
  // No temporary file is left beside the workbook.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                          std::filesystem::directory_iterator()),
            2);
}

TEST(SpreadsheetExport, NoColumnsGiveSerialsOnlyWithoutMerge) {
  TempDir dir;
  testing::WriteFile(dir / "c.xml", kCatalog);
  ScriptedPrompts prompts;
  ASSERT_EQ(ExportFile(dir / "c.xml", dir / "x.xlsx", {}, prompts), ExportOutcome::kWritten);
  const std::string sheet = Part(dir / "x.xlsx", "xl/worksheets/sheet1.xml");
  EXPECT_EQ(Value(sheet, "A1"), "s:x");
  EXPECT_EQ(sheet.find("mergeCell"), std::string::npos);
  EXPECT_EQ(Value(sheet, "A2"), "s:SerialNO");
  EXPECT_EQ(Value(sheet, "A6"), "n:4");
  EXPECT_EQ(Cell(sheet, "B3"), "");
}

TEST(SpreadsheetExport, ScreenAndFileGiveTheSameValues) {
  TempDir dir;
  testing::WriteFile(dir / "c.xml", kCatalog);
  const CatalogTree tree = LoadCatalog(dir / "c.xml");
  ScriptedPrompts prompts;
  // A column that names no field reads the further attribute of that name.
  const ExportColumns columns = {"FileName", "FileSize",    "NotAField",
                                 "FileType", "CatalogName", "Tag"};
  ASSERT_EQ(RunExport({ExportFormat::kSpreadsheet, columns, "", "", dir / "t.xlsx"}, &tree,
                      NoProgress(), prompts),
            ExportOutcome::kWritten);
  ASSERT_EQ(ExportFile(dir / "c.xml", dir / "f.xlsx", columns, prompts), ExportOutcome::kWritten);
  for (const char* name : {"t.xlsx", "f.xlsx"}) {
    const std::string sheet = Part(dir / name, "xl/worksheets/sheet1.xml");
    EXPECT_EQ(Value(sheet, "B4"), "s:a &amp; b.mp3") << name;
    EXPECT_EQ(Value(sheet, "C4"), "n:100") << name;
    EXPECT_EQ(Value(sheet, "D4"), "") << name;
    EXPECT_EQ(Value(sheet, "D2"), "s:NotAField") << name;
    // The top-level defaults and the catalog's name, as the catalog view shows them.
    EXPECT_EQ(Value(sheet, "E6"), "s:directory") << name;
    EXPECT_EQ(Value(sheet, "F6"), "s:c") << name;
    EXPECT_EQ(Value(sheet, "G4"), "s:rock") << name;
  }
}

TEST(SpreadsheetExport, TooManyRecordsWarnAndWriteNothing) {
  TempDir dir;
  std::string text = "<fileinfo>";
  text.reserve(kMaxSpreadsheetRecords * 4 + 32);
  for (std::size_t i = 0; i < kMaxSpreadsheetRecords; ++i) text += "<f/>";
  testing::WriteFile(dir / "fits.xml", text + "</fileinfo>");
  testing::WriteFile(dir / "big.xml", text + "<f/></fileinfo>");
  EXPECT_EQ(CountCatalogRecords(dir / "fits.xml", kMaxSpreadsheetRecords), kMaxSpreadsheetRecords);
  EXPECT_EQ(CountCatalogRecords(dir / "big.xml", kMaxSpreadsheetRecords),
            kMaxSpreadsheetRecords + 1);
  EXPECT_EQ(CountCatalogRecords(dir / "big.xml", 10), 11u);

  ScriptedPrompts prompts;
  std::filesystem::create_directories(dir / "d");
  testing::WriteFile(dir / "d/big.xlsx", "old");
  EXPECT_EQ(ExportFile(dir / "big.xml", dir / "d/big.xlsx", {"FileName"}, prompts),
            ExportOutcome::kRefused);
  ASSERT_EQ(prompts.shown.size(), 1u);
  EXPECT_EQ(prompts.shown[0].caption, "Warning");
  EXPECT_EQ(prompts.shown[0].text, "The row count is out of excel range.");
  EXPECT_EQ(prompts.shown[0].icon, MessageIcon::kWarning);
  EXPECT_EQ(testing::ReadFile(dir / "d/big.xlsx"), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "d"),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(SpreadsheetExport, AWriterGivenTooManyRecordsRefusesAndLeavesNoFile) {
  // The count before the export and the records of the export can differ (the file changed in
  // between): the writer refuses the record past the limit itself.
  TempDir dir;
  {
    auto writer = MakeSpreadsheetWriter(dir / "w.xlsx", {"FileName"}, 0, {});
    RecordView record;
    record.fields[kFileName] = "x";
    std::size_t accepted = 0;
    while (writer->Add(record)) ++accepted;
    EXPECT_EQ(accepted, kMaxSpreadsheetRecords);
    EXPECT_TRUE(writer->Refused());
    writer->Finish();
    EXPECT_FALSE(writer->Finished());
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                          std::filesystem::directory_iterator()),
            0);
}

TEST(SpreadsheetExport, UnwritableTargetRaises) {
  TempDir dir;
  testing::WriteFile(dir / "c.xml", kCatalog);
  ScriptedPrompts prompts;
  EXPECT_THROW((void)ExportFile(dir / "c.xml", dir / "no/x.xlsx", {"FileName"}, prompts),
               LumivorError);
}

}  // namespace
}  // namespace lumivor
