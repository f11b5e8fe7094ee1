#include "search/result_edit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "catalog/catalog_file.h"
#include "core/errors.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::ReadFile;
using testing::TempDir;

CatalogRecord Record(std::string_view name, std::string_view path, std::string_view type) {
  FieldViews fields{};
  fields[kFileName] = name;
  fields[kFullPath] = path;
  fields[kFileType] = type;
  return CatalogRecord(fields);
}

// A catalog of /d: folder "docs" with "a.m4" inside, then "song.mp3".
std::string WriteDisk(const TempDir& dir) {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Record("/d", "/d", "directory"));
  auto* docs = tree.AddChild(top, Record("docs", "/d/docs", "directory"));
  tree.AddChild(docs, Record("a.m4", "/d/docs/a.m4", "file"));
  tree.AddChild(top, Record("song.mp3", "/d/song.mp3", "file"));
  const std::string path = dir / "Disk.xml";
  WriteCatalogFile(tree, path, NoProgress());
  return path;
}

// The result a search would give for `name` in the catalog at `path`.
struct Found {
  ResultSource source;
  CatalogRecord record;
};

Found Find(const std::string& path, const std::string& name) {
  SearchCriteria criteria;
  criteria.name = name;
  criteria.whole_field = true;
  criteria.scope_path = path;
  SearchOutcome outcome = SearchLibrary(criteria, NoProgress());
  EXPECT_EQ(outcome.sources.size(), 1u) << name;
  return {outcome.sources.at(0), outcome.results.Top()->Record()};
}

TEST(ResultEdit, AnEditReachesTheRecordInItsOwnCatalog) {
  TempDir dir;
  const std::string path = WriteDisk(dir);
  const Found song = Find(path, "song.mp3");
  const EditedCatalog edited =
      ApplyResultEdit(song.source, song.record, kDescription, "live 1999", NoProgress());
  const CatalogTree saved = LoadCatalog(path);
  EXPECT_EQ(saved.Top()->children[1]->Field(kDescription), "live 1999");
  EXPECT_EQ(saved.Size(), 4u);
  // The answer is the catalog as saved, records by ordinal.
  ASSERT_EQ(edited.by_ordinal.size(), 4u);
  EXPECT_EQ(edited.by_ordinal[3]->Field(kDescription), "live 1999");
  // No temporary file is left beside the catalog.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(ResultEdit, ARenamedFolderMovesThePathsBelowIt) {
  TempDir dir;
  const std::string path = WriteDisk(dir);
  const Found docs = Find(path, "docs");
  const EditedCatalog edited =
      ApplyResultEdit(docs.source, docs.record, kFileName, "papers", NoProgress());
  EXPECT_EQ(edited.by_ordinal[1]->Field(kFullPath), "/d/papers");
  EXPECT_EQ(edited.by_ordinal[2]->Field(kFullPath), "/d/papers/a.m4");
  const CatalogTree saved = LoadCatalog(path);
  EXPECT_EQ(saved.Top()->children[0]->children[0]->Field(kFullPath), "/d/papers/a.m4");
}

TEST(ResultEdit, AChangedCatalogIsNotWrittenTo) {
  TempDir dir;
  const std::string path = WriteDisk(dir);
  const Found song = Find(path, "song.mp3");
  // The record at that place is another one now.
  ResultSource moved = song.source;
  moved.ordinal = 2;
  const std::string before = ReadFile(path);
  EXPECT_THROW(ApplyResultEdit(moved, song.record, kDescription, "x", NoProgress()), LumivorError);
  moved.ordinal = 99;
  EXPECT_THROW(ApplyResultEdit(moved, song.record, kDescription, "x", NoProgress()), LumivorError);
  EXPECT_EQ(ReadFile(path), before);
  // A catalog that is gone or broken is an error with its path.
  std::filesystem::remove(path);
  try {
    (void)ApplyResultEdit(song.source, song.record, kDescription, "x", NoProgress());
    FAIL() << "no error";
  } catch (const LumivorError& error) {
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
  }
}

TEST(ResultEdit, TheResultsRecordIsFoundAgainInItsCatalog) {
  TempDir dir;
  const std::string path = WriteDisk(dir);
  const Found song = Find(path, "song.mp3");
  const CatalogTree tree = LoadCatalog(path);
  const CatalogTree::Node* found = FindResultRecord(tree, song.source, song.record);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found, tree.Top()->children[1]);
  // The catalog changed since the search: the record is found by its path, wherever it went.
  for (const std::size_t ordinal : {std::size_t{0}, std::size_t{2}, std::size_t{99}}) {
    ResultSource moved = song.source;
    moved.ordinal = ordinal;
    EXPECT_EQ(FindResultRecord(tree, moved, song.record), tree.Top()->children[1]) << ordinal;
  }
  // Two records of one path: the one at the ordinal wins.
  CatalogTree twice;
  auto* top = twice.AddChild(nullptr, Record("/d", "/d", "directory"));
  twice.AddChild(top, Record("song.mp3", "/d/song.mp3", "file"));
  auto* second = twice.AddChild(top, Record("song.mp3", "/d/song.mp3", "file"));
  EXPECT_EQ(FindResultRecord(twice, {path, 2}, song.record), second);
  // A record that is gone, or renamed, is not found at all.
  EXPECT_EQ(FindResultRecord(tree, song.source, Record("song.mp3", "/d/other.mp3", "file")),
            nullptr);
  EXPECT_EQ(FindResultRecord(tree, song.source, Record("Song.mp3", "/d/song.mp3", "file")),
            nullptr);
  EXPECT_EQ(FindResultRecord(CatalogTree(), song.source, song.record), nullptr);
}

TEST(ResultEdit, AnInvalidNameIsRefusedAndNothingIsWritten) {
  TempDir dir;
  const std::string path = WriteDisk(dir);
  const Found song = Find(path, "song.mp3");
  const std::string before = ReadFile(path);
  for (const std::string& bad :
       std::vector<std::string>{"", ".", "..", "a/b", std::string(300, 'n')}) {
    // The refusal of the catalog view's edits, with its reason.
    const std::string_view refusal =
        ApplyResultEdit(song.source, song.record, kFileName, bad, NoProgress()).refusal;
    EXPECT_EQ(refusal.substr(0, 14), "Invalid name. ") << refusal;
    EXPECT_GT(refusal.size(), 14u);
  }
  EXPECT_EQ(ReadFile(path), before);
}

TEST(ResultEdit, AFailedSaveLeavesTheOldFileWhole) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TempDir dir;
  const std::string path = WriteDisk(dir);
  const Found song = Find(path, "song.mp3");
  const std::string before = ReadFile(path);
  ::chmod(dir.Path().c_str(), 0555);
  EXPECT_THROW(ApplyResultEdit(song.source, song.record, kDescription, "x", NoProgress()),
               LumivorError);
  ::chmod(dir.Path().c_str(), 0755);
  EXPECT_EQ(ReadFile(path), before);
}

}  // namespace
}  // namespace lumivor
