#include "library/library_storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "catalog/fields.h"
#include "core/errors.h"
#include "core/prompts.h"
#include "library/catalog_enumerator.h"
#include "library/new_catalog_plan.h"
#include "scan/volumes.h"
#include "search/catalog_files.h"
#include "support/fake_volumes.h"
#include "support/scripted_prompts.h"
#include "test_util.h"

namespace lumivor {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// A file of `size` bytes.
void WriteSized(const std::string& path, std::size_t size) {
  WriteFile(path, std::string(size, 'x'));
}

void SetModificationTime(const std::string& path, std::time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// The listing's nodes by FullPath, each with its depth.
struct Listed {
  int depth;
  CatalogRecord record;
};
std::map<std::string, Listed> ByPath(const CatalogTree& tree) {
  std::map<std::string, Listed> nodes;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    nodes[std::string(node->Field(kFullPath))] = {depth, node->Record()};
  });
  return nodes;
}

std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A library root inside a temporary directory, with the items of the example library.
class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_ / "CatalogLibrary";
    fs::create_directories(root_ + "/Mp3");
    fs::create_directories(root_ + "/DVD");
  }
  std::string At(std::string_view relative) const { return root_ + "/" + std::string(relative); }

  TempDir dir_;
  std::string root_;
};

// --- Listing ------------------------------------------------------------------------------------

TEST_F(Library, ListsSizesTimesAndSharesOfGroupsAndCatalogs) {
  WriteSized(At("Mp3/a.xml"), 1000);
  WriteSized(At("b.xml"), 3000);
  // 2020-05-17 10:20:31 local: listed at two-second resolution.
  std::tm local{};
  local.tm_year = 120, local.tm_mon = 4, local.tm_mday = 17;
  local.tm_hour = 10, local.tm_min = 20, local.tm_sec = 31, local.tm_isdst = -1;
  SetModificationTime(At("b.xml"), std::mktime(&local));

  const CatalogTree tree = ListLibrary(root_, false);
  ASSERT_EQ(tree.Size(), 5u);
  ASSERT_EQ(tree.Root()->children.size(), 1u);
  const CatalogRecord& top = tree.Top()->Record();
  EXPECT_EQ(top.Field(kFileName), "CatalogLibrary");
  EXPECT_EQ(top.Field(kFullPath), root_);
  EXPECT_EQ(top.Field(kFileType), "directory");
  EXPECT_EQ(top.Field(kFileSize), "4000");
  EXPECT_EQ(top.Field(kSizePercentage), "100");
  EXPECT_EQ(top.Field(kFileTime), "");

  auto nodes = ByPath(tree);
  const auto expect = [&](const std::string& path, int depth, std::string_view name,
                          std::string_view type, std::string_view size, std::string_view share,
                          std::string_view catalog) {
    ASSERT_EQ(nodes.count(path), 1u) << path;
    const Listed& node = nodes[path];
    EXPECT_EQ(node.depth, depth) << path;
    EXPECT_EQ(node.record.Field(kFileName), name) << path;
    EXPECT_EQ(node.record.Field(kFileType), type) << path;
    EXPECT_EQ(node.record.Field(kFileSize), size) << path;
    EXPECT_EQ(node.record.Field(kSizePercentage), share) << path;
    EXPECT_EQ(node.record.Field(kCatalogName), catalog) << path;
    EXPECT_EQ(node.record.Field(kFileExt), "") << path;
    EXPECT_EQ(node.record.Field(kDescription), "") << path;
  };
  expect(At("Mp3"), 1, "Mp3", "directory", "1000", "25.00", "");
  expect(At("Mp3/a.xml"), 2, "a", "file", "1000", "25.00", "a");
  expect(At("DVD"), 1, "DVD", "directory", "0", "0.00", "");
  expect(At("b.xml"), 1, "b", "file", "3000", "75.00", "b");
  EXPECT_EQ(nodes[At("b.xml")].record.Field(kFileTime), "2020-05-17 10:20:30");
  struct stat st;
  ASSERT_EQ(::stat(At("Mp3").c_str(), &st), 0);
  EXPECT_EQ(nodes[At("Mp3")].record.Field(kFileTime),
            FormatFileTime(st.st_mtime - st.st_mtime % 2));
}

TEST_F(Library, EveryFolderListsGroupsFirstThenCatalogsByName) {
  for (const char* name : {"zeta.xml", "Beta.xml", "alpha.xml", "beta.xml"}) {
    WriteSized(At(name), 1);
  }
  for (const char* name : {"Movie", "book", "Zz", "Book"}) fs::create_directories(At(name));
  WriteSized(At("Mp3/b.xml"), 1);
  WriteSized(At("Mp3/A.xml"), 1);
  const CatalogTree tree = ListLibrary(root_, false);
  std::vector<std::string> top, mp3;
  for (const auto* node : tree.Top()->children) {
    top.emplace_back(node->Field(kFileName));
    if (node->Field(kFileName) == "Mp3") {
      for (const auto* inner : node->children) mp3.emplace_back(inner->Field(kFileName));
    }
  }
  EXPECT_EQ(top, (std::vector<std::string>{"Book", "book", "DVD", "Movie", "Mp3", "Zz", "alpha",
                                           "Beta", "beta", "zeta"}));
  EXPECT_EQ(mp3, (std::vector<std::string>{"A", "b"}));
}

TEST_F(Library, CatalogsAreNamedUpToTheirFirstDotWhateverTheirExtension) {
  WriteSized(At("Mp3/archive.tar.gz"), 10);
  WriteSized(At("Mp3/notes.txt"), 10);
  WriteSized(At("Mp3/plain"), 10);
  fs::create_directories(At("v1.2/Deep/Deeper"));
  WriteSized(At("v1.2/Deep/Deeper/x.y.xml"), 20);

  auto nodes = ByPath(ListLibrary(root_, false));
  EXPECT_EQ(nodes[At("Mp3/archive.tar.gz")].record.Field(kFileName), "archive");
  EXPECT_EQ(nodes[At("Mp3/archive.tar.gz")].record.Field(kCatalogName), "archive");
  EXPECT_EQ(nodes[At("Mp3/notes.txt")].record.Field(kFileName), "notes");
  EXPECT_EQ(nodes[At("Mp3/plain")].record.Field(kFileName), "plain");
  // Groups keep their whole name; sizes add up at every depth.
  EXPECT_EQ(nodes[At("v1.2")].record.Field(kFileName), "v1.2");
  EXPECT_EQ(nodes[At("v1.2")].record.Field(kFileSize), "20");
  EXPECT_EQ(nodes[At("v1.2/Deep/Deeper")].record.Field(kFileSize), "20");
  EXPECT_EQ(nodes[At("v1.2/Deep/Deeper/x.y.xml")].depth, 4);
  EXPECT_EQ(nodes[At("v1.2")].record.Field(kSizePercentage), "40.00");
  EXPECT_EQ(nodes[At("Mp3")].record.Field(kSizePercentage), "60.00");
}

TEST_F(Library, AnEmptyTotalLeavesTheSharesEmpty) {
  WriteSized(At("Mp3/empty.xml"), 0);
  auto nodes = ByPath(ListLibrary(root_, false));
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[root_].record.Field(kFileSize), "0");
  EXPECT_EQ(nodes[root_].record.Field(kSizePercentage), "100");
  for (const auto& [path, node] : nodes) {
    if (path != root_) {
      EXPECT_EQ(node.record.Field(kSizePercentage), "") << path;
    }
  }
}

TEST_F(Library, GroupsOnlyListsDirectoriesWithoutSizes) {
  WriteSized(At("Mp3/a.xml"), 1000);
  WriteSized(At("b.xml"), 3000);
  fs::create_directories(At("Mp3/Live"));
  auto nodes = ByPath(ListLibrary(root_, true));
  ASSERT_EQ(nodes.size(), 4u);
  for (const auto& [path, node] : nodes) {
    EXPECT_EQ(node.record.Field(kFileType), "directory") << path;
    EXPECT_EQ(node.record.Field(kFileSize), "0") << path;
  }
  EXPECT_EQ(nodes[At("Mp3/Live")].depth, 2);
  EXPECT_EQ(nodes[At("Mp3")].record.Field(kSizePercentage), "");
}

TEST_F(Library, MissingRootsListAsTheRootAloneAndLinksDoNotLoop) {
  const CatalogTree missing = ListLibrary(dir_ / "nowhere", false);
  ASSERT_EQ(missing.Size(), 1u);
  EXPECT_EQ(missing.Top()->Field(kFileSize), "0");
  EXPECT_EQ(missing.Top()->Field(kSizePercentage), "100");
  EXPECT_EQ(missing.Top()->Field(kFullPath), dir_ / "nowhere");

  // A link back to the root lists as a group once, without descending again.
  WriteSized(At("Mp3/a.xml"), 5);
  fs::create_directory_symlink(root_, At("Mp3/Back"));
  fs::create_symlink(dir_ / "gone.xml", At("dangling.xml"));
  auto nodes = ByPath(ListLibrary(root_, false));
  ASSERT_EQ(nodes.count(At("Mp3/Back")), 1u);
  EXPECT_EQ(nodes[At("Mp3/Back")].record.Field(kFileType), "directory");
  EXPECT_EQ(nodes.count(At("Mp3/Back/Mp3")), 0u);
  // A dangling link is no catalog: nothing could be read from it.
  EXPECT_EQ(nodes.count(At("dangling.xml")), 0u);
  EXPECT_EQ(nodes[root_].record.Field(kFileSize), "5");
}

// What is a catalog is decided once: the listing, the search and the index see the same files,
// and a FIFO, socket or device is neither listed nor opened (opening a FIFO would wait forever).
TEST_F(Library, OnlyRegularFilesAreCatalogsOnEveryRoute) {
  WriteSized(At("Mp3/a.xml"), 5);
  WriteSized(At("Mp3/.a.xml.tmp-ab12CD"), 3);
  fs::create_symlink(At("Mp3/a.xml"), At("DVD/linked.xml"));
  ASSERT_EQ(::mkfifo(At("Mp3/pipe.xml").c_str(), 0600), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = At("DVD/socket.xml");
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(sock);

  auto nodes = ByPath(ListLibrary(root_, false));
  EXPECT_EQ(nodes.count(At("Mp3/a.xml")), 1u);
  EXPECT_EQ(nodes.count(At("DVD/linked.xml")), 1u);
  EXPECT_EQ(nodes.count(At("Mp3/pipe.xml")), 0u);
  EXPECT_EQ(nodes.count(At("DVD/socket.xml")), 0u);
  EXPECT_EQ(nodes.count(At("Mp3/.a.xml.tmp-ab12CD")), 0u);

  std::vector<CatalogFile> files;
  ASSERT_TRUE(ListCatalogFiles(root_, NoProgress(), {}, &files));
  std::vector<std::string> paths;
  for (const CatalogFile& file : files) paths.push_back(file.relative_path);
  EXPECT_EQ(paths, (std::vector<std::string>{"DVD/linked.xml", "Mp3/a.xml"}));

  std::vector<LibraryItem> groups;
  EnumerateOptions groups_only;
  groups_only.groups_only = true;
  ASSERT_TRUE(EnumerateLibrary(root_, groups_only, &groups));
  for (const LibraryItem& item : groups) EXPECT_TRUE(item.group) << item.relative_path;
}

TEST_F(Library, NewCatalogPlansCheckNamesGroupsAndWhatIsThere) {
  WriteSized(At("Mp3/Old.xml"), 5);
  NewCatalogPlan plan = PlanNewCatalog(root_, "Mp3", "Old");
  EXPECT_TRUE(plan.refusal.empty());
  EXPECT_TRUE(plan.exists);
  EXPECT_EQ(plan.catalog_file, At("Mp3/Old.xml"));
  EXPECT_TRUE(plan.missing_groups.empty());

  plan = PlanNewCatalog(root_, "Mp3/Live/2024", "New");
  EXPECT_FALSE(plan.exists);
  EXPECT_EQ(plan.missing_groups, (std::vector<std::string>{At("Mp3/Live"), At("Mp3/Live/2024")}));
  MakeMissingGroups(plan);
  EXPECT_TRUE(fs::is_directory(At("Mp3/Live/2024")));
  EXPECT_EQ(PlanNewCatalog(root_, "", "Top").catalog_file, At("Top.xml"));

  EXPECT_EQ(PlanNewCatalog(root_, "Mp3/../x", "A").refusal, kInvalidGroup);
  EXPECT_EQ(PlanNewCatalog(root_, "Mp3/", "A").refusal, kInvalidGroup);
  EXPECT_EQ(PlanNewCatalog(root_, "/Mp3", "A").refusal, kInvalidGroup);
  EXPECT_EQ(PlanNewCatalog(root_, "Mp3", "a/b").refusal, kInvalidNameSlash);
  EXPECT_EQ(PlanNewCatalog(root_, "Mp3", std::string(252, 'x')).refusal, kCatalogNameTooLong);
  EXPECT_EQ(NewCatalogRefusal("A/.hidden", "n"), kInvalidGroup);

  std::string group;
  ASSERT_TRUE(GroupBelowLibrary(root_, At("Mp3/Live/"), &group));
  EXPECT_EQ(group, "Mp3/Live");
  ASSERT_TRUE(GroupBelowLibrary(root_ + "/", root_, &group));
  EXPECT_EQ(group, "");
  EXPECT_FALSE(GroupBelowLibrary(root_, dir_ / "elsewhere", &group));
}

TEST(LibraryDrop, AnItemGoesIntoAnyGroupButItselfItsOwnAndWhereItIs) {
  EXPECT_TRUE(CanDropLibraryItem("/l/Mp3/a.xml", "/l/DVD", true));
  EXPECT_TRUE(CanDropLibraryItem("/l/Mp3/Live", "/l", true));
  EXPECT_TRUE(CanDropLibraryItem("/l/Mp3", "/l/Mp3x", true));
  EXPECT_FALSE(CanDropLibraryItem("/l/Mp3/a.xml", "/l/Mp3", true));
  EXPECT_FALSE(CanDropLibraryItem("/l/Mp3/a.xml", "/l/DVD/b.xml", false));
  EXPECT_FALSE(CanDropLibraryItem("/l/Mp3", "/l/Mp3", true));
  EXPECT_FALSE(CanDropLibraryItem("/l/Mp3", "/l/Mp3/Live/", true));
}

TEST(LibraryCreation, CreatesTheDefaultGroupsOnlyForANewRoot) {
  TempDir dir;
  CreateDefaultLibrary(dir / "CatalogLibrary");
  EXPECT_EQ(Names(dir / "CatalogLibrary"),
            (std::vector<std::string>{"Book", "DVD", "Document", "Movie", "Mp3"}));

  fs::create_directory(dir / "Existing");
  CreateDefaultLibrary(dir / "Existing");
  EXPECT_TRUE(Names(dir / "Existing").empty());
  // A missing parent is not created; nothing fails loudly.
  CreateDefaultLibrary(dir / "a/b/CatalogLibrary");
  EXPECT_FALSE(fs::exists(dir / "a"));
}

// --- Deletion -----------------------------------------------------------------------------------

TEST_F(Library, DeletesGroupsWithReadOnlyFilesAndFoldersInside) {
  WriteSized(At("Mp3/Rock/a.xml"), 10);
  WriteSized(At("Mp3/Rock/Live/b.xml"), 10);
  WriteSized(At("Mp3/c.xml"), 10);
  fs::create_directories(At("Mp3/Locked"));
  WriteSized(At("Mp3/Locked/d.xml"), 10);
  WriteSized(At("DVD/keep.xml"), 10);
  ::chmod(At("Mp3/Rock/a.xml").c_str(), 0444);
  ::chmod(At("Mp3/c.xml").c_str(), 0400);
  ::chmod(At("Mp3/Rock/Live").c_str(), 0500);  // read-only folder holding a file
  ::chmod(At("Mp3/Locked").c_str(), 0000);     // no access at all
  ::chmod(At("Mp3").c_str(), 0555);            // the group itself read-only

  DeleteDirectoryTree(At("Mp3"), root_);
  EXPECT_FALSE(fs::exists(At("Mp3")));
  EXPECT_EQ(Names(root_), std::vector<std::string>{"DVD"});
  EXPECT_EQ(ReadFile(At("DVD/keep.xml")), std::string(10, 'x'));

  // Deep groups go without recursion trouble.
  std::string deep = At("DVD");
  for (int i = 0; i < 200; ++i) deep += "/d";
  fs::create_directories(deep);
  WriteSized(deep + "/z.xml", 1);
  DeleteDirectoryTree(At("DVD/d/"), root_);
  EXPECT_EQ(Names(At("DVD")), std::vector<std::string>{"keep.xml"});
}

TEST_F(Library, DeletionNeverLeavesTheLibrary) {
  WriteSized(dir_ / "outside/precious.xml", 7);
  WriteSized(At("Mp3/a.xml"), 7);
  const std::vector<std::string> refused = {
      root_,    root_ + "/",      At("."),          At("Mp3/.."),
      At(".."), At("../outside"), dir_ / "outside", "/",
      "",       "relative/path"};
  for (const std::string& path : refused) {
    EXPECT_THROW(DeleteDirectoryTree(path, root_), LumivorError) << path;
  }
  EXPECT_EQ(ReadFile(dir_ / "outside/precious.xml"), std::string(7, 'x'));
  EXPECT_EQ(ReadFile(At("Mp3/a.xml")), std::string(7, 'x'));

  // A linked group: the link goes, what it points to stays. Links inside a group as well.
  fs::create_directory_symlink(dir_ / "outside", At("Linked"));
  fs::create_directory_symlink(dir_ / "outside", At("Mp3/Inner"));
  DeleteDirectoryTree(At("Linked"), root_);
  DeleteDirectoryTree(At("Mp3"), root_);
  EXPECT_FALSE(fs::exists(fs::symlink_status(At("Linked"))));
  EXPECT_FALSE(fs::exists(At("Mp3")));
  EXPECT_EQ(ReadFile(dir_ / "outside/precious.xml"), std::string(7, 'x'));
}

TEST_F(Library, DeletionFailuresCarryTheSystemsMessage) {
  try {
    DeleteDirectoryTree(At("Missing"), root_);
    ADD_FAILURE() << "no error";
  } catch (const LumivorError& e) {
    EXPECT_NE(std::string(e.what()).find(At("Missing")), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(SystemMessage(ENOENT)), std::string::npos) << e.what();
  }
  WriteSized(At("file.xml"), 1);
  EXPECT_THROW(DeleteDirectoryTree(At("file.xml"), root_), LumivorError);
  EXPECT_TRUE(fs::exists(At("file.xml")));

  // A group the system calls a drive root is never touched.
  WriteSized(At("DVD/disc.xml"), 1);
  const FakeVolumes volumes({{At("DVD"), "Disc"}});
  SetVolumes(&volumes);
  EXPECT_THROW(DeleteDirectoryTree(At("DVD"), root_), LumivorError);
  SetVolumes(nullptr);
  EXPECT_TRUE(fs::exists(At("DVD/disc.xml")));
}

TEST_F(Library, DeletionLeavesMountedFileSystemsAlone) {
  WriteFile(dir_ / "elsewhere/music.mp3", "music");
  WriteFile(At("Mp3/a.xml"), "a");
  fs::create_directories(At("Mp3/Rock/Mounted"));
  // A bind mount shares the device number of what it shows: only the mount table tells.
  if (::mount((dir_ / "elsewhere").c_str(), At("Mp3/Rock/Mounted").c_str(), nullptr, MS_BIND,
              nullptr) != 0) {
    GTEST_SKIP() << "cannot mount here: " << SystemMessage(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{At("Mp3/Rock/Mounted")};

  EXPECT_THROW(DeleteDirectoryTree(At("Mp3"), root_), LumivorError);
  EXPECT_THROW(DeleteDirectoryTree(At("Mp3/Rock/Mounted"), root_), LumivorError);
  EXPECT_EQ(ReadFile(dir_ / "elsewhere/music.mp3"), "music");
  EXPECT_EQ(ReadFile(At("Mp3/a.xml")), "a");  // refused before anything went
}

TEST_F(Library, DeletionReportsWhatPermissionsRefuse) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "running as root: permissions cannot make a removal fail";
  }
  // A group inside a read-only group: emptied, but the group itself cannot go.
  fs::create_directories(At("Mp3/Inner"));
  ::chmod(At("Mp3").c_str(), 0555);
  try {
    DeleteDirectoryTree(At("Mp3/Inner"), root_);
    ADD_FAILURE() << "no error";
  } catch (const LumivorError& e) {
    EXPECT_NE(std::string(e.what()).find(SystemMessage(EACCES)), std::string::npos) << e.what();
  }
  ::chmod(At("Mp3").c_str(), 0755);
}

// --- Creating, renaming and deleting named items
// ---------------------------------------------------

TEST_F(Library, GroupsAreCreatedOnlyUnderAnAcceptableName) {
  LibraryChange change = CreateLibraryGroup(root_, "Rock");
  EXPECT_EQ(change.refusal, "");
  EXPECT_EQ(change.path, At("Rock"));
  EXPECT_TRUE(fs::is_directory(At("Rock")));
  change = CreateLibraryGroup(At("Mp3"), "Live");  // a group inside a group
  EXPECT_EQ(change.refusal, "");
  EXPECT_TRUE(fs::is_directory(At("Mp3/Live")));

  EXPECT_EQ(CreateLibraryGroup(root_, "Mp3").refusal, kNameExists);
  WriteSized(At("Pop"), 1);  // a file of the name is a clash too
  EXPECT_EQ(CreateLibraryGroup(root_, "Pop").refusal, kNameExists);
  const std::pair<std::string, std::string_view> refused[] = {
      {"", kInvalidNameEmpty},
      {".hidden", kInvalidNameDot},
      {"a/b", kInvalidNameSlash},
      {"..", kInvalidNameDot},
      {std::string("a\0b", 3), kInvalidNameNul},
      {std::string(256, 'g'), kInvalidNameTooLong}};
  for (const auto& [name, refusal] : refused) {
    EXPECT_EQ(CreateLibraryGroup(root_, name).refusal, refusal) << name;
  }
  EXPECT_EQ(Names(root_), (std::vector<std::string>{"DVD", "Mp3", "Pop", "Rock"}));

  // The system's refusal travels as an error with its message.
  try {
    (void)CreateLibraryGroup(At("Missing/Deeper"), "New");
    ADD_FAILURE() << "no error";
  } catch (const LumivorError& e) {
    EXPECT_EQ(std::string(e.what()), SystemMessage(ENOENT));
  }
}

TEST_F(Library, RenamesKeepCatalogEndingsAndNeverReplaceAnything) {
  WriteFile(At("Mp3/a.b.xml"), "catalog");
  LibraryChange change = RenameLibraryItem(At("Mp3/a.b.xml"), "Rock", true);
  EXPECT_EQ(change.refusal, "");
  EXPECT_EQ(change.path, At("Mp3/Rock.xml"));
  EXPECT_EQ(ReadFile(At("Mp3/Rock.xml")), "catalog");
  change = RenameLibraryItem(At("Mp3"), "Music", false);
  EXPECT_EQ(change.path, At("Music"));
  EXPECT_EQ(Names(root_), (std::vector<std::string>{"DVD", "Music"}));

  // Clashes with a file or an (empty) directory are refused, and nothing is replaced.
  WriteFile(At("Music/Pop.xml"), "pop");
  EXPECT_EQ(RenameLibraryItem(At("Music/Rock.xml"), "Pop", true).refusal, kNameExists);
  EXPECT_EQ(RenameLibraryItem(At("Music"), "DVD", false).refusal, kNameExists);
  EXPECT_EQ(RenameLibraryItem(At("Music/Rock.xml"), ".Rock", true).refusal, kInvalidNameDot);
  EXPECT_EQ(RenameLibraryItem(At("Music"), "a/b", false).refusal, kInvalidNameSlash);
  // A catalog's file name holds ".xml": 252 bytes are too many for it, not for a group.
  EXPECT_EQ(RenameLibraryItem(At("Music/Rock.xml"), std::string(252, 'r'), true).refusal,
            kInvalidNameTooLong);
  EXPECT_EQ(ReadFile(At("Music/Pop.xml")), "pop");
  EXPECT_EQ(ReadFile(At("Music/Rock.xml")), "catalog");
  EXPECT_TRUE(fs::is_empty(At("DVD")));

  EXPECT_THROW((void)RenameLibraryItem(At("Music/Gone.xml"), "Other", true), LumivorError);
}

TEST_F(Library, DeletesCatalogFilesAndGroupsInsideTheLibraryOnly) {
  WriteFile(At("Mp3/a.xml"), "a");
  WriteFile(At("DVD/Inner/b.xml"), "b");
  WriteFile(dir_ / "outside.xml", "keep");
  DeleteLibraryItem(At("Mp3/a.xml"), root_);
  EXPECT_FALSE(fs::exists(At("Mp3/a.xml")));
  DeleteLibraryItem(At("DVD"), root_);
  EXPECT_FALSE(fs::exists(At("DVD")));
  EXPECT_THROW(DeleteLibraryItem(dir_ / "outside.xml", root_), LumivorError);
  EXPECT_THROW(DeleteLibraryItem(root_, root_), LumivorError);
  EXPECT_EQ(ReadFile(dir_ / "outside.xml"), "keep");
  try {
    DeleteLibraryItem(At("Mp3/gone.xml"), root_);
    ADD_FAILURE() << "no error";
  } catch (const LumivorError& e) {
    EXPECT_NE(std::string(e.what()).find(At("Mp3/gone.xml")), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(SystemMessage(ENOENT)), std::string::npos) << e.what();
  }
}

// --- Moves --------------------------------------------------------------------------------------

TEST_F(Library, MovesCatalogsAndGroupsIntoOtherGroups) {
  ScriptedPrompts prompts;
  WriteFile(At("a.xml"), "catalog a");
  WriteFile(At("Mp3/Rock/b.xml"), "catalog b");

  MoveResult result = MoveLibraryItem(At("a.xml"), At("DVD"), root_, prompts);
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.message, "");
  EXPECT_EQ(ReadFile(At("DVD/a.xml")), "catalog a");
  EXPECT_FALSE(fs::exists(At("a.xml")));

  result = MoveLibraryItem(At("Mp3/Rock/"), At("DVD"), root_, prompts);
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_EQ(ReadFile(At("DVD/Rock/b.xml")), "catalog b");
  EXPECT_FALSE(fs::exists(At("Mp3/Rock")));

  // Back to the root, and into a group that does not exist yet.
  EXPECT_TRUE(MoveLibraryItem(At("DVD/a.xml"), root_, root_, prompts).success);
  EXPECT_TRUE(MoveLibraryItem(At("a.xml"), At("New/Sub"), root_, prompts).success);
  EXPECT_EQ(ReadFile(At("New/Sub/a.xml")), "catalog a");
  // Into the group it is already in: nothing to do.
  EXPECT_TRUE(MoveLibraryItem(At("New/Sub/a.xml"), At("New/Sub"), root_, prompts).success);
  EXPECT_EQ(ReadFile(At("New/Sub/a.xml")), "catalog a");
  EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(Library, MovesThatCannotWorkMoveNothing) {
  ScriptedPrompts prompts;
  WriteFile(At("Mp3/Rock/b.xml"), "b");
  WriteFile(dir_ / "outside.xml", "o");
  struct Case {
    std::string source, target;
  };
  const std::vector<Case> cases = {
      {At("Mp3"), At("Mp3")},               // into itself
      {At("Mp3"), At("Mp3/Rock")},          // into its own group
      {At("Mp3/"), At("Mp3/Rock/Sub")},     // into a group it would create inside itself
      {dir_ / "outside.xml", At("DVD")},    // not a library item
      {At("Mp3/Rock/b.xml"), dir_.Path()},  // out of the library
      {root_, At("DVD")},                   // the root itself
      {At("missing.xml"), At("DVD")},       // nothing there
  };
  for (const Case& c : cases) {
    const MoveResult result = MoveLibraryItem(c.source, c.target, root_, prompts);
    EXPECT_FALSE(result.success) << c.source << " -> " << c.target;
    EXPECT_FALSE(result.message.empty()) << c.source << " -> " << c.target;
  }
  const MoveResult missing = MoveLibraryItem(At("missing.xml"), At("DVD"), root_, prompts);
  EXPECT_NE(missing.message.find(SystemMessage(ENOENT)), std::string::npos) << missing.message;
  EXPECT_EQ(ReadFile(At("Mp3/Rock/b.xml")), "b");
  EXPECT_EQ(ReadFile(dir_ / "outside.xml"), "o");
  EXPECT_FALSE(fs::exists(At("Mp3/Rock/Sub")));
  EXPECT_TRUE(Names(At("DVD")).empty());
  EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(Library, AnItemOfTheSameNameIsReplacedOnlyWhenTheUserSaysYes) {
  ScriptedPrompts prompts;
  WriteFile(At("Mp3/a.xml"), "new");
  WriteFile(At("DVD/a.xml"), "old");

  prompts.yes_no_answers = {false};
  MoveResult result = MoveLibraryItem(At("Mp3/a.xml"), At("DVD"), root_, prompts);
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.message, "");
  ASSERT_EQ(prompts.shown.size(), 1u);
  EXPECT_EQ(prompts.shown[0].caption, "Warning");
  EXPECT_EQ(prompts.shown[0].text,
            "An item with the same name already exists in the target group. Replace it?");
  EXPECT_TRUE(prompts.shown[0].question);
  EXPECT_EQ(ReadFile(At("Mp3/a.xml")), "new");
  EXPECT_EQ(ReadFile(At("DVD/a.xml")), "old");

  prompts.yes_no_answers = {true};
  result = MoveLibraryItem(At("Mp3/a.xml"), At("DVD"), root_, prompts);
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_EQ(ReadFile(At("DVD/a.xml")), "new");
  EXPECT_FALSE(fs::exists(At("Mp3/a.xml")));
  EXPECT_EQ(Names(At("DVD")), std::vector<std::string>{"a.xml"});  // nothing set aside remains

  // A group replaces a group of the same name as a whole, not merged into it.
  WriteFile(At("Mp3/Live/x.xml"), "x");
  WriteFile(At("DVD/Live/y.xml"), "y");
  ::chmod(At("DVD/Live").c_str(), 0500);
  prompts.yes_no_answers = {true};
  result = MoveLibraryItem(At("Mp3/Live"), At("DVD"), root_, prompts);
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_EQ(Names(At("DVD/Live")), std::vector<std::string>{"x.xml"});
  EXPECT_EQ(Names(At("DVD")), (std::vector<std::string>{"Live", "a.xml"}));

  // The group holding the item cannot be replaced by it.
  WriteFile(At("Book/Book/z.xml"), "z");
  result = MoveLibraryItem(At("Book/Book"), root_, root_, prompts);
  EXPECT_FALSE(result.success);
  EXPECT_FALSE(result.message.empty());
  EXPECT_EQ(ReadFile(At("Book/Book/z.xml")), "z");
}

// A directory on another file system than the temporary directory, or empty.
std::string OtherFileSystemDirectory(const std::string& here) {
  struct stat here_stat, other_stat;
  if (::stat(here.c_str(), &here_stat) != 0) return {};
  for (const char* candidate : {"/dev/shm", "/run/user", "/var/tmp", "/run"}) {
    if (::stat(candidate, &other_stat) == 0 && S_ISDIR(other_stat.st_mode) &&
        other_stat.st_dev != here_stat.st_dev && ::access(candidate, W_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

TEST_F(Library, MovesAcrossFileSystemsCopyThenRemove) {
  const std::string other_base = OtherFileSystemDirectory(dir_.Path());
  if (other_base.empty()) {
    GTEST_SKIP() << "no writable directory on another file system than " << dir_.Path();
  }
  std::string pattern = other_base + "/lumivor-move-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::string other = pattern;
  struct Cleanup {
    std::string path;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } cleanup{other};
  // A group of the library that lives on the other file system.
  fs::create_directory_symlink(other, At("External"));

  WriteFile(At("Mp3/Rock/a.xml"), "catalog a");
  WriteFile(At("Mp3/Rock/Live/b.xml"), "catalog b");
  fs::create_symlink("a.xml", At("Mp3/Rock/link.xml"));
  ::chmod(At("Mp3/Rock/a.xml").c_str(), 0440);
  SetModificationTime(At("Mp3/Rock/a.xml"), 1600000000);
  SetModificationTime(At("Mp3/Rock/Live"), 1500000000);
  ::chmod(At("Mp3/Rock/Live").c_str(), 0500);

  ScriptedPrompts prompts;
  MoveResult result = MoveLibraryItem(At("Mp3/Rock"), At("External"), root_, prompts);
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_EQ(result.message, "");
  EXPECT_FALSE(fs::exists(At("Mp3/Rock")));
  EXPECT_EQ(Names(other), std::vector<std::string>{"Rock"});
  EXPECT_EQ(ReadFile(other + "/Rock/a.xml"), "catalog a");
  EXPECT_EQ(ReadFile(other + "/Rock/Live/b.xml"), "catalog b");
  EXPECT_EQ(fs::read_symlink(other + "/Rock/link.xml"), "a.xml");
  struct stat st;
  ASSERT_EQ(::stat((other + "/Rock/a.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0440u);
  EXPECT_EQ(st.st_mtime, 1600000000);
  ASSERT_EQ(::stat((other + "/Rock/Live").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0500u);
  EXPECT_EQ(st.st_mtime, 1500000000);

  // And back, replacing an item of the same name after a Yes.
  WriteFile(At("Mp3/Rock/old.xml"), "old");
  prompts.yes_no_answers = {true};
  result = MoveLibraryItem(At("External/Rock"), At("Mp3"), root_, prompts);
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_EQ(prompts.shown.size(), 1u);
  EXPECT_EQ(Names(At("Mp3/Rock")), (std::vector<std::string>{"Live", "a.xml", "link.xml"}));
  EXPECT_TRUE(Names(other).empty());
  EXPECT_EQ(Names(At("Mp3")), std::vector<std::string>{"Rock"});
}

// --- Names and paths ----------------------------------------------------------------------------

TEST(LibraryNames, RefusesNamesThatLeaveTheGroupOrHideTheItem) {
  for (std::string_view name : {"", ".", "..", "...", ".hidden", "a/b", "/", "../x"}) {
    EXPECT_FALSE(IsValidLibraryName(name)) << name;
  }
  EXPECT_FALSE(IsValidLibraryName(std::string_view("a\0b", 3)));
  for (std::string_view name : {" Rock ", "a.b", "a.", "Ünïcödé", "a\\b"}) {
    EXPECT_TRUE(IsValidLibraryName(name)) << name;
  }
}

TEST(LibraryNames, ResultingPathsAndTheClashTest) {
  EXPECT_EQ(GroupPath("/lib/CatalogLibrary", "NewGroup"), "/lib/CatalogLibrary/NewGroup");
  EXPECT_EQ(GroupPath("/lib/CatalogLibrary/", " x "), "/lib/CatalogLibrary/ x ");
  EXPECT_EQ(CatalogFilePath("/lib/CatalogLibrary/Mp3", "Rock"), "/lib/CatalogLibrary/Mp3/Rock.xml");
  EXPECT_EQ(RenamedGroupPath("/lib/CatalogLibrary/Mp3/Old/", "New"), "/lib/CatalogLibrary/Mp3/New");
  EXPECT_EQ(RenamedCatalogPath("/lib/CatalogLibrary/Mp3/a.b.xml", "c"),
            "/lib/CatalogLibrary/Mp3/c.xml");

  TempDir dir;
  fs::create_directory(dir / "Mp3");
  WriteFile(dir / "Rock.xml", "");
  EXPECT_EQ(CheckLibraryName("Mp3", GroupPath(dir.Path(), "Mp3")), kNameExists);
  EXPECT_EQ(CheckLibraryName("Rock", CatalogFilePath(dir.Path(), "Rock")), kNameExists);
  // A group may not take a catalog file's name, nor a catalog a group's.
  EXPECT_EQ(CheckLibraryName("Rock.xml", GroupPath(dir.Path(), "Rock.xml")), kNameExists);
  EXPECT_EQ(CheckLibraryName("Pop", CatalogFilePath(dir.Path(), "Pop")), "");
  EXPECT_EQ(CheckLibraryName("..", GroupPath(dir.Path(), "..")), kInvalidNameDot);
  EXPECT_EQ(kNameExists, "A file with the name already exists!");
  EXPECT_EQ(kInvalidName, "Invalid name.");
}

TEST(LibraryNames, DisplayPathsAndTrailingSlashes) {
  EXPECT_EQ(LibraryDisplayPath("/opt/lumivor/CatalogLibrary/Mp3/Rock.xml"),
            "CatalogLibrary/Mp3/Rock");
  EXPECT_EQ(LibraryDisplayPath("/data/Music.2009.xml"), "/data/Music.2009.xml");
  EXPECT_EQ(LibraryDisplayPath("/opt/cataloglibrary/a.xml"), "/opt/cataloglibrary/a.xml");
  EXPECT_EQ(LibraryDisplayPath("/x/CatalogLibrary/v1.2/plain"), "CatalogLibrary/v1.2/plain");
  EXPECT_EQ(LibraryDisplayPath("/x/CatalogLibrary/a.tar.gz"), "CatalogLibrary/a.tar");
  EXPECT_EQ(LibraryDisplayPath("/x/CatalogLibrary"), "CatalogLibrary");
  // The group a catalog lies in, as shown beside a search result.
  EXPECT_EQ(CatalogGroupDisplayPath("/opt/CatalogLibrary/Mp3/Rock.xml"), "CatalogLibrary/Mp3");
  EXPECT_EQ(CatalogGroupDisplayPath("/x/CatalogLibrary/v1.2/Disk.xml"), "CatalogLibrary/v1.2");
  EXPECT_EQ(CatalogGroupDisplayPath("/x/CatalogLibrary/Top.xml"), "CatalogLibrary");
  EXPECT_EQ(CatalogGroupDisplayPath("/data/old/Music.2009.xml"), "/data/old");
  EXPECT_EQ(CatalogGroupDisplayPath("/Disk.xml"), "/");

  EXPECT_EQ(WithTrailingBackslash("/a"), "/a/");
  EXPECT_EQ(WithTrailingBackslash("/a/"), "/a/");
  EXPECT_EQ(WithTrailingBackslash(""), "/");
  EXPECT_EQ(WithoutTrailingBackslash("/a/"), "/a");
  EXPECT_EQ(WithoutTrailingBackslash("/a//"), "/a/");
  EXPECT_EQ(WithoutTrailingBackslash("/a"), "/a");
  EXPECT_EQ(WithoutTrailingBackslash("/"), "/");
}

}  // namespace
}  // namespace lumivor
