#include "scan/deep_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "catalog/fields.h"
#include "export/exporters.h"
#include "index/indexed_search.h"
#include "media_fixtures.h"
#include "scan/scanner.h"
#include "search/search.h"
#include "support/recording_progress.h"

namespace lumivor {
namespace {

using testing::HaveTool;
using testing::Make;
using testing::Quote;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// One line per record below the top: depth, FullPath, FileSize, FileType, FileExt,
// SizePercentage, FileNameLength, PathNameLength.
std::string Outline(const CatalogTree& tree) {
  std::string out;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    if (depth == 0) return;
    const CatalogRecord& r = node->Record();
    out += std::to_string(depth) + " " + std::string(r.Field(kFullPath)) + " [" +
           std::string(r.Field(kFileSize)) + " " + std::string(r.Field(kFileType)) + " " +
           std::string(r.Field(kFileExt)) + " " + std::string(r.Field(kSizePercentage)) + " " +
           std::string(r.Field(kFileNameLength)) + " " + std::string(r.Field(kPathNameLength)) +
           "]\n";
  });
  return out;
}

const CatalogTree::Node* Find(const CatalogTree& tree, std::string_view full_path) {
  const CatalogTree::Node* found = nullptr;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    if (node->Field(kFullPath) == full_path) found = node;
  });
  return found;
}

TEST(DeepScanNoteTest, CountsWhatWasReadAndWhatWasNot) {
  DeepScanCounts counts;
  EXPECT_EQ(DeepScanNote({}, counts), "");
  counts.archives_listed = 1;
  counts.files_tagged = 12;
  EXPECT_EQ(DeepScanNote({true, true}, counts),
            "Looked inside 1 archive. Read the tags of 12 files.");
  counts.archives_encrypted = 1;
  counts.archives_damaged = 2;
  EXPECT_EQ(DeepScanNote({true, false}, counts),
            "Looked inside 1 archive. 3 archives were not opened and stand as plain files: "
            "1 encrypted, 2 damaged.");
  counts = {};
  counts.archives_unsupported = 1;
  EXPECT_EQ(DeepScanNote({true, false}, counts),
            "Looked inside 0 archives. 1 archive was not opened and stands as a plain file: "
            "1 unreadable.");
}

class DeepScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    WriteFile(dir_ / "in/inner/a.txt", std::string(40, 'a'));
    WriteFile(dir_ / "in/inner/ü/b.txt", std::string(60, 'b'));
    WriteFile(dir_ / "src/plain.txt", std::string(100, 'p'));
    ASSERT_TRUE(Make("cd " + Quote(dir_ / "in") + " && zip -q -r -D " +
                     Quote(dir_ / "src/box.zip") + " inner"));
    WriteFile(dir_ / "src/words.zip", "no archive here");
    std::filesystem::remove_all(dir_ / "in");
    zip_size_ = std::filesystem::file_size(dir_ / "src/box.zip");
  }

  std::string Scan(const DeepScanOptions& options, DeepScanCounts* counts = nullptr,
                   std::stop_token stop = {}) {
    ScanFolder(&tree_, dir_ / "src", false, "", dir_ / "Deep.xml", NoProgress(), nullptr, &report_,
               options, stop);
    if (counts) *counts = report_.deep;
    return Outline(tree_);
  }

  TempDir dir_;
  CatalogTree tree_;
  ScanReport report_;
  std::uintmax_t zip_size_ = 0;
};

TEST_F(DeepScanTest, WithoutOptionsArchivesArePlainFiles) {
  DeepScanCounts counts;
  Scan({}, &counts);
  ASSERT_NE(Find(tree_, dir_ / "src/box.zip"), nullptr);
  EXPECT_TRUE(Find(tree_, dir_ / "src/box.zip")->children.empty());
  EXPECT_EQ(tree_.Size(), 4U);
  EXPECT_EQ(counts.archives_listed, 0U);
}

TEST_F(DeepScanTest, ArchiveEntriesBecomeChildrenOfTheArchive) {
  DeepScanCounts counts;
  Scan({true, false}, &counts);
  const CatalogTree::Node* box = Find(tree_, dir_ / "src/box.zip");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->Field(kFileType), "file");
  EXPECT_EQ(box->Field(kFileSize), std::to_string(zip_size_));
  ASSERT_EQ(box->children.size(), 1U);

  const std::string base = dir_ / "src/box.zip";
  const CatalogTree::Node* inner = box->children[0];
  EXPECT_EQ(inner->Field(kFullPath), base + "/inner");
  EXPECT_EQ(inner->Field(kFileName), "inner");
  EXPECT_EQ(inner->Field(kFileType), "directory");
  EXPECT_EQ(inner->Field(kFileSize), "100");
  EXPECT_EQ(inner->Field(kFileTime), "");  // implied by the paths, no time of its own
  EXPECT_EQ(inner->Field(kCatalogName), "Deep");

  const CatalogTree::Node* b = Find(tree_, base + "/inner/ü/b.txt");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Field(kFileName), "b.txt");
  EXPECT_EQ(b->Field(kFileExt), "txt");
  EXPECT_EQ(b->Field(kFileSize), "60");
  EXPECT_FALSE(b->Field(kFileTime).empty());
  EXPECT_EQ(b->Field(kPathNameLength), std::to_string(CodePointCount(base) + 14));
  EXPECT_EQ(b->parent->Field(kFullPath), base + "/inner/ü");

  // The folder's size counts the archive's own size, not what is inside it.
  const std::uintmax_t total = zip_size_ + 100 + 15;
  EXPECT_EQ(tree_.Top()->Field(kFileSize), std::to_string(total));
  EXPECT_EQ(counts.archives_listed, 1U);
  EXPECT_EQ(counts.archives_unsupported, 1U);  // words.zip
  EXPECT_EQ(Find(tree_, dir_ / "src/words.zip")->children.size(), 0U);
}

TEST_F(DeepScanTest, ArchivesInsideArchivesAreNotOpened) {
  ASSERT_TRUE(Make("cd " + Quote(dir_ / "src") + " && zip -q outer.zip box.zip"));
  Scan({true, false});
  const CatalogTree::Node* nested = Find(tree_, dir_ / "src/outer.zip/box.zip");
  ASSERT_NE(nested, nullptr);
  EXPECT_TRUE(nested->children.empty());
}

TEST_F(DeepScanTest, FilteredScanListsArchivesThatPassTheFilter) {
  ScanFolder(&tree_, dir_ / "src", false, "\\.ZIP\\", dir_ / "Deep.xml", NoProgress(), nullptr,
             nullptr, {true, false});
  EXPECT_NE(Find(tree_, dir_ / "src/box.zip/inner/a.txt"), nullptr);
  EXPECT_EQ(Find(tree_, dir_ / "src/plain.txt"), nullptr);
}

TEST_F(DeepScanTest, ACancelledDeepScanLeavesNothing) {
  std::stop_source stop;
  stop.request_stop();
  Scan({true, true}, nullptr, stop.get_token());
  EXPECT_TRUE(report_.cancelled);
  EXPECT_TRUE(tree_.Empty());
}

TEST(DeepScannerTest, ReadsNothingOnceCancelled) {
  TempDir dir;
  WriteFile(dir / "e.tar", std::string(10240, '\0'));
  std::stop_source stop;
  stop.request_stop();
  DeepScanner scanner({true, true}, stop.get_token());
  EXPECT_TRUE(scanner.Wants("e.tar"));
  EXPECT_FALSE(scanner.Wants("e.txt"));
  scanner.Read(AT_FDCWD, (dir / "e.tar").c_str());
  EXPECT_TRUE(scanner.Cancelled());
  EXPECT_EQ(scanner.Counts().archives_listed, 0U);
}

TEST(DeepScannerTest, WantsOnlyWhatItWasAskedFor) {
  const DeepScanner archives({true, false});
  EXPECT_TRUE(archives.Wants("a.ZIP"));
  EXPECT_FALSE(archives.Wants("a.mp3"));
  const DeepScanner tags({false, true});
  EXPECT_FALSE(tags.Wants("a.zip"));
  EXPECT_TRUE(tags.Wants("a.mp3"));
  EXPECT_TRUE(tags.Wants("b.JPG"));
  EXPECT_TRUE(tags.Wants("c.mkv"));
}

// A music folder, a photo folder, a video and an archive with a non-ASCII name inside, scanned
// with both options, then saved, loaded, searched and exported.
class DeepCatalogTest : public ::testing::Test {
 protected:
  // The media are made once for the suite (ffmpeg takes a while); each test scans them afresh.
  static void SetUpTestSuite() {
    for (const char* tool : {"ffmpeg", "exiftool", "7z"}) {
      if (!HaveTool(tool)) return;
    }
    media_ = new TempDir;
    const std::string source = *media_ / "Disc";
    made_ = testing::MakeSong(source + "/Music/one.mp3", "Rock & Roll", "The Testers") &&
            testing::MakeSong(source + "/Music/two.flac", "Quiet Song", "Élise") &&
            testing::MakePhoto(source + "/Photos/p1.jpg") &&
            testing::MakeVideo(source + "/clip.mp4");
    WriteFile(*media_ / "in/Ωmega/read me.txt", "hello");
    made_ = made_ && Make("cd " + Quote(*media_ / "in") + " && 7z a -bd " +
                          Quote(source + "/Photos/old.7z") + " Ωmega");
  }
  static void TearDownTestSuite() {
    delete media_;
    media_ = nullptr;
  }

  void SetUp() override {
    if (!media_) GTEST_SKIP() << "ffmpeg, exiftool or 7z is not installed";
    ASSERT_TRUE(made_);
    source_ = *media_ / "Disc";
    std::filesystem::create_directories(library_ / "Lib/Mp3");
    catalog_ = library_ / "Lib/Mp3/Disc.xml";
    ScanFolder(&tree_, source_, false, "", catalog_, NoProgress(), nullptr, &report_, {true, true});
  }

  CatalogRecord Record(const CatalogTree& tree, const std::string& full_path) {
    const CatalogTree::Node* node = Find(tree, full_path);
    EXPECT_NE(node, nullptr) << full_path;
    return node ? node->Record() : CatalogRecord();
  }

  static inline TempDir* media_ = nullptr;
  static inline bool made_ = false;
  TempDir library_;
  std::string source_, catalog_;
  CatalogTree tree_;
  ScanReport report_;
};

TEST_F(DeepCatalogTest, ScanRecordsTagsAfterTheElevenFields) {
  const CatalogRecord& song = Record(tree_, source_ + "/Music/one.mp3");
  ASSERT_EQ(song.ExtraCount(), 5U);
  EXPECT_EQ(song.ExtraAt(0), (ExtraAttribute{"Title", "Rock & Roll"}));
  EXPECT_EQ(song.Extra("Artist"), "The Testers");
  EXPECT_EQ(song.Extra("Album"), "Sine Waves");
  EXPECT_EQ(song.Extra("Year"), "1999");
  EXPECT_EQ(Record(tree_, source_ + "/Music/two.flac").Extra("Duration"), "2.5");
  const CatalogRecord& photo = Record(tree_, source_ + "/Photos/p1.jpg");
  EXPECT_EQ(photo.Extras(), (ExtraViews{{"Width", "64"},
                                        {"Height", "48"},
                                        {"DateTaken", "2021-05-06 07:08:09"},
                                        {"Camera", "Canon EOS 5D"}}));
  EXPECT_EQ(Record(tree_, source_ + "/clip.mp4").Extra("Codec"), "mpeg4");
  EXPECT_EQ(Record(tree_, source_ + "/Photos/old.7z/Ωmega/read me.txt").Field(kFileSize), "5");
  EXPECT_EQ(Record(tree_, source_ + "/Music").ExtraCount(), 0U);
  EXPECT_EQ(report_.deep.files_tagged, 4U);
  EXPECT_EQ(report_.deep.archives_listed, 1U);
}

TEST_F(DeepCatalogTest, TagsAndArchiveEntriesSurviveSaveAndLoad) {
  SaveCatalog(tree_, catalog_, NoProgress());
  const std::string text = ReadFile(catalog_);
  EXPECT_NE(text.find("CatalogName=\"Disc\" Title=\"Rock &amp; Roll\" Artist=\"The Testers\""),
            std::string::npos)
      << text;
  const CatalogTree loaded = LoadCatalog(catalog_);
  EXPECT_EQ(loaded.Size(), tree_.Size());
  EXPECT_EQ(Record(loaded, source_ + "/Music/two.flac").Extra("Artist"), "Élise");
  EXPECT_EQ(Record(loaded, source_ + "/Photos/p1.jpg").Extra("DateTaken"), "2021-05-06 07:08:09");
  EXPECT_EQ(Record(loaded, source_ + "/Photos/old.7z/Ωmega").Field(kFileType), "directory");
  EXPECT_EQ(CatalogText(loaded), CatalogText(tree_));
}

TEST_F(DeepCatalogTest, SearchAndTheIndexRouteFindTagsAndEntries) {
  SaveCatalog(tree_, catalog_, NoProgress());
  SearchCriteria criteria;
  criteria.scope_path = library_ / "Lib";
  criteria.scope_is_directory = true;
  criteria.meta = "testers";
  const SearchOutcome outcome = SearchLibrary(criteria, NoProgress());
  ASSERT_EQ(outcome.results.Size(), 1U);
  EXPECT_EQ(outcome.results.Top()->Field(kFileName), "one.mp3");
  EXPECT_EQ(outcome.results.Top()->Extra("Title"), "Rock & Roll");

  const IndexedSearchOutcome indexed = SearchThroughIndex(criteria, library_ / "Lib", NoProgress());
  ASSERT_EQ(indexed.outcome.results.Size(), 1U);
  EXPECT_EQ(indexed.outcome.results.Top()->Extra("Artist"), "The Testers");

  criteria.meta = "canon";
  EXPECT_EQ(SearchLibrary(criteria, NoProgress()).results.Size(), 1U);
  criteria.meta.clear();
  criteria.name = "read me";
  const SearchOutcome inside = SearchLibrary(criteria, NoProgress());
  ASSERT_EQ(inside.results.Size(), 1U);
  EXPECT_EQ(inside.results.Top()->Field(kFullPath), source_ + "/Photos/old.7z/Ωmega/read me.txt");
}

TEST_F(DeepCatalogTest, XmlExportCarriesTheTags) {
  const std::string out = library_ / "export.xml";
  const auto writer = MakeXmlWriter(out, {});
  ASSERT_TRUE(EmitTree(tree_, *writer));
  writer->Finish();
  const CatalogTree exported = LoadCatalog(out);
  EXPECT_EQ(Record(exported, source_ + "/clip.mp4").Extras(),
            Record(tree_, source_ + "/clip.mp4").Extras());
  EXPECT_NE(ReadFile(out).find("Camera=\"Canon EOS 5D\""), std::string::npos);
}

}  // namespace
}  // namespace lumivor
