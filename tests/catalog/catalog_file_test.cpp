#include "catalog/catalog_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <thread>

#include "core/atomic_file.h"
#include "core/errors.h"
#include "support/catalog_document.h"
#include "support/child_process.h"
#include "support/recording_progress.h"
#include "support/scripted_prompts.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::ReadFile;
using testing::RunInChild;
using testing::TempDir;
using testing::WriteFile;

CatalogRecord Record(std::initializer_list<std::pair<int, std::string>> fields) {
  CatalogRecord record;
  for (const auto& [index, value] : fields) record.SetField(index, value);
  return record;
}

// Fields as "Name=value;" for every non-empty field but CatalogName, in pre-order with depths.
std::string Dump(const CatalogTree& tree) {
  std::string out;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    out += std::to_string(depth) + ":";
    for (int i = 0; i < kCatalogName; ++i) {
      if (!node->Field(i).empty()) {
        out += std::string(FieldNames[i]) + "=" + std::string(node->Field(i)) + ";";
      }
    }
    out += "\n";
  });
  return out;
}

CatalogTree AwkwardTree() {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Record({{kFileName, "/media/u/Disk"},
                                             {kFullPath, "/media/u/Disk"},
                                             {kFileType, "directory"},
                                             {kFileSize, "400"}}));
  auto* dir = tree.AddChild(top, Record({{kFileName, "A & B <\"quoted\"> 'x'"},
                                         {kFileType, "directory"},
                                         {kDescription, "tab\there\nnew line\r\nend"}}));
  tree.AddChild(dir, Record({{kFileName, "bad\xFF\x01name.txt"}, {kFileType, "file"}}));
  tree.AddChild(dir, Record({{kFileName, "M\xC3\xBCller \xE6\x97\xA5\xE6\x9C\xAC.mp3"},
                             {kFullPath, "/media/u/Disk/" + std::string(2000, 'p')},
                             {kFileExt, "mp3"}}));
  tree.AddChild(top, Record({{kFileType, "file"}}));
  return tree;
}

TEST(CatalogFile, EmptyCatalogTextIsExact) {
  EXPECT_EQ(EmptyCatalogText(),
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\" ?> <fileinfo "
            "generated=\"https://orvane.example/lumivor\"></fileinfo>");
}

TEST(CatalogFile, WritesNonEmptyFieldsInFieldOrder) {
  CatalogTree tree;
  auto* top = tree.AddChild(
      nullptr, Record({{kCatalogName, "c"}, {kFileType, "directory"}, {kFileName, "top"}}));
  tree.AddChild(top, Record({{kFileType, "file"}}));
  EXPECT_EQ(CatalogText(tree),
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><fileinfo "
            "generated=\"https://orvane.example/lumivor\"><file FileName=\"top\" "
            "FileType=\"directory\" CatalogName=\"c\"><file FileType=\"file\"/></file></fileinfo>");
  EXPECT_EQ(CatalogText(CatalogTree()),
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><fileinfo "
            "generated=\"https://orvane.example/lumivor\"/>");
}

TEST(CatalogFile, StreamedSaveMatchesTheDocumentWriter) {
  TempDir dir;
  CatalogTree tree = AwkwardTree();
  XmlDocument document;
  CatalogDocument info(&document);
  info.ClearDocument();
  info.WriteTree(tree);
  info.SaveFile(dir / "dom.xml");
  WriteCatalogFile(tree, dir / "stream.xml", NoProgress());
  EXPECT_EQ(ReadFile(dir / "dom.xml"), ReadFile(dir / "stream.xml"));
}

TEST(CatalogFile, SaveAndReadGiveTheSameTree) {
  TempDir dir;
  CatalogTree tree = AwkwardTree();
  const std::string path = dir / "Music.2009.xml";
  RecordingProgress progress;
  SaveCatalog(tree, path, progress);
  EXPECT_EQ(progress.Texts(), (std::vector<std::string>{"Saving info...", "Gathering info.."}));
  EXPECT_FALSE(progress.visible);

  CatalogTree loaded = LoadCatalog(path, progress);
  EXPECT_EQ(Dump(loaded), Dump(tree));
  loaded.ForEachPreOrder(
      [](const CatalogTree::Node* node, int) { EXPECT_EQ(node->Field(kCatalogName), "Music"); });
  // The invalid byte and the control character were replaced, so the file stays well-formed.
  EXPECT_NE(Dump(loaded).find("bad\xEF\xBF\xBD\xEF\xBF\xBDname.txt"), std::string::npos);
  pugi::xml_document strict;
  EXPECT_TRUE(strict.load_file(path.c_str()));
}

// A tree of `count` files below one folder.
CatalogTree WideTree(int count) {
  CatalogTree tree;
  CatalogTree::Node* top = tree.AddChild(nullptr);
  top->SetField(kFileName, "Disk");
  top->SetField(kFileType, "directory");
  for (int i = 0; i < count; ++i) {
    tree.AddChild(top)->SetField(kFileName, "file" + std::to_string(i) + ".txt");
  }
  return tree;
}

std::vector<std::string> FileNames(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CatalogFile, ACancelledSaveLeavesTheOldFileAndNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir / "Disk.xml";
  WriteFile(path, "old");
  const CatalogTree tree = WideTree(20000);
  // Cancel pressed before the save, and as its second text ("Gathering info..") shows, while
  // the records are being written.
  for (int texts : {-1, 1}) {
    RecordingProgress progress;
    if (texts < 0) progress.stop.request_stop();
    progress.stop_after_texts = texts;
    EXPECT_FALSE(SaveCatalog(tree, path, progress, progress.Token())) << texts;
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(FileNames(dir.Path()), std::vector<std::string>{"Disk.xml"});
    EXPECT_FALSE(progress.visible);
    EXPECT_EQ(progress.events.front().text, "cancellable");
  }
  // Not cancelled: written whole.
  std::stop_source stop;
  EXPECT_TRUE(SaveCatalog(tree, path, NoProgress(), stop.get_token()));
  EXPECT_EQ(LoadCatalog(path).Size(), 20001u);
}

// Failures injected in the middle of the work: the file system refuses to let the catalog grow
// past a limit while it is being written, and the bytes of a catalog stop arriving half-way.
TEST(CatalogFile, FailuresPartWayAreReportedAndNeverPassForACatalog) {
  TempDir dir;
  const std::string path = dir / "Disk.xml";
  WriteFile(path, "old");
  const CatalogTree tree = WideTree(20000);
  // A write that fails after the first 64 KiB (the process's file size limit, as a full disk
  // would): the save raises with the file's name and the reason, the old file stays whole.
  const std::string message = RunInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      (void)SaveCatalog(tree, path, NoProgress());
    } catch (const LumivorError& e) {
      return std::string(e.what());
    }
    return std::string("saved");
  });
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("File too large"), std::string::npos) << message;
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(FileNames(dir.Path()), std::vector<std::string>{"Disk.xml"});

  // A catalog whose bytes end half-way through a pipe: the load raises, and gives no tree.
  ASSERT_TRUE(WriteCatalogFile(tree, path));
  const std::string whole = ReadFile(path);
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  std::thread writer([&] {
    const std::string_view half(whole.data(), whole.size() / 2);
    for (std::size_t at = 0; at < half.size();) {
      const ssize_t n = ::write(pipe_ends[1], half.data() + at, half.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(pipe_ends[1]);
  });
  std::optional<CatalogTree> loaded;
  EXPECT_THROW(loaded = LoadCatalog("/dev/fd/" + std::to_string(pipe_ends[0])), LumivorError);
  writer.join();
  ::close(pipe_ends[0]);
  EXPECT_FALSE(loaded.has_value());
}

TEST(CatalogFile, ACancelledLoadGivesNoTree) {
  TempDir dir;
  const std::string path = dir / "Disk.xml";
  ASSERT_TRUE(WriteCatalogFile(WideTree(20000), path));
  RecordingProgress progress;
  progress.stop_after_texts = 0;  // pressed as "Loading info.." shows
  EXPECT_FALSE(LoadCatalog(path, progress, progress.Token()).has_value());
  EXPECT_FALSE(progress.visible);
  std::stop_source stop;
  const std::optional<CatalogTree> loaded = LoadCatalog(path, NoProgress(), stop.get_token());
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->Size(), 20001u);
}

TEST(CatalogFile, ReadsHandWrittenFilesWithDefaults) {
  TempDir dir;
  const std::string path = dir / "hand.xml";
  WriteFile(path,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            "<catalog generated=\"x\">\n"
            "  <file FileName=\"Top\" Extra=\"ignored\" CatalogName=\"Other\">\n"
            "    <entry FileName=\"nested\" FileSize=\"\"/>\n"
            "    <!-- a comment -->\n"
            "  </file>\n"
            "  <thing FullPath=\"/given\" FileType=\"file\"/>\n"
            "</catalog>\n");
  CatalogTree tree = LoadCatalog(path);
  EXPECT_EQ(Dump(tree),
            "0:FileName=Top;FullPath=Top;FileType=directory;\n"
            "1:FileName=nested;\n"
            "0:FullPath=/given;FileType=file;\n");
  tree.ForEachPreOrder(
      [](const CatalogTree::Node* node, int) { EXPECT_EQ(node->Field(kCatalogName), "hand"); });
}

TEST(CatalogFile, EmptyTreeRoundTrips) {
  TempDir dir;
  WriteCatalogFile(CatalogTree(), dir / "empty.xml", NoProgress());
  EXPECT_TRUE(LoadCatalog(dir / "empty.xml").Empty());
}

TEST(CatalogFile, LoadErrorsNameThePathAndTheReason) {
  TempDir dir;
  auto message = [&](const std::string& path) {
    try {
      (void)LoadCatalog(path);
    } catch (const LumivorError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message(dir / "missing.xml"), dir / "missing.xml" + ": No such file or directory");
  WriteFile(dir / "empty.xml", "");
  EXPECT_EQ(message(dir / "empty.xml"), dir / "empty.xml" + ": the file is empty");
  WriteFile(dir / "cut.xml", "<fileinfo>\n<file FileName=\"a\">");
  EXPECT_EQ(message(dir / "cut.xml"),
            dir / "cut.xml" + ": Start-end tags mismatch at line 2, column 19");
  EXPECT_EQ(message(dir.Path()), dir.Path() + ": Is a directory");
}

TEST(CatalogFile, AFailedSaveLeavesTheOldFile) {
  TempDir dir;
  const std::string path = dir / "keep.xml";
  CatalogTree tree = AwkwardTree();
  WriteCatalogFile(tree, path, NoProgress());
  const std::string before = ReadFile(path);
  // A read-only directory refuses the temporary file: the save fails, the old file stays whole.
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
    EXPECT_THROW(WriteCatalogFile(CatalogTree(), path, NoProgress()), LumivorError);
    ::chmod(dir.Path().c_str(), 0755);
  }
  // An interrupted save leaves only its temporary file behind, never a truncated catalog.
  {
    AtomicFile partial(path);
    partial.Write("<fileinfo><file");
  }
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(Dump(LoadCatalog(path)), Dump(tree));
}

TEST(CatalogFile, SaveFileAsksAndCancelLeavesTheDiskUntouched) {
  TempDir dir;
  XmlDocument document;
  ScriptedPrompts prompts;
  CatalogDocument info(&document, &prompts);
  info.ClearDocument();
  info.SaveFile("");  // the dialog is cancelled
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
  WriteFile(dir / "old.xml", "old");
  prompts.file_answers = {dir / "old.xml"};
  prompts.yes_no_answers = {false};
  info.SaveFile("");
  EXPECT_EQ(ReadFile(dir / "old.xml"), "old");
  ASSERT_EQ(prompts.shown.size(), 1u);
  EXPECT_EQ(prompts.shown[0].text, "Catalog with the same name already exists,overwrite?");
  prompts.file_answers = {dir / "missing.xml"};
  EXPECT_FALSE(info.LoadFile(""));
  EXPECT_EQ(prompts.shown.back().text, "The file does not exist.");
}

TEST(CatalogFile, DeepNestingIsReadWrittenAndFreed) {
  TempDir dir;
  const int depth = 100000;
  std::string text = "<fileinfo>";
  for (int i = 0; i < depth; ++i) text += "<file FileName=\"d\">";
  for (int i = 0; i < depth; ++i) text += "</file>";
  text += "</fileinfo>";
  WriteFile(dir / "deep.xml", text);
  CatalogTree tree = LoadCatalog(dir / "deep.xml");
  EXPECT_EQ(tree.Size(), static_cast<std::size_t>(depth));
  WriteCatalogFile(tree, dir / "again.xml", NoProgress());
  EXPECT_EQ(LoadCatalog(dir / "again.xml").Size(), static_cast<std::size_t>(depth));
}

}  // namespace
}  // namespace lumivor
