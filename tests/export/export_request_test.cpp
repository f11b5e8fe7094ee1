#include "export/export_request.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "core/errors.h"
#include "support/recording_progress.h"
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

// Exports of every format, for the tests that hold for all of them.
constexpr ExportFormat kFormats[] = {ExportFormat::kHtml, ExportFormat::kXml,
                                     ExportFormat::kSpreadsheet, ExportFormat::kCsv,
                                     ExportFormat::kText};

// The names in `dir`, sorted.
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A tree of `count` records: folders of ten files.
CatalogTree BigTree(std::size_t count) {
  CatalogTree tree;
  CatalogTree::Node* folder = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    FieldViews fields{};
    const std::string name = "entry " + std::to_string(i);
    fields[kFileName] = name;
    fields[kFileType] = i % 10 == 0 ? "directory" : "file";
    CatalogTree::Node* node = tree.AddChild(i % 10 == 0 ? nullptr : folder, fields);
    if (i % 10 == 0) folder = node;
  }
  return tree;
}

TEST(RunExport, SelectedCatalogAsksWithItsDisplayNameAndWrites) {
  TempDir dir;
  WriteFile(dir / "Music.2009.xml", kCatalog);
  DialogPrompts prompts;
  prompts.answers = {dir / "out.csv"};
  ExportRequest request{
      ExportFormat::kCsv, {"FileName", "FileExt"}, "", dir / "Music.2009.xml", ""};
  EXPECT_EQ(RunExport(request, nullptr, NoProgress(), prompts), ExportOutcome::kWritten);
  EXPECT_EQ(prompts.asked, std::vector<std::string>{".csv|CSV File|*.csv|Music"});
  EXPECT_EQ(ReadFile(dir / "out.csv"), "FileName,FileExt,\r\nDisk,\r\n\"a, b.mp3\",mp3\r\n");
}

TEST(RunExport, CancelAndDeclinedOverwriteWriteNothing) {
  TempDir dir;
  WriteFile(dir / "c.xml", kCatalog);
  WriteFile(dir / "old.htm", "old");
  DialogPrompts prompts;
  ExportRequest request{ExportFormat::kHtml, {"FileName"}, "", dir / "c.xml", ""};
  EXPECT_EQ(RunExport(request, nullptr, NoProgress(), prompts), ExportOutcome::kNoFile);
  prompts.answers = {dir / "old.htm"};
  EXPECT_EQ(RunExport(request, nullptr, NoProgress(), prompts), ExportOutcome::kNoFile);
  EXPECT_EQ(prompts.messages,
            std::vector<std::string>{"Catalog with the same name already exists,overwrite?"});
  EXPECT_EQ(ReadFile(dir / "old.htm"), "old");
  prompts.answers = {dir / "old.htm"};
  prompts.overwrite = true;
  EXPECT_EQ(RunExport(request, nullptr, NoProgress(), prompts), ExportOutcome::kWritten);
  EXPECT_EQ(ReadFile(dir / "old.htm").substr(0, 9), "\xEF\xBB\xBF<HTML>");
  EXPECT_EQ(prompts.asked.back(), ".htm|HTML File|*.htm|c");
}

TEST(RunExport, ScreenExportsUseTheViewsRecordsWithoutSuggestedName) {
  TempDir dir;
  CatalogTree screen;
  screen.AddChild(nullptr)->SetField(kFileName, "shown");
  DialogPrompts prompts;
  prompts.answers = {dir / "s.xml", dir / "s.txt"};
  EXPECT_EQ(RunExport({ExportFormat::kXml, {}, "", "", ""}, &screen, NoProgress(), prompts),
            ExportOutcome::kWritten);
  EXPECT_EQ(ReadFile(dir / "s.xml"), CatalogText(screen));
  EXPECT_EQ(RunExport({ExportFormat::kText, {"FileName", "FileExt"}, ",", "", ""}, &screen,
                      NoProgress(), prompts),
            ExportOutcome::kWritten);
  EXPECT_EQ(ReadFile(dir / "s.txt"), "FileName    FileExt    \r\nshown    \r\n");
  EXPECT_EQ(prompts.asked,
            (std::vector<std::string>{".xml|XML File|*.XML|", ".txt|Text File|*.txt|"}));
}

TEST(RunExport, TheScreenIsSuggestedUnderTheNameOfWhatItShows) {
  TempDir dir;
  CatalogTree screen;
  screen.AddChild(nullptr)->SetField(kFileName, "shown");
  DialogPrompts prompts;
  ExportRequest request{ExportFormat::kCsv, {"FileName"}, "", "", ""};
  request.screen_name = "Music";
  EXPECT_EQ(RunExport(request, &screen, NoProgress(), prompts), ExportOutcome::kNoFile);
  EXPECT_EQ(prompts.asked, std::vector<std::string>{".csv|CSV File|*.csv|Music"});
}

TEST(RunExport, AnEmptyViewHasNothingToExport) {
  const CatalogTree empty;
  CatalogTree screen;
  screen.AddChild(nullptr)->SetField(kFileName, "shown");
  const ExportRequest of_screen{ExportFormat::kCsv, {"FileName"}, "", "", ""};
  EXPECT_EQ(NothingToExport(of_screen, nullptr), kNothingToExport);
  EXPECT_EQ(NothingToExport(of_screen, &empty), kNothingToExport);
  EXPECT_EQ(NothingToExport(of_screen, &screen), "");
  // A catalog file is exported whatever the screen shows.
  const ExportRequest of_file{ExportFormat::kCsv, {"FileName"}, "", "/l/c.xml", ""};
  EXPECT_EQ(NothingToExport(of_file, &empty), "");
}

TEST(RunExport, OversizedWorkbookIsRefusedBeforeTheFileQuestion) {
  TempDir dir;
  std::string text = "<fileinfo>";
  for (std::size_t i = 0; i <= kMaxSpreadsheetRecords; ++i) text += "<f/>";
  text += "</fileinfo>";
  WriteFile(dir / "big.xml", text);
  DialogPrompts prompts;
  prompts.answers = {dir / "big.xlsx"};
  EXPECT_EQ(RunExport({ExportFormat::kSpreadsheet, {"FileName"}, "", dir / "big.xml", ""}, nullptr,
                      NoProgress(), prompts),
            ExportOutcome::kRefused);
  EXPECT_TRUE(prompts.asked.empty());
  EXPECT_EQ(prompts.messages,
            std::vector<std::string>{"Warning: The row count is out of excel range."});
  EXPECT_FALSE(std::filesystem::exists(dir / "big.xlsx"));

  WriteFile(dir / "small.xml", kCatalog);
  EXPECT_EQ(RunExport({ExportFormat::kSpreadsheet, {"FileName"}, "", dir / "small.xml", ""},
                      nullptr, NoProgress(), prompts),
            ExportOutcome::kWritten);
  EXPECT_EQ(prompts.asked, std::vector<std::string>{".xlsx|Excel Workbook|*.xlsx|small"});
  EXPECT_TRUE(std::filesystem::exists(dir / "big.xlsx"));
}

TEST(RunExport, CancelLeavesTheOldFileAndNoTemporaryFile) {
  const CatalogTree screen = BigTree(5000);
  for (ExportFormat format : kFormats) {
    TempDir dir;
    WriteFile(dir / "out", "old");
    WriteCatalogFile(screen, dir / "c.xml", NoProgress());
    for (const std::string& catalog : {std::string(), dir / "c.xml"}) {
      // Cancel is pressed as "Export to file.." shows: the writer hears it a thousand records on.
      RecordingProgress progress;
      progress.stop_after_texts = 0;
      DialogPrompts prompts;
      ExportRequest request{format, {"FileName"}, "", catalog, dir / "out"};
      EXPECT_EQ(RunExport(request, &screen, progress, prompts, progress.Token()),
                ExportOutcome::kCancelled)
          << static_cast<int>(format);
      EXPECT_FALSE(progress.visible);
      EXPECT_EQ(ReadFile(dir / "out"), "old");
      EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"c.xml", "out"}));
      EXPECT_TRUE(prompts.messages.empty());
    }
  }
}

TEST(RunExport, AFileThatBreaksOffMidwayLeavesNoFile) {
  TempDir dir;
  std::string text = CatalogText(BigTree(3000));
  text.resize(text.size() - 40);  // cut inside the last records
  WriteFile(dir / "cut.xml", text);
  for (ExportFormat format : kFormats) {
    DialogPrompts prompts;
    ExportRequest request{format, {"FileName"}, "", dir / "cut.xml", dir / "out"};
    try {
      (void)RunExport(request, nullptr, NoProgress(), prompts);
      ADD_FAILURE() << "no error for format " << static_cast<int>(format);
    } catch (const LumivorError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(dir / "cut.xml", 0), 0u) << error.what();
    }
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"cut.xml"});
  }
}

TEST(RunExport, EveryFormatWritesTheSameRecordsFromTheScreenAndFromTheFile) {
  TempDir dir;
  CatalogTree screen = BigTree(2500);
  WriteCatalogFile(screen, dir / "c.xml", NoProgress());
  screen = LoadCatalog(dir / "c.xml");  // the defaults and the catalog name, as the view has them
  const ExportColumns columns = {"FileName", "FileType", "FullPath", "CatalogName"};
  std::filesystem::create_directories(dir / "screen");
  std::filesystem::create_directories(dir / "file");
  for (ExportFormat format : kFormats) {
    if (format == ExportFormat::kSpreadsheet) continue;  // a workbook holds its own zip dates
    // One output name in two folders: the name heads an HTML page.
    DialogPrompts prompts;
    ASSERT_EQ(
        RunExport({format, columns, "", "", dir / "screen/out"}, &screen, NoProgress(), prompts),
        ExportOutcome::kWritten);
    ASSERT_EQ(RunExport({format, columns, "", dir / "c.xml", dir / "file/out"}, nullptr,
                        NoProgress(), prompts),
              ExportOutcome::kWritten);
    EXPECT_TRUE(ReadFile(dir / "screen/out") == ReadFile(dir / "file/out"))
        << static_cast<int>(format);
  }
}

TEST(RunExport, AFileHandedToTheFallbackMidwayIsWrittenOnce) {
  // An instruction named like the declaration, near the end, sends the reader to its fallback
  // route after it gave every record: the writers are restarted and must not write the records
  // twice.
  TempDir dir;
  const std::string clean = CatalogText(BigTree(3000));
  std::string odd = clean;
  odd.insert(odd.rfind("</fileinfo>"), "<?xml-stylesheet href=\"s.xsl\"?>");
  WriteFile(dir / "clean/c.xml", clean);
  WriteFile(dir / "odd/c.xml", odd);
  struct Restarts : RecordSink {
    bool Add(const RecordView&) override { return true; }
    void Restart() override { ++count; }
    int count = 0;
  } restarts;
  ReadCatalogFile(dir / "odd/c.xml", restarts);
  ASSERT_EQ(restarts.count, 1);
  for (ExportFormat format : kFormats) {
    if (format == ExportFormat::kSpreadsheet) continue;  // a workbook holds its own zip dates
    for (const char* folder : {"clean", "odd"}) {
      DialogPrompts prompts;
      const std::string base = dir / folder;
      ASSERT_EQ(RunExport({format, {"FileName", "FileType"}, "", base + "/c.xml", base + "/out"},
                          nullptr, NoProgress(), prompts),
                ExportOutcome::kWritten);
    }
    EXPECT_TRUE(ReadFile(dir / "clean/out") == ReadFile(dir / "odd/out"))
        << static_cast<int>(format);
  }
}

TEST(ExportWriter, ARestartedProducerIsNotWrittenTwice) {
  TempDir dir;
  const CatalogTree tree = BigTree(30);
  DialogPrompts prompts;
  ASSERT_EQ(RunExport({ExportFormat::kCsv, {"FileName"}, "", "", dir / "once.csv"}, &tree,
                      NoProgress(), prompts),
            ExportOutcome::kWritten);
  auto writer = MakeDelimitedWriter(dir / "restarted.csv", {"FileName"}, ",", true, {});
  // The producer gives twelve records, starts again, gives five, starts again and runs through.
  struct Stop : RecordSink {
    RecordSink& next;
    int left;
    Stop(RecordSink& n, int l) : next(n), left(l) {}
    bool Add(const RecordView& record) override { return left-- > 0 && next.Add(record); }
  };
  for (int stop_after : {12, 5}) {
    Stop stop(*writer, stop_after);
    EmitTree(tree, stop);
    writer->Restart();
  }
  ASSERT_TRUE(EmitTree(tree, *writer));
  writer->Finish();
  EXPECT_TRUE(writer->Finished());
  EXPECT_EQ(ReadFile(dir / "restarted.csv"), ReadFile(dir / "once.csv"));
}

}  // namespace
}  // namespace lumivor
