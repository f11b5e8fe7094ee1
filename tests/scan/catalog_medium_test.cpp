#include "scan/catalog_medium.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "catalog/catalog_file.h"
#include "scan/scanner.h"
#include "support/fake_volumes.h"
#include "test_util.h"

namespace lumivor {
namespace {

using ::lumivor::testing::TempDir;
using ::lumivor::testing::WriteFile;
namespace fs = std::filesystem;

// Installs fake volumes for one test.
class WithVolumes {
 public:
  explicit WithVolumes(std::vector<FakeVolumes::Volume> volumes) : volumes_(std::move(volumes)) {
    SetVolumes(&volumes_);
  }
  ~WithVolumes() { SetVolumes(nullptr); }

 private:
  FakeVolumes volumes_;
};

TEST(ScanFacts, AScanRecordsTheVolumeOnItsTopRecordAfterTheElevenFields) {
  TempDir dir;
  const std::string usb = dir / "usb";
  WriteFile(usb + "/music/a.mp3", "abc");
  WithVolumes volumes({{usb, "STICK", "1234-ABCD", "vfat", "8000000000", "123456"}});
  CatalogTree tree;
  ScanFolder(&tree, usb + "/music", false, "", dir / "Music.xml");
  const CatalogRecord& top = tree.Top()->Record();
  EXPECT_EQ(top.Extra(kVolumeLabelAttribute), "STICK");
  EXPECT_EQ(top.Extra(kVolumeIdAttribute), "1234-ABCD");
  EXPECT_EQ(top.Extra(kFileSystemAttribute), "vfat");
  EXPECT_EQ(top.Extra(kVolumeSizeAttribute), "8000000000");
  EXPECT_EQ(top.Extra(kVolumeFreeAttribute), "123456");
  EXPECT_EQ(top.Extra(kVolumeFolderAttribute), "/music");
  EXPECT_EQ(top.Extra(kScanScopeAttribute), "");  // all files
  const std::string date(top.Extra(kScanDateAttribute));
  ASSERT_EQ(date.size(), 19u);
  std::tm parsed{};
  EXPECT_TRUE(ParseFileTime(date, &parsed)) << date;
  // Only the top record carries them, and the file keeps them in that order after the fields.
  EXPECT_EQ(tree.Top()->children[0]->ExtraCount(), 0u);
  const std::string text = CatalogText(tree);
  const auto top_tag = text.substr(text.find("<file "), text.find('>', text.find("<file ")));
  EXPECT_LT(top_tag.find("CatalogName="), top_tag.find("VolumeLabel="));
  EXPECT_LT(top_tag.find("VolumeLabel="), top_tag.find("VolumeId="));
  EXPECT_LT(top_tag.find("VolumeFree="), top_tag.find("ScanDate="));
}

TEST(ScanFacts, EmptyFactsAreNotWrittenAndTheScopeIs) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  WithVolumes volumes({});
  CatalogTree tree;
  ScanFolder(&tree, dir / "src", false, "\\.TXT\\", dir / "Src.xml");
  const CatalogRecord& top = tree.Top()->Record();
  EXPECT_EQ(top.Extra(kScanScopeAttribute), "Filter \\.TXT\\");
  for (auto name : {kVolumeLabelAttribute, kVolumeIdAttribute, kFileSystemAttribute,
                    kVolumeSizeAttribute, kVolumeFreeAttribute, kVolumeFolderAttribute}) {
    EXPECT_EQ(CatalogText(tree).find(std::string(name) + "="), std::string::npos) << name;
  }
  ScanFolder(&tree, dir / "src", true, "", dir / "Src.xml");
  EXPECT_EQ(tree.Top()->Extra(kScanScopeAttribute), "Only Folders");
  EXPECT_EQ(tree.Top()->Extra(kDeepScanAttribute), "");

  DeepScanOptions deep;
  deep.archives = true;
  ScanFolder(&tree, dir / "src", false, "", dir / "Src.xml", NoProgress(), nullptr, nullptr, deep);
  EXPECT_EQ(tree.Top()->Extra(kDeepScanAttribute), "archives");
  const DeepScanOptions read = RecordedDeepScan(tree.Top()->Record());
  EXPECT_TRUE(read.archives);
  EXPECT_FALSE(read.metadata);
}

TEST(MediumState, ComesFromTheMountTableByIdThenLabel) {
  FieldViews fields{};
  fields[kFileName] = "/media/u/STICK";
  CatalogRecord top(fields);
  EXPECT_EQ(MediumStateOf(top).kind, MediumState::Kind::kUnknown);
  top.SetExtra(kVolumeIdAttribute, "1234-ABCD");
  top.SetExtra(kVolumeFolderAttribute, "/music");
  {
    WithVolumes volumes({{"/mnt/x", "OTHER", "1234-ABCD"}});
    const MediumState state = MediumStateOf(top);
    EXPECT_EQ(state.kind, MediumState::Kind::kConnected);
    EXPECT_EQ(state.folder, "/mnt/x/music");
    const auto details = MediumDetails(top);
    ASSERT_EQ(details.size(), 2u);
    EXPECT_EQ(details[0], (std::pair<std::string, std::string>{"VolumeId", "1234-ABCD"}));
    EXPECT_EQ(details[1].second, "Connected at /mnt/x/music");
  }
  {
    WithVolumes volumes({{"/media/u/STICK", "STICK", "9999-0000"}});
    EXPECT_EQ(MediumStateOf(top).kind, MediumState::Kind::kAbsent);
    EXPECT_EQ(MediumDetails(top).back().second, "Not connected");
    CatalogRecord dated = top;
    dated.SetExtra(kScanDateAttribute, "2024-03-01 10:00:00");
    EXPECT_EQ(MediumDetails(dated).back().second, "Not connected, last seen 2024-03-01 10:00:00");
  }
}

TEST(ReadCatalogTop, ReadsTheTopRecordFromTheHeadOfAnyCatalog) {
  TempDir dir;
  // A catalog far larger than the head that is read.
  CatalogTree tree;
  FieldViews fields{};
  fields[kFileName] = "/data";
  fields[kFileType] = "directory";
  auto* top = tree.AddChild(nullptr, fields);
  top->SetExtra(kVolumeIdAttribute, "abcd");
  top->SetExtra(kVolumeLabelAttribute, "Big & \"bold\"");
  const std::string name(200, 'n');
  fields[kFileType] = "file";
  for (int i = 0; i < 2000; ++i) {
    fields[kFileName] = name;
    tree.AddChild(top, fields);
  }
  const std::string big = dir / "Big.xml";
  WriteCatalogFile(tree, big, NoProgress());
  ASSERT_GT(fs::file_size(big), 100'000u);
  const CatalogRecord read = ReadCatalogTop(big);
  EXPECT_EQ(read.Field(kFileName), "/data");
  EXPECT_EQ(read.Extra(kVolumeIdAttribute), "abcd");
  EXPECT_EQ(read.Extra(kVolumeLabelAttribute), "Big & \"bold\"");

  // A top record whose start tag is longer than the first read.
  top->SetField(kDescription, std::string(10'000, 'd'));
  WriteCatalogFile(tree, big, NoProgress());
  EXPECT_EQ(ReadCatalogTop(big).Field(kDescription).size(), 10'000u);

  WriteFile(dir / "Empty.xml", "<?xml version=\"1.0\"?>\n<fileinfo/>");
  EXPECT_EQ(ReadCatalogTop(dir / "Empty.xml"), CatalogRecord());
  WriteFile(dir / "Broken.xml", "<fileinfo><file FileName=\"x");
  EXPECT_EQ(ReadCatalogTop(dir / "Broken.xml"), CatalogRecord());
  EXPECT_EQ(ReadCatalogTop(dir / "Absent.xml"), CatalogRecord());
}

TEST(AddMediumStates, MarksTheCatalogsOfALibraryListing) {
  TempDir dir;
  FieldViews fields{};
  const auto catalog = [&](const std::string& path, std::string_view id) {
    CatalogTree tree;
    fields[kFileName] = "/m";
    auto* top = tree.AddChild(nullptr, fields);
    if (!id.empty()) top->SetExtra(kVolumeIdAttribute, id);
    top->SetExtra(kScanDateAttribute, "2024-03-01 10:00:00");
    WriteCatalogFile(tree, path, NoProgress());
  };
  catalog(dir / "On.xml", "1111");
  catalog(dir / "Off.xml", "2222");
  catalog(dir / "Old.xml", "");
  WithVolumes volumes({{"/media/on", "ON", "1111"}});
  CatalogTree listing;
  fields[kFileName] = "lib";
  fields[kFileType] = "directory";
  auto* root = listing.AddChild(nullptr, fields);
  fields[kFileType] = "file";
  for (const char* name : {"On.xml", "Off.xml", "Old.xml"}) {
    const std::string path = dir / name;
    fields[kFullPath] = path;
    listing.AddChild(root, fields);
  }
  AddMediumStates(&listing);
  EXPECT_EQ(root->children[0]->Extra(kMediumAttribute), "connected");
  EXPECT_EQ(root->children[0]->Extra(kMediumFolderAttribute), "/media/on");
  EXPECT_EQ(root->children[1]->Extra(kMediumAttribute), "absent");
  // A medium that is not connected says when it was last read; a connected one needs not.
  EXPECT_EQ(root->children[1]->Extra(kLastSeenAttribute), "2024-03-01 10:00:00");
  EXPECT_EQ(root->children[0]->Extra(kLastSeenAttribute), "");
  EXPECT_EQ(root->children[2]->ExtraCount(), 0u);
  EXPECT_EQ(root->ExtraCount(), 0u);

  // The same in steps, as the window takes them: the paths, then the states off its thread.
  EXPECT_EQ(CatalogPathsOf(listing),
            (std::vector<std::string>{dir / "On.xml", dir / "Off.xml", dir / "Old.xml"}));
  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_TRUE(ReadMediumStates(CatalogPathsOf(listing), stopped.get_token()).empty());
  const std::vector<CatalogMedium> media = ReadMediumStates(CatalogPathsOf(listing));
  ASSERT_EQ(media.size(), 2u);  // Old.xml does not say which volume it came from
  EXPECT_EQ(media[1].path, dir / "Off.xml");
  EXPECT_EQ(media[1].state.kind, MediumState::Kind::kAbsent);
}

}  // namespace
}  // namespace lumivor
