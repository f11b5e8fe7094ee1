#include "export/export_request.h"

#include <gtest/gtest.h>

#include "core/file_info.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Answers the save dialog from a queue and remembers what it was asked.
class DialogPrompts final : public Prompts {
 public:
  std::string ChooseOpenFile(std::string_view, std::string_view, std::string_view) override {
    return {};
  }
  std::string ChooseSaveFile(std::string_view ext, std::string_view filter,
                             std::string_view initial) override {
    asked.push_back(std::string(ext) + "|" + std::string(filter) + "|" + std::string(initial));
    if (answers.empty()) return {};
    std::string answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
  void ShowMessage(std::string_view caption, std::string_view text, MessageIcon) override {
    messages.push_back(std::string(caption) + ": " + std::string(text));
  }
  bool AskYesNo(std::string_view, std::string_view text, MessageIcon) override {
    messages.push_back(std::string(text));
    return overwrite;
  }
  std::vector<std::string> answers, asked, messages;
  bool overwrite = false;
};

constexpr std::string_view kCatalog =
    "<?xml version=\"1.0\"?><fileinfo generated=\"g\" own=\"1\"><file FileName=\"Disk\"><file "
    "FileName=\"a, b.mp3\" FileExt=\"mp3\"/></file></fileinfo>";

TEST(RunExport, SelectedCatalogAsksWithItsDisplayNameAndWrites) {
  TempDir dir;
  WriteFile(dir / "Music.2009.xml", kCatalog);
  DialogPrompts prompts;
  prompts.answers = {dir / "out.csv"};
  XmlDocument document;
  ExportRequest request{ExportFormat::kCsv, {"FileName", "FileExt"}, "", dir / "Music.2009.xml"};
  EXPECT_TRUE(RunExport(request, nullptr, document, NoProgress(), prompts));
  EXPECT_EQ(prompts.asked, std::vector<std::string>{".csv|CSV File|*.csv|Music"});
  EXPECT_EQ(ReadFile(dir / "out.csv"), "FileName,FileExt,\r\nDisk,\r\n\"a, b.mp3\",mp3\r\n");
  // The document now holds the exported catalog.
  EXPECT_STREQ(document.document_element().attribute("own").value(), "1");
}

TEST(RunExport, CancelAndDeclinedOverwriteWriteNothing) {
  TempDir dir;
  WriteFile(dir / "c.xml", kCatalog);
  WriteFile(dir / "old.htm", "old");
  XmlDocument document;
  DialogPrompts prompts;
  ExportRequest request{ExportFormat::kHtml, {"FileName"}, "", dir / "c.xml"};
  EXPECT_FALSE(RunExport(request, nullptr, document, NoProgress(), prompts));
  prompts.answers = {dir / "old.htm"};
  EXPECT_FALSE(RunExport(request, nullptr, document, NoProgress(), prompts));
  EXPECT_EQ(prompts.messages,
            std::vector<std::string>{"Catalog with the same name already exists,overwrite?"});
  EXPECT_EQ(ReadFile(dir / "old.htm"), "old");
  prompts.answers = {dir / "old.htm"};
  prompts.overwrite = true;
  EXPECT_TRUE(RunExport(request, nullptr, document, NoProgress(), prompts));
  EXPECT_EQ(ReadFile(dir / "old.htm").substr(0, 9), "\xEF\xBB\xBF<HTML>");
  EXPECT_EQ(prompts.asked.back(), ".htm|HTML File|*.htm|c");
}

TEST(RunExport, ScreenExportsUseTheViewsRecordsWithoutSuggestedName) {
  TempDir dir;
  CatalogTree screen;
  screen.AddChild(nullptr)->record.SetField(kFileName, "shown");
  XmlDocument document;
  SetDocumentText(document, kCatalog);  // the catalog loaded before keeps its root
  DialogPrompts prompts;
  prompts.answers = {dir / "s.xml", dir / "s.txt"};
  EXPECT_TRUE(
      RunExport({ExportFormat::kXml, {}, "", ""}, &screen, document, NoProgress(), prompts));
  EXPECT_EQ(ReadFile(dir / "s.xml"),
            "<?xml version=\"1.0\"?><fileinfo generated=\"g\" own=\"1\"><file "
            "FileName=\"shown\"/></fileinfo>");
  EXPECT_TRUE(RunExport({ExportFormat::kText, {"FileName", "FileExt"}, ",", ""}, &screen, document,
                        NoProgress(), prompts));
  EXPECT_EQ(ReadFile(dir / "s.txt"), "FileName    FileExt    \r\nshown    \r\n");
  EXPECT_EQ(prompts.asked,
            (std::vector<std::string>{".xml|XML File|*.XML|", ".txt|Text File|*.txt|"}));
}

TEST(RunExport, OversizedWorkbookIsRefusedBeforeTheFileQuestion) {
  TempDir dir;
  std::string text = "<fileinfo>";
  for (std::size_t i = 0; i <= kMaxSpreadsheetRecords; ++i) text += "<f/>";
  text += "</fileinfo>";
  WriteFile(dir / "big.xml", text);
  XmlDocument document;
  DialogPrompts prompts;
  prompts.answers = {dir / "big.xlsx"};
  EXPECT_FALSE(RunExport({ExportFormat::kSpreadsheet, {"FileName"}, "", dir / "big.xml"}, nullptr,
                         document, NoProgress(), prompts));
  EXPECT_TRUE(prompts.asked.empty());
  EXPECT_EQ(prompts.messages,
            std::vector<std::string>{"Warning: The row count is out of excel range."});
  EXPECT_FALSE(std::filesystem::exists(dir / "big.xlsx"));

  WriteFile(dir / "small.xml", kCatalog);
  EXPECT_TRUE(RunExport({ExportFormat::kSpreadsheet, {"FileName"}, "", dir / "small.xml"}, nullptr,
                        document, NoProgress(), prompts));
  EXPECT_EQ(prompts.asked, std::vector<std::string>{".xlsx|Excel Workbook|*.xlsx|small"});
  EXPECT_TRUE(std::filesystem::exists(dir / "big.xlsx"));
}

}  // namespace
}  // namespace lumivor
