#include "scan/scanner.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <new>

#include "catalog/catalog_file.h"
#include "core/errors.h"
#include "library/library_storage.h"
#include "scan/local_time_converter.h"
#include "scan/volumes.h"
#include "support/child_process.h"
#include "support/fake_volumes.h"
#include "support/recording_progress.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::TempDir;
using testing::WriteFile;

// One line per record in pre-order: depth, FullPath, FileSize, FileType, FileExt,
// SizePercentage.
std::string Outline(const CatalogTree& tree) {
  std::string out;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    const CatalogRecord& r = node->Record();
    out += std::to_string(depth) + " " + std::string(r.Field(kFullPath)) + " [" +
           std::string(r.Field(kFileSize)) + " " + std::string(r.Field(kFileType)) + " " +
           std::string(r.Field(kFileExt)) + " " + std::string(r.Field(kSizePercentage)) + "]\n";
  });
  return out;
}

// The records by FullPath.
std::map<std::string, const CatalogTree::Node*> ByPath(const CatalogTree& tree) {
  std::map<std::string, const CatalogTree::Node*> records;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    records[std::string(node->Field(kFullPath))] = node;
  });
  return records;
}

void WriteSized(const std::string& path, std::size_t size) {
  WriteFile(path, std::string(size, 'x'));
}

// Sorts every folder's children by name, so that outlines do not depend on listing order.
void SortByName(CatalogTree& tree) {
  tree.SortAll([](const CatalogTree::Node* a, const CatalogTree::Node* b) {
    return a->Field(kFileName) < b->Field(kFileName);
  });
}

CatalogTree Scan(const std::string& path, bool only_folders = false, std::string filter = "",
                 std::string catalog = "/lib/Disk.xml") {
  CatalogTree tree;
  ScanFolder(&tree, path, only_folders, filter, catalog);
  SortByName(tree);
  return tree;
}

// Runs `body` in a child process (as the unprivileged user when `as_nobody`) and returns what
// it returned, or "SKIP: reason" when the child could not be set up.
std::string InChild(bool as_nobody, const std::function<std::string()>& body) {
  return testing::RunInChild([&]() -> std::string {
    if (as_nobody &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      return "SKIP: cannot drop privileges";
    }
    return body();
  });
}

TEST(ExtensionOf, TakesTheTextAfterTheLastDotOfTheLastComponent) {
  EXPECT_EQ(ExtensionOf("c.tar.gz"), "gz");
  EXPECT_EQ(ExtensionOf("/music/a.b/c"), "");
  EXPECT_EQ(ExtensionOf("/docs/.txt"), "txt");
  EXPECT_EQ(ExtensionOf("/docs/Makefile"), "");
  EXPECT_EQ(ExtensionOf("trailing."), "");
  EXPECT_EQ(ExtensionOf("Photo.JPG"), "JPG");
}

TEST(ExtFilter, MatchesWholeUpperCasedExtensionsOnly) {
  const std::string filter = "\\.TXT\\.DOC\\";
  EXPECT_TRUE(PassesExtFilter("README.txt", filter));
  EXPECT_TRUE(PassesExtFilter("NOTES.TXT", filter));
  EXPECT_TRUE(PassesExtFilter("letter.Doc", filter));
  EXPECT_TRUE(PassesExtFilter(".txt", filter));
  EXPECT_FALSE(PassesExtFilter("archive.txt.gz", filter));
  EXPECT_FALSE(PassesExtFilter("Makefile", filter));
  EXPECT_FALSE(PassesExtFilter("a.tx", filter));
  EXPECT_FALSE(PassesExtFilter("a.docx", filter));
  // A backslash in an extension must not let it straddle two entries of the filter.
  const std::string straddled = "\\.TXT\\X\\";
  EXPECT_FALSE(PassesExtFilter("b.txt\\x", straddled));
  EXPECT_TRUE(PassesExtFilter("b.txt", straddled));
  EXPECT_TRUE(PassesExtFilter("anything", ""));
  // Only a-z are upper-cased, as the filter is built.
  EXPECT_FALSE(PassesExtFilter("a.\xC3\xA9", "\\.\xC3\x89\\"));
  EXPECT_TRUE(PassesExtFilter("a.\xC3\xA9", "\\.\xC3\xA9\\"));
  // Entries of every length, a text cut after its last backslash, extensions longer or shorter
  // than any entry.
  const ExtensionFilter set("\\.C\\.JPEG\\.H\\.MP");
  EXPECT_FALSE(set.TakesAll());
  for (const char* name : {"a.c", "b.jpeg", "b.Jpeg", "c.H"}) EXPECT_TRUE(set.Passes(name)) << name;
  // ".MP" has no closing backslash: no entry.
  for (const char* name : {"d.mp", "e.cc", "f.jpg", "g.mpeg", "h.verylongextension", "c"}) {
    EXPECT_FALSE(set.Passes(name)) << name;
  }
  EXPECT_TRUE(ExtensionFilter("").TakesAll());
}

TEST(ExtFilter, EveryWayOfTypingAnExtensionMeansTheSame) {
  for (const char* typed : {"h", ".h", "*.h", "*.H", " *.h\t", "H"}) {
    EXPECT_EQ(NormalizeExtension(typed), "h") << typed;
  }
  EXPECT_EQ(NormalizeExtension("Mp3"), "mp3");
  EXPECT_EQ(NormalizeExtension("*x"), "x");
  // Nothing that could stand after a name's last dot: no extension at all.
  for (const char* typed :
       {"", "  ", "*", ".", "*.", "*.*", "..h", "*..h", "tar.gz", "a/b", "a\\b", "h*", "?"}) {
    EXPECT_EQ(NormalizeExtension(typed), "") << typed;
  }
}

TEST(ExtFilter, AListTypedAtOnceGivesEachExtensionOrOneReasonForRefusingIt) {
  EXPECT_EQ(ParseExtensionList("c, cpp").extensions, (std::vector<std::string>{"c", "cpp"}));
  EXPECT_EQ(ParseExtensionList(" *.C ,, .cpp, c ,").extensions,
            (std::vector<std::string>{"c", "cpp"}));
  EXPECT_TRUE(ParseExtensionList(" , ").extensions.empty());
  EXPECT_TRUE(ParseExtensionList(" , ").refusal.empty());
  // One bad entry refuses the whole list, naming why that entry can never match.
  const ExtensionList dotted = ParseExtensionList("c, tar.gz");
  EXPECT_TRUE(dotted.extensions.empty());
  EXPECT_NE(dotted.refusal.find("\"tar.gz\" can never match"), std::string::npos);
  EXPECT_NE(dotted.refusal.find("is \"gz\""), std::string::npos);
  EXPECT_EQ(ExtensionRefusal("*.tar.gz"), ExtensionRefusal("tar.gz"));
  for (const char* typed : {"*.*", "a/b", "h*", "x."}) {
    EXPECT_EQ(ExtensionRefusal(typed), kInvalidExtension) << typed;
  }
  EXPECT_EQ(ExtensionRefusal("txt"), "");
}

TEST(ExtFilter, IsBuiltFromTheExtensionsAsTyped) {
  EXPECT_EQ(ExtFilterOf({"*.txt", "*.Doc"}), "\\.TXT\\.DOC\\");
  EXPECT_EQ(ExtFilterOf({"*.mp3 ", "   ", "ogg", ".FLAC"}), "\\.MP3\\.OGG\\.FLAC\\");
  EXPECT_EQ(ExtFilterOf({"h", ".h", "*.h", "*.H"}), "\\.H\\");  // one extension, listed once
  EXPECT_EQ(ExtFilterOf({}), "");
  EXPECT_EQ(ExtFilterOf({"  ", "*.*", "*."}), "");
  EXPECT_TRUE(PassesExtFilter("expat.h", ExtFilterOf({"*.h"})));
  EXPECT_FALSE(PassesExtFilter("expat.hh", ExtFilterOf({"*.h"})));
  // A filter entry of a bare dot must not take a name that merely ends in one: it has no
  // extension.
  EXPECT_FALSE(PassesExtFilter("draft.", "\\.\\"));
}

TEST(ScanFolder, RecordsEveryEntryWithItsFields) {
  TempDir dir;
  const std::string root = dir / "Music";
  WriteSized(root + "/a.mp3", 100);
  WriteSized(root + "/Albums/b.ogg", 300);
  WriteSized(root + "/.hidden", 7);
  ::mkdir((root + "/Albums/Empty").c_str(), 0755);
  // An odd second is truncated to the even one below.
  const std::time_t when = 1'700'000'001;
  const timespec times[2] = {{when, 0}, {when, 0}};
  ::utimensat(AT_FDCWD, (root + "/a.mp3").c_str(), times, 0);

  CatalogTree tree;
  RecordingProgress progress;
  const std::string root_name = ScanFolder(&tree, root, false, "", "/lib/Music.2009.xml", progress);
  SortByName(tree);
  EXPECT_EQ(root_name, root);
  EXPECT_EQ(Outline(tree), "0 " + root + " [407 directory  100]\n" +  //
                               "1 " + root + "/.hidden [7 file hidden 1.72]\n" + "1 " + root +
                               "/Albums [300 directory  73.71]\n" + "2 " + root +
                               "/Albums/Empty [0 directory  0.00]\n" + "2 " + root +
                               "/Albums/b.ogg [300 file ogg 73.71]\n" + "1 " + root +
                               "/a.mp3 [100 file mp3 24.57]\n");
  const auto records = ByPath(tree);
  const CatalogTree::Node& top = *records.at(root);
  EXPECT_EQ(top.Field(kFileName), root);
  EXPECT_EQ(top.Field(kFileTime), "");
  EXPECT_EQ(top.Field(kFileNameLength), "");
  EXPECT_EQ(top.Field(kCatalogName), "Music");
  const CatalogTree::Node& file = *records.at(root + "/a.mp3");
  EXPECT_EQ(file.Field(kFileName), "a.mp3");
  EXPECT_EQ(file.Field(kFileTime), FormatFileTime(when - 1));
  EXPECT_EQ(file.Field(kFileNameLength), "5");
  EXPECT_EQ(file.Field(kPathNameLength), std::to_string(root.size() + 6));
  EXPECT_EQ(file.Field(kCatalogName), "Music");
  EXPECT_EQ(file.Field(kDescription), "");
  tree.ForEachPreOrder(
      [](const CatalogTree::Node* node, int) { EXPECT_EQ(node->Field(kCatalogName), "Music"); });
  ASSERT_FALSE(progress.events.empty());
  EXPECT_EQ(progress.Texts(), std::vector<std::string>{"Loading info.."});
  EXPECT_FALSE(progress.visible);
  EXPECT_EQ(progress.events.front().text, "cancellable");  // a scan offers Cancel
}

TEST(ScanFolder, ACancelledScanStopsAndLeavesNothing) {
  TempDir dir;
  const std::string root = dir / "r";
  for (int i = 0; i < 20; ++i) WriteSized(root + "/f" + std::to_string(i) + "/x/a.txt", 10);
  // Plays the user who presses Cancel as the scan enters its folder number `after`.
  struct CancelInFolder final : ScanListener {
    explicit CancelInFolder(int folder) : after(folder) {}
    void FolderEntered(std::size_t, std::string_view) override {
      if (entered++ == after) stop.request_stop();
    }
    std::stop_source stop;
    int after;
    int entered = 0;
  };
  for (int after : {0, 1, 5, 30}) {
    RecordingProgress progress;
    CancelInFolder cancel(after);
    CatalogTree tree;
    ScanReport report;
    ScanFolder(&tree, root, false, "", "/lib/Disk.xml", progress, &cancel, &report, {},
               cancel.stop.get_token());
    EXPECT_TRUE(report.cancelled) << after;
    EXPECT_TRUE(tree.Empty()) << after;
    EXPECT_FALSE(progress.visible);
    // The walk entered no folder after the one where Cancel was pressed.
    EXPECT_EQ(cancel.entered, after + 1);
  }
  // Never cancelled: every folder is there and the report says so.
  RecordingProgress progress;
  CatalogTree tree;
  ScanReport report;
  ScanFolder(&tree, root, false, "", "/lib/Disk.xml", progress, nullptr, &report);
  EXPECT_FALSE(report.cancelled);
  EXPECT_EQ(report.unreadable_folders, 0u);
  EXPECT_EQ(tree.Size(), 61u);
}

TEST(ScanFolder, NamesAndTimesAreRecordedAsTheyAre) {
  TempDir dir;
  const std::string root = dir / "d";
  WriteFile(root + "/M\xC3\xBCller.txt", "");
  WriteFile(root + "/bad\xFFname", "");
  WriteFile(root + "/old", "");
  const timespec epoch[2] = {{0, 0}, {0, 0}};
  ::utimensat(AT_FDCWD, (root + "/old").c_str(), epoch, 0);
  const auto tree = Scan(root);
  const auto records = ByPath(tree);
  const CatalogTree::Node& umlaut = *records.at(root + "/M\xC3\xBCller.txt");
  EXPECT_EQ(umlaut.Field(kFileNameLength), "10");
  EXPECT_EQ(umlaut.Field(kPathNameLength), std::to_string(root.size() + 11));
  // A name that is not UTF-8 is stored cleaned, and its lengths are those of the stored text.
  const CatalogTree::Node& bad = *records.at(root + "/bad\xEF\xBF\xBDname");
  EXPECT_EQ(bad.Field(kFileName), "bad\xEF\xBF\xBDname");
  EXPECT_EQ(bad.Field(kFileNameLength), "8");
  EXPECT_EQ(records.at(root + "/old")->Field(kFileTime), "");
}

TEST(ScanFolder, SharesOfTheCatalogTotal) {
  TempDir dir;
  WriteSized(dir / "x/a", 100);
  WriteSized(dir / "x/b", 300);
  const auto tree = Scan(dir / "x");
  const auto records = ByPath(tree);
  EXPECT_EQ(records.at(dir / "x")->Field(kFileSize), "400");
  EXPECT_EQ(records.at(dir / "x")->Field(kSizePercentage), "100");
  EXPECT_EQ(records.at(dir / "x/a")->Field(kSizePercentage), "25.00");
  EXPECT_EQ(records.at(dir / "x/b")->Field(kSizePercentage), "75.00");
}

TEST(ScanFolder, EmptyFolderGivesTheTopRecordAlone) {
  TempDir dir;
  ::mkdir((dir / "empty").c_str(), 0755);
  const auto tree = Scan(dir / "empty");
  EXPECT_EQ(Outline(tree), "0 " + dir / "empty" + " [0 directory  100]\n");
}

TEST(ScanFolder, MissingFolderGivesTheTopRecordAndReplacesTheOldTree) {
  TempDir dir;
  WriteFile(dir / "f", "abc");
  CatalogTree tree;
  ScanFolder(&tree, dir.Path(), false, "", "/lib/A.xml");
  EXPECT_EQ(tree.Size(), 2u);
  ScanFolder(&tree, dir / "missing", false, "", "/lib/A.xml");
  EXPECT_EQ(Outline(tree), "0 " + dir / "missing" + " [0 directory  100]\n");
}

TEST(ScanFolder, OnlyFoldersRecordsDirectoriesWithoutSizes) {
  TempDir dir;
  const std::string root = dir / "r";
  WriteSized(root + "/a.txt", 10);
  WriteSized(root + "/sub/b.txt", 10);
  ::mkdir((root + "/sub/inner").c_str(), 0755);
  const auto tree = Scan(root, true, "\\.TXT\\");
  EXPECT_EQ(Outline(tree), "0 " + root + " [ directory  ]\n" +  //
                               "1 " + root + "/sub [0 directory  ]\n" + "2 " + root +
                               "/sub/inner [0 directory  ]\n");
}

TEST(ScanFolder, FilterKeepsMatchingFilesAndPrunesFoldersWithoutThem) {
  TempDir dir;
  const std::string root = dir / "r";
  WriteSized(root + "/README.txt", 10);
  WriteSized(root + "/NOTES.TXT", 30);
  WriteSized(root + "/archive.txt.gz", 1000);
  WriteSized(root + "/Makefile", 1000);
  WriteSized(root + "/docs/deep/er/x.txt", 60);
  WriteSized(root + "/docs/deep/other.gz", 1000);
  WriteSized(root + "/nothing/here/y.doc", 5);
  ::mkdir((root + "/nothing/empty").c_str(), 0755);
  const auto tree = Scan(root, false, "\\.TXT\\");
  EXPECT_EQ(Outline(tree), "0 " + root + " [100 directory  100]\n" +  //
                               "1 " + root + "/NOTES.TXT [30 file TXT 30.00]\n" + "1 " + root +
                               "/README.txt [10 file txt 10.00]\n" + "1 " + root +
                               "/docs [60 directory  60.00]\n" + "2 " + root +
                               "/docs/deep [60 directory  60.00]\n" + "3 " + root +
                               "/docs/deep/er [60 directory  60.00]\n" + "4 " + root +
                               "/docs/deep/er/x.txt [60 file txt 60.00]\n");
  // No match at all: the catalog still records the scanned folder, with nothing below it.
  const auto none = Scan(root, false, "\\.PDF\\");
  EXPECT_EQ(Outline(none), "0 " + root + " [0 directory  100]\n");
}

TEST(ScanFolder, HiddenEntriesAreRecorded) {
  TempDir dir;
  WriteSized(dir / "r/.config/settings", 4);
  WriteSized(dir / "r/.profile", 2);
  const auto tree = Scan(dir / "r");
  const auto records = ByPath(tree);
  EXPECT_EQ(records.count(dir / "r/.config/settings"), 1u);
  EXPECT_EQ(records.at(dir / "r/.config")->Field(kFileSize), "4");
  EXPECT_EQ(records.at(dir / "r/.profile")->Field(kFileExt), "profile");
}

TEST(ScanFolder, TrailingSlashGivesASingleSeparator) {
  TempDir dir;
  WriteSized(dir / "r/sub/a.txt", 1);
  const auto tree = Scan(dir / "r/");
  EXPECT_EQ(Outline(tree), "0 " + dir / "r/" + " [1 directory  100]\n" +  //
                               "1 " + dir / "r/sub" + " [1 directory  100.00]\n" + "2 " +
                               dir / "r/sub/a.txt" + " [1 file txt 100.00]\n");
}

TEST(ScanFolder, RelativePathStaysAsGiven) {
  TempDir dir;
  WriteSized(dir / "r/a.txt", 1);
  char old_cwd[4096];
  ASSERT_NE(::getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(::chdir(dir.Path().c_str()), 0);
  const auto tree = Scan("r");
  ASSERT_EQ(::chdir(old_cwd), 0);
  EXPECT_EQ(Outline(tree), "0 r [1 directory  100]\n1 r/a.txt [1 file txt 100.00]\n");
}

TEST(ScanFolder, SymbolicLinksAreFilesAndNeverFollowed) {
  TempDir dir;
  const std::string root = dir / "r";
  WriteSized(root + "/big/data.bin", 5000);
  ASSERT_EQ(::symlink(".", (root + "/big/loop").c_str()), 0);
  ASSERT_EQ(::symlink("..", (root + "/up").c_str()), 0);
  ASSERT_EQ(::symlink("big/data.bin", (root + "/link.bin").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (root + "/dangling").c_str()), 0);
  const auto tree = Scan(root);
  EXPECT_EQ(Outline(tree),
            "0 " + root + " [5022 directory  100]\n" +  //
                "1 " + root + "/big [5001 directory  99.58]\n" + "2 " + root +
                "/big/data.bin [5000 file bin 99.56]\n" + "2 " + root +
                "/big/loop [1 file  0.02]\n" + "1 " + root + "/dangling [7 file  0.14]\n" + "1 " +
                root + "/link.bin [12 file bin 0.24]\n" + "1 " + root + "/up [2 file  0.04]\n");
}

TEST(ScanFolder, SpecialFilesAreEmptyFilesAndNeverOpened) {
  TempDir dir;
  const std::string root = dir / "r";
  ::mkdir(root.c_str(), 0755);
  ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0644), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string sock_path = root + "/sock";
  ASSERT_LT(sock_path.size(), sizeof address.sun_path);
  sock_path.copy(address.sun_path, sock_path.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const auto tree = Scan(root);  // a FIFO opened for reading would block here
  ::close(sock);
  EXPECT_EQ(Outline(tree), "0 " + root + " [0 directory  100]\n" +  //
                               "1 " + root + "/pipe [0 file  0]\n" + "1 " + root +
                               "/sock [0 file  0]\n");
}

TEST(ScanFolder, UnreadableFolderIsRecordedEmptyAndTheScanGoesOn) {
  TempDir dir;
  const std::string root = dir / "r";
  WriteSized(root + "/a/locked/secret", 50);
  WriteSized(root + "/b/open", 20);
  WriteSized(root + "/c/listed/hidden", 30);  // "listed" can be listed but not searched
  ::chmod((root + "/a/locked").c_str(), 0);
  ::chmod((root + "/c/listed").c_str(), 0444);
  // Root reads everything, so the scan then runs as an unprivileged user in a child.
  ::chmod(dir.Path().c_str(), 0755);
  const std::string outline = InChild(::geteuid() == 0, [&]() -> std::string {
    if (::access(root.c_str(), R_OK | X_OK) != 0) return "SKIP: temporary folder out of reach";
    CatalogTree tree;
    ScanReport report;
    ScanFolder(&tree, root, false, "", "/lib/Disk.xml", NoProgress(), nullptr, &report);
    SortByName(tree);
    std::string marks;
    tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
      const std::string_view reason = node->Extra(kReadErrorAttribute);
      if (!reason.empty()) marks += std::string(node->Name()) + ": " + std::string(reason) + "\n";
    });
    // The mark stays with the record in the catalog file.
    const std::string file = "/tmp/lumivor-read-error-" + std::to_string(::getpid()) + ".xml";
    WriteCatalogFile(tree, file, NoProgress());
    const CatalogTree loaded = LoadCatalog(file);
    ::unlink(file.c_str());
    std::string loaded_marks;
    loaded.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
      const std::string_view reason = node->Extra(kReadErrorAttribute);
      if (!reason.empty()) {
        loaded_marks += std::string(node->Name()) + ": " + std::string(reason) + "\n";
      }
    });
    if (loaded_marks != marks) return "lost on the way through the file: " + loaded_marks;
    return "unreadable " + std::to_string(report.unreadable_folders) + "\n" + marks + Outline(tree);
  });
  if (outline.rfind("SKIP", 0) == 0) GTEST_SKIP() << outline;
  EXPECT_EQ(UnreadableFoldersText(2),
            "2 folders could not be read; they are catalogued without their contents.");
  EXPECT_EQ(UnreadableFoldersText(1),
            "1 folder could not be read; it is catalogued without its contents.");
  // Only "locked" could not be opened; "listed" was read, though its entries could not be stated.
  EXPECT_EQ(outline,
            "unreadable 1\nlocked: Permission denied\n0 " + root + " [20 directory  100]\n" +  //
                "1 " + root + "/a [0 directory  0.00]\n" + "2 " + root +
                "/a/locked [0 directory  0.00]\n" + "1 " + root + "/b [20 directory  100.00]\n" +
                "2 " + root + "/b/open [20 file  100.00]\n" + "1 " + root +
                "/c [0 directory  0.00]\n" + "2 " + root + "/c/listed [0 directory  0.00]\n" +
                "3 " + root + "/c/listed/hidden [0 file  0.00]\n");
}

TEST(ScanFolder, MountPointsAreRecordedButNotEntered) {
  TempDir dir;
  const std::string root = dir / "r";
  WriteSized(root + "/disk/before", 1);
  WriteSized(root + "/plain/kept", 3);
  // A private mount namespace in a child leaves the machine's mounts alone.
  const std::string outline = InChild(false, [&]() -> std::string {
    if (::unshare(CLONE_NEWNS) != 0) return "SKIP: no mount namespace";
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "SKIP: no mount";
    if (::mount("scratch", (root + "/disk").c_str(), "tmpfs", 0, nullptr) != 0) {
      return "SKIP: cannot mount tmpfs";
    }
    WriteSized(root + "/disk/inside", 1000);
    CatalogTree tree = Scan(root);
    return Outline(tree);
  });
  if (outline.rfind("SKIP", 0) == 0) GTEST_SKIP() << outline;
  EXPECT_EQ(outline, "0 " + root + " [3 directory  100]\n" +  //
                         "1 " + root + "/disk [0 directory  0.00]\n" + "1 " + root +
                         "/plain [3 directory  100.00]\n" + "2 " + root +
                         "/plain/kept [3 file  100.00]\n");
}

TEST(ScanFolder, BindMountsAreRecordedButNotEntered) {
  TempDir dir;
  const std::string root = dir / "r";
  WriteSized(root + "/plain/kept", 3);
  ::mkdir((root + "/bound").c_str(), 0755);
  ::mkdir((root + "/self").c_str(), 0755);
  // Binds of the same file system: one of a folder inside the tree, one of the tree into itself.
  const std::string outline = InChild(false, [&]() -> std::string {
    if (::unshare(CLONE_NEWNS) != 0) return "SKIP: no mount namespace";
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "SKIP: no mount";
    if (::mount((root + "/plain").c_str(), (root + "/bound").c_str(), nullptr, MS_BIND, nullptr) !=
            0 ||
        ::mount(root.c_str(), (root + "/self").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      return "SKIP: cannot bind";
    }
    CatalogTree tree = Scan(root);
    return Outline(tree);
  });
  if (outline.rfind("SKIP", 0) == 0) GTEST_SKIP() << outline;
  EXPECT_EQ(outline, "0 " + root + " [3 directory  100]\n" +               //
                         "1 " + root + "/bound [0 directory  0.00]\n" +    //
                         "1 " + root + "/plain [3 directory  100.00]\n" +  //
                         "2 " + root + "/plain/kept [3 file  100.00]\n" +  //
                         "1 " + root + "/self [0 directory  0.00]\n");
}

// Makes `levels` nested folders named "level-N" below `base`, one file in each, and a sibling
// folder next to every tenth one; mkdirat keeps paths short whatever the depth.
void MakeDeepTree(const std::string& base, int levels) {
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < levels; ++i) {
    const std::string name = "level-" + std::to_string(i);
    ::mkdirat(fd, name.c_str(), 0755);
    if (i % 10 == 0) ::mkdirat(fd, ("side-" + std::to_string(i)).c_str(), 0755);
    const int file = ::openat(fd, "f", O_CREAT | O_WRONLY, 0644);
    const ssize_t ignored = ::write(file, "ab", 2);
    (void)ignored;
    ::close(file);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  ::close(fd);
}

TEST(ScanFolder, DeepTreesAreWalkedWithoutLimit) {
  TempDir dir;
  const std::string root = dir / "deep";
  ::mkdir(root.c_str(), 0755);
  // The test folder's own clean-up cannot remove paths this long.
  struct Remover {
    std::string path;
    ~Remover() { EXPECT_EQ(std::system(("rm -rf '" + path + "'").c_str()), 0); }
  } remover{root};
  const int levels = 400;  // paths far beyond PATH_MAX, and more folders than are held open
  MakeDeepTree(root, levels);
  CatalogTree tree;
  ScanFolder(&tree, root, false, "", "/lib/Deep.xml");
  // Per level: the folder, its file, and every tenth level a side folder.
  EXPECT_EQ(tree.Size(), 1u + levels * 2 + levels / 10);
  EXPECT_EQ(tree.Top()->Field(kFileSize), std::to_string(2 * levels));
  // The side folders, met on the way back up, are all there; the deepest file has its path.
  std::size_t sides = 0;
  int deepest = 0;
  std::string deepest_path;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    if (node->Field(kFileName).rfind("side-", 0) == 0) ++sides;
    if (node->Field(kFileName) == "f" && depth > deepest) {
      deepest = depth;
      deepest_path = node->Field(kFullPath);
    }
  });
  EXPECT_EQ(sides, static_cast<std::size_t>(levels / 10));
  EXPECT_EQ(deepest, levels);
  std::string expected = root;
  for (int i = 0; i < levels - 1; ++i) expected += "/level-" + std::to_string(i);
  expected += "/f";
  EXPECT_EQ(deepest_path, expected);
  EXPECT_EQ(tree.Top()->Field(kPathNameLength), "");
}

TEST(ScanFolder, LabelledDriveRootIsNamedAfterItsLabel) {
  TempDir dir;
  const std::string root = dir / "PHOTOS";
  WriteSized(root + "/DCIM/img.jpg", 8);
  FakeVolumes volumes({{root, "PHOTOS"}, {dir / "plain", ""}});
  SetVolumes(&volumes);
  CatalogTree tree;
  const std::string root_name = ScanFolder(&tree, root, false, "", "/lib/Photos.xml");
  SortByName(tree);
  const std::string top = "PHOTOS(" + root + ")";
  EXPECT_EQ(root_name, top);
  EXPECT_EQ(Outline(tree), "0 " + top + " [8 directory  100]\n" +  //
                               "1 " + top + "/DCIM [8 directory  100.00]\n" + "2 " + top +
                               "/DCIM/img.jpg [8 file jpg 100.00]\n");
  EXPECT_EQ(tree.Top()->Field(kFileName), top);
  EXPECT_EQ(DisplayNameOf(root), "PHOTOS");

  // A drive without label keeps its path, and one given with "/" at the end gets no second one.
  WriteSized(dir / "plain/DCIM/a", 1);
  for (const std::string& path : {dir / "plain", dir / "plain/"}) {
    CatalogTree plain;
    EXPECT_EQ(ScanFolder(&plain, path, false, "", "/lib/P.xml"), path);
    SortByName(plain);
    EXPECT_EQ(Outline(plain), "0 " + path + " [1 directory  100]\n" +  //
                                  "1 " + dir / "plain/DCIM" + " [1 directory  100.00]\n" + "2 " +
                                  dir / "plain/DCIM/a" + " [1 file  100.00]\n");
  }
  EXPECT_EQ(DisplayNameOf(dir / "plain/"), "plain");
  SetVolumes(nullptr);
}

TEST(ScanFolder, TellsTheListenerOfEveryFolder) {
  struct Listener : ScanListener {
    std::vector<std::pair<std::size_t, std::string>> calls;
    void FolderEntered(std::size_t records, std::string_view folder) override {
      calls.emplace_back(records, std::string(folder));
    }
  } listener;
  TempDir dir;
  WriteSized(dir / "r/a/x", 1);
  WriteSized(dir / "r/y", 1);
  CatalogTree tree;
  ScanFolder(&tree, dir / "r", false, "", "/lib/R.xml", NoProgress(), &listener);
  ASSERT_EQ(listener.calls.size(), 2u);
  EXPECT_EQ(listener.calls[0], std::make_pair(std::size_t{1}, dir / "r"));
  // Records come in pre-order: "a" and the entries listed before it are made before its folder
  // is entered, those listed after it later.
  const std::size_t before_a = tree.Top()->children[0]->Name() == "a" ? 0 : 1;
  EXPECT_EQ(listener.calls[1], std::make_pair(2 + before_a, dir / "r/a"));
}

TEST(ScanFolder, AScanThatFailsPartWayRaisesAndLeavesNoTree) {
  TempDir dir;
  for (int i = 0; i < 20; ++i) WriteSized(dir / ("r/d" + std::to_string(i) + "/f"), 1);
  // An allocation that fails in the middle of the walk, plain and deep.
  struct Failing : ScanListener {
    int left = 5;
    void FolderEntered(std::size_t, std::string_view) override {
      if (--left == 0) throw std::bad_alloc();
    }
  };
  for (const bool deep : {false, true}) {
    Failing listener;
    CatalogTree tree;
    ScanReport report;
    DeepScanOptions options;
    options.archives = deep;
    try {
      ScanFolder(&tree, dir / "r", false, "", "/lib/R.xml", NoProgress(), &listener, &report,
                 options);
      ADD_FAILURE() << "no failure";
    } catch (const LumivorError& e) {
      EXPECT_EQ(std::string(e.what()), "The scan ran out of memory and could not finish.");
    }
    EXPECT_TRUE(tree.Empty()) << deep;
  }
}

TEST(ScanFolder, AnUnreadableScannedFolderIsMarkedOnTheTopRecord) {
  TempDir dir;
  WriteSized(dir / "r/f", 1);
  ::chmod((dir / "r").c_str(), 0);
  ::chmod(dir.Path().c_str(), 0755);
  const std::string result = InChild(::geteuid() == 0, [&]() -> std::string {
    CatalogTree tree;
    ScanReport report;
    ScanFolder(&tree, dir / "r", false, "", "/lib/R.xml", NoProgress(), nullptr, &report);
    return std::to_string(report.unreadable_folders) + " " + std::to_string(tree.Size()) + " " +
           std::string(tree.Top()->Extra(kReadErrorAttribute));
  });
  ::chmod((dir / "r").c_str(), 0755);
  if (result.rfind("SKIP", 0) == 0) GTEST_SKIP() << result;
  EXPECT_EQ(result, "1 1 Permission denied");
}

// Hand-built trees for the passes after the walk.
struct Builder {
  CatalogTree tree;
  CatalogTree::Node* Add(CatalogTree::Node* parent, std::string name, std::string type,
                         std::string size = "") {
    FieldViews fields{};
    fields[kFileName] = name;
    fields[kFullPath] = name;
    fields[kFileType] = type;
    fields[kFileSize] = size;
    return tree.AddChild(parent, CatalogRecord(fields));
  }
};

TEST(PruneEmptyDirectories, RemovesFoldersWithoutFilesAtAnyDepth) {
  Builder b;
  auto* top = b.Add(nullptr, "top", "directory");
  auto* empty = b.Add(top, "empty", "directory");
  b.Add(b.Add(empty, "e1", "directory"), "e2", "directory");
  b.Add(empty, "e3", "directory");
  auto* keep = b.Add(top, "keep", "directory");
  b.Add(b.Add(keep, "k1", "directory"), "odd", "");  // not "directory": counts as a file
  b.Add(keep, "gone", "directory");
  EXPECT_TRUE(PruneEmptyDirectories(b.tree, top));
  std::string names;
  b.tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    names += std::to_string(depth) + std::string(node->Field(kFileName)) + " ";
    EXPECT_EQ(node->row, node == b.tree.Top() ? 0u : node->row);
  });
  EXPECT_EQ(names, "0top 1keep 2k1 3odd ");
  EXPECT_EQ(b.tree.Top()->children[0]->row, 0u);

  Builder only_folders;
  auto* lonely = only_folders.Add(nullptr, "top", "directory");
  only_folders.Add(lonely, "sub", "directory");
  EXPECT_FALSE(PruneEmptyDirectories(only_folders.tree, lonely));
  EXPECT_EQ(only_folders.tree.Size(), 0u);
  EXPECT_FALSE(PruneEmptyDirectories(only_folders.tree, nullptr));
}

TEST(SumDirectorySizes, AddsFilesAtEveryDepthExactly) {
  Builder b;
  auto* top = b.Add(nullptr, "top", "directory");
  auto* a = b.Add(top, "a", "directory", "0");
  b.Add(a, "big", "file", "999999999999999");
  b.Add(b.Add(a, "inner", "directory", "0"), "one", "file", "1");
  b.Add(top, "junk", "file", "not a number");
  b.Add(top, "c", "file", "5");
  // A size kept as text (not the number's plain digits) and one packed from a number count
  // alike.
  b.Add(a, "padded", "file", "0007");
  const std::uint64_t packed = 3;
  b.tree.AddEntry(a, "packed", false, &packed, nullptr);
  EXPECT_EQ(SumDirectorySizes(top), 1000000000000015.0);
  EXPECT_EQ(a->Field(kFileSize), "1000000000000010");
  EXPECT_EQ(a->children[1]->Field(kFileSize), "1");
  EXPECT_EQ(top->Field(kFileSize), "");  // the caller sets the top's own
}

TEST(ComputeSizePercentages, ZeroTotalGivesZeroShares) {
  Builder b;
  auto* top = b.Add(nullptr, "top", "directory", "0");
  b.Add(b.Add(top, "d", "directory", "0"), "f", "file", "0");
  ComputeSizePercentages(b.tree);
  std::string shares;
  b.tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    shares += std::string(node->Field(kSizePercentage)) + " ";
  });
  EXPECT_EQ(shares, "100 0 0 ");
  CatalogTree empty;
  ComputeSizePercentages(empty);  // nothing to do, no crash
  EXPECT_EQ(empty.Size(), 0u);
}

TEST(ComputeSizePercentages, SharesPrintAsTwoDecimalsDo) {
  Builder b;
  auto* top = b.Add(nullptr, "top", "directory", "987654321");
  std::vector<double> sizes = {0, 1, 987654321, 493827160.5, 123456789};
  std::uint64_t seed = 7;
  for (int i = 0; i < 5000; ++i) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    sizes.push_back(static_cast<double>((seed >> 20) % 987654322));
  }
  for (double size : sizes) b.Add(top, "f", "file", FormatWholeNumber(size));
  // Halfway cases: 1/800 is 0.125 %, which printf rounds to even.
  Builder halves;
  auto* small_top = halves.Add(nullptr, "top", "directory", "800");
  for (const char* size : {"1", "3", "5", "7", "8"}) halves.Add(small_top, "f", "file", size);
  for (Builder* builder : {&b, &halves}) {
    ComputeSizePercentages(builder->tree);
    const double sum = NumberTextValue(builder->tree.Top()->Field(kFileSize));
    for (const auto* child : builder->tree.Top()->children) {
      const double share = NumberTextValue(child->Field(kFileSize)) / sum * 100.0;
      ASSERT_EQ(child->Field(kSizePercentage), FormatPercentage(share)) << child->Field(kFileSize);
    }
  }
  EXPECT_EQ(halves.tree.Top()->children[0]->Field(kSizePercentage), "0.12");
}

// Sets TZ for one test and puts the old value back.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ZoneGuard() {
    if (had_) {
      ::setenv("TZ", old_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

// The FileTime text the C library gives, at two-second resolution.
std::string Expected(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  local.tm_sec -= local.tm_sec % 2;
  return FormatFileTime(local);
}

TEST(LocalTimeConverter, AgreesWithTheCLibraryAcrossOffsetChanges) {
  // Hourly and half-hourly daylight saving, odd offsets, and a zone whose early offset has
  // seconds in it (-0:44:30 until 1972).
  for (const char* zone :
       {"Europe/Berlin", "Australia/Lord_Howe", "America/St_Johns", "Africa/Monrovia", "UTC"}) {
    if (std::string(zone) != "UTC" &&
        ::access(("/usr/share/zoneinfo/" + std::string(zone)).c_str(), R_OK) != 0) {
      continue;
    }
    ZoneGuard guard(zone);
    LocalTimeConverter converter;
    char buffer[40];
    // Every second around each change of a few years, and times spread over two centuries.
    for (std::time_t t = 1'711'846'800 - 7200; t < 1'711'846'800 + 7200; t += 1) {
      ASSERT_EQ(converter.Format(t, buffer), Expected(t)) << zone << " " << t;
    }
    for (std::time_t day = 1'600'000'000; day < 1'760'000'000; day += 86400 / 4 + 1) {
      ASSERT_EQ(converter.Format(day, buffer), Expected(day)) << zone << " " << day;
    }
    std::uint64_t seed = 12345;
    for (int i = 0; i < 20000; ++i) {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      const std::time_t t =
          static_cast<std::time_t>(seed >> 30) % 7'000'000'000LL - 2'300'000'000LL;
      if (t == 0) continue;
      ASSERT_EQ(converter.Format(t, buffer), Expected(t)) << zone << " " << t;
    }
    EXPECT_EQ(converter.Format(0, buffer), "");
  }
}

TEST(LocalTimeConverter, FindsTheSecondOfEachChange) {
  if (::access("/usr/share/zoneinfo/Europe/Berlin", R_OK) != 0) {
    GTEST_SKIP() << "no time zone database";
  }
  ZoneGuard guard("Europe/Berlin");
  LocalTimeConverter converter;
  // 2024-03-31 01:00:00 UTC: from +1:00 to +2:00.
  EXPECT_EQ(converter.OffsetAt(1'711'846'799), 3600);
  EXPECT_EQ(converter.OffsetAt(1'711'846'800), 7200);
  char buffer[40];
  EXPECT_EQ(converter.Format(1'711'846'799, buffer), "2024-03-31 01:59:58");
  EXPECT_EQ(converter.Format(1'711'846'800, buffer), "2024-03-31 03:00:00");
  // Local midnight leaves out the time.
  EXPECT_EQ(converter.Format(1'704'063'600, buffer), "2024-01-01");
}

// The Gregorian calendar repeats every 400 years (146,097 days), so a date shifted by whole
// cycles keeps its month, day and time and moves its year by 400 per cycle.
constexpr std::int64_t kCycleSeconds = std::int64_t{146097} * 86400;
constexpr std::int64_t kMarch5th2024 = 1'709'622'484;  // 2024-03-05 07:08:04 UTC

TEST(TimeText, YearsOutsideFourDigitsFormatWithoutOverflow) {
  ZoneGuard guard("UTC");
  LocalTimeConverter converter;
  char buffer[40];
  const auto both = [&](std::int64_t time) {
    const std::string plain = FormatFileTime(static_cast<std::time_t>(time));
    EXPECT_EQ(converter.Format(static_cast<std::time_t>(time), buffer), plain) << time;
    return plain;
  };
  EXPECT_EQ(both(kMarch5th2024 + 5'368'716 * kCycleSeconds), "2147488424-03-05 07:08:04");
  EXPECT_EQ(both(kMarch5th2024 + 20 * kCycleSeconds), "10024-03-05 07:08:04");
  EXPECT_EQ(both(253'402'300'800), "10000-01-01");
  EXPECT_EQ(both(253'402'300'798), "9999-12-31 23:59:58");
  EXPECT_EQ(both(kMarch5th2024 - 5 * kCycleSeconds), "0024-03-05 07:08:04");
  EXPECT_EQ(both(kMarch5th2024 - 6 * kCycleSeconds), "-0376-03-05 07:08:04");
  EXPECT_EQ(both(-62'135'596'800), "0001-01-01");
  EXPECT_EQ(both(-62'167'219'202), "-0001-12-31 23:59:58");
  // The ends of the 64-bit range.
  EXPECT_EQ(FormatFileTime(std::numeric_limits<std::time_t>::max()), "292277026596-12-04 15:30:07");
  EXPECT_EQ(converter.Format(std::numeric_limits<std::time_t>::max(), buffer),
            "292277026596-12-04 15:30:06");
  EXPECT_EQ(FormatFileTime(std::numeric_limits<std::time_t>::min()).rfind("-292277022657-", 0), 0u);
  std::tm far{};
  far.tm_year = std::numeric_limits<int>::max();
  far.tm_mday = 1;
  EXPECT_EQ(FormatFileTime(far), "2147485547-01-01");
}

TEST(TimeText, AFarFutureFileIsScannedAndListed) {
  ZoneGuard guard("UTC");
  TempDir dir;
  // tmpfs keeps 64-bit times; most disk file systems stop in the 25th century.
  const std::string shm = "/dev/shm/lumivor-time-" + std::to_string(::getpid());
  std::filesystem::create_directories(shm + "/Group");
  WriteFile(shm + "/Group/far.xml", "x");
  const std::int64_t when = kMarch5th2024 + 5'368'716 * kCycleSeconds;
  const timespec times[2] = {{static_cast<std::time_t>(when), 0},
                             {static_cast<std::time_t>(when), 0}};
  struct stat st;
  const bool held = ::utimensat(AT_FDCWD, (shm + "/Group/far.xml").c_str(), times, 0) == 0 &&
                    ::stat((shm + "/Group/far.xml").c_str(), &st) == 0 && st.st_mtime == when;
  if (!held) {
    std::filesystem::remove_all(shm);
    GTEST_SKIP() << "no file system that keeps a time that far away";
  }
  CatalogTree scanned = Scan(shm + "/Group");
  const CatalogTree listed = ListLibrary(shm, false);
  std::filesystem::remove_all(shm);
  ASSERT_EQ(scanned.Size(), 2u);
  EXPECT_EQ(scanned.Top()->children[0]->Field(kFileTime), "2147488424-03-05 07:08:04");
  std::string listed_time;
  listed.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    if (node->Field(kFileName) == "far") listed_time = node->Field(kFileTime);
  });
  EXPECT_EQ(listed_time, "2147488424-03-05 07:08:04");
}

}  // namespace
}  // namespace lumivor
