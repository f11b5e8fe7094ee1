// Tree nodes store only what cannot be derived; these tests check that every field still reads
// exactly as it was set, through edits, renames, files and trees of any shape.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalog/catalog_edit.h"
#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "catalog/catalog_tree.h"
#include "test_util.h"

namespace lumivor {
namespace {

struct Texts {
  std::string name, path, size, time, ext, type, description, name_length, path_length, share,
      catalog;
  FieldViews Views() const {
    return {name,        path,        size,        time,  ext,    type,
            description, name_length, path_length, share, catalog};
  }
};

// Every field of `node` against `expected`, naming the field that differs.
void ExpectFields(const CatalogTree::Node* node, const FieldViews& expected) {
  for (int i = 0; i < kFieldCount; ++i) {
    EXPECT_EQ(node->Field(i), expected[i]) << FieldNames[i] << " of " << expected[kFileName];
    std::string scratch;
    EXPECT_EQ(node->Field(i, &scratch), expected[i]) << FieldNames[i];
  }
  EXPECT_EQ(node->Record().Fields(), expected);
}

// Texts that look like what a node can pack, and texts that only nearly do.
std::vector<Texts> AwkwardTexts() {
  return {
      {"a.mp3", "/m/a.mp3", "0", "2024-02-29 12:00:01", "mp3", "file", "", "5", "8", "12.50",
       "Cat"},
      {"b.MP3", "/m/b.MP3", "007", "2024-02-30 10:00:00", "mp3", "File", "d", "05", "08", "12.5",
       "Other"},
      {"c", "/m/c", "18446744073709551615", "2024-01-01 00:00:00", "", "directory", "", "1", "4",
       "100", "Cat"},
      {"d.tar.gz", "/m/d.tar.gz", " 12", "2024-01-01", "tar.gz", "", "", "9", "11", "0", ""},
      {"e", "/m/e", "1e3", "1969-12-31 23:59:59", "x", "directory", "", "99", "", "-1.00", "cat"},
      {"f.", "/m/f.", "12345678901234567890", "0099-01-01 01:02:03", "", "file", "", "", "5",
       "0.05", "Cat"},
      {"g", "/m/g", "9999999999999999999", "10000-01-01", "", "file", "", "1", "4", "1.005", "Cat"},
      {"ü.txt", "/m/ü.txt", "-1", "2024-13-01", "txt", "file", "ü", "5", "9", "00.50", "Cat"},
      {"h", "/m/h", "12", "2024-01-01 24:00:00", "", "file", "", "1", "4", ".50", "Cat"},
      {"i", "/m/i", "", "", "", "", "", "", "", "", ""},
  };
}

TEST(CompactRecord, EveryTextReadsBackAsItWasSet) {
  CatalogTree tree;
  Texts top{"/m", "/m", "", "", "", "directory", "", "", "", "100", "Cat"};
  CatalogTree::Node* folder = tree.AddChild(nullptr, top.Views());
  std::vector<std::pair<CatalogTree::Node*, Texts>> added;
  for (const Texts& texts : AwkwardTexts()) {
    added.emplace_back(tree.AddChild(folder, texts.Views()), texts);
  }
  EXPECT_EQ(tree.CatalogName(), "Cat");
  ExpectFields(folder, top.Views());
  for (const auto& [node, texts] : added) ExpectFields(node, texts.Views());
  // The walk that derives every path once reads the same.
  std::size_t index = 0;
  tree.ForEachRecord([&](const CatalogTree::Node* node, const RecordView& view) {
    EXPECT_EQ(view.fields, node->Record().Fields()) << index;
    EXPECT_EQ(view.depth, index == 0 ? 0 : 1);
    ++index;
    return true;
  });
  EXPECT_EQ(index, added.size() + 1);
}

TEST(CompactRecord, NumbersOverwrittenInPlaceReadAsSetAndRefuseWhatDoesNotFit) {
  CatalogTree tree;
  Texts top{"/m", "/m", "", "", "", "directory", "", "", "", "100", "Cat"};
  CatalogTree::Node* folder = tree.AddChild(nullptr, top.Views());
  // "100000" packs into three bytes: room for any percentage.
  Texts file{"a.mp3", "/m/a.mp3", "7",  "2024-02-29 12:00:00", "mp3", "file", "note", "5",
             "8",     "100000",   "Cat"};
  CatalogTree::Node* node = tree.AddChild(folder, file.Views());
  node->SetExtra("LinkId", "1:2");
  for (const char* share : {"12.50", "0", "100.00", "0.01", "16383", "100"}) {
    ASSERT_TRUE(node->OverwriteNumber(kSizePercentage, share)) << share;
    file.share = share;
    ExpectFields(node, file.Views());
    EXPECT_EQ(node->Extra("LinkId"), "1:2");  // what follows the field stays whole
  }
  // The size "7" takes one byte; a larger size or a text does not fit there.
  EXPECT_TRUE(node->OverwriteNumber(kFileSize, "9"));
  file.size = "9";
  EXPECT_FALSE(node->OverwriteNumber(kFileSize, "128"));
  EXPECT_FALSE(node->OverwriteNumber(kSizePercentage, "12.5"));  // kept as text, not packed
  EXPECT_FALSE(node->OverwriteNumber(kSizePercentage, "99999999"));
  EXPECT_FALSE(node->OverwriteNumber(kFileName, "1"));
  EXPECT_FALSE(folder->OverwriteNumber(kFileSize, "1"));  // no number there to overwrite
  ExpectFields(node, file.Views());
  // The catalog written from the overwritten node is the one a freshly built node gives.
  CatalogTree fresh;
  fresh.AddChild(fresh.AddChild(nullptr, top.Views()), file.Views())->SetExtra("LinkId", "1:2");
  EXPECT_EQ(CatalogText(tree), CatalogText(fresh));
}

TEST(CompactRecord, CatalogFilesRoundTripByteForByte) {
  // The file's own name is the catalog name every record reads back with.
  testing::TempDir dir;
  CatalogTree tree;
  Texts top{"/m", "/m", "400", "2020-05-17 10:20:30", "", "directory", "", "2", "2", "100", "Cat"};
  CatalogTree::Node* folder = tree.AddChild(nullptr, top.Views());
  for (Texts texts : AwkwardTexts()) {
    texts.catalog = "Cat";
    CatalogTree::Node* node = tree.AddChild(folder, texts.Views());
    if (texts.name == "c") {
      // Below a folder: paths that follow it, one that does not, one with a leading part of it.
      Texts child{"x.txt", "/m/c/x.txt", "3",  "2021-01-01 08:00:00", "txt", "file", "", "5",
                  "10",    "0.75",       "Cat"};
      tree.AddChild(node, child.Views());
      child.name = "y";
      child.path = "/elsewhere/y";
      tree.AddChild(node, child.Views());
      child.name = "z";
      child.path = "/m/z";
      tree.AddChild(node, child.Views());
    }
  }
  const std::string text = CatalogText(tree);
  testing::WriteFile(dir / "Cat.xml", text);
  CatalogTree loaded = LoadCatalog(dir / "Cat.xml");
  EXPECT_EQ(CatalogText(loaded), text);
  WriteCatalogFile(loaded, dir / "Cat.xml", NoProgress());
  EXPECT_EQ(testing::ReadFile(dir / "Cat.xml"), text);
  EXPECT_NE(text.find("FullPath=\"/elsewhere/y\""), std::string::npos);
  EXPECT_NE(text.find("FullPath=\"/m/z\""), std::string::npos);
  EXPECT_NE(text.find("FileSize=\"007\""), std::string::npos);
  EXPECT_NE(text.find("FileTime=\"2024-01-01 00:00:00\""), std::string::npos);
}

TEST(CompactRecord, PathsThatDoNotFollowTheirParentKeepTheirText) {
  CatalogTree tree;
  auto add = [&](CatalogTree::Node* parent, std::string_view name, std::string_view path) {
    FieldViews fields{};
    fields[kFileName] = name;
    fields[kFullPath] = path;
    fields[kFileType] = kDirectoryType;
    CatalogTree::Node* node = tree.AddChild(parent, fields);
    EXPECT_EQ(node->Field(kFullPath), path) << name;
    EXPECT_EQ(node->Name(), name);
    return node;
  };
  CatalogTree::Node* root = add(nullptr, "/", "/");
  CatalogTree::Node* bin = add(root, "bin", "/bin");  // a root folder: no doubled slash
  add(bin, "ls", "/bin/ls");
  add(root, "odd", "//odd");
  add(root, "", "/");
  add(root, "same", "/");
  add(root, "slash/in", "//slash/in");
  CatalogTree::Node* empty = add(root, "nameless", "");
  add(empty, "below", "/below");  // a parent without a path
  add(empty, "below2", "below2");
  CatalogTree::Node* relative = add(nullptr, "top", "top");
  CatalogTree::Node* deeper = add(relative, "long folder name", "top/long folder name");
  add(deeper, "cut", "top/cut");  // a leading part of the parent's path
  add(deeper, "cut2", "to/cut2");
  add(deeper, "cut3", "top/long folder name/x/cut3");
  add(deeper, "top", "top");
  // Loaded from a file the same way.
  const std::string text = CatalogText(tree);
  CatalogTree loaded;
  ASSERT_TRUE(ReadCatalogText(text, "", &loaded));
  EXPECT_EQ(CatalogText(loaded), text);
}

// Paths as the tree reads them, in pre-order.
std::string Paths(const CatalogTree& tree) {
  std::string out;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    out += node->Field(kFullPath) + " " + node->Field(kPathNameLength) + "\n";
  });
  return out;
}

TEST(CompactRecord, RenamesMoveDerivedAndStoredPathsAlike) {
  CatalogTree tree;
  auto add = [&](CatalogTree::Node* parent, std::string_view name, std::string_view path) {
    FieldViews fields{};
    fields[kFileName] = name;
    fields[kFullPath] = path;
    fields[kFileType] = kDirectoryType;
    const std::string length = std::to_string(CodePointCount(path));
    fields[kPathNameLength] = length;
    return tree.AddChild(parent, fields);
  };
  CatalogTree::Node* top = add(nullptr, "/mnt/Disk", "/mnt/Disk");
  CatalogTree::Node* music = add(top, "Music", "/mnt/Disk/Music");
  CatalogTree::Node* rock = add(music, "Rock", "/mnt/Disk/Music/Rock");
  add(rock, "a.mp3", "/mnt/Disk/Music/Rock/a.mp3");
  add(music, "linked", "/srv/linked");     // stored: not below the old path
  add(music, "short", "/mnt/Disk/short");  // a leading part of the parent's path
  CatalogTree::Node* other = add(top, "Other", "/mnt/Disk/Other");

  ASSERT_TRUE(ApplyEdit(music, kFileName, "Songs"));
  EXPECT_EQ(Paths(tree),
            "/mnt/Disk 9\n"
            "/mnt/Disk/Songs 15\n"
            "/mnt/Disk/Songs/Rock 20\n"
            "/mnt/Disk/Songs/Rock/a.mp3 26\n"
            "/mnt/Disk/Songs/linked 22\n"
            "/mnt/Disk/Songs/short 21\n"
            "/mnt/Disk/Other 15\n");
  EXPECT_EQ(music->Field(kFileNameLength), "5");

  // A path set on its own leaves the paths below reading as they did.
  rock->SetField(kFullPath, "/elsewhere/Rock");
  EXPECT_EQ(rock->children[0]->Field(kFullPath), "/mnt/Disk/Songs/Rock/a.mp3");
  rock->SetField(kFileName, "Jazz");
  EXPECT_EQ(rock->Field(kFullPath), "/elsewhere/Rock");
  EXPECT_EQ(rock->children[0]->Field(kFullPath), "/mnt/Disk/Songs/Rock/a.mp3");
  top->SetRecord(top->Record());
  other->SetField(kDescription, "kept");
  EXPECT_EQ(other->Field(kFullPath), "/mnt/Disk/Other");

  // Renaming the top takes every derived path along.
  RebasePaths(top, "/media/Disk");
  top->SetField(kFileName, "/media/Disk");
  EXPECT_EQ(music->Field(kFullPath), "/media/Disk/Songs");
  // Stored when its folder's path was set on its own, and still below the old top.
  EXPECT_EQ(rock->children[0]->Field(kFullPath), "/media/Disk/Songs/Rock/a.mp3");
  EXPECT_EQ(rock->Field(kFullPath), "/media/Disk/Songs/Jazz");
  EXPECT_EQ(other->Field(kFullPath), "/media/Disk/Other");
  EXPECT_EQ(other->Field(kDescription), "kept");
}

TEST(CompactRecord, AddingAfterChangesAndRemovalsDerivesFromTheCurrentPaths) {
  CatalogTree tree;
  auto add = [&](CatalogTree::Node* parent, std::string_view name, std::string_view path) {
    FieldViews fields{};
    fields[kFileName] = name;
    fields[kFullPath] = path;
    CatalogTree::Node* node = tree.AddChild(parent, fields);
    EXPECT_EQ(node->Field(kFullPath), path);
    return node;
  };
  CatalogTree::Node* top = add(nullptr, "t", "/t");
  CatalogTree::Node* a = add(top, "a", "/t/a");
  add(a, "x", "/t/a/x");
  a->SetField(kFullPath, "/q/a");  // a changes while the tree remembers its old path
  CatalogTree::Node* y = add(a, "y", "/t/a/y");
  CatalogTree::Node* z = add(a, "z", "/q/a/z");
  EXPECT_EQ(a->children[0]->Field(kFullPath), "/t/a/x");
  tree.Remove(a);
  CatalogTree::Node* b = add(top, "b", "/t/b");  // may take a's place in the pool
  add(b, "c", "/t/b/c");
  (void)y;
  (void)z;
  EXPECT_EQ(Paths(tree), "/t \n/t/b \n/t/b/c \n");
}

TEST(CompactRecord, TreesOfOtherCatalogsKeepTheirNamesWhenAppended) {
  auto one = [](std::string_view catalog, std::string_view name) {
    CatalogTree tree;
    FieldViews fields{};
    fields[kFileName] = name;
    fields[kCatalogName] = catalog;
    tree.AddChild(nullptr, fields);
    tree.AddChild(tree.Top(), fields);
    return tree;
  };
  CatalogTree results;
  results.Append(one("Music", "a"));
  results.Append(one("Photos", "b"));
  results.Append(one("", "c"));
  results.Append(one("Music", "d"));
  std::string out;
  results.ForEachRecord([&](const CatalogTree::Node* node, const RecordView& view) {
    EXPECT_EQ(node->Field(kCatalogName), view.fields[kCatalogName]);
    out += std::string(view.fields[kFileName]) + "=" + std::string(view.fields[kCatalogName]) + " ";
    return true;
  });
  EXPECT_EQ(out, "a=Music a=Music b=Photos b=Photos c= c= d=Music d=Music ");
  results.Clear();
  EXPECT_EQ(results.CatalogName(), "");
}

TEST(CompactRecord, DeepTreesDeriveTheirPathsWithoutStoringThem) {
  CatalogTree tree;
  FieldViews fields{};
  fields[kFileName] = "r";
  fields[kFullPath] = "r";
  CatalogTree::Node* node = tree.AddChild(nullptr, fields);
  CatalogTree::Node* top = node;
  std::string path = "r";
  constexpr int kDepth = 20000;
  for (int i = 0; i < kDepth; ++i) {
    path += "/d";
    fields[kFileName] = "d";
    fields[kFullPath] = path;
    node = tree.AddChild(node, fields);
  }
  // Stored, the paths alone would take 400 MB.
  EXPECT_LT(tree.MemoryBytes(), std::size_t(kDepth) * 200);
  EXPECT_EQ(node->Field(kFullPath), path);
  RebasePaths(top, "s");
  EXPECT_EQ(node->Field(kFullPath), "s" + path.substr(1));
  EXPECT_EQ(node->Field(kPathNameLength), std::to_string(path.size()));
  EXPECT_LT(tree.MemoryBytes(), std::size_t(kDepth) * 200);
  // The walk that writes files keeps one copy of the open paths.
  std::size_t longest = 0;
  tree.ForEachRecord([&](const CatalogTree::Node*, const RecordView& view) {
    longest = std::max(longest, view.fields[kFullPath].size());
    return true;
  });
  EXPECT_EQ(longest, path.size());
}

}  // namespace
}  // namespace lumivor
