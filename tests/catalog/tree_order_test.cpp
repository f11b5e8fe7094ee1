#include "catalog/tree_order.h"

#include <gtest/gtest.h>

#include <stop_token>
#include <string>
#include <vector>

#include "catalog/fields.h"

namespace lumivor {
namespace {

CatalogRecord Entry(std::string_view name, std::string_view type, std::string_view size = {},
                    std::string_view time = {}) {
  FieldViews fields{};
  fields[kFileName] = name;
  fields[kFileType] = type;
  fields[kFileSize] = size;
  fields[kFileTime] = time;
  return CatalogRecord(fields);
}

std::string Children(const CatalogTree::Node* folder) {
  std::string out;
  for (std::size_t i = 0; i < folder->children.size(); ++i) {
    const CatalogTree::Node* child = folder->children[i];
    EXPECT_EQ(child->row, i);  // rows follow the new order
    out += std::string(child->Field(kFileName)) + " ";
  }
  return out;
}

TEST(TreeOrder, DirectoriesFirstBothWaysAndTiesKeepTheirOrder) {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Entry("top", "directory"));
  tree.AddChild(top, Entry("b.txt", "file", "10", "2020-01-01 00:00:00"));
  tree.AddChild(top, Entry("Zed", "directory", "", "2019-01-01 00:00:00"));
  tree.AddChild(top, Entry("A.txt", "file", "9", "2021-01-01 00:00:00"));
  tree.AddChild(top, Entry("c.txt", "file", "10", ""));
  tree.AddChild(top, Entry("alpha", "directory"));

  SortChildren(top, {kFileName, {}, true});  // case folded
  EXPECT_EQ(Children(top), "alpha Zed A.txt b.txt c.txt ");
  SortChildren(top, {kFileName, {}, false});
  EXPECT_EQ(Children(top), "Zed alpha c.txt b.txt A.txt ");
  // Sizes as numbers; the two of 10 bytes keep the order they had.
  SortChildren(top, {kFileSize, {}, true});
  EXPECT_EQ(Children(top), "Zed alpha A.txt c.txt b.txt ");
  // Times: an empty time before every time.
  SortChildren(top, {kFileTime, {}, true});
  EXPECT_EQ(Children(top), "alpha Zed c.txt b.txt A.txt ");
}

TEST(TreeOrder, FurtherAttributesSortByTheirKindAndRecordsWithoutThemComeFirst) {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Entry("top", "directory"));
  auto* long_song = tree.AddChild(top, Entry("long", "file"));
  long_song->SetExtra("Duration", "600.5");
  tree.AddChild(top, Entry("none", "file"));
  auto* short_song = tree.AddChild(top, Entry("short", "file"));
  short_song->SetExtra("Duration", "75");
  SortChildren(top, {0, "Duration", true});  // numbers, not texts: 75 before 600.5
  EXPECT_EQ(Children(top), "none short long ");
  SortChildren(top, {0, "Duration", false});
  EXPECT_EQ(Children(top), "long short none ");
}

TEST(TreeOrder, SortFoldersStopsBetweenFoldersAndSaysHowFarItGot) {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Entry("top", "directory"));
  std::vector<CatalogTree::Node*> folders;
  for (const char* name : {"x", "y"}) {
    auto* folder = tree.AddChild(top, Entry(name, "directory"));
    tree.AddChild(folder, Entry("2", "file"));
    tree.AddChild(folder, Entry("1", "file"));
    folders.push_back(folder);
  }
  EXPECT_EQ(SortFolders(folders, {}), 2u);
  EXPECT_EQ(Children(folders[1]), "1 2 ");
  std::stop_source stop;
  stop.request_stop();
  EXPECT_EQ(SortFolders(folders, {kFileName, {}, false}, stop.get_token()), 0u);
  EXPECT_EQ(Children(folders[0]), "1 2 ");  // untouched
}

TEST(TreeOrder, FileTimeKeysOrderEmptyTimesAndNonTimes) {
  EXPECT_LT(FileTimeSortKey(""), FileTimeSortKey("1970-01-01 00:00:00"));
  EXPECT_LT(FileTimeSortKey("2020-12-31 23:59:59"), FileTimeSortKey("2021-01-01 00:00:00"));
  EXPECT_LT(FileTimeSortKey("2099-01-01 00:00:00"), FileTimeSortKey("not a time"));
}

}  // namespace
}  // namespace lumivor
