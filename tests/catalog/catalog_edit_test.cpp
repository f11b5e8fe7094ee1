#include "catalog/catalog_edit.h"

#include <gtest/gtest.h>

#include <string>

#include "catalog/fields.h"

namespace lumivor {
namespace {

CatalogRecord Record(std::string_view name, std::string_view type, std::string_view path) {
  FieldViews fields{};
  fields[kFileName] = name;
  fields[kFullPath] = path;
  fields[kFileType] = type;
  return CatalogRecord(fields);
}

std::string FieldOf(const CatalogTree::Node* node, int field) {
  return std::string(node->Field(field));
}

TEST(CatalogEdit, StoresTheTextAndItsNameLength) {
  CatalogTree tree;
  auto* node = tree.AddChild(nullptr, Record("old", "file", "old"));
  EXPECT_TRUE(ApplyEdit(node, kDescription, "nice"));
  EXPECT_EQ(FieldOf(node, kDescription), "nice");
  EXPECT_EQ(FieldOf(node, kFileNameLength), "3");
  EXPECT_TRUE(ApplyEdit(node, kFileName, "één"));
  EXPECT_EQ(FieldOf(node, kFileNameLength), "3");  // code points, not bytes

  // Out of range, no node, or the invisible root: nothing changes.
  EXPECT_FALSE(ApplyEdit(node, kFieldCount, "x"));
  EXPECT_FALSE(ApplyEdit(node, -1, "x"));
  EXPECT_FALSE(ApplyEdit(nullptr, kDescription, "x"));
  EXPECT_FALSE(ApplyEdit(tree.Root(), kDescription, "x"));
  EXPECT_EQ(FieldOf(tree.Root(), kDescription), "");
}

TEST(CatalogEdit, RenameRebasesEveryPathBelow) {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Record("/mnt/Data", "directory", "/mnt/Data"));
  auto* sub = tree.AddChild(top, Record("sub", "directory", "/mnt/Data/sub"));
  auto* a = tree.AddChild(top, Record("a.txt", "file", "/mnt/Data/a.txt"));
  auto* b = tree.AddChild(sub, Record("bé.txt", "file", "/mnt/Data/sub/bé.txt"));
  // A path that does not lie below its folder's is rebuilt from the folder's new path.
  auto* odd = tree.AddChild(sub, Record("odd", "file", "elsewhere/odd"));
  // A sibling whose path merely starts with the same letters is not below the folder.
  auto* near = tree.AddChild(top, Record("sub2", "directory", "/mnt/Data/sub2"));
  ApplyEdit(top, kFileName, "/mnt/Archive");
  EXPECT_EQ(FieldOf(top, kFullPath), "/mnt/Archive");
  EXPECT_EQ(FieldOf(top, kFileNameLength), "12");
  EXPECT_EQ(FieldOf(a, kFullPath), "/mnt/Archive/a.txt");
  EXPECT_EQ(FieldOf(a, kPathNameLength), "18");
  EXPECT_EQ(FieldOf(b, kFullPath), "/mnt/Archive/sub/bé.txt");
  EXPECT_EQ(FieldOf(b, kPathNameLength), "23");  // code points
  EXPECT_EQ(FieldOf(odd, kFullPath), "/mnt/Archive/sub/odd");
  // A child renamed: its path is its parent's plus the new name; siblings keep theirs.
  ApplyEdit(sub, kFileName, "inner");
  EXPECT_EQ(FieldOf(sub, kFullPath), "/mnt/Archive/inner");
  EXPECT_EQ(FieldOf(b, kFullPath), "/mnt/Archive/inner/bé.txt");
  EXPECT_EQ(FieldOf(a, kFullPath), "/mnt/Archive/a.txt");
  EXPECT_EQ(FieldOf(near, kFullPath), "/mnt/Archive/sub2");
}

TEST(CatalogEdit, ATopLevelResultTakesTheBareName) {
  CatalogTree tree;
  auto* hit = tree.AddChild(nullptr, Record("x.mp3", "file", "/music/x.mp3"));
  RebasePaths(hit, "y.mp3");
  EXPECT_EQ(FieldOf(hit, kFullPath), "y.mp3");
  EXPECT_EQ(FieldOf(hit, kPathNameLength), "5");
}

TEST(CatalogEdit, DeepTreesAreRenamedWithoutRecursion) {
  CatalogTree tree;
  CatalogTree::Node* node = tree.AddChild(nullptr, Record("r", "directory", "r"));
  CatalogTree::Node* top = node;
  std::string path = "r";
  for (int i = 0; i < 20000; ++i) {
    path += "/d";
    node = tree.AddChild(node, Record("d", "directory", path));
  }
  RebasePaths(top, "s");
  EXPECT_EQ(FieldOf(node, kFullPath).substr(0, 4), "s/d/");
  EXPECT_EQ(FieldOf(node, kFullPath).size(), path.size());
}

}  // namespace
}  // namespace lumivor

namespace lumivor {
namespace {

TEST(CatalogEditRules, NamesThatCannotBeFolderEntriesAreRefused) {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Record("/media/Data", "directory", "/media/Data"));
  auto* folder = tree.AddChild(top, Record("ada", "directory", "/media/Data/ada"));
  auto* file = tree.AddChild(folder, Record("a.m4", "file", "/media/Data/ada/a.m4"));
  // Each refusal says why.
  const std::pair<std::string, std::string_view> refused[] = {
      {"", "Invalid name. The name is empty."},
      {".", "Invalid name. \".\" and \"..\" cannot name an entry of a folder."},
      {"..", "Invalid name. \".\" and \"..\" cannot name an entry of a folder."},
      {"a/b", "Invalid name. A name cannot hold a \"/\"."},
      {"b/", "Invalid name. A name cannot hold a \"/\"."},
      {std::string("x\0y", 3), "Invalid name. A name cannot hold a NUL character."},
      {std::string(256, 'n'), "Invalid name. The name is too long for the file system."},
      {std::string(1000, 'n'), "Invalid name. The name is too long for the file system."}};
  for (const auto& [bad, reason] : refused) {
    EXPECT_EQ(EditRefusal(file, kFileName, bad), reason) << bad.size();
    EXPECT_FALSE(ApplyEdit(file, kFileName, bad));
  }
  EXPECT_EQ(FieldOf(file, kFileName), "a.m4");
  EXPECT_EQ(FieldOf(file, kFullPath), "/media/Data/ada/a.m4");
  // The longest name a folder can hold is fine, and so are blanks and dots inside a name.
  EXPECT_EQ(EditRefusal(file, kFileName, std::string(255, 'n')), "");
  EXPECT_EQ(EditRefusal(file, kFileName, " .. "), "");
  // The top record is the scanned folder's path: slashes belong to it.
  EXPECT_EQ(EditRefusal(top, kFileName, "/media/Archive"), "");
  EXPECT_EQ(EditRefusal(top, kFileName, ""), kInvalidNameEmpty);
  EXPECT_EQ(EditRefusal(top, kFileName, std::string(4096, 'p')), kInvalidNameTooLong);
  // Descriptions take any text.
  EXPECT_EQ(EditRefusal(file, kDescription, ""), "");
  EXPECT_EQ(EditRefusal(file, kDescription, "a/b/.."), "");
}

TEST(CatalogEditRules, ARenamedFilesExtensionFollowsItsName) {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Record("/d", "directory", "/d"));
  auto* file = tree.AddChild(top, Record("expat.m4", "file", "/d/expat.m4"));
  file->SetField(kFileExt, "m4");
  auto* folder = tree.AddChild(top, Record("v1.2", "directory", "/d/v1.2"));
  ASSERT_TRUE(ApplyEdit(file, kFileName, "x.txt"));
  EXPECT_EQ(FieldOf(file, kFileExt), "txt");
  ASSERT_TRUE(ApplyEdit(file, kFileName, "Makefile"));
  EXPECT_EQ(FieldOf(file, kFileExt), "");
  // A folder has no extension, whatever its name.
  ASSERT_TRUE(ApplyEdit(folder, kFileName, "v2.0"));
  EXPECT_EQ(FieldOf(folder, kFileExt), "");
  // A description leaves the extension alone.
  file->SetField(kFileExt, "kept");
  ASSERT_TRUE(ApplyEdit(file, kDescription, "notes.pdf"));
  EXPECT_EQ(FieldOf(file, kFileExt), "kept");
}

}  // namespace
}  // namespace lumivor
