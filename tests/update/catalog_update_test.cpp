#include "update/catalog_update.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "catalog/catalog_file.h"
#include "core/errors.h"
#include "core/prompts.h"
#include "scan/catalog_medium.h"
#include "scan/scanner.h"
#include "scan/volumes.h"
#include "support/fake_volumes.h"
#include "support/recording_progress.h"
#include "support/scripted_prompts.h"
#include "test_util.h"

namespace lumivor {
namespace {

using ::lumivor::testing::ReadFile;
using ::lumivor::testing::TempDir;
namespace fs = std::filesystem;

// A file of `size` bytes whose modification time is `stamp` seconds after an arbitrary epoch, so
// that each file of a test has a size and time of its own unless the test says otherwise.
void MakeFile(const std::string& path, std::size_t size, int stamp) {
  ::lumivor::testing::WriteFile(path, std::string(size, 'x'));
  const timespec times[2] = {{1600000000 + stamp * 60, 0}, {1600000000 + stamp * 60, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string MissingValue(const CatalogTree::Node& record) {
  return std::string(record.Extra(kMissingAttribute));
}

// Blanks what differs between two scans of an unchanged medium: the moment of the scan and the
// free space of a volume that other programs write to meanwhile.
void ForgetScanMoment(CatalogTree* tree) {
  tree->Top()->SetExtra(kScanDateAttribute, "");
  tree->Top()->SetExtra(kVolumeFreeAttribute, "");
}

// Relative path -> record, for looking entries up by where they are.
std::map<std::string, const CatalogTree::Node*> ByPath(const CatalogTree& tree) {
  std::map<std::string, const CatalogTree::Node*> records;
  const std::string top = tree.Top()->Field(kFullPath);
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    const std::string path = node->Field(kFullPath);
    records[depth == 0 ? "." : std::string(path.substr(top.size() + 1))] = node;
  });
  return records;
}

class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_ / "medium";
    fs::create_directories(root_);
  }

  std::string Path(std::string_view relative) const { return root_ + "/" + std::string(relative); }

  CatalogTree Scan() const {
    CatalogTree tree;
    ScanFolder(&tree, root_, false, "", catalog_);
    return tree;
  }

  // Scans the medium as the catalog and gives `descriptions` (relative path -> text).
  void Catalogue(const std::map<std::string, std::string>& descriptions) {
    old_ = Scan();
    auto records = ByPath(old_);
    for (const auto& [path, text] : descriptions) {
      ASSERT_TRUE(records.count(path)) << path;
      const_cast<CatalogTree::Node*>(records[path])->SetField(kDescription, text);
    }
  }

  // Scans again and merges with the catalog; the result becomes the catalog.
  UpdateSummary Update(bool drop_missing = false) {
    CatalogTree fresh = Scan();
    MergeOptions options;
    options.missing_date = "2026-12-08";
    options.drop_missing = drop_missing;
    UpdateSummary summary = MergeUpdate(old_, &fresh, options);
    old_ = std::move(fresh);
    return summary;
  }

  std::string DescriptionAt(std::string_view relative) {
    const auto records = ByPath(old_);
    const auto found = records.find(std::string(relative));
    return found == records.end() ? "<absent>" : std::string(found->second->Field(kDescription));
  }

  TempDir dir_;
  std::string root_;
  std::string catalog_ = dir_ / "Disk.xml";
  CatalogTree old_;
};

TEST_F(UpdateTest, EntriesInPlaceKeepTheirDescriptionsAndTakeTheDisksFacts) {
  MakeFile(Path("notes.txt"), 10, 1);
  MakeFile(Path("docs/plan.txt"), 20, 2);
  Catalogue({{".", "my disk"}, {"docs", "papers"}, {"notes.txt", "read me"}});
  MakeFile(Path("notes.txt"), 15, 3);  // grown in place

  const UpdateSummary summary = Update();
  EXPECT_EQ(summary.CountsLine(), "added=0 removed=0 moved=0 changed=1 missing=0");
  EXPECT_EQ(summary.changed, std::vector<std::string>{"notes.txt"});
  EXPECT_EQ(DescriptionAt("."), "my disk");
  EXPECT_EQ(DescriptionAt("docs"), "papers");
  EXPECT_EQ(DescriptionAt("notes.txt"), "read me");
  const auto records = ByPath(old_);
  EXPECT_EQ(records.at("notes.txt")->Field(kFileSize), "15");
  EXPECT_EQ(records.at(".")->Field(kFileSize), "35");
}

TEST_F(UpdateTest, RenamesAndMovesAcrossFoldersCarryTheDescription) {
  MakeFile(Path("a.txt"), 10, 1);
  MakeFile(Path("one/b.txt"), 10, 2);
  MakeFile(Path("two/keep.txt"), 5, 3);
  Catalogue({{"a.txt", "renamed"}, {"one/b.txt", "moved"}});
  fs::rename(Path("a.txt"), Path("z.txt"));
  fs::rename(Path("one/b.txt"), Path("two/c.txt"));  // moved and renamed at once

  const UpdateSummary summary = Update();
  EXPECT_EQ(summary.CountsLine(), "added=0 removed=0 moved=2 changed=0 missing=0");
  EXPECT_EQ(DescriptionAt("z.txt"), "renamed");
  EXPECT_EQ(DescriptionAt("two/c.txt"), "moved");
  EXPECT_EQ(DescriptionAt("a.txt"), "<absent>");
  ASSERT_EQ(summary.moved.size(), 2u);
  std::vector<std::string> moves;
  for (const auto& move : summary.moved) moves.push_back(move.from + " -> " + move.to);
  std::sort(moves.begin(), moves.end());
  EXPECT_EQ(moves, (std::vector<std::string>{"a.txt -> z.txt", "one/b.txt -> two/c.txt"}));
}

TEST_F(UpdateTest, AMovedFolderTakesItsContentsAlongAndCountsOnce) {
  MakeFile(Path("photos/2024/beach.jpg"), 100, 1);
  MakeFile(Path("photos/2024/hills.jpg"), 200, 2);
  MakeFile(Path("photos/list.txt"), 3, 3);
  fs::create_directories(Path("archive"));
  Catalogue({{"photos", "holidays"}, {"photos/2024", "summer"}, {"photos/2024/beach.jpg", "sand"}});
  fs::rename(Path("photos"), Path("archive/photos"));

  const UpdateSummary summary = Update();
  EXPECT_EQ(summary.CountsLine(), "added=0 removed=0 moved=1 changed=0 missing=0");
  EXPECT_EQ(summary.moved[0].from, "photos");
  EXPECT_EQ(summary.moved[0].to, "archive/photos");
  EXPECT_EQ(DescriptionAt("archive/photos"), "holidays");
  EXPECT_EQ(DescriptionAt("archive/photos/2024"), "summer");
  EXPECT_EQ(DescriptionAt("archive/photos/2024/beach.jpg"), "sand");
}

TEST_F(UpdateTest, ARenamedFolderIsKnownByWhatItHolds) {
  MakeFile(Path("Neuer Ordner/song.mp3"), 300, 1);
  MakeFile(Path("Neuer Ordner/cover.png"), 40, 2);
  Catalogue({{"Neuer Ordner", "band"}, {"Neuer Ordner/song.mp3", "first take"}});
  fs::rename(Path("Neuer Ordner"), Path("Band"));

  const UpdateSummary summary = Update();
  EXPECT_EQ(summary.CountsLine(), "added=0 removed=0 moved=1 changed=0 missing=0");
  EXPECT_EQ(DescriptionAt("Band"), "band");
  EXPECT_EQ(DescriptionAt("Band/song.mp3"), "first take");
}

TEST_F(UpdateTest, DeletedEntriesWithADescriptionStayMarkedMissingTheRestGo) {
  MakeFile(Path("keep.txt"), 1, 1);
  MakeFile(Path("plain.txt"), 2, 2);
  MakeFile(Path("old/letter.txt"), 3, 3);
  MakeFile(Path("old/junk.txt"), 4, 4);
  Catalogue({{"keep.txt", "precious"}, {"old/letter.txt", "from grandma"}});
  fs::remove(Path("keep.txt"));
  fs::remove(Path("plain.txt"));
  fs::remove_all(Path("old"));

  const UpdateSummary summary = Update();
  EXPECT_EQ(summary.CountsLine(), "added=0 removed=2 moved=0 changed=0 missing=3");
  std::vector<std::string> removed = summary.removed;
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{"old/junk.txt", "plain.txt"}));
  const auto records = ByPath(old_);
  ASSERT_TRUE(records.count("keep.txt"));
  ASSERT_TRUE(records.count("old"));  // kept as the place of the letter
  ASSERT_TRUE(records.count("old/letter.txt"));
  EXPECT_FALSE(records.count("old/junk.txt"));
  for (const char* path : {"keep.txt", "old", "old/letter.txt"}) {
    EXPECT_TRUE(IsMissing(*records.at(path))) << path;
    EXPECT_EQ(MissingValue(*records.at(path)), "2026-12-08") << path;
    EXPECT_EQ(records.at(path)->Field(kSizePercentage), "") << path;
  }
  EXPECT_EQ(records.at("keep.txt")->Field(kDescription), "precious");
  EXPECT_EQ(records.at("keep.txt")->Field(kFileSize), "1");
  // Missing entries count for nothing.
  EXPECT_EQ(records.at(".")->Field(kFileSize), "0");
  EXPECT_EQ(records.at("old/letter.txt")->Field(kFullPath), Path("old/letter.txt"));
}

TEST_F(UpdateTest, TwoLookAlikesNeverGuess) {
  MakeFile(Path("a.bin"), 50, 7);
  MakeFile(Path("b.bin"), 50, 7);
  Catalogue({{"a.bin", "first"}, {"b.bin", "second"}});
  fs::rename(Path("a.bin"), Path("c.bin"));
  fs::rename(Path("b.bin"), Path("d.bin"));

  const UpdateSummary summary = Update();
  EXPECT_EQ(summary.CountsLine(), "added=2 removed=0 moved=0 changed=0 missing=2");
  EXPECT_EQ(DescriptionAt("c.bin"), "");
  EXPECT_EQ(DescriptionAt("d.bin"), "");
  EXPECT_EQ(DescriptionAt("a.bin"), "first");
  EXPECT_EQ(DescriptionAt("b.bin"), "second");
}

TEST_F(UpdateTest, TheResultIsAFreshScanPlusDescriptionsPlusMissingEntries) {
  MakeFile(Path("x/1.txt"), 1, 1);
  MakeFile(Path("x/2.txt"), 2, 2);
  MakeFile(Path("y/3.txt"), 3, 3);
  MakeFile(Path("4.txt"), 4, 4);
  Catalogue({{"x/1.txt", "one"}, {"4.txt", "four"}, {"y", "why"}});
  fs::rename(Path("x/1.txt"), Path("y/1.txt"));
  fs::remove(Path("4.txt"));
  MakeFile(Path("x/2.txt"), 22, 5);
  MakeFile(Path("new/5.txt"), 5, 6);

  Update();
  RemoveMissingEntries(&old_);
  old_.ForEachPreOrder([](const CatalogTree::Node* node, int) {
    const_cast<CatalogTree::Node*>(node)->SetField(kDescription, "");
  });
  CatalogTree fresh = Scan();
  ForgetScanMoment(&old_);
  ForgetScanMoment(&fresh);
  EXPECT_EQ(CatalogText(old_), CatalogText(fresh));
}

TEST_F(UpdateTest, AMissingEntryKeepsItsFirstDateAndComesBackWhenFound) {
  MakeFile(Path("away.txt"), 9, 1);
  Catalogue({{"away.txt", "lent out"}});
  fs::rename(Path("away.txt"), dir_ / "away.txt");
  Update();
  CatalogTree second = Scan();
  MergeOptions later;
  later.missing_date = "2027-01-01";
  UpdateSummary summary = MergeUpdate(old_, &second, later);
  EXPECT_EQ(summary.missing, std::vector<std::string>{"away.txt"});
  old_ = std::move(second);
  EXPECT_EQ(MissingValue(*ByPath(old_).at("away.txt")), "2026-12-08");

  fs::rename(dir_ / "away.txt", Path("back.txt"));  // back under another name
  summary = Update();
  EXPECT_EQ(summary.CountsLine(), "added=0 removed=0 moved=1 changed=0 missing=0");
  EXPECT_EQ(DescriptionAt("back.txt"), "lent out");
  EXPECT_FALSE(IsMissing(*ByPath(old_).at("back.txt")));
}

TEST_F(UpdateTest, DropMissingAndRemoveMissingEntriesLeaveNoMissingEntry) {
  MakeFile(Path("gone/a.txt"), 1, 1);
  MakeFile(Path("b.txt"), 2, 2);
  Catalogue({{"gone/a.txt", "note"}, {"b.txt", "note"}});
  fs::remove_all(Path("gone"));
  CatalogTree kept_tree = Scan();
  MergeOptions options;
  options.missing_date = "2026-12-08";
  MergeUpdate(old_, &kept_tree, options);
  EXPECT_EQ(RemoveMissingEntries(&kept_tree), 2u);
  EXPECT_EQ(RemoveMissingEntries(&kept_tree), 0u);

  const UpdateSummary summary = Update(/*drop_missing=*/true);
  EXPECT_EQ(summary.CountsLine(), "added=0 removed=2 moved=0 changed=0 missing=0");
  ForgetScanMoment(&old_);
  ForgetScanMoment(&kept_tree);
  EXPECT_EQ(CatalogText(old_), CatalogText(kept_tree));
}

TEST(CatalogSourcePathTest, ReadsThePathOutOfTheTopRecord) {
  FieldViews fields{};
  fields[kFileName] = "/data/Music";
  EXPECT_EQ(CatalogSourcePath(CatalogRecord(fields)), "/data/Music");
  fields[kFileName] = "Holiday (2024)(/media/u/HOLIDAY)";
  EXPECT_EQ(CatalogSourcePath(CatalogRecord(fields)), "/media/u/HOLIDAY");
}

// The whole command on files: the catalog on disk, its medium, the options.
class UpdateFileTest : public UpdateTest {
 protected:
  void Save() { WriteCatalogFile(old_, catalog_, NoProgress()); }
};

TEST_F(UpdateFileTest, DryRunAndCancelLeaveTheCatalogAsItWas) {
  MakeFile(Path("a.txt"), 1, 1);
  Catalogue({{"a.txt", "note"}});
  Save();
  const std::string before = ReadFile(catalog_);
  fs::rename(Path("a.txt"), Path("b.txt"));

  UpdateRequest dry;
  dry.dry_run = true;
  UpdateOutcome outcome = UpdateCatalogFile(catalog_, dry);
  EXPECT_EQ(outcome.status, UpdateOutcome::Status::kDryRun);
  EXPECT_EQ(outcome.summary.CountsLine(), "added=0 removed=0 moved=1 changed=0 missing=0");
  EXPECT_EQ(ReadFile(catalog_), before);

  // Cancel pressed as each of the update's progress texts shows: reading, scanning, saving.
  for (int texts : {0, 1, 2, 3}) {
    RecordingProgress progress;
    progress.stop_after_texts = texts;
    outcome = UpdateCatalogFile(catalog_, {}, progress, nullptr, nullptr, progress.Token());
    EXPECT_EQ(outcome.status, UpdateOutcome::Status::kCancelled) << texts;
    EXPECT_EQ(ReadFile(catalog_), before);
    EXPECT_FALSE(progress.visible);
  }

  RecordingProgress progress;
  outcome = UpdateCatalogFile(catalog_, {}, progress);
  EXPECT_EQ(outcome.status, UpdateOutcome::Status::kUpdated);
  EXPECT_TRUE(progress.events.front().text == "cancellable");
  EXPECT_EQ(DescriptionAt("a.txt"), "note");  // the tree in memory is the old one
  old_ = LoadCatalog(catalog_);
  EXPECT_EQ(DescriptionAt("b.txt"), "note");
}

TEST_F(UpdateFileTest, FromScansAnotherFolderAndPathsFollowIt) {
  MakeFile(Path("a.txt"), 1, 1);
  Catalogue({{"a.txt", "note"}});
  Save();
  const std::string copy = dir_ / "copy";
  fs::rename(root_, copy);

  UpdateOutcome outcome = UpdateCatalogFile(catalog_, {});
  EXPECT_EQ(outcome.status, UpdateOutcome::Status::kNoMedium);

  UpdateRequest request;
  request.from = copy;
  outcome = UpdateCatalogFile(catalog_, request);
  EXPECT_EQ(outcome.status, UpdateOutcome::Status::kUpdated);
  EXPECT_EQ(outcome.source, copy);
  old_ = LoadCatalog(catalog_);
  EXPECT_EQ(old_.Top()->Field(kFileName), copy);
  EXPECT_EQ(ByPath(old_).at("a.txt")->Field(kFullPath), copy + "/a.txt");
  EXPECT_EQ(ByPath(old_).at("a.txt")->Field(kDescription), "note");

  request.from = dir_ / "nowhere";
  EXPECT_THROW(UpdateCatalogFile(catalog_, request), LumivorError);
  request.from = copy + "/a.txt";
  EXPECT_THROW(UpdateCatalogFile(catalog_, request), LumivorError);
}

TEST_F(UpdateFileTest, AHandWrittenCatalogIsUpdatedByItsPath) {
  MakeFile(Path("song.mp3"), 10, 1);
  ::lumivor::testing::WriteFile(
      catalog_, "<?xml version=\"1.0\"?>\n<fileinfo>\n  <file FileName=\"" + root_ +
                    "\" Description=\"mixtapes\">\n    <file FileName=\"song.mp3\" "
                    "FileType=\"file\" Description=\"best\"/>\n  </file>\n</fileinfo>\n");
  const UpdateOutcome outcome = UpdateCatalogFile(catalog_, {});
  EXPECT_EQ(outcome.status, UpdateOutcome::Status::kUpdated);
  EXPECT_EQ(outcome.summary.CountsLine(), "added=0 removed=0 moved=0 changed=1 missing=0");
  old_ = LoadCatalog(catalog_);
  EXPECT_EQ(DescriptionAt("."), "mixtapes");
  EXPECT_EQ(DescriptionAt("song.mp3"), "best");
  EXPECT_EQ(ByPath(old_).at("song.mp3")->Field(kFileSize), "10");
}

TEST_F(UpdateFileTest, AMediumMountedElsewhereIsFoundByItsVolume) {
  const std::string first = dir_ / "mnt1";
  MakeFile(first + "/docs/a.txt", 1, 1);
  FakeVolumes before({{first, "BACKUP", "5555-6666", "ext4"}});
  SetVolumes(&before);
  CatalogTree tree;
  ScanFolder(&tree, first + "/docs", false, "", catalog_);
  old_ = std::move(tree);
  const_cast<CatalogTree::Node*>(ByPath(old_).at("a.txt"))->SetField(kDescription, "kept");
  Save();

  // Mounted at another place: found by its id, the folder within it follows.
  const std::string second = dir_ / "mnt2";
  fs::rename(first, second);
  FakeVolumes after({{second, "BACKUP", "5555-6666", "ext4"}});
  SetVolumes(&after);
  UpdateOutcome outcome = UpdateCatalogFile(catalog_, {});
  EXPECT_EQ(outcome.status, UpdateOutcome::Status::kUpdated);
  EXPECT_EQ(outcome.source, second + "/docs");
  old_ = LoadCatalog(catalog_);
  EXPECT_EQ(ByPath(old_).at("a.txt")->Field(kFullPath), second + "/docs/a.txt");
  EXPECT_EQ(DescriptionAt("a.txt"), "kept");

  // Another volume at that place is not the medium: nothing is scanned or written.
  const std::string written = ReadFile(catalog_);
  FakeVolumes other({{second, "BACKUP", "7777-8888", "ext4"}});
  SetVolumes(&other);
  outcome = UpdateCatalogFile(catalog_, {});
  EXPECT_EQ(outcome.status, UpdateOutcome::Status::kNoMedium);
  EXPECT_EQ(ReadFile(catalog_), written);
  SetVolumes(nullptr);
}

TEST_F(UpdateFileTest, AnUpdateScansWithTheCatalogsOwnScope) {
  MakeFile(Path("a.txt"), 1, 1);
  MakeFile(Path("b.doc"), 2, 2);
  CatalogTree tree;
  ScanFolder(&tree, root_, false, "\\.TXT\\", catalog_);
  WriteCatalogFile(tree, catalog_, NoProgress());
  MakeFile(Path("c.txt"), 3, 3);
  MakeFile(Path("d.doc"), 4, 4);
  UpdateOutcome outcome = UpdateCatalogFile(catalog_, {});
  EXPECT_EQ(outcome.summary.added, std::vector<std::string>{"c.txt"});

  ScanFolder(&tree, root_, true, "", catalog_);
  WriteCatalogFile(tree, catalog_, NoProgress());
  fs::create_directories(Path("new folder"));
  outcome = UpdateCatalogFile(catalog_, {});
  EXPECT_EQ(outcome.summary.added, std::vector<std::string>{"new folder"});
}

TEST_F(UpdateFileTest, TheScanIsReportedAndAnAbsentMediumIsAskedFor) {
  MakeFile(Path("a.txt"), 1, 1);
  MakeFile(Path("docs/b.txt"), 2, 2);
  Catalogue({{"a.txt", "note"}});
  Save();
  struct Folders final : ScanListener {
    void FolderEntered(std::size_t, std::string_view folder) override { seen.emplace_back(folder); }
    std::vector<std::string> seen;
  } listener;
  UpdateOutcome outcome = UpdateCatalogFile(catalog_, {}, NoProgress(), &listener);
  EXPECT_EQ(outcome.status, UpdateOutcome::Status::kUpdated);
  EXPECT_EQ(listener.seen, (std::vector<std::string>{root_, root_ + "/docs"}));

  const std::string copy = dir_ / "copy";
  fs::rename(root_, copy);
  const std::string before = ReadFile(catalog_);
  // No answer: nothing is scanned or written.
  ScriptedPrompts prompts;
  outcome = UpdateCatalogFile(catalog_, {}, NoProgress(), nullptr, &prompts);
  EXPECT_EQ(outcome.status, UpdateOutcome::Status::kNoMedium);
  ASSERT_EQ(prompts.shown.size(), 1u);
  EXPECT_NE(prompts.shown[0].caption.find("is not connected"), std::string::npos);
  EXPECT_EQ(ReadFile(catalog_), before);
  // The folder named is scanned; a file named there is refused.
  prompts.file_answers = {copy + "/a.txt"};
  EXPECT_THROW(UpdateCatalogFile(catalog_, {}, NoProgress(), nullptr, &prompts), LumivorError);
  prompts.file_answers = {copy};
  outcome = UpdateCatalogFile(catalog_, {}, NoProgress(), nullptr, &prompts);
  EXPECT_EQ(outcome.status, UpdateOutcome::Status::kUpdated);
  EXPECT_EQ(outcome.source, copy);
  old_ = LoadCatalog(catalog_);
  EXPECT_EQ(ByPath(old_).at("a.txt")->Field(kFullPath), copy + "/a.txt");
  EXPECT_EQ(DescriptionAt("a.txt"), "note");
}

TEST_F(UpdateFileTest, ACatalogDamagedPastItsHeadFailsAndStaysAsItWas) {
  MakeFile(Path("a.txt"), 1, 1);
  Catalogue({{"a.txt", "note"}});
  Save();
  // The top record reads well, the rest of the file does not: the medium is scanned while the
  // catalog is read, and the reading's fault ends the update without a write.
  std::string text = ReadFile(catalog_);
  const auto end = text.rfind("</file>");
  ASSERT_NE(end, std::string::npos);
  text.replace(end, 7, "<file FileName=\"x\"");
  ::lumivor::testing::WriteFile(catalog_, text);
  EXPECT_THROW(UpdateCatalogFile(catalog_, {}), LumivorError);
  EXPECT_EQ(ReadFile(catalog_), text);
}

}  // namespace
TEST(CountDescriptions, CountsTheNotesAReplaceWouldLose) {
  TempDir dir;
  testing::WriteFile(dir / "c.xml",
                     "<fileinfo><file FileName=\"/m\" Description=\"the disc\"><file "
                     "FileName=\"a\" Description=\"\"/><file FileName=\"b\" "
                     "Description=\"keep me\"><file FileName=\"c\"/></file></file></fileinfo>");
  EXPECT_EQ(CountDescriptions(dir / "c.xml"), 2u);
  testing::WriteFile(dir / "none.xml", "<fileinfo><file FileName=\"/m\"/></fileinfo>");
  EXPECT_EQ(CountDescriptions(dir / "none.xml"), 0u);
  // The attribute's name inside a value is no description.
  testing::WriteFile(dir / "named.xml", "<fileinfo><file FileName=\"Description=x\"/></fileinfo>");
  EXPECT_EQ(CountDescriptions(dir / "named.xml"), 0u);
  // A catalog that cannot be read cannot be said to hold nothing, even when no description
  // shows in what is left of it.
  EXPECT_THROW((void)CountDescriptions(dir / "missing.xml"), LumivorError);
  testing::WriteFile(dir / "cut.xml", "<fileinfo><file FileName=\"/m\"><file FileName=\"a\"/>");
  EXPECT_THROW((void)CountDescriptions(dir / "cut.xml"), LumivorError);
}

}  // namespace lumivor
